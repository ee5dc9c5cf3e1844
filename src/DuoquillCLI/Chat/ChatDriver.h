#pragma once
// ChatDriver: carries out what a ChatMachine decides. It owns the relay connections, their
// write queues and the timers, feeds every event to the machine with the time, and performs
// the actions it returns; it decides nothing itself. The program and the tests run this same
// driver; tests replace only the transport, the timers and the clock.
//
// Everything runs on one executor, the main actor. Texts go out through one write queue per
// relay connection, in the order the machine returned them; each outcome goes back to the
// machine as an event. What arrives on a connection let go is dropped. An exit that waits for
// the writes ends the process once the goodbye and the close queued before it are out. Every
// task (the receiving of a connection, a timer, a write queue) holds the driver weakly, so a
// driver that is gone stops them all.

#include <array>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "Duoquill/System/Clock.h"
#include "DuoquillCLI/Chat/ChatDisplay.h"
#include "DuoquillCLI/Chat/ChatMachine.h"
#include "DuoquillCLI/Chat/ChatObserver.h"
#include "DuoquillCLI/Chat/ChatTasks.h"
#include "DuoquillCLI/Chat/ChatTransport.h"

namespace duoquill::cli {

// Everything the driver reaches outside itself. All references must outlive the driver.
struct ChatDriverEnvironment {
    boost::asio::any_io_executor executor;
    ChatTimers& timers;
    ChatDisplay& display;
    ChatTransportFactory makeTransport;
    const Clock& clock;
    // Ends the process with the status. The program's never returns; a test's may, and the
    // driver then stops doing anything.
    std::function<void(int)> exitProcess;
    // Starts the reader of the user's lines, cancelled through the task; empty: nothing reads.
    std::function<void(std::shared_ptr<TaskHandle>)> startInput;
    // Null: nobody but the display is told.
    ChatObserver* observer = nullptr;
    // Writes the room's epoch file with the time given, or removes it; empty: kept nowhere.
    std::function<void(std::optional<double> wallSeconds)> storeSessionEpoch;
};

class ChatDriver : public std::enable_shared_from_this<ChatDriver> {
    struct Private {};

public:
    static std::shared_ptr<ChatDriver> create(ChatDriverEnvironment environment, std::unique_ptr<ChatMachine> machine);
    ChatDriver(Private, ChatDriverEnvironment environment, std::unique_ptr<ChatMachine> machine);
    ~ChatDriver();
    ChatDriver(const ChatDriver&) = delete;
    ChatDriver& operator=(const ChatDriver&) = delete;

    // Hands the event to the machine and carries out what it returns; nothing once ended.
    void feed(chat::Event event);
    // Completes once the current connection's write queue is empty.
    boost::asio::awaitable<void> writesHandedOn();

    const ChatMachine& machine() const noexcept { return *machine_; }
    bool ended() const noexcept { return ended_; }

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

    void perform(chat::Action& action);
    void startWriting(const std::shared_ptr<Connection>& connection);
    void exitProcess(int status);
    void cancelAll();
    std::shared_ptr<TaskHandle> spawn(std::function<boost::asio::awaitable<void>(std::shared_ptr<TaskHandle>)> body);
    static boost::asio::awaitable<void> receiveLoop(std::weak_ptr<ChatDriver> weak,
                                                    std::shared_ptr<Connection> connection,
                                                    std::shared_ptr<TaskHandle> task);
    static boost::asio::awaitable<void> writeLoop(std::weak_ptr<ChatDriver> weak,
                                                  std::shared_ptr<Connection> connection);
    static boost::asio::awaitable<void> timerTask(std::weak_ptr<ChatDriver> weak, std::shared_ptr<TaskHandle> task,
                                                  chat::ArmTimer armed);

    ChatDriverEnvironment env_;
    std::unique_ptr<ChatMachine> machine_;
    std::shared_ptr<Connection> connection_;  // the newest, where texts go
    std::array<std::shared_ptr<TaskHandle>, chat::timerCount> timers_;
    std::shared_ptr<TaskHandle> inputTask_;
    std::weak_ptr<Connection> lastClosed_;
    TaskSignal writesDrained_;
    bool ended_ = false;
};

}  // namespace duoquill::cli
