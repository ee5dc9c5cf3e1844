#pragma once
// Every open room by token. A room exists while it has a member: it is made by the first
// join and forgotten with its last member (and with it anything kept for a joiner).

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "DuoquillRelay/Room.h"

namespace duoquill::relay {

class RoomRegistry {
public:
    static constexpr std::size_t tokenLength = 128;

    // `budget` (kept frames are charged to it) may be null; it must outlive the registry.
    explicit RoomRegistry(Room::BacklogLimits limits,
                          std::chrono::steady_clock::duration displaceAfterSilence = std::chrono::steady_clock::duration::zero(),
                          MemoryBudget* budget = nullptr)
        : limits_(limits), displaceAfterSilence_(displaceAfterSilence), budget_(budget) {}
    RoomRegistry(const RoomRegistry&) = delete;
    RoomRegistry& operator=(const RoomRegistry&) = delete;

    // The room token of a request target: "/" (or "//") then exactly 128 lower-case
    // hexadecimal characters, nothing else (no query, no trailing slash).
    static std::optional<std::string_view> tokenFromTarget(std::string_view target);

    struct Joined {
        std::shared_ptr<Room> room;
        Room::JoinOutcome outcome;
    };
    Joined join(const std::string& token, std::shared_ptr<RoomMember> member);

    // A refused newcomer (room.outcome.refused) is not a member: it need not leave.
    // Takes the member out of its room, and the room out of the registry once it is empty.
    // False when the member had already left (e.g. it was displaced).
    bool leave(const std::shared_ptr<Room>& room, const RoomMember& member);

    std::size_t roomCount() const;

    struct Occupancy {
        std::size_t lone = 0;
        std::size_t paired = 0;
    };
    // Visits every room: for an occasional look, not for each frame.
    Occupancy occupancy() const;

private:
    const Room::BacklogLimits limits_;
    const std::chrono::steady_clock::duration displaceAfterSilence_;
    MemoryBudget* const budget_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<Room>> rooms_;
};

}  // namespace duoquill::relay
