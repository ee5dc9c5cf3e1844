#pragma once
// One room: the (at most) two connections that opened the same room path, and what a lone
// member sent while it waited for the other. A Room is shared by the threads of its
// members and locks itself. It calls back into a member only through RoomMember: under its
// lock only the operations that post work, and deliverFromPeer only after unlocking.

#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DuoquillRelay/MemoryBudget.h"

namespace duoquill::relay {

// One text frame, shared between the queues it sits in.
using Frame = std::shared_ptr<const std::string>;

// What a room needs of a connection.
class RoomMember {
public:
    virtual ~RoomMember() = default;
    // Queues a text frame for sending, by posting it to the member's thread. Frames queued
    // from one thread go out in call order.
    virtual void deliver(Frame frame) = 0;
    // The same for a frame its peer sent, called with no lock held: a member on its own
    // thread may queue it at once, as long as nothing deliver() posted is still ahead of it.
    virtual void deliverFromPeer(Frame frame) { deliver(std::move(frame)); }
    // Closes the connection with 4000 "replaced": a newcomer took its place.
    virtual void displace() = 0;
    // When the last frame of any kind arrived from this member (the upgrade, before the first).
    virtual std::chrono::steady_clock::time_point lastReceived() const = 0;
};

class Room {
public:
    static constexpr std::size_t capacity = 2;

    struct BacklogLimits {
        std::size_t frames = 16;
        // Room for the hello and a full-sized tunnel frame (90144 bytes of base64 at most).
        std::size_t bytes = 128 * 1024;
    };

    struct JoinOutcome {
        std::shared_ptr<RoomMember> displaced;  // set when the room was full
        bool refused = false;                   // full, and both members recently heard from
        std::size_t backlogDelivered = 0;       // frames kept for the newcomer
        std::size_t members = 0;                // after the join
    };

    // displaceAfterSilence: a full room lets a newcomer in only when a member has been silent
    // (no frame, no pong) for at least this long; zero lets it in always. Kept frames are
    // charged to `budget` when there is one.
    Room(std::string token, BacklogLimits limits,
         std::chrono::steady_clock::duration displaceAfterSilence = std::chrono::steady_clock::duration::zero(),
         MemoryBudget* budget = nullptr);
    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;

    const std::string& token() const { return token_; }

    // Admits the member. A full room first loses the member whose last received frame is
    // oldest: it is displaced, and the remaining one is told its peer disconnected. The
    // newcomer then receives, in order, what a lone member sent before it came. When that
    // member was heard from too recently, the newcomer is refused instead and nothing changes:
    // whoever learns a room's path must not be able to push a live member out.
    JoinOutcome join(std::shared_ptr<RoomMember> member);

    // Removes the member and tells the remaining one, if any, that its peer disconnected.
    // A lone member's kept frames go with it. False when it was no longer a member.
    bool leave(const RoomMember& member);

    enum class Forwarded { toPeer, kept, notKept, notKeptOverBudget, notMember };

    // Passes a frame from a member to the other one, or keeps it while the member is alone
    // (making room by forgetting its oldest kept frames). Frames of a connection that is no
    // longer a member are dropped.
    Forwarded forward(const RoomMember& from, Frame frame);

    bool empty() const;
    std::size_t memberCount() const;
    std::size_t backlogFrameCount() const;

    // The notice {"t":"peer-disconnected"}.
    static const Frame& peerDisconnectedFrame();

private:
    bool isMember(const RoomMember& member) const;
    Forwarded keep(Frame frame);

    const std::string token_;
    const BacklogLimits limits_;
    const std::chrono::steady_clock::duration displaceAfterSilence_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<RoomMember>> members_;
    std::list<Frame> backlog_;  // unlike a deque, holds no memory while empty
    MemoryBudget::Charge backlogBytes_;
};

}  // namespace duoquill::relay
