// The driver of the chat's machine: its connections, write queues and timers.

#include "DuoquillCLI/Chat/ChatDriver.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>

#include "DuoquillCLI/Chat/ChatErrorText.h"

namespace asio = boost::asio;

namespace duoquill::cli {

using namespace chat;

namespace {

// A task that throws has met a fault of this program: it surfaces from the io_context's run,
// where the chat reports it, instead of vanishing with the task.
void rethrowFault(std::exception_ptr fault) {
    if (fault) std::rethrow_exception(fault);
}

}  // namespace

std::shared_ptr<ChatDriver> ChatDriver::create(ChatDriverEnvironment environment, std::unique_ptr<ChatMachine> machine) {
    return std::make_shared<ChatDriver>(Private{}, std::move(environment), std::move(machine));
}

ChatDriver::ChatDriver(Private, ChatDriverEnvironment environment, std::unique_ptr<ChatMachine> machine)
    : env_(std::move(environment)), machine_(std::move(machine)), writesDrained_(env_.executor) {}

ChatDriver::~ChatDriver() { cancelAll(); }

// ---- events in, actions out ----

void ChatDriver::feed(Event event) {
    if (ended_) return;
    const Phase before = machine_->phase();
    const std::size_t kind = event.index();
    Actions actions = machine_->handle(std::move(event), Instant::of(env_.clock));
    if (env_.observer) env_.observer->handled(kind, before, machine_->phase());
    for (auto& action : actions) {
        if (ended_) return;
        perform(action);
    }
}

void ChatDriver::perform(Action& action) {
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
                slot = spawn([weak = weak_from_this(), armed = a](std::shared_ptr<TaskHandle> task) {
                    return timerTask(weak, std::move(task), armed);
                });
            } else if constexpr (std::is_same_v<A, WriteSessionEpoch>) {
                if (env_.storeSessionEpoch) env_.storeSessionEpoch(a.wallSeconds);
            } else if constexpr (std::is_same_v<A, ClearSessionEpoch>) {
                if (env_.storeSessionEpoch) env_.storeSessionEpoch(std::nullopt);
            } else if constexpr (std::is_same_v<A, Output>) {
                env_.display.show(a);
            } else if constexpr (std::is_same_v<A, StartInput>) {
                inputTask_ = std::make_shared<TaskHandle>();
                if (env_.startInput) env_.startInput(inputTask_);
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

void ChatDriver::cancelAll() {
    for (auto& slot : timers_) cancelAndClear(slot);
    cancelAndClear(inputTask_);
    if (connection_) cancelAndClear(connection_->receiving);
}

void ChatDriver::exitProcess(int status) {
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

std::shared_ptr<TaskHandle> ChatDriver::spawn(
    std::function<asio::awaitable<void>(std::shared_ptr<TaskHandle>)> body) {
    auto task = std::make_shared<TaskHandle>();
    asio::co_spawn(env_.executor, body(task), rethrowFault);
    return task;
}

asio::awaitable<void> ChatDriver::timerTask(std::weak_ptr<ChatDriver> weak, std::shared_ptr<TaskHandle> task,
                                               ArmTimer armed) {
    {
        auto self = weak.lock();
        if (!self) co_return;
        auto& timers = self->env_.timers;
        self.reset();
        co_await timers.sleep(armed.seconds, *task);
    }
    if (task->isCancelled()) co_return;
    auto self = weak.lock();
    if (!self) co_return;
    auto& slot = self->timers_[static_cast<std::size_t>(armed.timer)];
    if (slot == task) slot.reset();
    self->feed(TimerFired{armed.timer, armed.stamp});
}

asio::awaitable<void> ChatDriver::receiveLoop(std::weak_ptr<ChatDriver> weak,
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

void ChatDriver::startWriting(const std::shared_ptr<Connection>& connection) {
    if (connection->writing) return;
    connection->writing = true;
    asio::co_spawn(env_.executor, writeLoop(weak_from_this(), connection), rethrowFault);
}

asio::awaitable<void> ChatDriver::writeLoop(std::weak_ptr<ChatDriver> weak,
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

asio::awaitable<void> ChatDriver::writesHandedOn() {
    auto self = shared_from_this();
    while (!ended_ && connection_ && connection_->writing) co_await writesDrained_.wait();
}

}  // namespace duoquill::cli
