#pragma once
// Simulated time shared by any number of executors (one per simulated process). Nothing moves
// until the test asks: runUntil() runs every ready handler, then advances the clock to the
// earliest pending deadline and fires it, and so on. Events of equal deadline fire in the
// order they were scheduled, so a run is reproducible.

#include <boost/asio/any_io_executor.hpp>
#include <functional>
#include <map>
#include <memory>

#include "DuoquillCLI/ChatTasks.h"

namespace duoquill::test {

class ManualTimeline {
public:
    double now() const noexcept { return now_; }

    using EventId = unsigned long long;
    // Calls fire() when the clock reaches now + delay; cancel(id) drops it unfired.
    EventId schedule(double delay, std::function<void()> fire);
    void cancel(EventId id);

    // Executors whose ready work runs before the clock moves; detach() takes one away.
    std::size_t attach(std::function<std::size_t()> pollOnce);
    void detach(std::size_t key) { pollers_.erase(key); }

    // Runs ready work and timers until the clock would pass `until`, or stopWhen() holds.
    void runUntil(double until, const std::function<bool()>& stopWhen = nullptr);
    void runFor(double seconds, const std::function<bool()>& stopWhen = nullptr) { runUntil(now_ + seconds, stopWhen); }

private:
    void pollAll();

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
};

// The client's timers on a ManualTimeline, for one executor. Destroying it drops its unfired
// sleeps (and with them the coroutines waiting in them), as the end of a process would.
class ManualChatTimers final : public cli::ChatTimers {
public:
    ManualChatTimers(ManualTimeline& timeline, boost::asio::any_io_executor executor)
        : timeline_(timeline), executor_(std::move(executor)) {}
    ~ManualChatTimers() override;
    ManualChatTimers(const ManualChatTimers&) = delete;
    ManualChatTimers& operator=(const ManualChatTimers&) = delete;

    boost::asio::awaitable<void> sleep(double seconds, cli::TaskHandle& task) override;

private:
    ManualTimeline& timeline_;
    boost::asio::any_io_executor executor_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::map<ManualTimeline::EventId, bool> pending_;
};

}  // namespace duoquill::test
