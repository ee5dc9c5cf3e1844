// The duoquill-relay program, run for real, with WebSocket clients over TLS on loopback:
// pairing and forwarding, the kept frames of a lone member, departures and displacement,
// refused paths and frames, connection caps and time limits, its command line, log and signals.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <csignal>
#include <thread>

#include "Kit/Paths.h"
#include "Kit/Process.h"
#include "Kit/RelayProcess.h"
#include "Kit/TestCertificates.h"
#include "Kit/WebSocketTestClient.h"

namespace duoquill::test {
namespace {

using namespace std::chrono_literals;
using Kind = WebSocketEvent::Kind;
using Client = std::unique_ptr<WebSocketTestClient>;

const std::string kPeerDisconnected = R"({"t":"peer-disconnected"})";

struct Relay : RelayProcess {
    explicit Relay(std::vector<std::string> arguments = {}) : RelayProcess(Options{.arguments = std::move(arguments)}) {}

    Client client() const {
        return std::make_unique<WebSocketTestClient>(WebSocketTestClient::Options{.caFile = TestCertificates::shared().caFile()});
    }
    Client join(const std::string& path) const {
        auto c = client();
        if (c->open(port(), path) != 101) throw std::runtime_error("join refused");
        return c;
    }
};

// A distinct, valid room path for each number.
std::string roomPath(int n) {
    std::string path = "/";
    for (int i = 0; i < 128; ++i) path += "0123456789abcdef"[(n * 7 + i * 13 + (i * n) % 5) % 16];
    return path;
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

void expectText(WebSocketTestClient& client, const std::string& text) {
    const WebSocketEvent event = client.read();
    ASSERT_EQ(event.kind, Kind::text) << describe(event);
    EXPECT_EQ(event.data, text);
}

void expectClosed(WebSocketTestClient& client, int code, const std::string& reason = "") {
    const WebSocketEvent event = client.read();
    ASSERT_EQ(event.kind, Kind::closed) << describe(event);
    EXPECT_EQ(event.closeCode, code);
    EXPECT_TRUE(reason.empty() || event.data == reason) << event.data;
}

TEST(Relay, ForwardsEveryFrameUnchangedAndInOrderBothWays) {
    Relay relay;
    auto a = relay.join(roomPath(1)), b = relay.join(roomPath(1));
    // Sizes of the tunnel frames (90144: the largest a client sends), a few others, one byte
    // short of the largest frame the relay takes (the echo adds one), and an empty frame. Two
    // rounds stay under the 1 MiB a member may have queued while it does not read.
    std::vector<std::string> sent;
    for (int round = 0; round < 2; ++round) {
        for (std::size_t size : {1560, 4632, 3096, 0, 1, 125, 126, 65535, 65536, 90144, 96 * 1024 - 1}) {
            sent.push_back(frameText(static_cast<int>(sent.size()), size));
        }
    }
    for (const auto& text : sent) a->sendText(text);
    for (const auto& text : sent) ASSERT_EQ(b->readText(), text);
    for (const auto& text : sent) b->sendText(text + "!");
    for (const auto& text : sent) ASSERT_EQ(a->readText(), text + "!");
    // Interleaved traffic keeps each direction in order.
    for (int i = 0; i < 200; ++i) {
        a->sendText("a" + std::to_string(i));
        b->sendText("b" + std::to_string(i));
    }
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(b->readText(), "a" + std::to_string(i));
        ASSERT_EQ(a->readText(), "b" + std::to_string(i));
    }
    expectNothing(*a, 50ms);
    expectNothing(*b, 50ms);
}

// What a lone member sends is kept (the newest 16 frames, at most 128 KiB), delivered first
// and once to the member that joins later, and forgotten when the lone member leaves.
TEST(Relay, LoneMemberKeepsItsNewestFramesForTheNextJoinerOnly) {
    Relay relay;
    auto many = relay.join(roomPath(4)), large = relay.join(roomPath(5)), leaving = relay.join(roomPath(6));
    const std::string hello = R"({"t":"hello","pkid":"x","ct":"y","ek":"z","mlk":")" + std::string(2092, 'Q') + "\"}";
    for (int i = 0; i < 20; ++i) many->sendText(i == 5 ? hello : "kept " + std::to_string(i));
    many->sendText("");  // a frame like any other
    for (int i = 0; i < 4; ++i) large->sendText(frameText(i, 60 * 1024));  // two fit in 128 KiB
    leaving->sendText("hello from a leaver");
    std::this_thread::sleep_for(100ms);  // let every frame reach the relay before the peers come
    leaving->close();
    for (int i = 0; i < 500 && relay.log().find("closed by the client (1000)") == std::string::npos; ++i) {
        std::this_thread::sleep_for(10ms);
    }

