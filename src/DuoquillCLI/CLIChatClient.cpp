// The chat client's driver and the `chat` command's main loop.

#include "DuoquillCLI/CLIChatClient.h"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Base/BigEndian.h"
#include "Duoquill/Primitives/Random.h"
#include "Duoquill/System/StandardStreams.h"
#include "Duoquill/Identity/KeyHelpers.h"
#include "DuoquillCLI/ChatErrorText.h"
#include "DuoquillCLI/JsonChatDisplay.h"
#include "DuoquillCLI/JsonRequestReader.h"
#include "DuoquillCLI/StandardInputReader.h"
#include "DuoquillCLI/TerminalLineEditor.h"
#include "Duoquill/Transport/WebSocketTransport.h"

namespace asio = boost::asio;

namespace duoquill::cli {

using namespace chat;

namespace {

// The relay connection of the program: the WebSocket transport as the driver uses it.
class WebSocketChatTransport final : public ChatTransport {
public:
    explicit WebSocketChatTransport(asio::any_io_executor executor) : transport_(std::move(executor)) {}
    void connect(const std::string& url) override { transport_.connect(url); }
    asio::awaitable<void> send(std::string text) override { co_await transport_.send(std::move(text)); }
    asio::awaitable<std::string> receive() override { co_return co_await transport_.receive(); }
    asio::awaitable<void> disconnect() override {
        try {
            co_await transport_.disconnect();
        } catch (const std::exception&) {
            // Only a cancelled wait throws; the close goes on without it.
        }
    }

private:
    WebSocketTransport transport_;
};

// A task that throws has met a fault of this program: it surfaces from the io_context's run,
// where the chat reports it, instead of vanishing with the task.
void rethrowFault(std::exception_ptr fault) {
    if (fault) std::rethrow_exception(fault);
}
}  // namespace

double secureUnitDraw() {
    // 53 random bits, uniform over the closed interval [0, 2^53].
    constexpr std::uint64_t top = std::uint64_t{1} << 53;
    std::uint64_t draw = 0;
    do {
        std::uint8_t bytes[8];
        random::fill(bytes);
        draw = bigendian::read(bytes) & ((top << 1) - 1);
    } while (draw > top);
    return static_cast<double>(draw) / static_cast<double>(top);
}

CLIChatClient::CLIChatClient(Private, ChatEnvironment environment)
    : env_(std::move(environment)), writesDrained_(env_.executor) {}

CLIChatClient::~CLIChatClient() { cancelAll(); }

std::shared_ptr<CLIChatClient> CLIChatClient::create(ChatEnvironment environment, std::string peerPubKeyBase64URL,
                                                     std::string relayBaseURL) {
    auto client = std::make_shared<CLIChatClient>(Private{}, std::move(environment));
    if (!client->setUp(std::move(peerPubKeyBase64URL), std::move(relayBaseURL))) return nullptr;
    return client;
}

void CLIChatClient::fatal(std::string_view message) {
    env_.display.startupError(message);
    exitProcess(1);
}

bool CLIChatClient::setUp(std::string peerPubKeyBase64URL, std::string relayBaseURL) {
    // Each step's failure is shown as the one line the user acts on; the reason of a hardware
    // store (a token not plugged in, a wrong PIN) is part of it.
    std::optional<std::string> identifier;
    try {
        identifier = env_.identity.existingKeyIdentifier();
    } catch (const std::exception&) {
    }
    if (!identifier) {
        fatal("No local key. Run 'keygen' first.");
        return false;
    }
    Bytes localCompressed;
    try {
        localCompressed = env_.identity.retrievePublicKey(*identifier).compressed();
    } catch (const std::exception&) {
        fatal("Cannot retrieve local public key");
        return false;
    }
    std::optional<p256::PublicKey> peerKey;
    try {
        peerKey = KeyHelpers::p256PublicKey(peerPubKeyBase64URL);
    } catch (const std::exception&) {
        fatal("Invalid peer public key");
        return false;
    }
    std::unique_ptr<P256KeyAgreementKey> privateKey;
    try {
        privateKey = env_.identity.retrievePrivateKey(*identifier);
    } catch (const std::exception& error) {
        fatal(std::string("Cannot retrieve local private key: ") + error.what());
        return false;
    }
    SecureBytes roomKeyData;
    try {
        roomKeyData = privateKey->sharedSecret(*peerKey);
    } catch (const std::exception&) {
        fatal("ECDH failed");
        return false;
    }
    roomCode_ = KeyHelpers::deriveRoomCode(roomKeyData);
    // Kept for the sessions: a token asks its PIN once per process.
    localKey_ = std::move(privateKey);

    const Bytes peerCompressed = peerKey->compressed();
    const std::string localText = base64URLString(localCompressed);
    env_.display.banner(localText, peerPubKeyBase64URL, relayBaseURL);

    auto makeSession = [this, peerKey = *peerKey]() -> std::unique_ptr<PFSChatSession> {
        if (env_.makeSession) return env_.makeSession(localKey_, peerKey, roomCode_);
        return std::make_unique<PFSChatSession>(localKey_, peerKey, roomCode_);
    };
    auto coverDraw = env_.coverDelay ? std::function<double()>([delay = env_.coverDelay] {
        return (delay() - ChatMachine::minCoverDelaySeconds) /
               (ChatMachine::maxCoverDelaySeconds - ChatMachine::minCoverDelaySeconds);
    })
                                     : std::function<double()>(secureUnitDraw);
    auto jitterDraw = env_.backoffJitter ? env_.backoffJitter : std::function<double()>([] {
        return static_cast<double>(random::uniform(1u << 30)) / static_cast<double>(1u << 30);
    });
    machine_ = std::make_unique<ChatMachine>(ChatMachineConfig{
        .relayBaseURL = std::move(relayBaseURL),
        .roomKeyData = std::move(roomKeyData),
        .localPubKeyCompressed = localText,
        .peerPubKeyBase64URL = std::move(peerPubKeyBase64URL),
        .leads = std::lexicographical_compare(localCompressed.begin(), localCompressed.end(), peerCompressed.begin(),
                                              peerCompressed.end()),
        .makeSession = std::move(makeSession),
        .coverDraw = std::move(coverDraw),
        .jitterDraw = std::move(jitterDraw),
        .baseProtocolOnly = env_.baseProtocolOnly,
        .lineStreamStart = env_.lineStreamStart.value_or(Outbox::randomStreamStart()),
    });
    return true;
}

// ---- events in, actions out ----

void CLIChatClient::feed(Event event) {
    if (ended_) return;
    Actions actions = machine_->handle(std::move(event), env_.clock.wallSeconds());
    for (auto& action : actions) {
        if (ended_) return;
        perform(action);
    }
}

void CLIChatClient::perform(Action& action) {
    if (env_.observer) env_.observer->observe(action, machine_->phase());
    std::visit(
        [this](auto& a) {
            using A = std::decay_t<decltype(a)>;
            if constexpr (std::is_same_v<A, OpenConnection>) {
                connection_ = std::make_shared<Connection>();
                connection_->transport = env_.makeTransport();
                connection_->transport->connect(a.url);
            } else if constexpr (std::is_same_v<A, StartReceiving>) {
                if (!connection_) return;
                auto connection = connection_;
                if (connection->receiving) connection->receiving->cancel();
                connection->receiving = spawn([weak = weak_from_this(), connection](std::shared_ptr<TaskHandle> task) {
                    return receiveLoop(weak, connection, std::move(task));
                });
            } else if constexpr (std::is_same_v<A, CloseConnection>) {
                auto connection = std::move(connection_);
                if (!connection) return;
                cancelAndClear(connection->receiving);
                if (!a.disconnect) return;
                connection->closeAfterWrites = true;
                lastClosed_ = connection;
                startWriting(connection);
            } else if constexpr (std::is_same_v<A, SendText>) {
                if (!connection_) {
                    // Nothing to send on: that counts as sent.
                    asio::post(env_.executor, [weak = weak_from_this(), tag = std::move(a.tag)]() mutable {
                        if (auto self = weak.lock()) self->feed(SendDone{std::move(tag)});
                    });
                    return;
                }
                connection_->queue.push_back(std::move(a));
                startWriting(connection_);
            } else if constexpr (std::is_same_v<A, ArmTimer>) {
                auto& slot = timers_[static_cast<std::size_t>(a.timer)];
                cancelAndClear(slot);
                slot = spawn([weak = weak_from_this(), timer = a.timer,
                              seconds = a.seconds](std::shared_ptr<TaskHandle> task) {
                    return timerTask(weak, std::move(task), timer, seconds);
                });
            } else if constexpr (std::is_same_v<A, CancelTimer>) {
                cancelAndClear(timers_[static_cast<std::size_t>(a.timer)]);
            } else if constexpr (std::is_same_v<A, Show>) {
                env_.display.show(a);
            } else if constexpr (std::is_same_v<A, StartInput>) {
                inputTask_ = std::make_shared<TaskHandle>();
                if (env_.startInputReader) env_.startInputReader(weak_from_this(), inputTask_);
            } else if constexpr (std::is_same_v<A, Exit>) {
                // The goodbye and the close just queued go out first.
                if (auto closing = lastClosed_.lock(); a.afterWrites && closing && !closing->closed) {
                    closing->exitStatus = a.status;
                    return;
                }
                exitProcess(a.status);
            }
        },
        action);
}

void ChatDisplay::show(const Show& line) {
    const std::string_view text = line.text.view();
    switch (line.kind) {
        case Show::Kind::status: status(text); break;
        case Show::Kind::peerEvent: peerEvent(text); break;
        case Show::Kind::error: error(text); break;
        case Show::Kind::connected: connected(); break;
        case Show::Kind::sent: sent(text); break;
        case Show::Kind::queued: queued(text); break;
        case Show::Kind::received: received(text); break;
        case Show::Kind::prompt: prompt(); break;
    }
}

void CLIChatClient::cancelAll() {
    for (auto& slot : timers_) cancelAndClear(slot);
    cancelAndClear(inputTask_);
    if (connection_) cancelAndClear(connection_->receiving);
}

void CLIChatClient::exitProcess(int status) {
    ended_ = true;
    cancelAll();
    env_.exitProcess(status);
    // Only reached in tests: let the connection go as a process end would.
    if (auto connection = std::move(connection_)) {
        connection->closeAfterWrites = true;
        startWriting(connection);
    }
}

// ---- tasks ----

std::shared_ptr<TaskHandle> CLIChatClient::spawn(
    std::function<asio::awaitable<void>(std::shared_ptr<TaskHandle>)> body) {
    auto task = std::make_shared<TaskHandle>();
    asio::co_spawn(env_.executor, body(task), rethrowFault);
    return task;
}

asio::awaitable<void> CLIChatClient::timerTask(std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task,
                                               Timer timer, double seconds) {
    {
        auto self = weak.lock();
        if (!self) co_return;
        auto& timers = self->env_.timers;
        self.reset();
        co_await timers.sleep(seconds, *task);
    }
    if (task->isCancelled()) co_return;
    auto self = weak.lock();
    if (!self) co_return;
    auto& slot = self->timers_[static_cast<std::size_t>(timer)];
    if (slot == task) slot.reset();
    self->feed(TimerFired{timer});
}

asio::awaitable<void> CLIChatClient::receiveLoop(std::weak_ptr<CLIChatClient> weak,
                                                 std::shared_ptr<Connection> connection,
                                                 std::shared_ptr<TaskHandle> task) {
    auto transport = connection->transport;
    while (!task->isCancelled()) {
        std::optional<std::string> text;
        try {
            text = co_await transport->receive();
        } catch (const std::exception&) {
            // The transport's failure, whatever its kind, is the connection's end.
        }
        // A loop cancelled while waiting belongs to a connection already let go.
        if (task->isCancelled()) co_return;
        auto self = weak.lock();
        if (!self || self->connection_ != connection) co_return;
        if (!text) {
            self->feed(ConnectionLost{});
            co_return;
        }
        self->feed(TextReceived{std::move(*text)});
    }
}

void CLIChatClient::startWriting(const std::shared_ptr<Connection>& connection) {
    if (connection->writing) return;
    connection->writing = true;
    asio::co_spawn(env_.executor, writeLoop(weak_from_this(), connection), rethrowFault);
}

asio::awaitable<void> CLIChatClient::writeLoop(std::weak_ptr<CLIChatClient> weak,
                                               std::shared_ptr<Connection> connection) {
    while (!connection->queue.empty()) {
        SendText next = std::move(connection->queue.front());
        connection->queue.pop_front();
        std::optional<std::string> failure;
        try {
            co_await connection->transport->send(std::move(next.text));
        } catch (const std::exception& e) {
            failure = errorText(e);
        }
        auto self = weak.lock();
        if (!self) co_return;
        if (failure) {
            self->feed(SendFailed{std::move(next.tag), std::move(*failure)});
        } else {
            self->feed(SendDone{std::move(next.tag)});
        }
    }
    connection->writing = false;
    if (auto self = weak.lock()) self->writesDrained_.notify();
    if (!connection->closeAfterWrites) co_return;
    co_await connection->transport->disconnect();
    connection->closed = true;
    auto self = weak.lock();
    if (self && connection->exitStatus) self->exitProcess(*connection->exitStatus);
}

// ---- the client's operations ----

asio::awaitable<void> CLIChatClient::run() {
    auto self = shared_from_this();
    feed(Started{});
    co_return;
}

asio::awaitable<void> CLIChatClient::sendMessage(SecureText line) {
    auto self = shared_from_this();
    feed(LineTyped{std::move(line)});
    co_await writesHandedOn();
}

asio::awaitable<void> CLIChatClient::quit() {
    auto self = shared_from_this();
    feed(QuitRequested{});
    co_return;
}

asio::awaitable<void> CLIChatClient::writesHandedOn() {
    auto self = shared_from_this();
    while (!ended_ && connection_ && connection_->writing) co_await writesDrained_.wait();
}

[[noreturn]] void runChat(const std::string& peerPubKeyBase64URL, const std::string& relayBaseURL,
                          ChatInterface interface) {
    // A peer or relay that goes away must show as a failed write, not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    asio::io_context io;
    auto work = asio::make_work_guard(io);
    SteadyChatTimers timers(io.get_executor());
    const bool json = interface == ChatInterface::json;
    // A log, NO_COLOR or a dumb terminal gets plain lines; the editor's redrawing would bring
    // back the cursor movement, so its lines are read as they come.
    const CLIUI::Look look = CLIUI::lookOfStandardError();
    // A terminal gets line editing; pipes, files and programs keep the thread reader and its bytes.
    std::unique_ptr<TerminalLineEditor> editor;
    if (!json && look == CLIUI::Look::terminal && TerminalLineEditor::worksHere()) {
        editor = std::make_unique<TerminalLineEditor>(io);
    }
    TerminalChatDisplay terminalDisplay(editor.get(), look);
    JsonChatDisplay jsonDisplay(Clock::system(), look);
    KeychainIdentitySource identity;
    ChatEnvironment environment{
        .executor = io.get_executor(),
        .timers = timers,
        .display = json ? static_cast<ChatDisplay&>(jsonDisplay) : terminalDisplay,
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
            [&io, &editor, &jsonDisplay, json](std::weak_ptr<CLIChatClient> client, std::shared_ptr<TaskHandle> task) {
                if (editor) {
                    editor->start(std::move(client), std::move(task));
                    return;
                }
                // No stdio buffer holds typed lines: std::cin reads through stdin one
                // character at a time into the reader's wiped line.
                std::setvbuf(stdin, nullptr, _IONBF, 0);
                if (json) {
                    JsonRequestReader::start(std::cin, io.get_executor(), std::move(client), std::move(task), jsonDisplay);
                } else {
                    StandardInputReader::start(std::cin, io.get_executor(), std::move(client), std::move(task));
                }
            },
        .baseProtocolOnly = false,
        .lineStreamStart = {},
        .observer = json ? &jsonDisplay : nullptr,
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
