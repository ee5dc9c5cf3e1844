#pragma once
// CLIChatClient: chat mode's driver. It reads the local identity, shows the banner, and then
// carries out what its ChatMachine decides: it owns the relay connections, the timers, the
// reader of the user's lines and the display, feeds every event to the machine with the time,
// and performs the actions it returns. It decides nothing itself.
//
// Everything runs on one executor, the main actor. Texts go out through one write queue per
// relay connection, in the order the machine returned them; each outcome goes back to the
// machine as an event. Every task (the receiving of a connection, a timer, a write queue) holds
// the client weakly, so a client that is gone stops them all.

#include <array>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Primitives/P256.h"
#include "Duoquill/Base/SecureBytes.h"
#include "Duoquill/System/Clock.h"
#include "DuoquillCLI/ChatDisplay.h"
#include "DuoquillCLI/ChatIdentitySource.h"
#include "DuoquillCLI/ChatMachine.h"
#include "DuoquillCLI/ChatTasks.h"
#include "DuoquillCLI/ChatTransport.h"

namespace duoquill {
class PFSChatSession;
}

namespace duoquill::cli {

class CLIChatClient;

// Makes the secure session for a connection attempt. The program uses the session's
// system defaults; tests substitute key stores and clocks.
using ChatSessionFactory = std::function<std::unique_ptr<PFSChatSession>(
    std::shared_ptr<const P256KeyAgreementKey> localStaticKey, const p256::PublicKey& peerStaticKey,
    const std::string& roomCode)>;

// Starts the reader of the user's lines; it hands each line to the client and waits.
using ChatInputStarter = std::function<void(std::weak_ptr<CLIChatClient>, std::shared_ptr<TaskHandle>)>;

// Told of every action just before it is carried out: `chat --json` reports from there.
class ChatObserver {
public:
    virtual ~ChatObserver() = default;
    // `now`: the machine's state once the event has been handled.
    virtual void observe(const chat::Action& action, chat::Phase now) = 0;
};

// Everything the client reaches outside itself. All references must outlive the client.
struct ChatEnvironment {
    boost::asio::any_io_executor executor;
    ChatTimers& timers;
    ChatDisplay& display;
    ChatIdentitySource& identity;
    ChatTransportFactory makeTransport;
    // Empty: PFSChatSession with the system defaults.
    ChatSessionFactory makeSession;
    // Wall clock: the UTC day of the room token.
    const Clock& clock = Clock::system();
    // Seconds before the next cover record; empty: uniform in [2, 5] from the secure source.
    std::function<double()> coverDelay;
    // A draw in [0, 1) that spreads the wait after a failed handshake; empty: the secure source.
    std::function<double()> backoffJitter;
    // Ends the process with the status. The program's never returns; a test's may, and the
    // client then stops doing anything.
    std::function<void(int)> exitProcess;
    // Empty: nothing reads standard input (tests call sendMessage and quit themselves).
    ChatInputStarter startInputReader;
    // Behave as a client of the base protocol only (ChatMachineConfig::baseProtocolOnly).
    bool baseProtocolOnly = false;
    // The first number of this process's line stream; empty: drawn at random.
    std::optional<std::uint64_t> lineStreamStart;
    // Null: nobody but the display is told.
    ChatObserver* observer = nullptr;
};

// A draw in [0, 1] from the secure random source, with 53 bits.
double secureUnitDraw();

class CLIChatClient : public std::enable_shared_from_this<CLIChatClient> {
    struct Private {};

public:
    // Finds the local identity, derives the room and shows the banner. On failure shows
    // "[error] ..." and ends the process with status 1 (returning nothing if that returns).
    static std::shared_ptr<CLIChatClient> create(ChatEnvironment environment, std::string peerPubKeyBase64URL,
                                                 std::string relayBaseURL);
    CLIChatClient(Private, ChatEnvironment environment);
    ~CLIChatClient();

    CLIChatClient(const CLIChatClient&) = delete;
    CLIChatClient& operator=(const CLIChatClient&) = delete;

    // Connects, then starts the reader of standard input.
    boost::asio::awaitable<void> run();
    // One line typed by the user, without its terminator. Completes once the texts it caused
    // have been handed to the connection, so a fast reader is held back by a slow relay.
    boost::asio::awaitable<void> sendMessage(SecureText line);
    // Says goodbye through the tunnel, closes the connection, wipes the session and ends the
    // process with status 0.
    boost::asio::awaitable<void> quit();

    // ---- observation, for tests ----
    const ChatMachine& machine() const noexcept { return *machine_; }
    const std::string& roomCode() const noexcept { return roomCode_; }

private:
    // A relay connection and its write queue.
    struct Connection {
        std::shared_ptr<ChatTransport> transport;
        std::deque<chat::SendText> queue;
        bool writing = false;
        bool closeAfterWrites = false;
        bool closed = false;
        std::optional<int> exitStatus;  // the process ends once this connection has closed
        std::shared_ptr<TaskHandle> receiving;
    };

    bool setUp(std::string peerPubKeyBase64URL, std::string relayBaseURL);
    void fatal(std::string_view message);
    void feed(chat::Event event);
    void perform(chat::Action& action);
    void startWriting(const std::shared_ptr<Connection>& connection);
    void exitProcess(int status);
    void cancelAll();
    std::shared_ptr<TaskHandle> spawn(std::function<boost::asio::awaitable<void>(std::shared_ptr<TaskHandle>)> body);
    static boost::asio::awaitable<void> receiveLoop(std::weak_ptr<CLIChatClient> weak,
                                                    std::shared_ptr<Connection> connection,
                                                    std::shared_ptr<TaskHandle> task);
    static boost::asio::awaitable<void> writeLoop(std::weak_ptr<CLIChatClient> weak,
                                                  std::shared_ptr<Connection> connection);
    static boost::asio::awaitable<void> timerTask(std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task,
                                                  chat::Timer timer, double seconds);
    boost::asio::awaitable<void> writesHandedOn();

    ChatEnvironment env_;
    std::string roomCode_;
    std::shared_ptr<const P256KeyAgreementKey> localKey_;
    std::unique_ptr<ChatMachine> machine_;
    std::shared_ptr<Connection> connection_;  // the newest, where texts go
    std::array<std::shared_ptr<TaskHandle>, chat::timerCount> timers_;
    std::shared_ptr<TaskHandle> inputTask_;
    std::weak_ptr<Connection> lastClosed_;
    TaskSignal writesDrained_;
    bool ended_ = false;
};

// Who the chat is for: a person at a terminal, or a program speaking JSON-RPC (`chat --json`).
enum class ChatInterface : std::uint8_t { person, json };

// The `chat` command: runs the client on the main thread until it ends the process (status 0
// after quitting, 1 after a fatal error).
[[noreturn]] void runChat(const std::string& peerPubKeyBase64URL, const std::string& relayBaseURL,
                          ChatInterface interface = ChatInterface::person);

}  // namespace duoquill::cli