    auto b = relay.join(roomPath(4));
    for (int i = 5; i < 20; ++i) ASSERT_EQ(b->readText(), i == 5 ? hello : "kept " + std::to_string(i));
    EXPECT_EQ(b->readText(), "");
    many->sendText("live");
    EXPECT_EQ(b->readText(), "live");
    b->close();
    expectText(*many, kPeerDisconnected);
    expectNothing(*relay.join(roomPath(4)));
    auto c = relay.join(roomPath(5));
    EXPECT_EQ(c->readText(), frameText(2, 60 * 1024));
    EXPECT_EQ(c->readText(), frameText(3, 60 * 1024));
    expectNothing(*c, 20ms);
    expectNothing(*relay.join(roomPath(6)), 20ms);
}

TEST(Relay, PeerDisconnectedAfterACleanCloseOrADroppedConnection) {
    Relay relay;
    auto a = relay.join(roomPath(7)), b = relay.join(roomPath(7));
    a->sendText("x");
    ASSERT_EQ(b->readText(), "x");
    a->close(1000);
    expectText(*b, kPeerDisconnected);
    // The remaining member now waits alone: what it sends is kept for the next joiner.
    b->sendText("anyone?");
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(relay.join(roomPath(7))->readText(), "anyone?");

    auto c = relay.join(roomPath(8)), d = relay.join(roomPath(8));
    c->drop();
    expectText(*d, kPeerDisconnected);
    EXPECT_TRUE(d->isOpen());
}

TEST(Relay, RoomsNeverSeeEachOthersFrames) {
    Relay relay;
    auto a = relay.join(roomPath(9)), b = relay.join(roomPath(9));
    auto c = relay.join(roomPath(10)), d = relay.join(roomPath(10));
    for (int i = 0; i < 20; ++i) {
        a->sendText("room9 a" + std::to_string(i));
        c->sendText("room10 c" + std::to_string(i));
    }
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(b->readText(), "room9 a" + std::to_string(i));
        ASSERT_EQ(d->readText(), "room10 c" + std::to_string(i));
    }
    // A departure in one room is not announced in the other.
    a->close();
    expectText(*b, kPeerDisconnected);
    expectNothing(*b, 20ms);
    expectNothing(*c, 50ms);
    expectNothing(*d, 20ms);
}

// Not the member that joined first: the one whose last frame is oldest, as a restarted
// client's unnoticed dead connection would be.
// With a 1 s ping interval a member counts as gone after 1.25 s of silence.
TEST(Relay, AThirdMemberIsTurnedAwayFromALivePairAndDisplacesOnlyASilentMember) {
    Relay relay({"--ping-interval", "1"});
    auto first = relay.join(roomPath(11)), second = relay.join(roomPath(11));
    first->sendText("from first");
    ASSERT_EQ(second->readText(), "from first");

    auto intruder = relay.client();
    ASSERT_EQ(intruder->open(relay.port(), roomPath(11)), 101);
    expectClosed(*intruder, 4001, "occupied");
    second->sendText("pair intact");
    ASSERT_EQ(first->readText(), "pair intact");

    // The second member stops reading, so it no longer answers pings; the first keeps talking.
    for (int i = 0; i < 16; ++i) {
        std::this_thread::sleep_for(100ms);
        first->sendText("still here");
    }
    auto third = relay.join(roomPath(11));
    WebSocketEvent event = second->read();
    while (event.kind == Kind::text) event = second->read();  // what it had not read yet
    EXPECT_EQ(event.kind, Kind::closed) << describe(event);
    EXPECT_EQ(event.closeCode, 4000);
    expectText(*first, kPeerDisconnected);
    first->sendText("to third");
    EXPECT_EQ(third->readText(), "to third");
    third->sendText("to first");
    EXPECT_EQ(first->readText(), "to first");
}

