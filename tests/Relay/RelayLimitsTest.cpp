// Paths that are not rooms, refused frames, connection caps, the opening-handshake time
// limit, pings and the silence limit, and shutdown.

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <thread>

#include "InProcessRelay.h"

namespace duoquill::test {
namespace {

using namespace std::chrono_literals;
using Kind = WebSocketEvent::Kind;

TEST(RelayLimitsTest, PathsThatAreNotRoomsGet404BeforeTheUpgrade) {
    InProcessRelay relay;
    const std::string token = roomPath(1).substr(1);
    std::string upper = token;
    upper[5] = 'A';
    std::string notHex = token;
    notHex[100] = 'g';
    const std::string paths[] = {"/",          "/x",          "/" + token.substr(1), "/" + token + "0", "/" + token + "/",
                                 "/" + upper, "/" + notHex, "/" + token + "?a=b",  "//" + token.substr(1),
                                 "/room/" + token.substr(6)};
    for (const auto& path : paths) {
        auto client = relay.client();
        EXPECT_EQ(client->open(relay.port(), path), 404) << path;
    }
    EXPECT_EQ(relay.server().roomCount(), 0u);
    auto client = relay.client();
    EXPECT_EQ(client->open(relay.port(), "/" + token), 101);
}

TEST(RelayLimitsTest, OversizedFrameClosesWith1009AndTheLimitItselfPasses) {
    InProcessRelay relay;
    auto a = relay.join(roomPath(2));
    auto b = relay.join(roomPath(2));
    const std::string largest(256 * 1024, 'L');
    a->sendText(largest);
    EXPECT_EQ(b->readText(), largest);

    a->sendText(std::string(256 * 1024 + 1, 'X'));
    const WebSocketEvent closed = a->read();
    ASSERT_EQ(closed.kind, Kind::closed) << describe(closed);
    EXPECT_EQ(closed.closeCode, 1009);
    const WebSocketEvent notice = b->read();
    ASSERT_EQ(notice.kind, Kind::text) << describe(notice);
    EXPECT_EQ(notice.data, R"({"t":"peer-disconnected"})");
}

TEST(RelayLimitsTest, BinaryFrameClosesWith1003AndIsNotForwarded) {
    InProcessRelay relay;
    auto a = relay.join(roomPath(3));
    auto b = relay.join(roomPath(3));
    a->sendBinary(R"({"t":"hello"})");
    const WebSocketEvent closed = a->read();
    ASSERT_EQ(closed.kind, Kind::closed) << describe(closed);
    EXPECT_EQ(closed.closeCode, 1003);
    const WebSocketEvent notice = b->read();
    ASSERT_EQ(notice.kind, Kind::text) << describe(notice);
    EXPECT_EQ(notice.data, R"({"t":"peer-disconnected"})");
}

// Whether the server ended a raw TCP connection within `wait`.
bool closedByServerWithin(std::uint16_t port, std::chrono::milliseconds wait, std::string_view send = {}) {
    boost::asio::io_context context;
    boost::asio::ip::tcp::socket socket(context);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    if (!send.empty()) boost::asio::write(socket, boost::asio::buffer(send.data(), send.size()));
    bool ended = false;
    char byte = 0;
    socket.async_read_some(boost::asio::buffer(&byte, 1), [&](boost::system::error_code ec, std::size_t) {
        ended = ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset;
    });
    context.run_for(wait);
    return ended;
}

TEST(RelayLimitsTest, ClientThatNeverFinishesTheOpeningHandshakeIsDropped) {
    auto options = testRelayOptions();
    options.handshakeTimeout = 300ms;
    InProcessRelay relay(options);
    // Silent after connecting, and stuck halfway through an HTTP request.
    EXPECT_TRUE(closedByServerWithin(relay.port(), 3000ms));
    EXPECT_TRUE(closedByServerWithin(relay.port(), 3000ms, "\x16\x03\x01"));
    for (int i = 0; i < 500 && relay.server().connectionCount() != 0; ++i) std::this_thread::sleep_for(2ms);
    EXPECT_EQ(relay.server().connectionCount(), 0u);

    // A client that completes the handshake in time keeps its connection past the limit.
    auto a = relay.join(roomPath(4));
    std::this_thread::sleep_for(500ms);
    auto b = relay.join(roomPath(4));
    a->sendText("still open");
    EXPECT_EQ(b->readText(), "still open");
}

TEST(RelayLimitsTest, ConnectionsAreCappedPerAddressAndInTotal) {
    auto options = testRelayOptions();
    options.maxConnectionsPerAddress = 2;
    {
        InProcessRelay relay(options);
        auto a = relay.join(roomPath(5));
        auto b = relay.join(roomPath(5));
        auto c = relay.client();
        EXPECT_THROW(c->open(relay.port(), roomPath(6)), std::runtime_error);
        b->close();
        auto d = relay.client();
        for (int attempt = 0; attempt < 50; ++attempt) {  // the freed place becomes available
            try {
                if (d->open(relay.port(), roomPath(6)) == 101) break;
            } catch (const std::runtime_error&) {
                d = relay.client();
                std::this_thread::sleep_for(10ms);
            }
        }
        EXPECT_TRUE(d->isOpen());
    }
    options.maxConnectionsPerAddress = 0;
    options.maxConnections = 3;
    InProcessRelay relay(options);
    auto a = relay.join(roomPath(7));
    auto b = relay.join(roomPath(7));
    auto c = relay.join(roomPath(8));
    auto d = relay.client();
    EXPECT_THROW(d->open(relay.port(), roomPath(8)), std::runtime_error);
    a->sendText("unaffected");
    EXPECT_EQ(b->readText(), "unaffected");
}

TEST(RelayLimitsTest, SilentMemberIsDroppedWhileOneAnsweringPingsStays) {
    auto options = testRelayOptions();
    options.pingInterval = 50ms;
    options.idleTimeout = 400ms;
    InProcessRelay relay(options);
    auto silent = relay.join(roomPath(9));
    auto alive = relay.join(roomPath(9));
    // `alive` reads (and so answers pings) for longer than the limit without sending a frame.
    const auto start = std::chrono::steady_clock::now();
    const WebSocketEvent notice = alive->read(3000ms);
    ASSERT_EQ(notice.kind, Kind::text) << describe(notice);
    EXPECT_EQ(notice.data, R"({"t":"peer-disconnected"})");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    const WebSocketEvent nothing = alive->read(800ms);
    EXPECT_EQ(nothing.kind, Kind::timedOut) << describe(nothing);
    EXPECT_TRUE(alive->isOpen());
    EXPECT_EQ(relay.server().connectionCount(), 1u);
    const WebSocketEvent dropped = silent->read(100ms);
    EXPECT_NE(dropped.kind, Kind::text) << describe(dropped);
}

TEST(RelayLimitsTest, ShutdownClosesEveryConnectionWith1001) {
    std::unique_ptr<WebSocketTestClient> a;
    std::unique_ptr<WebSocketTestClient> b;
    std::unique_ptr<WebSocketTestClient> lone;
    {
        InProcessRelay relay;
        a = relay.join(roomPath(10));
        b = relay.join(roomPath(10));
        lone = relay.join(roomPath(11));
        a->sendText("x");
        ASSERT_EQ(b->readText(), "x");
        relay.server().shutdown();
        // The clients are driven here while the relay waits for their closing handshakes.
        for (auto* client : {a.get(), b.get(), lone.get()}) {
            const WebSocketEvent event = client->read();
            ASSERT_EQ(event.kind, Kind::closed) << describe(event);
            EXPECT_EQ(event.closeCode, 1001);
        }
    }
}

}  // namespace
}  // namespace duoquill::test
