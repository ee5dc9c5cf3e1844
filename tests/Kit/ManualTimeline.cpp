#include "Kit/ManualTimeline.h"

#include <algorithm>
#include <vector>

namespace duoquill::test {

ManualTimeline::EventId ManualTimeline::schedule(double delay, std::function<void()> fire) {
    const EventId id = nextId_++;
    events_.emplace(Key{now_ + std::max(delay, 0.0), id}, std::move(fire));
    return id;
}

void ManualTimeline::cancel(EventId id) {
    const auto event = std::ranges::find_if(events_, [id](const auto& e) { return e.first.id == id; });
    // Take the callback out before destroying it: its destructor may reach back into us.
    if (event != events_.end()) events_.extract(event);
}

void ManualTimeline::pollAll() {
    for (std::size_t round = 1; round != 0;) {
        round = 0;
        // Copy the keys: a handler may attach or detach executors.
        std::vector<std::size_t> keys;
        for (const auto& [key, poll] : pollers_) keys.push_back(key);
        for (const auto key : keys) if (const auto it = pollers_.find(key); it != pollers_.end()) round += it->second();
    }
}

void ManualTimeline::runUntil(double until, const std::function<bool()>& stopWhen) {
    for (;;) {
        pollAll();
        if (stopWhen && stopWhen()) return;
        if (events_.empty() || events_.begin()->first.deadline > until) {
            now_ = std::max(now_, until);
            return;
        }
        fireFirst();
    }
}

void ManualTimeline::fireFirst() {
    auto node = events_.extract(events_.begin());
    now_ = std::max(now_, node.key().deadline);
    node.mapped()();
}

bool ManualTimeline::fireNext() {
    pollAll();
    if (events_.empty()) return false;
    fireFirst();
    pollAll();
    return true;
}

}  // namespace duoquill::test