TEST(Relay, PathsThatAreNotRoomsGet404BeforeTheUpgrade) {
    Relay relay;
    const std::string token = roomPath(1).substr(1);
    std::string upper = token, notHex = token;
    upper[5] = 'A';
    notHex[100] = 'g';
    for (const auto& path : {std::string("/"), std::string("/x"), "/" + token.substr(1), "/" + token + "0",
                             "/" + token + "/", "/" + upper, "/" + notHex, "/" + token + "?a=b", "//" + token.substr(1),
                             "///" + token, "/room/" + token.substr(6)}) {
        EXPECT_EQ(relay.client()->open(relay.port(), path), 404) << path;
    }
    EXPECT_EQ(relay.client()->open(relay.port(), "/" + token), 101);
}

// A relay URL typed with a trailing "/" reaches the relay as "//" + token: the same room.
TEST(Relay, DoubledLeadingSlashJoinsTheSameRoom) {
    Relay relay;
    auto plain = relay.join(roomPath(7)), doubled = relay.join("/" + roomPath(7));
    doubled->sendText("through the doubled slash");
    EXPECT_EQ(plain->readText(), "through the doubled slash");
}

TEST(Relay, OversizedAndBinaryFramesCloseTheSenderAndAreNotForwarded) {
    Relay relay;
    auto a = relay.join(roomPath(2)), b = relay.join(roomPath(2));
    const std::string largest(96 * 1024, 'L');
    a->sendText(largest);
    EXPECT_EQ(b->readText(), largest);
    a->sendText(std::string(96 * 1024 + 1, 'X'));
    expectClosed(*a, 1009);
    expectText(*b, kPeerDisconnected);

    auto c = relay.join(roomPath(3)), d = relay.join(roomPath(3));
    c->sendBinary(R"({"t":"hello"})");
    expectClosed(*c, 1003);
    expectText(*d, kPeerDisconnected);
}

