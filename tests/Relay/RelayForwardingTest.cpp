// Pairing, forwarding, the kept frames of a lone member, departures and displacement, with
// real WebSocket clients over TLS on loopback.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "InProcessRelay.h"

namespace duoquill::test {
namespace {

using namespace std::chrono_literals;
using Kind = WebSocketEvent::Kind;

constexpr const char* kPeerDisconnected = R"({"t":"peer-disconnected"})";

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Text of `size` bytes that differs by index, with a multi-byte character inside.
std::string frameText(int index, std::size_t size) {
    std::string text = "#" + std::to_string(index) + " \xC3\xA9 ";
    while (text.size() < size) text += static_cast<char>('A' + (text.size() * 31 + index) % 26);
    text.resize(size);
    return text;
}

void expectNothing(WebSocketTestClient& client, std::chrono::milliseconds wait = 150ms) {
    const WebSocketEvent event = client.read(wait);
    EXPECT_EQ(event.kind, Kind::timedOut) << describe(event);
}

void expectPeerDisconnected(WebSocketTestClient& client) {
    const WebSocketEvent event = client.read();
    ASSERT_EQ(event.kind, Kind::text) << describe(event);
    EXPECT_EQ(event.data, kPeerDisconnected);
}

class RelayForwardingTest : public ::testing::Test {
protected:
    InProcessRelay relay;
};

TEST_F(RelayForwardingTest, ForwardsEveryFrameUnchangedAndInOrderBothWays) {
    auto a = relay.join(roomPath(1));
    auto b = relay.join(roomPath(1));
    // Sizes of the tunnel frames, a few others, and an empty frame.
    const std::size_t sizes[] = {1560, 4632, 3096, 0, 1, 125, 126, 65535, 65536, 200000};
    std::vector<std::string> sent;
    for (int round = 0; round < 5; ++round) {
        for (std::size_t size : sizes) sent.push_back(frameText(static_cast<int>(sent.size()), size));
    }
    for (const auto& text : sent) a->sendText(text);
    for (const auto& text : sent) ASSERT_EQ(b->readText(), text);
    for (const auto& text : sent) b->sendText(text + "!");
    for (const auto& text : sent) ASSERT_EQ(a->readText(), text + "!");
    expectNothing(*a, 50ms);
    expectNothing(*b, 50ms);
}

TEST_F(RelayForwardingTest, InterleavedTrafficKeepsEachDirectionInOrder) {
    auto a = relay.join(roomPath(2));
    auto b = relay.join(roomPath(2));
    for (int i = 0; i < 200; ++i) {
        a->sendText("a" + std::to_string(i));
        b->sendText("b" + std::to_string(i));
    }
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(b->readText(), "a" + std::to_string(i));
        ASSERT_EQ(a->readText(), "b" + std::to_string(i));
    }
}

TEST_F(RelayForwardingTest, HelloSentBeforeThePeerJoinsIsDeliveredFirst) {
    auto a = relay.join(roomPath(3));
    const std::string hello = R"({"t":"hello","pkid":"x","ct":"y","ek":"z","mlk":")" + std::string(2092, 'Q') + "\"}";
    a->sendText(hello);
    a->sendText("second");
    ASSERT_TRUE(waitUntil([&] { return relay.server().roomCount() == 1; }));
    std::this_thread::sleep_for(30ms);  // let both frames reach the relay before the peer comes

    auto b = relay.join(roomPath(3));
    EXPECT_EQ(b->readText(), hello);
    EXPECT_EQ(b->readText(), "second");
    a->sendText("live");
    EXPECT_EQ(b->readText(), "live");
    // Delivered once: a later joiner after a departure does not get them again.
    b->close();
    expectPeerDisconnected(*a);
    auto c = relay.join(roomPath(3));
    expectNothing(*c);
}

TEST_F(RelayForwardingTest, LoneMemberKeepsOnlyItsMostRecentSixteenFrames) {
    auto a = relay.join(roomPath(4));
    for (int i = 0; i < 20; ++i) a->sendText("kept " + std::to_string(i));
    a->sendText("");  // a frame like any other
    std::this_thread::sleep_for(50ms);
    auto b = relay.join(roomPath(4));
    for (int i = 5; i < 20; ++i) ASSERT_EQ(b->readText(), "kept " + std::to_string(i));
    EXPECT_EQ(b->readText(), "");
    expectNothing(*b);
}

