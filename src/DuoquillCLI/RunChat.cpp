// The `chat` command's composition root: the only file that knows both the chat and its readers.

#include "DuoquillCLI/RunChat.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "Duoquill/System/StandardStreams.h"
#include "Duoquill/Transport/WebSocketTransport.h"
#include "DuoquillCLI/Chat/CLIChatClient.h"
#include "DuoquillCLI/Chat/ChatIdentitySource.h"
#include "DuoquillCLI/Json/JsonChatDisplay.h"
#include "DuoquillCLI/Json/JsonRequestReader.h"
#include "DuoquillCLI/Terminal/StandardInputReader.h"
#include "DuoquillCLI/Terminal/TerminalChatDisplay.h"
#include "DuoquillCLI/Terminal/TerminalLineEditor.h"

namespace asio = boost::asio;

namespace duoquill::cli {

namespace {

// The relay connection of the program: the WebSocket transport as the driver uses it.
class WebSocketChatTransport final : public ChatTransport {
public:
    WebSocketChatTransport(asio::any_io_executor executor, const std::optional<Socks5Proxy>& proxy)
        : transport_(std::move(executor), WebSocketTransport::Timing{}, proxy) {}
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

}  // namespace

[[noreturn]] void runChat(const std::string& peerPubKeyBase64URL, const std::string& relayBaseURL, ChatOptions options) {
    std::optional<Socks5Proxy>& proxy = options.proxy;
    // One set of proxy credentials for the whole chat, its reconnections included: a circuit
    // of its own, shared with no other chat.
    if (proxy) drawIsolationCredentials(*proxy);
    // A peer or relay that goes away must show as a failed write, not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    asio::io_context io;
    auto work = asio::make_work_guard(io);
    SteadyChatTimers timers(io.get_executor());
    const bool json = options.interface == ChatInterface::json;
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
        .makeTransport = [&io, &proxy] { return std::make_shared<WebSocketChatTransport>(io.get_executor(), proxy); },
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
            [&io, &editor, &jsonDisplay, json](std::weak_ptr<ChatInput> client, std::shared_ptr<TaskHandle> task) {
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
        .epochDirectory = {},
        .steady = options.steady,
        .proxyShown = proxy ? proxy->displayName() : std::string(),
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
