#pragma once
// Simulated time shared by any number of executors (one per simulated process). Nothing moves
// until the test asks: runUntil() runs every ready handler, then advances the clock to the
// earliest pending deadline and fires it, and so on. Events of equal deadline fire in the
// order they were scheduled, so a run is reproducible.

#include <cstddef>
#include <functional>
#include <map>

namespace duoquill::test {

class ManualTimeline {
public:
    double now() const noexcept { return now_; }

    using EventId = unsigned long long;
    // Calls fire() when the clock reaches now + delay; cancel(id) drops it unfired.
    EventId schedule(double delay, std::function<void()> fire);
    void cancel(EventId id);

    // Executors whose ready work runs before the clock moves; detach() takes one away.
    std::size_t attach(std::function<std::size_t()> pollOnce) {
        pollers_.emplace(nextPoller_, std::move(pollOnce));
        return nextPoller_++;
    }
    void detach(std::size_t key) { pollers_.erase(key); }

    // Runs ready work and timers until the clock would pass `until`, or stopWhen() holds.
    void runUntil(double until, const std::function<bool()>& stopWhen = nullptr);
    void runFor(double seconds, const std::function<bool()>& stopWhen = nullptr) { runUntil(now_ + seconds, stopWhen); }
    // Runs ready work, then the earliest event and the work it readied; false when none is pending.
    bool fireNext();
    // Runs ready work until there is none; the clock stays.
    void settle() { pollAll(); }

private:
    void pollAll();
    void fireFirst();

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
    std::map<std::size_t, std::function<std::size_t()>> pollers_;
    std::size_t nextPoller_ = 0;
};

}  // namespace duoquill::test
