#include "Kit/ManualTimeline.h"

#include <algorithm>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <optional>
#include <vector>

namespace asio = boost::asio;

namespace duoquill::test {

ManualTimeline::EventId ManualTimeline::schedule(double delay, std::function<void()> fire) {
    const EventId id = nextId_++;
    const double deadline = now_ + std::max(delay, 0.0);
    events_.emplace(Key{deadline, id}, std::move(fire));
    deadlines_.emplace(id, deadline);
    return id;
}

void ManualTimeline::cancel(EventId id) {
    const auto it = deadlines_.find(id);
    if (it == deadlines_.end()) return;
    // Take the callback out before destroying it: its destructor may reach back into us.
    auto node = events_.extract(Key{it->second, id});
    deadlines_.erase(it);
}

std::size_t ManualTimeline::attach(std::function<std::size_t()> pollOnce) {
    pollers_.emplace(nextPoller_, std::move(pollOnce));
    return nextPoller_++;
}

void ManualTimeline::pollAll() {
    for (std::size_t round = 1; round != 0;) {
        round = 0;
        // Copy the keys: a handler may attach or detach executors.
        std::vector<std::size_t> keys;
        for (const auto& [key, poll] : pollers_) keys.push_back(key);
        for (const auto key : keys) {
            if (const auto it = pollers_.find(key); it != pollers_.end()) round += it->second();
        }
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
        auto node = events_.extract(events_.begin());
        deadlines_.erase(node.key().id);
        now_ = std::max(now_, node.key().deadline);
        node.mapped()();
    }
}

ManualChatTimers::~ManualChatTimers() {
    *alive_ = false;
    auto pending = std::move(pending_);
    for (const auto& [id, unused] : pending) timeline_.cancel(id);
}

asio::awaitable<void> ManualChatTimers::sleep(double seconds, cli::TaskHandle& task) {
    if (task.isCancelled()) co_return;
    // A named initiation: GCC 12 destroys closures built inside a co_await expression twice.
    auto initiation = [this, seconds, &task](auto handler) {
        using Handler = decltype(handler);
        // The timeline owns the waiting coroutine; the cancel hook only points at it.
        auto slot = std::make_shared<std::optional<Handler>>(std::move(handler));
        auto complete = [executor = executor_](const std::shared_ptr<std::optional<Handler>>& s) {
            if (!s || !s->has_value()) return;
            Handler h = std::move(**s);
            s->reset();
            asio::post(executor, std::move(h));
        };
        auto eventId = std::make_shared<ManualTimeline::EventId>(0);
        const auto id = timeline_.schedule(seconds, [this, slot, complete, eventId, alive = alive_] {
            if (!*alive) return;
            pending_.erase(*eventId);
            complete(slot);
        });
        *eventId = id;
        pending_.emplace(id, true);
        std::weak_ptr<std::optional<Handler>> weak = slot;
        task.setCancelHook([this, id, weak, complete, alive = std::weak_ptr<bool>(alive_)] {
            auto stillAlive = alive.lock();
            if (!stillAlive || !*stillAlive) return;
            auto s = weak.lock();
            pending_.erase(id);
            complete(s);
            timeline_.cancel(id);
        });
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(std::move(initiation), asio::use_awaitable);
    task.clearCancelHook();
}

}  // namespace duoquill::test