TEST_F(RelayForwardingTest, LoneMemberKeepsAtMost256KiB) {
    auto a = relay.join(roomPath(5));
    for (int i = 0; i < 4; ++i) a->sendText(frameText(i, 100 * 1024));
    std::this_thread::sleep_for(50ms);
    auto b = relay.join(roomPath(5));
    EXPECT_EQ(b->readText(), frameText(2, 100 * 1024));
    EXPECT_EQ(b->readText(), frameText(3, 100 * 1024));
    expectNothing(*b);
}

TEST_F(RelayForwardingTest, LoneMemberLeavingForgetsWhatItSent) {
    auto a = relay.join(roomPath(6));
    a->sendText("hello from a");
    std::this_thread::sleep_for(30ms);
    a->close();
    ASSERT_TRUE(waitUntil([&] { return relay.server().roomCount() == 0; }));
    auto b = relay.join(roomPath(6));
    expectNothing(*b);
}

TEST_F(RelayForwardingTest, PeerDisconnectedAfterACleanClose) {
    auto a = relay.join(roomPath(7));
    auto b = relay.join(roomPath(7));
    a->sendText("x");
    ASSERT_EQ(b->readText(), "x");
    a->close(1000);
    expectPeerDisconnected(*b);
    // The remaining member now waits alone: what it sends is kept for the next joiner.
    b->sendText("anyone?");
    std::this_thread::sleep_for(30ms);
    auto c = relay.join(roomPath(7));
    EXPECT_EQ(c->readText(), "anyone?");
}

TEST_F(RelayForwardingTest, PeerDisconnectedAfterADroppedConnection) {
    auto a = relay.join(roomPath(8));
    auto b = relay.join(roomPath(8));
    b->sendText("y");
    ASSERT_EQ(a->readText(), "y");
    a->drop();
    expectPeerDisconnected(*b);
    EXPECT_TRUE(b->isOpen());
}

TEST_F(RelayForwardingTest, RoomsNeverSeeEachOthersFrames) {
    auto a = relay.join(roomPath(9));
    auto b = relay.join(roomPath(9));
    auto c = relay.join(roomPath(10));
    auto d = relay.join(roomPath(10));
    for (int i = 0; i < 20; ++i) {
        a->sendText("room9 a" + std::to_string(i));
        c->sendText("room10 c" + std::to_string(i));
        d->sendText("room10 d" + std::to_string(i));
    }
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(b->readText(), "room9 a" + std::to_string(i));
        ASSERT_EQ(d->readText(), "room10 c" + std::to_string(i));
        ASSERT_EQ(c->readText(), "room10 d" + std::to_string(i));
    }
    expectNothing(*a);
    expectNothing(*b, 20ms);
    // A departure in one room is not announced in the other.
    a->close();
    expectPeerDisconnected(*b);
    expectNothing(*c, 50ms);
    expectNothing(*d, 20ms);
}

TEST_F(RelayForwardingTest, ThirdMemberDisplacesTheOneHeardFromLongestAgo) {
    auto first = relay.join(roomPath(11));
    auto second = relay.join(roomPath(11));
    // `first` joined earlier but keeps talking; `second` falls silent after joining.
    first->sendText("from first");
    ASSERT_EQ(second->readText(), "from first");
    std::this_thread::sleep_for(20ms);
    first->sendText("still here");
    ASSERT_EQ(second->readText(), "still here");

    auto third = relay.join(roomPath(11));
    const WebSocketEvent closed = second->read();
    ASSERT_EQ(closed.kind, Kind::closed) << describe(closed);
    EXPECT_EQ(closed.closeCode, 4000);
    EXPECT_EQ(closed.data, "replaced");
    expectPeerDisconnected(*first);

    first->sendText("to third");
    EXPECT_EQ(third->readText(), "to third");
    third->sendText("to first");
    EXPECT_EQ(first->readText(), "to first");
}

TEST_F(RelayForwardingTest, RestartedClientReplacesItsUnnoticedDeadConnection) {
    auto stale = relay.join(roomPath(12));
    auto peer = relay.join(roomPath(12));
    peer->sendText("cover");
    ASSERT_EQ(stale->readText(), "cover");
    std::this_thread::sleep_for(20ms);
    peer->sendText("cover");  // the live peer keeps sending; the stale connection is silent

    auto restarted = relay.join(roomPath(12));
    WebSocketEvent ended = stale->read();
    if (ended.kind == Kind::text) ended = stale->read();  // the second "cover", if it went out first
    EXPECT_EQ(ended.closeCode, 4000) << describe(ended);
    expectPeerDisconnected(*peer);
    restarted->sendText("new hello");
    EXPECT_EQ(peer->readText(), "new hello");
}

}  // namespace
}  // namespace duoquill::test
