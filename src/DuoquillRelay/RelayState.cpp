#include "DuoquillRelay/RelayState.h"

namespace duoquill::relay {

RelayState::RelayState(RelayOptions options)
    : options_(std::move(options)),
      log_(options_.quiet),
      registry_(Room::BacklogLimits{options_.backlogFrames, options_.backlogBytes},
                // A live member answers every ping at once; a quarter of the interval is room
                // for a slow path before its silence counts as death.
                options_.pingInterval + options_.pingInterval / 4),
      limiter_(std::make_shared<ConnectionLimiter>(options_.maxConnections, options_.maxConnectionsPerAddress)) {}

void RelayState::addSession(std::uint64_t id, std::weak_ptr<RelaySession> session) {
    std::lock_guard lock(mutex_);
    sessions_.emplace(id, std::move(session));
}

void RelayState::removeSession(std::uint64_t id) {
    std::function<void()> drained;
    {
        std::lock_guard lock(mutex_);
        sessions_.erase(id);
        if (sessions_.empty() && onDrained_) drained = std::exchange(onDrained_, nullptr);
    }
    if (drained) drained();
}

std::vector<std::shared_ptr<RelaySession>> RelayState::liveSessions() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<RelaySession>> live;
    live.reserve(sessions_.size());
    for (const auto& [id, weak] : sessions_) {
        if (auto session = weak.lock()) live.push_back(std::move(session));
    }
    return live;
}

std::size_t RelayState::sessionCount() const {
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

void RelayState::beginStopping(std::function<void()> onDrained) {
    std::function<void()> drained;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        if (sessions_.empty()) {
            drained = std::move(onDrained);
        } else {
            onDrained_ = std::move(onDrained);
        }
    }
    if (drained) drained();
}

}  // namespace duoquill::relay
