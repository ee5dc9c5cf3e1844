#include "DuoquillRelay/Room.h"

#include <algorithm>

namespace duoquill::relay {

Room::Room(std::string token, BacklogLimits limits, std::chrono::steady_clock::duration displaceAfterSilence,
           MemoryBudget* budget)
    : token_(std::move(token)), limits_(limits), displaceAfterSilence_(displaceAfterSilence), backlogBytes_(budget) {}

const Frame& Room::peerDisconnectedFrame() {
    static const Frame frame = std::make_shared<const std::string>(R"({"t":"peer-disconnected"})");
    return frame;
}

bool Room::isMember(const RoomMember& member) const {
    return std::any_of(members_.begin(), members_.end(), [&](const auto& m) { return m.get() == &member; });
}

Room::JoinOutcome Room::join(std::shared_ptr<RoomMember> member) {
    std::lock_guard lock(mutex_);
    JoinOutcome outcome;
    if (members_.size() >= capacity) {
        const auto oldest = std::min_element(members_.begin(), members_.end(), [](const auto& a, const auto& b) {
            return a->lastReceived() < b->lastReceived();
        });
        if (displaceAfterSilence_ > std::chrono::steady_clock::duration::zero() &&
            std::chrono::steady_clock::now() - (*oldest)->lastReceived() < displaceAfterSilence_) {
            outcome.refused = true;
            outcome.members = members_.size();
            return outcome;
        }
        outcome.displaced = *oldest;
        members_.erase(oldest);
        outcome.displaced->displace();
        for (const auto& remaining : members_) remaining->deliver(peerDisconnectedFrame());
    }
    if (!members_.empty()) {
        // Queued under the lock, so the lone member's next frame cannot overtake these.
        for (auto& frame : backlog_) member->deliver(std::move(frame));
        outcome.backlogDelivered = backlog_.size();
        backlog_.clear();
        backlogBytes_.clear();
    }
    members_.push_back(std::move(member));
    outcome.members = members_.size();
    return outcome;
}

bool Room::leave(const RoomMember& member) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(members_.begin(), members_.end(), [&](const auto& m) { return m.get() == &member; });
    if (it == members_.end()) return false;
    members_.erase(it);
    backlog_.clear();
    backlogBytes_.clear();
    for (const auto& remaining : members_) remaining->deliver(peerDisconnectedFrame());
    return true;
}

Room::Forwarded Room::forward(const RoomMember& from, Frame frame) {
    std::shared_ptr<RoomMember> peer;
    {
        std::lock_guard lock(mutex_);
        if (!isMember(from)) return Forwarded::notMember;
        for (const auto& other : members_) {
            if (other.get() != &from) peer = other;
        }
        if (!peer) return keep(std::move(frame));
    }
    // Unlocked: the peer may queue it at once, and whatever that sets off may come back here.
    peer->deliverFromPeer(std::move(frame));
    return Forwarded::toPeer;
}

// Under the lock.
Room::Forwarded Room::keep(Frame frame) {
    const std::size_t size = frame->size();
    while (!backlog_.empty() && (backlog_.size() + 1 > limits_.frames || backlogBytes_.bytes() + size > limits_.bytes)) {
        backlogBytes_.shrink(backlog_.front()->size());
        backlog_.pop_front();
    }
    if (limits_.frames == 0 || size > limits_.bytes) return Forwarded::notKept;
    if (!backlogBytes_.grow(size)) return Forwarded::notKeptOverBudget;
    backlog_.push_back(std::move(frame));
    return Forwarded::kept;
}

bool Room::empty() const {
    std::lock_guard lock(mutex_);
    return members_.empty();
}

std::size_t Room::memberCount() const {
    std::lock_guard lock(mutex_);
    return members_.size();
}

std::size_t Room::backlogFrameCount() const {
    std::lock_guard lock(mutex_);
    return backlog_.size();
}

}  // namespace duoquill::relay
