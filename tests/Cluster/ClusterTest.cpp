// Several real relays behind the real HAProxy with the shipped configuration: rooms spread by
// the hash of their path, both members always meet on one relay, a dead relay's rooms move
// and meet again while the other rooms go on.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <numeric>
#include <thread>

#include "Kit/ChatCliProcess.h"
#include "Kit/RelayProcess.h"
#include "Kit/TestCertificates.h"
#include "Kit/WebSocketTestClient.h"

namespace duoquill::test {
namespace {

using Clock = std::chrono::steady_clock;
using Client = std::unique_ptr<WebSocketTestClient>;
using Kind = WebSocketEvent::Kind;

constexpr int kPairs = 50;
constexpr auto kFailoverLimit = 40s;
const std::string kRoomsOfTwo = "rooms{members=\"2\"}";

// A plain relay behind the proxy, without a per-address limit, with its metrics; `extra` after the usual arguments.
std::unique_ptr<RelayProcess> startRelay(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--proxy-protocol", "127.0.0.1", "--metrics", "127.0.0.1:0", "--max-per-address", "0"});
    return std::make_unique<RelayProcess>(RelayProcess::Options{.plain = true, .arguments = extra});
}

using Relays = std::array<std::unique_ptr<RelayProcess>, 3>;

// Three relays, and their places on the ring.
std::vector<HaproxyProcess::Relay> startRelays(Relays& relays) {
    std::vector<HaproxyProcess::Relay> ring;
    for (auto& relay : relays) {
        relay = startRelay();
        ring.push_back({relay->port(), relay->metricsPort()});
    }
    return ring;
}

// Distinct room paths spread like real ones (hex of a hash).
struct Pair {
    std::string path;
    Client a, b;
};

// Opens `path` through the proxy until `deadline`, as a client does: the connection that finds a
// relay dead is dropped when HAProxy takes the relay out.
Client openRetrying(const HaproxyProcess& proxy, const std::string& path, Clock::time_point deadline) {
    for (;;) {
        try {
            auto client = std::make_unique<WebSocketTestClient>(WebSocketTestClient::Options{.caFile = TestCertificates::shared().caFile()});
            if (client->open(proxy.port(), path) == 101) return client;
        } catch (const std::runtime_error&) {
        }
        if (Clock::now() > deadline) throw std::runtime_error("no way into " + path.substr(0, 9));
        std::this_thread::sleep_for(50ms);
    }
}

void meet(const HaproxyProcess& proxy, Pair& pair, Clock::time_point deadline) {
    pair.a = openRetrying(proxy, pair.path, deadline);
    pair.b = openRetrying(proxy, pair.path, deadline);
}

// A frame each way; false when either does not arrive.
bool exchange(Pair& pair, const std::string& tag) {
    try {
        const std::string there = tag + " a>b " + pair.path.substr(1, 8), back = tag + " b>a";
        pair.a->sendText(there);
        if (pair.b->readText() != there) return false;
        pair.b->sendText(back);
        return pair.a->readText() == back;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// After a relay died: true when the pair's frames still flow; false when both members'
// connections have ended, as they must when one has.
bool stillFlows(Pair& pair, const std::string& tag) {
    if (exchange(pair, tag)) return true;
    const auto ended = [](WebSocketTestClient& client) {
        const Kind kind = client.isOpen() ? client.read(2s).kind : Kind::closed;
        return kind == Kind::closed || kind == Kind::failed;
    };
    EXPECT_TRUE(ended(*pair.a) && ended(*pair.b)) << "one member of " << pair.path.substr(1, 8) << " was cut off, the other not";
    return false;
}

std::array<long, 3> roomsPerRelay(const Relays& relays) {
    std::array<long, 3> rooms{};
    for (std::size_t i = 0; i < relays.size(); ++i) rooms[i] = relays[i] ? relays[i]->metric(kRoomsOfTwo) : 0;
    return rooms;
}

TEST(Cluster, RoomsSpreadOverTheRelaysAndADeadRelaysRoomsMeetAgainElsewhereWhileTheOthersGoOn) {
    Relays relays;
    const auto ring = startRelays(relays);
    const HaproxyProcess proxy({.relays = ring});

    // Two real chats first: the relay their room hashes to is the one that dies.
    const ChatUser alice("alice"), bob("bob");
    // Bob's URL ends in "/": his path starts "//", and must hash as Alice's does.
    ChatCliProcess aliceChat(alice, bob.publicKey(), proxy.url()), bobChat(bob, alice.publicKey(), proxy.url() + "/");
    ASSERT_TRUE(aliceChat.waitFor(kConnectedLine) && bobChat.waitFor(kConnectedLine)) << plainText(aliceChat.standardError());
    aliceChat.type("through the cluster");
    ASSERT_TRUE(bobChat.waitFor("through the cluster")) << plainText(bobChat.standardError());
    std::size_t victim = 3;
    for (std::size_t i = 0; i < relays.size(); ++i) if (relays[i]->metric(kRoomsOfTwo) == 1) victim = i;
    ASSERT_LT(victim, relays.size());

    std::vector<Pair> pairs(kPairs);
    for (int i = 0; i < kPairs; ++i) {
        pairs[i].path = roomPath(i);
        meet(proxy, pairs[i], Clock::now() + 5s);
        ASSERT_TRUE(exchange(pairs[i], "first")) << i;
    }
    const std::array<long, 3> before = roomsPerRelay(relays);
    for (std::size_t i = 0; i < relays.size(); ++i) EXPECT_GT(before[i], victim == i ? 1 : 0) << "relay " << i + 1 << " got no room";
    EXPECT_EQ(std::accumulate(before.begin(), before.end(), 0L), kPairs + 1);

    const auto killed = Clock::now();
    relays[victim].reset();  // SIGKILL
    std::vector<std::size_t> moved;
    for (std::size_t i = 0; i < pairs.size(); ++i) if (!stillFlows(pairs[i], "during")) moved.push_back(i);
    EXPECT_EQ(static_cast<long>(moved.size()), before[victim] - 1);
    for (const std::size_t i : moved) {
        meet(proxy, pairs[i], killed + kFailoverLimit);
        EXPECT_TRUE(exchange(pairs[i], "moved")) << i;
    }
    // The chats notice by themselves, reconnect and make a new session.
    EXPECT_TRUE(aliceChat.waitFor(kConnectedLine, kFailoverLimit, 2) && bobChat.waitFor(kConnectedLine, kFailoverLimit, 2))
        << plainText(aliceChat.standardError()) << plainText(bobChat.standardError());
    EXPECT_LT(Clock::now() - killed, kFailoverLimit);
    bobChat.type("after the failover");
    EXPECT_TRUE(aliceChat.waitFor("after the failover")) << plainText(aliceChat.standardError());
    EXPECT_TRUE(proxy.waitForRelay(static_cast<int>(victim + 1), false, 5s));
    const std::array<long, 3> after = roomsPerRelay(relays);
    EXPECT_EQ(std::accumulate(after.begin(), after.end(), 0L), kPairs + 1);
    for (std::size_t i = 0; i < relays.size(); ++i) EXPECT_TRUE(i == victim || after[i] >= before[i]) << i;

    // Back on its ports and its place on the ring: the rooms that moved away come back.
    const auto port = ring[victim].port, metricsPort = ring[victim].metricsPort;
    relays[victim] = startRelay({"--listen", "127.0.0.1:" + std::to_string(port), "--metrics", "127.0.0.1:" + std::to_string(metricsPort)});
    ASSERT_TRUE(proxy.waitForRelay(static_cast<int>(victim + 1), true, 10s)) << proxy.log();
    for (const std::size_t i : moved) {
        pairs[i].a->close();
        pairs[i].b->close();
        meet(proxy, pairs[i], Clock::now() + 5s);
        EXPECT_TRUE(exchange(pairs[i], "back")) << i;
    }
    // The chats stay where they went: on one of the other two.
    std::array<long, 3> rooms{};
    for (int i = 0; (rooms = roomsPerRelay(relays))[victim] != static_cast<long>(moved.size()) && i < 100; ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(rooms[victim], static_cast<long>(moved.size()));
    EXPECT_EQ(std::accumulate(rooms.begin(), rooms.end(), 0L), kPairs + 1);
    for (std::size_t i = 0; i < relays.size(); ++i) {
        EXPECT_TRUE(i == victim || rooms[i] == before[i] || rooms[i] == before[i] + 1) << i << ": " << rooms[i];
    }
    for (auto& pair : pairs) EXPECT_TRUE(exchange(pair, "last")) << pair.path.substr(1, 8);

    // HAProxy logs each ended connection, without its room or its client.
    const std::string log = proxy.log();
    EXPECT_NE(log.find(" duoquill_relays/relay"), std::string::npos) << log;
    for (const auto& pair : pairs) EXPECT_EQ(log.find(pair.path.substr(1, 16)), std::string::npos) << log;
    EXPECT_EQ(log.find("127.0.0.1:"), std::string::npos) << log;
}

// Until HAProxy marks a dead relay down, a member of its rooms is retried on the next relay
// clockwise; once it is down, the nearest one either way: a room whose members arrive on both
// sides of that moment would split, were the relay not taken out at its first refused connection.
// A hung relay still accepts connections but fails its health check: its members are cut off
// then, so that they do not wait apart from peers that arrive on the next relay.
TEST(Cluster, TheRoomsOfADeadOrHungRelayMoveWithBothTheirMembers) {
    Relays relays;
    const HaproxyProcess proxy({.relays = startRelays(relays), .checkInterval = "500ms"});
    relays[0].reset();  // SIGKILL
    std::vector<Pair> pairs(60);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        pairs[i].path = roomPath(1000 + static_cast<int>(i));
        pairs[i].a = openRetrying(proxy, pairs[i].path, Clock::now() + 5s);
    }
    ASSERT_TRUE(proxy.waitForRelay(1, false, 5s));
    for (auto& pair : pairs) {
        pair.b = openRetrying(proxy, pair.path, Clock::now() + 5s);
        EXPECT_TRUE(exchange(pair, "met")) << pair.path.substr(1, 8);
    }
    EXPECT_EQ(relays[1]->metric("rooms{members=\"1\"}") + relays[2]->metric("rooms{members=\"1\"}"), 0);

    const long onHung = relays[1]->metric(kRoomsOfTwo);
    ASSERT_GT(onHung, 0);
    ::kill(relays[1]->pid(), SIGSTOP);
    ASSERT_TRUE(proxy.waitForRelay(2, false, 5s));
    long moved = 0;
    for (auto& pair : pairs) {
        if (stillFlows(pair, "hung")) continue;
        ++moved;
        meet(proxy, pair, Clock::now() + 5s);
        EXPECT_TRUE(exchange(pair, "moved")) << pair.path.substr(1, 8);
    }
    EXPECT_EQ(moved, onHung);
    EXPECT_EQ(relays[2]->metric(kRoomsOfTwo), static_cast<long>(pairs.size()));
    ::kill(relays[1]->pid(), SIGCONT);
}

}  // namespace
}  // namespace duoquill::test