// Whether the relay ended a raw TCP connection within `wait`.
bool closedByRelayWithin(std::uint16_t port, std::chrono::milliseconds wait, std::string_view send = {}) {
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

TEST(Relay, ClientThatNeverFinishesTheOpeningHandshakeIsDropped) {
    Relay relay({"--handshake-timeout", "0.3", "--max-connections", "2"});
    // Silent after connecting, and stuck halfway through a TLS hello.
    EXPECT_TRUE(closedByRelayWithin(relay.port(), 3000ms));
    EXPECT_TRUE(closedByRelayWithin(relay.port(), 3000ms, "\x16\x03\x01"));
    // Their places are free again, and a client that finishes in time stays past the limit.
    auto a = relay.join(roomPath(4));
    std::this_thread::sleep_for(500ms);
    auto b = relay.join(roomPath(4));
    a->sendText("still open");
    EXPECT_EQ(b->readText(), "still open");
}

TEST(Relay, ConnectionsAreCappedPerAddressAndInTotal) {
    {
        Relay relay({"--max-per-address", "2"});
        auto a = relay.join(roomPath(5)), b = relay.join(roomPath(5));
        EXPECT_THROW(relay.client()->open(relay.port(), roomPath(6)), std::runtime_error);
        b->close();
        Client d;
        for (int attempt = 0; attempt < 50 && !d; ++attempt) {  // the freed place becomes available
            try {
                d = relay.join(roomPath(6));
            } catch (const std::runtime_error&) {
                std::this_thread::sleep_for(10ms);
            }
        }
        EXPECT_TRUE(d && d->isOpen());
    }
    Relay relay({"--max-per-address", "0", "--max-connections", "3"});
    auto a = relay.join(roomPath(7)), b = relay.join(roomPath(7)), c = relay.join(roomPath(8));
    EXPECT_THROW(relay.client()->open(relay.port(), roomPath(8)), std::runtime_error);
    a->sendText("unaffected");
    EXPECT_EQ(b->readText(), "unaffected");
}

TEST(Relay, SilentMemberIsDroppedWhileOneAnsweringPingsStays) {
    Relay relay({"--ping-interval", "0.05", "--idle-timeout", "0.4"});
    auto silent = relay.join(roomPath(9)), alive = relay.join(roomPath(9));
    // `alive` reads (and so answers pings) for longer than the limit without sending a frame.
    const auto start = std::chrono::steady_clock::now();
    const WebSocketEvent notice = alive->read(3000ms);
    ASSERT_EQ(notice.kind, Kind::text) << describe(notice);
    EXPECT_EQ(notice.data, kPeerDisconnected);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    expectNothing(*alive, 800ms);
    EXPECT_TRUE(alive->isOpen());
    EXPECT_NE(silent->read(100ms).kind, Kind::text);
}

TEST(Relay, CommandLine) {
    const ProcessResult help = runProcess(relayPath().string(), {"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* option : {"--listen", "--cert", "--key", "--plain", "--threads", "--max-connections",
                               "--max-per-address", "--ping-interval", "--idle-timeout", "--handshake-timeout",
                               "--quiet", "--help"}) {
        EXPECT_NE(help.standardOutput.find(option), std::string::npos) << option;
    }
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {},
             {"--listen", "127.0.0.1:0"},
             {"--listen", "127.0.0.1", "--plain"},
             {"--listen", "127.0.0.1:70000", "--plain"},
             {"--listen", "127.0.0.1:0", "--plain", "--threads", "0"},
             {"--listen", "127.0.0.1:0", "--plain", "--ping-interval", "soon"},
             {"--listen", "127.0.0.1:0", "--plain", "--bogus"},
             {"--listen", "127.0.0.1:0", "--cert", "/nonexistent.pem", "--key", "/nonexistent.key"}}) {
        const ProcessResult result = runProcess(relayPath().string(), arguments);
        EXPECT_NE(result.exitStatus, 0) << testing::PrintToString(arguments);
        EXPECT_NE(result.standardError.find("duoquill-relay: "), std::string::npos) << result.standardError;
    }
}

TEST(Relay, SigtermClosesEveryConnectionWith1001AndFramesAreNeverLogged) {
    Relay relay;
    const std::string room = roomPath(1), secret = "frame-content-that-must-not-be-logged";
    auto a = relay.join(room), b = relay.join(room), lone = relay.join(roomPath(2));
    a->sendText(secret);
    ASSERT_EQ(b->readText(), secret);
    ::kill(relay.pid(), SIGTERM);
    for (auto* client : {a.get(), b.get(), lone.get()}) expectClosed(*client, 1001);
    EXPECT_EQ(relay.stop(0), 0);
    // One line per event; the room appears only as a short hash prefix, frames never.
    const std::string log = relay.log();
    EXPECT_EQ(log.find(room.substr(1, 16)), std::string::npos) << log;
    EXPECT_EQ(log.find(secret), std::string::npos) << log;
    EXPECT_NE(log.find("joined room "), std::string::npos) << log;
    EXPECT_NE(log.find("(1001)"), std::string::npos) << log;
}

TEST(Relay, PlainAndQuietServeWithoutTlsAndWithoutLogAndStopOnSigint) {
    RelayProcess relay(RelayProcess::Options{.plain = true, .arguments = {"--quiet", "--threads", "2"}});
    WebSocketTestClient a({.tls = false, .caFile = {}}), b({.tls = false, .caFile = {}});
    ASSERT_EQ(a.open(relay.port(), roomPath(3)), 101);
    ASSERT_EQ(b.open(relay.port(), roomPath(3)), 101);
    a.sendText("plain");
    EXPECT_EQ(b.readText(), "plain");
    ::kill(relay.pid(), SIGINT);
    EXPECT_EQ(a.read().closeCode, 1001);
    EXPECT_EQ(b.read().closeCode, 1001);
    EXPECT_EQ(relay.stop(0), 0);
    EXPECT_EQ(relay.log(), "listening on 127.0.0.1:" + std::to_string(relay.port()) + " (ws)\n");
}

}  // namespace
}  // namespace duoquill::test
