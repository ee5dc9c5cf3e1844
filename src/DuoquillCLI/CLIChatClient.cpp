// Creation of the chat client, its run() and the `chat` command's main loop.

#include "DuoquillCLI/CLIChatClient.h"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <iostream>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Utilities/KeyHelpers.h"
#include "DuoquillCLI/StandardInputReader.h"
#include "DuoquillCLI/TerminalLineEditor.h"
#include "Duoquill/Platform/System/StandardStreams.h"
#include "DuoquillCLI/WebSocketChatTransport.h"

namespace asio = boost::asio;

namespace duoquill::cli {

CLIChatClient::CLIChatClient(Private, ChatEnvironment environment, std::string peerPubKeyBase64URL,
                             std::string relayBaseURL)
    : env_(std::move(environment)),
      peerPubKeyBase64URL_(std::move(peerPubKeyBase64URL)),
      relayBaseURL_(std::move(relayBaseURL)),
      outbox_(env_.lineStreamStart.value_or(Outbox::randomStreamStart())) {}

CLIChatClient::~CLIChatClient() {
    for (auto* task : {&stdinTask_, &receiveTask_, &dummyTask_, &handshakeTimer_, &retryTask_}) cancelAndClear(*task);
    if (session_) session_->destroy();
}

std::shared_ptr<CLIChatClient> CLIChatClient::create(ChatEnvironment environment, std::string peerPubKeyBase64URL,
                                                     std::string relayBaseURL) {
    auto client = std::make_shared<CLIChatClient>(Private{}, std::move(environment), std::move(peerPubKeyBase64URL),
                                                  std::move(relayBaseURL));
    if (!client->setUp()) return nullptr;
    return client;
}

void CLIChatClient::fatal(std::string_view message) {
    env_.display.startupError(message);
    endProcess(1);
}

bool CLIChatClient::setUp() {
    std::optional<std::string> identifier;
    try {
        identifier = env_.identity.existingKeyIdentifier();
    } catch (...) {
    }
    if (!identifier) {
        fatal("No local key. Run 'keygen' first.");
        return false;
    }
    localKeyIdentifier_ = *identifier;

    Bytes localCompressed;
    try {
        localCompressed = env_.identity.retrievePublicKey(localKeyIdentifier_).compressed();
    } catch (...) {
        fatal("Cannot retrieve local public key");
        return false;
    }
    localPubKeyCompressed_ = base64URLString(localCompressed);

    std::optional<p256::PublicKey> peerKey;
    try {
        peerKey = KeyHelpers::p256PublicKey(peerPubKeyBase64URL_);
    } catch (...) {
        fatal("Invalid peer public key");
        return false;
    }

    std::unique_ptr<P256KeyAgreementKey> privateKey;
    try {
        privateKey = env_.identity.retrievePrivateKey(localKeyIdentifier_);
    } catch (const std::exception& error) {
        // A hardware store's reason (a token not plugged in, a wrong PIN) is what the user acts on.
        fatal(std::string("Cannot retrieve local private key: ") + error.what());
        return false;
    } catch (...) {
        fatal("Cannot retrieve local private key");
        return false;
    }

    try {
        roomKeyData_ = privateKey->sharedSecret(*peerKey);
    } catch (...) {
        fatal("ECDH failed");
        return false;
    }
    roomCode_ = KeyHelpers::deriveRoomCode(roomKeyData_);
    // Kept for the sessions: a token asks its PIN once per process.
    localKey_ = std::move(privateKey);

    const Bytes peerCompressed = peerKey->compressed();
    leadsRecovery_ = std::lexicographical_compare(localCompressed.begin(), localCompressed.end(),
                                                  peerCompressed.begin(), peerCompressed.end());

    env_.display.banner(localPubKeyCompressed_, peerPubKeyBase64URL_, relayBaseURL_);
    return true;
}

void CLIChatClient::endProcess(int status) {
    ended_ = true;
    intentionalDisconnect_ = true;
    for (auto* task : {&stdinTask_, &receiveTask_, &dummyTask_, &handshakeTimer_, &retryTask_}) cancelAndClear(*task);
    // Wiped before the end: exitProcess does not return in the program.
    if (auto session = std::move(session_)) session->destroy();
    env_.exitProcess(status);
    // Only reached in tests: let the connection go as a process end would.
    if (auto transport = std::move(transport_)) disconnectInBackground(std::move(transport));
}

asio::awaitable<void> CLIChatClient::run() {
    auto self = shared_from_this();
    co_await connect();
    if (ended_) co_return;
    stdinTask_ = std::make_shared<TaskHandle>();
    if (env_.startInputReader) env_.startInputReader(weak_from_this(), stdinTask_);
}

[[noreturn]] void runChat(const std::string& peerPubKeyBase64URL, const std::string& relayBaseURL) {
    // A peer or relay that goes away must show as a failed write, not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    asio::io_context io;
    auto work = asio::make_work_guard(io);
    SteadyChatTimers timers(io.get_executor());
    // A terminal gets line editing; pipes and files keep the thread reader and its bytes.
    std::unique_ptr<TerminalLineEditor> editor;
    if (TerminalLineEditor::worksHere()) editor = std::make_unique<TerminalLineEditor>(io);
    TerminalChatDisplay display(editor.get());
    KeychainIdentitySource identity;
    ChatEnvironment environment{
        .executor = io.get_executor(),
        .timers = timers,
        .display = display,
        .identity = identity,
        .makeTransport = [&io] { return std::make_shared<WebSocketChatTransport>(io.get_executor()); },
        .makeSession = {},
        .clock = Clock::system(),
        .coverDelay = {},
        .backoffJitter = {},
        // Every line has gone out with write(2); nothing is buffered, nothing is left to run.
        .exitProcess =
            [](int status) {
                TerminalLineEditor::restoreTerminal();
                std::_Exit(status);
            },
        .startInputReader =
            [&io, &editor](std::weak_ptr<CLIChatClient> client, std::shared_ptr<TaskHandle> task) {
                if (editor) {
                    editor->start(std::move(client), std::move(task));
                    return;
                }
                // No stdio buffer holds typed lines: std::cin reads through stdin one
                // character at a time into the reader's wiped line.
                std::setvbuf(stdin, nullptr, _IONBF, 0);
                StandardInputReader::start(std::cin, io.get_executor(), std::move(client), std::move(task));
            },
        .baseProtocolOnly = false,
        .lineStreamStart = {},
    };
    auto client = CLIChatClient::create(std::move(environment), peerPubKeyBase64URL, relayBaseURL);
    asio::co_spawn(io, client->run(), asio::detached);
    // The process ends only through exitProcess. A handler that throws is a fault in this
    // program; it is reported and the chat goes on rather than aborting with the terminal raw.
    for (;;) {
        try {
            io.run();
        } catch (const std::exception& fault) {
            writeStandardError(std::string("[error] internal fault: ") + fault.what() + "\n");
        }
    }
}

}  // namespace duoquill::cli
