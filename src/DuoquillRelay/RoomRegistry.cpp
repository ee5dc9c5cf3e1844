#include "DuoquillRelay/RoomRegistry.h"

#include <algorithm>

namespace duoquill::relay {

std::optional<std::string_view> RoomRegistry::tokenFromTarget(std::string_view target) {
    // A client given a relay URL with a trailing "/" asks for "//" + token: the same room.
    if (target.size() == 2 + tokenLength && target.starts_with("//")) target.remove_prefix(1);
    if (target.size() != 1 + tokenLength || target.front() != '/') return std::nullopt;
    const std::string_view token = target.substr(1);
    const bool lowerHex = std::all_of(token.begin(), token.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    });
    if (!lowerHex) return std::nullopt;
    return token;
}

RoomRegistry::Joined RoomRegistry::join(const std::string& token, std::shared_ptr<RoomMember> member) {
    std::lock_guard lock(mutex_);
    auto& room = rooms_[token];
    if (!room) room = std::make_shared<Room>(token, limits_, displaceAfterSilence_, budget_);
    return Joined{room, room->join(std::move(member))};
}

bool RoomRegistry::leave(const std::shared_ptr<Room>& room, const RoomMember& member) {
    std::lock_guard lock(mutex_);
    const bool wasMember = room->leave(member);
    if (room->empty()) {
        const auto it = rooms_.find(room->token());
        if (it != rooms_.end() && it->second == room) rooms_.erase(it);
    }
    return wasMember;
}

std::size_t RoomRegistry::roomCount() const {
    std::lock_guard lock(mutex_);
    return rooms_.size();
}

RoomRegistry::Occupancy RoomRegistry::occupancy() const {
    std::lock_guard lock(mutex_);
    Occupancy occupancy;
    for (const auto& [token, room] : rooms_) {
        const std::size_t members = room->memberCount();
        if (members == 1) ++occupancy.lone;
        if (members == 2) ++occupancy.paired;
    }
    return occupancy;
}

}  // namespace duoquill::relay
