#pragma once
// Tasks of the chat client's main actor and the sleeps they take.
//
// A task is a coroutine spawned on the main actor's executor. Its handle carries an explicit
// cancel flag: cancelling asks the task to stop and cuts short the sleep it is in, if any, but
// never interrupts a send or a close the task is awaiting. The task itself checks the flag
// after every sleep.
//
// Sleeps go through ChatTimers so that tests drive time themselves (ManualTimeline) instead
// of waiting for it.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <functional>
#include <map>
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

// Simulated time shared by any number of executors (one per simulated process). Nothing moves
// until the test asks: runUntilIdle() runs every ready handler, then advances the clock to the
// earliest pending deadline and fires it, repeating up to the limit. Events of equal deadline
// fire in the order they were scheduled, so a run is reproducible.
class ManualTimeline {
public:
    double now() const noexcept { return now_; }

    using EventId = unsigned long long;
    // Calls fire() when the clock reaches now + delay; cancel(id) drops it unfired.
    EventId schedule(double delay, std::function<void()> fire);
    void cancel(EventId id);

    // Executors whose ready work is run before the clock moves.
    void attach(std::function<std::size_t()> pollOnce);
    std::size_t pollAll();

    // Runs ready work and timers until the clock would pass `until`, or stopWhen() holds.
    void runUntil(double until, const std::function<bool()>& stopWhen = nullptr);
    void runFor(double seconds, const std::function<bool()>& stopWhen = nullptr) {
        runUntil(now_ + seconds, stopWhen);
    }
    bool hasPending() const noexcept { return !events_.empty(); }

private:
    struct Key {
        double deadline;
        EventId id;
        bool operator<(const Key& other) const {
            return deadline != other.deadline ? deadline < other.deadline : id < other.id;
        }
    };
    double now_ = 0.0;
    EventId nextId_ = 1;
    std::map<Key, std::function<void()>> events_;
    std::map<EventId, double> deadlines_;
    std::map<std::size_t, std::function<std::size_t()>> pollers_;
    std::size_t nextPoller_ = 0;

public:
    // Detaches a poller added by attach(); returns its key.
    std::size_t lastPollerKey() const noexcept { return nextPoller_ - 1; }
    void detach(std::size_t key) { pollers_.erase(key); }
};

// ChatTimers on a ManualTimeline for one executor. Destroying it drops its unfired sleeps
// (and with them the coroutines waiting in them), as the end of a process would.
class ManualChatTimers final : public ChatTimers {
public:
    ManualChatTimers(ManualTimeline& timeline, boost::asio::any_io_executor executor)
        : timeline_(timeline), executor_(std::move(executor)) {}
    ~ManualChatTimers() override;
    ManualChatTimers(const ManualChatTimers&) = delete;
    ManualChatTimers& operator=(const ManualChatTimers&) = delete;

    boost::asio::awaitable<void> sleep(double seconds, TaskHandle& task) override;

private:
    ManualTimeline& timeline_;
    boost::asio::any_io_executor executor_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::map<ManualTimeline::EventId, bool> pending_;
};

}  // namespace duoquill::cli
