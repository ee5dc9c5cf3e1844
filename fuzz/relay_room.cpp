// The relay's rooms driven by any sequence of connections joining, leaving, sending and
// being heard from, in two rooms, against a model of what the relay promises: pairs of
// members, frames passed on unchanged and in order, a lone member's frames kept (the newest
// 16 frames / 128 KiB) for the member that joins later, the member silent longest displaced
// by a third, and {"t":"peer-disconnected"} to whoever remains when a member goes.
//
// Input: a sequence of operations, one byte each (operation in bits 0-1, connection in bits
// 2-4, room in bit 5), a send followed by a 2-byte length and that many bytes.

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DuoquillRelay/RoomRegistry.h"
#include "Duoquill/Protocol/RelayMessages.h"
#include "FuzzTarget.h"

using namespace duoquill;
using namespace duoquill::relay;
using duoquill::fuzz::FuzzInput;
using duoquill::fuzz::require;

namespace {

constexpr int connections = 8;
constexpr Room::BacklogLimits limits{};
const std::string tokens[2] = {std::string(128, 'a'), std::string(128, 'b')};

class Connection final : public RoomMember {
public:
    void deliver(Frame frame) override { received.push_back(*frame); }
    void displace() override { displaced = true; }
    std::chrono::steady_clock::time_point lastReceived() const override { return heardAt; }

    std::vector<std::string> received;
    bool displaced = false;
    std::chrono::steady_clock::time_point heardAt;
};

// What the relay should do, written plainly.
struct ModelRoom {
    std::vector<int> members;  // in joining order
    std::deque<std::string> kept;
    std::size_t keptBytes = 0;
};

struct Model {
    std::map<int, ModelRoom> rooms;
    std::vector<std::vector<std::string>> expected = std::vector<std::vector<std::string>>(connections);
    std::vector<bool> displaced = std::vector<bool>(connections, false);
    std::vector<long> heardAt = std::vector<long>(connections, 0);
};

const std::string peerDisconnected = protocol::encodePeerDisconnected();

std::vector<Bytes> seeds() {
    auto send = [](fuzz::SeedWriter& w, int connection, int roomIndex, std::string_view text) {
        w.u8(static_cast<std::uint8_t>(2 | connection << 2 | roomIndex << 5)).u16(static_cast<std::uint16_t>(text.size()));
        w.bytes(asBytes(text));
    };
    auto op = [](fuzz::SeedWriter& w, int operation, int connection, int roomIndex) {
        w.u8(static_cast<std::uint8_t>(operation | connection << 2 | roomIndex << 5));
    };
    fuzz::SeedWriter pair;
    op(pair, 0, 0, 0);
    send(pair, 0, 0, R"({"t":"hello","pkid":"a"})");
    op(pair, 0, 1, 0);
    send(pair, 1, 0, R"({"t":"hello","pkid":"b"})");
    send(pair, 0, 0, "AAAA");
    op(pair, 1, 0, 0);
    fuzz::SeedWriter crowd;
    for (int c = 0; c < 3; ++c) op(crowd, 0, c, 0);
    op(crowd, 3, 1, 0);
    op(crowd, 0, 3, 0);
    for (int i = 0; i < 20; ++i) send(crowd, 3, 0, std::string(20 + i, 'k'));
    op(crowd, 0, 4, 1);
    op(crowd, 0, 5, 1);
    return {pair.done(), crowd.done()};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::writeSeedsIfAsked(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    RoomRegistry registry(limits);
    std::vector<std::shared_ptr<Connection>> conns(connections);
    std::vector<std::shared_ptr<Room>> roomOf(connections);
    std::vector<int> roomIndexOf(connections, -1);
    std::vector<bool> used(connections, false);  // a connection joins at most once
    Model model;
    long clock = 0;

    auto deliverModel = [&](int to, const std::string& frame) { model.expected[to].push_back(frame); };
    while (in.remaining() > 0) {
        const std::uint8_t op = in.u8();
        const int c = (op >> 2) & 7;
        const int r = (op >> 5) & 1;
        switch (op & 3) {
        case 0: {  // join
            if (used[c]) break;
            used[c] = true;
            conns[c] = std::make_shared<Connection>();
            conns[c]->heardAt = std::chrono::steady_clock::time_point(std::chrono::seconds(++clock));
            model.heardAt[c] = clock;
            auto joined = registry.join(tokens[r], conns[c]);
            roomOf[c] = joined.room;
            roomIndexOf[c] = r;

            ModelRoom& room = model.rooms[r];
            if (room.members.size() == Room::capacity) {
                const auto oldest = std::min_element(room.members.begin(), room.members.end(),
                                                     [&](int a, int b) { return model.heardAt[a] < model.heardAt[b]; });
                model.displaced[*oldest] = true;
                room.members.erase(oldest);
                for (int m : room.members) deliverModel(m, peerDisconnected);
            }
            if (!room.members.empty()) {
                for (const auto& frame : room.kept) deliverModel(c, frame);
                room.kept.clear();
                room.keptBytes = 0;
            }
            room.members.push_back(c);
            require(joined.outcome.members == room.members.size(), "member count");
            break;
        }
        case 1: {  // the connection ends
            if (!conns[c] || roomIndexOf[c] < 0) break;
            registry.leave(roomOf[c], *conns[c]);
            ModelRoom& room = model.rooms[roomIndexOf[c]];
            const auto it = std::find(room.members.begin(), room.members.end(), c);
            if (it != room.members.end()) {
                room.members.erase(it);
                room.kept.clear();
                room.keptBytes = 0;
                for (int m : room.members) deliverModel(m, peerDisconnected);
            }
            roomIndexOf[c] = -1;
            break;
        }
        case 2: {  // a text frame from the connection
            const BytesView bytes = in.take(in.u16() % 4096);
            const std::string frame(bytes.begin(), bytes.end());
            if (!conns[c] || roomIndexOf[c] < 0) break;
            conns[c]->heardAt = std::chrono::steady_clock::time_point(std::chrono::seconds(++clock));
            model.heardAt[c] = clock;
            roomOf[c]->forward(*conns[c], std::make_shared<const std::string>(frame));
            ModelRoom& room = model.rooms[roomIndexOf[c]];
            if (std::find(room.members.begin(), room.members.end(), c) == room.members.end()) break;
            if (room.members.size() > 1) {
                for (int m : room.members) {
                    if (m != c) deliverModel(m, frame);
                }
            } else {
                room.kept.push_back(frame);
                room.keptBytes += frame.size();
                while (!room.kept.empty() && (room.kept.size() > limits.frames || room.keptBytes > limits.bytes)) {
                    room.keptBytes -= room.kept.front().size();
                    room.kept.pop_front();
                }
            }
            break;
        }
        case 3:  // something (a ping, a pong) heard from the connection
            if (!conns[c]) break;
            conns[c]->heardAt = std::chrono::steady_clock::time_point(std::chrono::seconds(++clock));
            model.heardAt[c] = clock;
            break;
        }
    }

    std::size_t liveRooms = 0;
    for (const auto& [r, room] : model.rooms) liveRooms += room.members.empty() ? 0 : 1;
    require(registry.roomCount() == liveRooms, "a room lives exactly as long as it has members");
    for (int c = 0; c < connections; ++c) {
        if (!conns[c]) continue;
        require(conns[c]->received == model.expected[c], "each connection receives what the model says, in order");
        require(conns[c]->displaced == model.displaced[c], "the member silent longest is displaced");
    }
    return 0;
}
