#pragma once
// Tasks of the chat client's main actor and the sleeps they take.
//
// A task is a coroutine spawned on the main actor's executor. Its handle carries an explicit
// cancel flag: cancelling asks the task to stop and cuts short the sleep it is in, if any, but
// never interrupts a send or a close the task is awaiting. The task itself checks the flag
// after every sleep.
//
// Sleeps go through ChatTimers so that tests can drive time themselves instead of waiting
// for it.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <memory>

namespace duoquill::cli {

class TaskHandle {
public:
    void cancel();
    bool isCancelled() const noexcept { return cancelled_; }

    // Called by a sleep while it waits; the hook ends the wait early. Cleared when the wait ends.
    void setCancelHook(std::function<void()> hook) { cancelHook_ = std::move(hook); }
    void clearCancelHook() { cancelHook_ = nullptr; }

private:
    bool cancelled_ = false;
    std::function<void()> cancelHook_;
};

// Cancels the task, if any, and empties the slot.
inline void cancelAndClear(std::shared_ptr<TaskHandle>& slot) {
    if (auto task = std::move(slot)) task->cancel();
    slot.reset();
}

class ChatTimers {
public:
    virtual ~ChatTimers() = default;
    // Completes after the delay on a monotonic clock, or earlier when the task is cancelled.
    // Never throws; the caller looks at task.isCancelled() afterwards.
    virtual boost::asio::awaitable<void> sleep(double seconds, TaskHandle& task) = 0;
};

// Real time: Asio steady timers on the given executor.
class SteadyChatTimers final : public ChatTimers {
public:
    explicit SteadyChatTimers(boost::asio::any_io_executor executor) : executor_(std::move(executor)) {}
    boost::asio::awaitable<void> sleep(double seconds, TaskHandle& task) override;

private:
    boost::asio::any_io_executor executor_;
};

// Wakes every task waiting on it. A task waits until the next notify(), however long.
class TaskSignal {
public:
    explicit TaskSignal(boost::asio::any_io_executor executor);
    boost::asio::awaitable<void> wait();
    void notify();

private:
    boost::asio::steady_timer timer_;
};

}  // namespace duoquill::cli
