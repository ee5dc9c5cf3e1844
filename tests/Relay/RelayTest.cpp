// The duoquill-relay program, run for real, with WebSocket clients over TLS on loopback:
// pairing and forwarding, the kept frames of a lone member, departures and displacement,
// refused paths and frames, connection caps, time limits and memory, its TLS, command line,
// log and signals. Its TLS stream's window on handshake messages, in this process.

#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <tuple>
#include <variant>

#include "Duoquill/Transport/TlsPolicy.h"
#include "DuoquillRelay/ConnectionLimiter.h"
#include "DuoquillRelay/Listener.h"
#include "DuoquillRelay/MemoryBudget.h"
#include "DuoquillRelay/ProxyHeader.h"
#include "DuoquillRelay/RelayLog.h"
#include "DuoquillRelay/TlsCertificates.h"
#include "DuoquillRelay/TlsStream.h"
#include "Kit/Paths.h"
#include "Kit/Process.h"
#include "Kit/RelayProcess.h"
#include "Kit/TestCertificates.h"
#include "Kit/WebSocketTestClient.h"

namespace duoquill::test {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Kind = WebSocketEvent::Kind;
using Client = std::unique_ptr<WebSocketTestClient>;

const std::string kPeerDisconnected = R"({"t":"peer-disconnected"})";
// The largest tunnel frame a client sends.
const std::string kTunnelFrame(90144, 'T');

// What the relay's memory may grow by beyond what it charges.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // redzones, and freed blocks held in quarantine
#else
constexpr bool kSanitized = false;
#endif
constexpr long kGrowthBoundKiB = (kSanitized ? 20 : 5) * 1024;

// On three threads unless the test asks otherwise (its --threads comes later and wins): most rooms
// live on a thread other than the one that accepted a member, so every case also goes through a
// connection's move to its room's thread.
std::vector<std::string> onThreeThreads(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--threads", "3"});
    return arguments;
}

struct Relay : RelayProcess {
    explicit Relay(std::vector<std::string> arguments = {}, bool plain = false,
                   std::map<std::string, std::string> environment = {})
        : RelayProcess({plain, onThreeThreads(std::move(arguments)), std::move(environment)}), plain(plain) {}

    Client client() const {
        return std::make_unique<WebSocketTestClient>(
            WebSocketTestClient::Options{.tls = !plain, .caFile = plain ? std::filesystem::path() : TestCertificates::shared().caFile()});
    }
    Client join(const std::string& path) const {
        auto c = client();
        if (c->open(port(), path) != 101) throw std::runtime_error("join refused");
        return c;
    }
    bool logShows(const std::string& text) const {
        for (int i = 0; i < 500 && log().find(text) == std::string::npos; ++i) std::this_thread::sleep_for(10ms);
        return log().find(text) != std::string::npos;
    }
    const bool plain;
};

// Text of `size` bytes that differs by index, with a multi-byte character inside.
std::string frameText(int index, std::size_t size) {
    std::string text = "#" + std::to_string(index) + " \xC3\xA9 ";
    while (text.size() < size) text += static_cast<char>('A' + (text.size() * 31 + index) % 26);
    text.resize(size);
    return text;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Sends `text` from one member and returns what the other (a client, or a bare TLS member) reads.
template <class Member>
std::string relayed(WebSocketTestClient& from, Member& to, const std::string& text) {
    from.sendText(text);
    return to.readText();
}

void expectNothing(WebSocketTestClient& client, std::chrono::milliseconds wait = 150ms) {
    const WebSocketEvent event = client.read(wait);
    EXPECT_EQ(event.kind, Kind::timedOut) << describe(event);
}

void expectClosed(WebSocketTestClient& client, int code, const std::string& reason = "") {
    const WebSocketEvent event = client.read();
    EXPECT_EQ(event.closeCode, code) << describe(event);  // set for a close only
    EXPECT_TRUE(reason.empty() || event.data == reason) << event.data;
}

// What the relay sends within `wait` on a raw TCP connection after `send`, and whether it
// then ended the connection.
struct RawAnswer { std::string bytes; bool ended = false; };
RawAnswer rawExchange(std::uint16_t port, std::string_view send = {}, std::chrono::milliseconds wait = 3000ms) {
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    asio::write(socket, asio::buffer(send.data(), send.size()));
    RawAnswer answer;
    asio::async_read(socket, asio::dynamic_buffer(answer.bytes), [&](boost::system::error_code ec, std::size_t) {
        answer.ended = ec == asio::error::eof || ec == asio::error::connection_reset;
    });
    context.run_for(wait);
    return answer;
}

const std::string kKeyLine = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

// An upgrade request for `path`, with the key line given (or none) and the version asked for.
std::string upgradeRequest(const std::string& path, const std::string& key = kKeyLine,
                           const std::string& version = "13") {
    return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + key +
           "Sec-WebSocket-Version: " + version + "\r\n\r\n";
}

TEST(Relay, ForwardsEveryFrameInOrderWithinItsRoomKeepsALoneMembersNewestAndServesOnlyRoomPaths) {
    Relay relay;
    auto a = relay.join(roomPath(1)), b = relay.join(roomPath(1));
    auto c = relay.join(roomPath(2)), d = relay.join(roomPath(2));
    // Sizes of the tunnel frames (90144: the largest a client sends), a few others, one byte
    // short of the largest frame the relay takes (the echo adds one), and an empty frame. Two
    // rounds stay under the 1 MiB a member may have queued while it does not read.
    const std::size_t sizes[] = {1560, 4632, 3096, 0, 1, 125, 126, 65535, 65536, 90144, 96 * 1024 - 1};
    std::vector<std::string> sent;
    for (int i = 0; i < 22; ++i) sent.push_back(frameText(i, sizes[i % 11]));
    for (const auto& text : sent) a->sendText(text);
    for (const auto& text : sent) ASSERT_EQ(b->readText(), text);
    for (const auto& text : sent) b->sendText(text + "!");
    for (const auto& text : sent) ASSERT_EQ(a->readText(), text + "!");
    // Interleaved traffic keeps each direction in order, and in its own room.
    const std::pair<WebSocketTestClient*, WebSocketTestClient*> routes[] = {{a.get(), b.get()}, {b.get(), a.get()}, {c.get(), d.get()}};
    for (int i = 0; i < 600; ++i) routes[i % 3].first->sendText(std::to_string(i));
    for (int i = 0; i < 600; ++i) ASSERT_EQ(routes[i % 3].second->readText(), std::to_string(i));
    // After a quiet second each read first waits for a frame to begin: an empty frame, a large
    // one and a small one still arrive whole and in order, twice.
    for (int round = 0; round < 2; ++round) {
        std::this_thread::sleep_for(1100ms);
        for (std::size_t size : {0, 90144, 1560}) a->sendText(frameText(round, size));
        for (std::size_t size : {0, 90144, 1560}) ASSERT_EQ(b->readText(), frameText(round, size));
    }
    for (auto* client : {a.get(), b.get(), c.get(), d.get()}) expectNothing(*client, 30ms);
    // Leaving by a dropped connection, or by a frame the relay refuses with its close code (a
    // binary one: the metrics test), tells the remaining member.
    a->drop();
    c->sendText(std::string(96 * 1024 + 1, 'X'));  // one byte over the largest forwarded above
    expectClosed(*c, 1009);
    for (auto* remaining : {b.get(), d.get()}) EXPECT_EQ(remaining->readText(), kPeerDisconnected);

    // What a lone member sends is kept (the newest 16 frames, at most 128 KiB), delivered first
    // and once to the member that joins later, and forgotten when the lone member leaves. A member
    // whose peer closed hears of it, alone in its room, and waits alone again.
    auto many = relay.join(roomPath(4)), large = relay.join(roomPath(5)), leaving = relay.join(roomPath(6));
    const std::string hello = R"({"t":"hello","pkid":"x","ct":"y","ek":"z","mlk":")" + std::string(2092, 'Q') + "\"}";
    for (int i = 0; i < 20; ++i) many->sendText(i == 5 ? hello : "kept " + std::to_string(i));
    many->sendText("");  // a frame like any other
    for (int i = 0; i < 4; ++i) large->sendText(frameText(i, 60 * 1024));  // two fit in 128 KiB
    leaving->sendText("hello from a leaver");
    std::this_thread::sleep_for(100ms);  // let every frame reach the relay before the peers come
    leaving->close();
    ASSERT_TRUE(relay.logShows("closed by the client (1000)"));

    auto joiner = relay.join(roomPath(4));
    for (int i = 5; i < 20; ++i) ASSERT_EQ(joiner->readText(), i == 5 ? hello : "kept " + std::to_string(i));
    EXPECT_EQ(joiner->readText(), "");
    EXPECT_EQ(relayed(*many, *joiner, "live"), "live");
    joiner->close();
    EXPECT_EQ(many->readText(), kPeerDisconnected);
    expectNothing(*large, 30ms);
    many->sendText("anyone?");
    std::this_thread::sleep_for(30ms);
    const Client next = relay.join(roomPath(4));
    EXPECT_EQ(next->readText(), "anyone?");
    expectNothing(*next);
    auto latecomer = relay.join(roomPath(5));
    for (int i : {2, 3}) EXPECT_EQ(latecomer->readText(), frameText(i, 60 * 1024));
    expectNothing(*latecomer, 20ms);
    expectNothing(*relay.join(roomPath(6)), 20ms);

    // Paths that are not rooms get 404 before the upgrade. A relay URL typed with a trailing "/"
    // reaches the relay as "//" + token: the same room.
    const std::string token = roomPath(3).substr(1);
    for (const auto& path : {std::string("/"), std::string("/x"), "/" + token.substr(1), "/" + token + "0", "/" + token + "/",
                             "/" + token.substr(0, 5) + "A" + token.substr(6), "/" + token.substr(0, 100) + "g" + token.substr(101),
                             "/" + token + "?a=b", "//" + token.substr(1), "///" + token, "/room/" + token.substr(6)}) {
        EXPECT_EQ(relay.client()->open(relay.port(), path), 404) << path;
    }
    auto plain = relay.join("/" + token), doubled = relay.join("//" + token);
    EXPECT_EQ(relayed(*doubled, *plain, "through the doubled slash"), "through the doubled slash");
}

// Not the member that joined first: the one whose last frame is oldest, as a restarted
// client's unnoticed dead connection would be.
// With a 1 s ping interval a member counts as gone after 1.25 s of silence.
TEST(Relay, AThirdMemberIsTurnedAwayFromALivePairAndDisplacesOnlyASilentMember) {
    Relay relay({"--ping-interval", "1"});
    auto first = relay.join(roomPath(11)), second = relay.join(roomPath(11));
    ASSERT_EQ(relayed(*first, *second, "from first"), "from first");

    expectClosed(*relay.join(roomPath(11)), 4001, "occupied");  // an intruder, after its upgrade
    ASSERT_EQ(relayed(*second, *first, "pair intact"), "pair intact");

    // The second member stops reading, so it no longer answers pings; the first keeps talking.
    for (int i = 0; i < 16; ++i) {
        std::this_thread::sleep_for(100ms);
        first->sendText("still here");
    }
    auto third = relay.join(roomPath(11));
    WebSocketEvent event = second->read();
    while (event.kind == Kind::text) event = second->read();  // what it had not read yet
    EXPECT_EQ(event.closeCode, 4000) << describe(event);
    EXPECT_EQ(first->readText(), kPeerDisconnected);
    EXPECT_EQ(relayed(*first, *third, "to third"), "to third");
    EXPECT_EQ(relayed(*third, *first, "to first"), "to first");
}

// The opening handshake has a time limit; after it, only silence ends a connection. Every
// ended connection gives its place back.
TEST(Relay, ConnectionsAreCappedInTotalAndDroppedWhenHalfOpenOrSilent) {
    Relay relay({"--handshake-timeout", "0.3", "--max-connections", "2", "--max-per-address", "0", "--ping-interval",
                 "0.05", "--idle-timeout", "0.4"});
    // Silent after connecting, and stuck halfway through a TLS hello.
    EXPECT_TRUE(rawExchange(relay.port()).ended);
    EXPECT_TRUE(rawExchange(relay.port(), "\x16\x03\x01").ended);
    auto silent = relay.join(roomPath(9)), alive = relay.join(roomPath(9));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(relay.client()->open(relay.port(), roomPath(8)), std::runtime_error);
    // `alive` reads (and so answers pings) for longer than both limits without sending a frame.
    const WebSocketEvent notice = alive->read(3000ms);
    EXPECT_EQ(notice.data, kPeerDisconnected) << describe(notice);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    expectNothing(*alive, 800ms);
    EXPECT_NE(silent->read(100ms).kind, Kind::text);
    EXPECT_TRUE(relay.join(roomPath(8))->isOpen());  // the silent member's place
}

TEST(Relay, IPv6ClientsCountByPrefixAndMappedIPv4AsIPv4) {
    using relay::ConnectionLimiter;
    const auto at = [](const char* text) { return asio::ip::make_address(text); };
    auto limiter = std::make_shared<ConnectionLimiter>(100, 2, 64);
    ConnectionLimiter::Refusal refusal{};
    // In order, each admitted one held: two per /64, and an IPv4 address and its mapped form are one.
    std::vector<ConnectionLimiter::Slot> held;
    for (const auto& [address, admitted] : std::vector<std::pair<const char*, bool>>{{"2001:db8:1:2::1", true},
             {"2001:db8:1:2:ffff:ffff:ffff:ffff", true}, {"2001:db8:1:2:abcd::9", false}, {"2001:db8:1:3::1", true},
             {"192.0.2.7", true}, {"::ffff:192.0.2.7", true}, {"192.0.2.7", false}, {"192.0.2.8", true}}) {
        held.push_back(limiter->admit(at(address), refusal));
        EXPECT_EQ(static_cast<bool>(held.back()), admitted) << address;
        using enum ConnectionLimiter::Refusal;
        EXPECT_EQ(refusal, admitted ? none : tooManyFromAddress);
    }
    held[1] = {};  // a freed place is counted under the same prefix
    EXPECT_TRUE(limiter->admit(at("2001:db8:1:2::42"), refusal));

    auto wide = std::make_shared<ConnectionLimiter>(100, 1, 48);
    auto one = wide->admit(at("2001:db8:1:2::1"), refusal);
    EXPECT_FALSE(wide->admit(at("2001:db8:1:ffff::1"), refusal));
    EXPECT_EQ(limiter->countedAs(at("2001:db8:1:2:3:4:5:6")), at("2001:db8:1:2::"));
}

// A version 2 header: command byte (0x20 LOCAL, 0x21 PROXY), family byte, address block.
std::string proxyV2(std::uint8_t command, std::uint8_t family, const std::string& block) {
    return std::string("\r\n\r\n\0\r\nQUIT\n", 12) + static_cast<char>(command) + static_cast<char>(family) +
           static_cast<char>(block.size() >> 8) + static_cast<char>(block.size() & 0xFF) + block;
}
// 192.0.2.7:12345 to 10.0.0.1:443, and 2001:db8::1:12345 to ::1:443.
const std::string kV4Block("\xC0\x00\x02\x07\x0A\x00\x00\x01\x30\x39\x01\xBB", 12);
const std::string kV6Block = std::string("\x20\x01\x0D\xB8", 4) + std::string(11, '\0') + "\x01" + std::string(15, '\0') +
                             "\x01\x30\x39\x01\xBB";

auto parseProxy(std::string_view bytes) {
    return relay::parseProxyHeader({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

std::string proxyOutcome(std::string_view bytes) {
    const auto result = parseProxy(bytes);
    if (const auto* header = std::get_if<relay::ProxyHeader>(&result)) {
        return header->client ? relay::endpointText(*header->client) : "local";
    }
    if (const auto* error = std::get_if<relay::ProxyHeaderError>(&result)) return "error " + std::to_string(int(*error));
    return "incomplete";
}

// Every valid header is read exactly: each of its prefixes asks for no byte past its end, and
// the TLS bytes after it are left out of its size.
TEST(Relay, ProxyHeadersAreReadExactlyAndBadOnesRefused) {
    using E = relay::ProxyHeaderError;
    const auto fails = [](E error) { return "error " + std::to_string(int(error)); };
    const std::string v1 = "PROXY TCP4 192.0.2.7 10.0.0.1 ";
    const std::vector<std::pair<std::string, std::string>> cases{
        {proxyV2(0x21, 0x11, kV4Block), "192.0.2.7:12345"}, {proxyV2(0x20, 0x00, ""), "local"},
        {proxyV2(0x21, 0x21, kV6Block + "\x04\x00\x02xy"), "[2001:db8::1]:12345"},  // with an extension
        {proxyV2(0x20, 0x00, std::string(520, 'x')), "local"}, {v1 + "12345 443\r\n", "192.0.2.7:12345"},
        {"PROXY TCP6 2001:db8::1 ::1 12345 443\r\n", "[2001:db8::1]:12345"}, {"PROXY UNKNOWN\r\n", "local"},
        {"PROXY UNKNOWN " + std::string(91, 'x') + "\r\n", "local"},  // 107 bytes
        {"GET / HTTP/1.1\r\n", fails(E::badSignature)}, {std::string("\x16\x03\x01\x02\x00\x01", 6), fails(E::badSignature)},
        {"\r\n\r\n" + proxyV2(0x21, 0x11, kV4Block).substr(4, 6) + "X", fails(E::badSignature)},
        {proxyV2(0x11, 0x11, kV4Block), fails(E::badVersion)}, {proxyV2(0x22, 0x11, kV4Block), fails(E::badCommand)},
        {proxyV2(0x21, 0x12, kV4Block), fails(E::badFamily)} /* UDP */, {proxyV2(0x21, 0x00, ""), fails(E::badFamily)},
        {"PROXY TCP5 192.0.2.7 10.0.0.1 1 2\r\n", fails(E::badFamily)},
        {proxyV2(0x21, 0x11, kV4Block.substr(0, 11)), fails(E::badLength)}, {proxyV2(0x21, 0x21, kV4Block), fails(E::badLength)},
        {proxyV2(0x20, 0x00, std::string(521, 'x')), fails(E::badLength)},
        {"PROXY UNKNOWN " + std::string(92, 'x') + "\r\n", fails(E::badLength)},
        {v1 + "12345 443\n", fails(E::badLine)}, {v1 + "12345 443\rX", fails(E::badLine)},
        {v1 + " 12345 443\r\n", fails(E::badLine)}, {v1 + "12345\r\n", fails(E::badLine)},
        {"PROXY TCP4 2001:db8::1 10.0.0.1 1 2\r\n", fails(E::badAddress)},
        {"PROXY TCP4 192.0.2.256 10.0.0.1 1 2\r\n", fails(E::badAddress)},
        {"PROXY TCP6 fe80::1%eth0 ::1 1 2\r\n", fails(E::badAddress)}, {v1 + "65536 443\r\n", fails(E::badPort)},
        {v1 + "+1 443\r\n", fails(E::badPort)}, {v1 + "12345 44a\r\n", fails(E::badPort)},
        {proxyV2(0x21, 0x11, kV4Block).substr(0, 27), "incomplete"}, {v1 + "12345 443", "incomplete"},
    };
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(proxyOutcome(bytes), expected) << testing::PrintToString(bytes);
        if (expected.starts_with("error") || expected == "incomplete") continue;
        EXPECT_EQ(std::get<relay::ProxyHeader>(parseProxy(bytes + "\x16\x03\x01")).size, bytes.size());
        for (std::size_t n = 0; n < bytes.size(); ++n) {
            ASSERT_LE(n + std::get<relay::ProxyHeaderIncomplete>(parseProxy(bytes.substr(0, n))).missing, bytes.size()) << n;
        }
    }
    const struct { const char *prefix, *address; bool contained; } prefixes[] = {{"10.1.0.0/16", "::ffff:10.1.2.3", true},
        {"10.1.0.0/16", "10.2.0.1", false}, {"2001:db8::/32", "2001:db8:ffff::1", true}, {"::1", "127.0.0.1", false}};
    for (const auto& [prefix, address, contained] : prefixes) {
        EXPECT_EQ(relay::parseAddressPrefix(prefix)->contains(asio::ip::make_address(address)), contained) << prefix << address;
    }
}

// Through a proxy that sends PROXY headers (plain, or before TLS), the per-address limit and
// the log see the client the header names.
TEST(Relay, ProxyProtocolNamesTheClientAndConnectionsWithoutAHeaderAreRefused) {
    Relay relay({"--proxy-protocol", "127.0.0.1", "--max-per-address", "1", "--log-addresses"}, true);
    const auto via = [](std::string header) {
        return std::make_unique<WebSocketTestClient>(
            WebSocketTestClient::Options{.tls = false, .caFile = {}, .preamble = std::move(header)});
    };
    auto a = via(proxyV2(0x21, 0x11, kV4Block)), b = via("PROXY TCP6 2001:db8::1 ::1 12345 443\r\n");
    ASSERT_TRUE(a->open(relay.port(), roomPath(1)) == 101 && b->open(relay.port(), roomPath(1)) == 101);
    EXPECT_EQ(relayed(*a, *b, "through the proxy"), "through the proxy");
    EXPECT_THROW(via("PROXY TCP4 192.0.2.7 10.0.0.1 2 443\r\n")->open(relay.port(), roomPath(2)), std::runtime_error);
    EXPECT_THROW(via("")->open(relay.port(), roomPath(2)), std::runtime_error);
    EXPECT_EQ(relay.stop(SIGTERM), 0);
    // Asked for, a client's address is logged once, when it is accepted; refusals stay one line.
    EXPECT_EQ(occurrences(relay.log(), "accepted from "), 2u) << relay.log();
    EXPECT_NE(relay.log().find("accepted from 192.0.2.7:12345"), std::string::npos) << relay.log();
    EXPECT_EQ(occurrences(relay.log(), "refused"), 1u) << relay.log();
    EXPECT_NE(relay.log().find("refused 2 connection(s): 1 over the per-address limit, 0 over the total limit, 1 "
                               "without a valid PROXY header"), std::string::npos) << relay.log();

    const Relay tls({"--proxy-protocol", "10.0.0.0/8,127.0.0.0/8"});
    WebSocketTestClient health({.caFile = TestCertificates::shared().caFile(), .preamble = "PROXY UNKNOWN\r\n"});
    EXPECT_EQ(health.open(tls.port(), roomPath(3)), 101);
}

// `a` sends until the relay has had to give up on `b`, which never reads; a normal room
// exchanges a frame between bursts. With the smaller budget, under one queue's limit, the
// budget stops the attack first: either the reader's queue or the sender's unfinished
// message is the one that would not fit. A queue that does not drain gives its share back
// when its member is dropped for it.
TEST(Relay, MembersThatNeverReadAreDroppedWhileANormalRoomKeepsWorking) {
    const std::string queueOver = "dropped: not reading what its peer sends (queue over 1024 KiB)";
    // Plain connections write what is queued in one gathered send: a drop must leave the frames
    // of the send under way alone.
    const struct { std::vector<std::string> arguments; std::string reason; bool plain; } attacks[] = {
        {{"--memory-budget", "64"}, queueOver, false}, {{"--memory-budget", "64"}, queueOver, true},
        {{"--memory-budget", "1", "--max-queue-kib", "4096", "--write-timeout", "0.5"}, "the relay's memory budget is full", false}};
    for (const auto& [arguments, reason, plain] : attacks) {
        Relay relay(arguments, plain);
        auto a = relay.join(roomPath(1)), b = relay.join(roomPath(1));
        auto normalA = relay.join(roomPath(2)), normalB = relay.join(roomPath(2));
        for (int burst = 0; burst < 20 && relay.log().find(reason) == std::string::npos; ++burst) {
            try {
                for (int i = 0; i < 40; ++i) a->sendText(kTunnelFrame);
            } catch (const std::runtime_error&) {
                break;  // refused while sending: the reason is in the log
            }
            ASSERT_EQ(relayed(*normalA, *normalB, "burst " + std::to_string(burst)), "burst " + std::to_string(burst));
        }
        EXPECT_TRUE(relay.logShows(reason)) << relay.log();
        // Under the budget, the sender may be stopped first, and the kernel then takes the rest.
        EXPECT_TRUE(reason != queueOver || relay.logShows("#2 dropped: ")) << relay.log();
        EXPECT_TRUE(relayed(*normalB, *normalA, kTunnelFrame) == kTunnelFrame) << relay.log();
    }
}

TEST(Relay, UnfinishedMessageIsDroppedAfterTheBoundEvenWhileThePingsAreAnswered) {
    Relay relay({"--handshake-timeout", "0.6", "--ping-interval", "0.05", "--idle-timeout", "5"});
    auto peer = relay.join(roomPath(5)), sender = relay.join(roomPath(5));
    // A message in fragments arrives whole. The sender reads (so answers pings) while it waits.
    sender->sendPart(kTunnelFrame.substr(0, 1000), false);
    sender->sendPart("", false);
    sender->sendPart(kTunnelFrame.substr(1000), true);
    EXPECT_EQ(peer->readText(), kTunnelFrame);

    sender->sendPart(kTunnelFrame.substr(0, 50000), false);
    expectNothing(*sender, 200ms);
    sender->sendPart(kTunnelFrame.substr(0, 100), false);  // progress of a sort, but no end
    const WebSocketEvent end = sender->read(5000ms);
    EXPECT_TRUE(end.kind == Kind::closed || end.kind == Kind::failed) << describe(end);
    EXPECT_TRUE(relay.logShows("dropped: message not completed within 600 ms")) << relay.log();
    EXPECT_EQ(peer->readText(), kPeerDisconnected);
}

// A member on a bare OpenSSL connection limited to one version and suite (TLS 1.2 suite names
// for the older versions; empty keeps the defaults) and to `groups` (empty: the defaults), so
// that the test can ask for key updates: text frames of up to 65535 bytes, written masked and read
// whole. Throws when the handshake fails. A `segment` size makes the relay send in small segments,
// so that its socket buffer stays small. Without a path, it stops after TLS.
class BareTlsMember {
public:
    BareTlsMember(std::uint16_t port, const std::string& path, int version, const char* suite, const char* groups = "",
                  int segment = 0)
        : context_(SSL_CTX_new(TLS_client_method()), SSL_CTX_free), socket_(io_), tls_(nullptr, SSL_free) {
        SSL_CTX_set_min_proto_version(context_.get(), version);
        SSL_CTX_set_max_proto_version(context_.get(), version);
        SSL_CTX_set_security_level(context_.get(), 0);  // let it offer what the relay must refuse
        if (*suite != '\0' && (version == TLS1_3_VERSION ? SSL_CTX_set_ciphersuites(context_.get(), suite) != 1
                                                          : SSL_CTX_set_cipher_list(context_.get(), suite) != 1)) {
            throw std::runtime_error(suite);
        }
        if (*groups != '\0' && SSL_CTX_set1_groups_list(context_.get(), groups) != 1) throw std::runtime_error(groups);
        socket_.open(asio::ip::tcp::v4());
        if (segment != 0) {
            setsockopt(socket_.native_handle(), IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
            setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVBUF, &segment, sizeof segment);
        }
        socket_.connect({asio::ip::make_address("127.0.0.1"), port});
        socket_.set_option(asio::ip::tcp::no_delay(true));
        tls_.reset(SSL_new(context_.get()));
        SSL_set_fd(tls_.get(), socket_.native_handle());
        if (SSL_connect(tls_.get()) != 1) throw std::runtime_error("TLS handshake failed");
        if (path.empty()) return;
        write(upgradeRequest(path));
        std::string response;
        while (response.find("\r\n\r\n") == std::string::npos) response += read(1);
        if (response.rfind("HTTP/1.1 101", 0) != 0) throw std::runtime_error(response);
    }
    static std::string frame(const std::string& text) {
        std::string frame{'\x81', static_cast<char>(0x80 | 126), static_cast<char>(text.size() >> 8),
                          static_cast<char>(text.size()), 'm', 'a', 's', 'k'};
        for (std::size_t i = 0; i < text.size(); ++i) frame += static_cast<char>(text[i] ^ "mask"[i % 4]);
        return frame;
    }
    std::string readText() {
        const auto byte = [this] { return static_cast<std::size_t>(static_cast<unsigned char>(read(1)[0])); };
        if (const auto first = byte(); first != 0x81) throw std::runtime_error("not a whole text frame: " + std::to_string(first));
        if (const std::size_t size = byte(); size != 126) return read(size);
        const std::size_t high = byte() << 8;
        return read(high | byte());
    }
    // Bytes on the socket beneath TLS, as a hostile member would forge them, written until the relay refuses the rest.
    void writeRaw(const std::string& bytes) {
        boost::system::error_code ignored;
        asio::write(socket_, asio::buffer(bytes), ignored);
    }
    void closeNotify() { SSL_shutdown(tls_.get()); }
    // The key exchange group agreed on, by its TLS name.
    std::string group() const {
        const char* name = SSL_group_to_name(tls_.get(), SSL_get_negotiated_group(tls_.get()));
        return name != nullptr ? name : "";
    }
    // The records of `count` key updates that ask for one back (TLS 1.3) and of the frame of `text`
    // behind them (none if empty), to be sent in one write so that the relay reads them at once.
    std::string keyUpdates(int count, const std::string& text = "") {
        BIO* const socket = SSL_get_wbio(tls_.get());
        BIO_up_ref(socket);
        SSL_set0_wbio(tls_.get(), BIO_new(BIO_s_mem()));
        for (int i = 0; i < count; ++i) {
            if (SSL_key_update(tls_.get(), SSL_KEY_UPDATE_REQUESTED) != 1 || SSL_do_handshake(tls_.get()) != 1) break;
        }
        if (!text.empty()) write(frame(text));
        char* bytes = nullptr;
        const long size = BIO_get_mem_data(SSL_get_wbio(tls_.get()), &bytes);
        std::string records(bytes, static_cast<std::size_t>(size));
        SSL_set0_wbio(tls_.get(), socket);
        return records;
    }
    // The records of `count` renegotiation requests (ClientHellos) on TLS 1.2 with AES-128-GCM, as
    // a hostile member forges them from the connection's own keys (OpenSSL sends one, then waits
    // for the answer). For a member that has sent nothing since it opened.
    std::string renegotiationRequests(int count) {
        unsigned char master[48], randoms[64], block[40];
        SSL_SESSION_get_master_key(SSL_get_session(tls_.get()), master, sizeof master);
        SSL_get_server_random(tls_.get(), randoms, 32);
        SSL_get_client_random(tls_.get(), randoms + 32, 32);
        const std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)> prf(EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr), EVP_KDF_free);
        const std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> derive(EVP_KDF_CTX_new(prf.get()), EVP_KDF_CTX_free);
        char digest[] = "SHA256", label[] = "key expansion";
        const OSSL_PARAM parameters[] = {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
                                         OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, master, sizeof master),
                                         OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, label, sizeof label - 1),
                                         OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, randoms, sizeof randoms),
                                         OSSL_PARAM_construct_end()};
        if (EVP_KDF_derive(derive.get(), block, sizeof block, parameters) != 1) throw std::runtime_error("key block");
        const unsigned char* const key = block;  // then the server's key, the client's salt at 32
        const std::string hello = std::string("\x01\x00\x00\x29\x03\x03", 6) + std::string(32, 'r') +
                                  std::string("\x00\x00\x02\xc0\x2b\x01\x00", 7);
        std::string records;
        for (std::uint64_t sequence = 2; sequence < 2 + static_cast<std::uint64_t>(count); ++sequence) {
            unsigned char nonce[12], additional[13], sealed[64 + 16];  // the tag behind the ciphertext
            std::memcpy(nonce, block + 32, 4);
            for (int i = 0; i < 8; ++i) nonce[4 + i] = additional[i] = static_cast<unsigned char>(sequence >> (56 - 8 * i));
            const unsigned char header[5] = {SSL3_RT_HANDSHAKE, 3, 3, 0, static_cast<unsigned char>(hello.size())};
            std::memcpy(additional + 8, header, 5);
            const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> seal(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
            int n = 0, last = 0;
            if (EVP_EncryptInit_ex(seal.get(), EVP_aes_128_gcm(), nullptr, key, nonce) != 1 ||
                EVP_EncryptUpdate(seal.get(), nullptr, &n, additional, sizeof additional) != 1 ||
                EVP_EncryptUpdate(seal.get(), sealed, &n, reinterpret_cast<const unsigned char*>(hello.data()), static_cast<int>(hello.size())) != 1 ||
                EVP_EncryptFinal_ex(seal.get(), sealed + n, &last) != 1 ||
                EVP_CIPHER_CTX_ctrl(seal.get(), EVP_CTRL_GCM_GET_TAG, 16, sealed + hello.size()) != 1) {
                throw std::runtime_error("seal");
            }
            records += std::string{SSL3_RT_HANDSHAKE, 3, 3, 0, static_cast<char>(8 + hello.size() + 16)} +
                       std::string(reinterpret_cast<const char*>(nonce + 4), 8) + std::string(reinterpret_cast<const char*>(sealed), hello.size() + 16);
        }
        return records;
    }
    // The records the relay sends, counted beneath TLS, until it ends the connection.
    int recordsUntilEnd() {
        const timeval limit{10, 0};
        setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string bytes;
        char chunk[4096];
        for (ssize_t n; (n = ::recv(socket_.native_handle(), chunk, sizeof chunk, 0)) > 0;) bytes.append(chunk, static_cast<std::size_t>(n));
        int records = 0;
        for (std::size_t at = 0; at + 5 <= bytes.size(); ++records) {
            at += 5 + (static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + 3])) << 8) + static_cast<unsigned char>(bytes[at + 4]);
        }
        return records;
    }

private:
    void write(const std::string& bytes) {
        if (SSL_write(tls_.get(), bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size())) {
            throw std::runtime_error("TLS write failed");
        }
    }
    std::string read(std::size_t size) {
        std::string bytes(size, '\0');
        for (std::size_t at = 0; at < size;) {
            const int n = SSL_read(tls_.get(), bytes.data() + at, static_cast<int>(size - at));
            if (n <= 0) throw std::runtime_error("TLS read failed");
            at += static_cast<std::size_t>(n);
        }
        return bytes;
    }
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context_;
    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    std::unique_ptr<SSL, decltype(&SSL_free)> tls_;
};

// Only TLS 1.3 and TLS 1.2 with ECDHE and an AEAD, on curves or the hybrid, are accepted. With each
// suite accepted, records go both ways, also behind a key update the relay must answer with its own,
// and close_notify ends the member. A member whose TLS fails, or floods the relay with handshake
// messages, is dropped alone.
TEST(Relay, OnlyStrongTlsOnCurvesOrTheHybridIsServedAndAMemberWhoseTlsFailsOrFloodsIsDroppedAlone) {
    const TempDir directory;
    const auto fault = directory.path() / "fail";  // while it exists, the relay's SSL_new fails
    std::string asan = std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") + std::string(":") : "";
    const Relay relay({}, false, {{"LD_PRELOAD", DUOQUILL_SSL_NEW_FAULT}, {"DUOQUILL_SSL_NEW_FAULT", fault.string()},
                                  {"ASAN_OPTIONS", asan + "verify_asan_link_order=0"}});
    const struct { int version; const char* suites; bool accepted; } cases[] = {
        {TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", true}, {TLS1_3_VERSION, "TLS_AES_256_GCM_SHA384", true},
        {TLS1_3_VERSION, "TLS_CHACHA20_POLY1305_SHA256", true}, {TLS1_1_VERSION, "", false},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256", true},
        {TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305", true},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384:ECDHE-RSA-AES128-SHA", false},  // CBC
        {TLS1_2_VERSION, "AES128-GCM-SHA256:AES256-GCM-SHA384", false},  // RSA key transport
    };
    int room = 700;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.suites);
        if (!c.accepted) {
            EXPECT_THROW(BareTlsMember(relay.port(), roomPath(room++), c.version, c.suites), std::runtime_error);
            continue;
        }
        BareTlsMember bare(relay.port(), roomPath(room), c.version, c.suites);
        const Client peer = relay.join(roomPath(room++));
        const std::string large = frameText(1, 40000);  // more than two records
        for (int round = 0; round < 3; ++round) {
            bare.writeRaw(bare.keyUpdates(c.version == TLS1_3_VERSION && round > 0 ? 1 : 0, frameText(round, 300)));
            EXPECT_EQ(peer->readText(), frameText(round, 300));
            EXPECT_EQ(relayed(*peer, bare, large), large);
        }
        bare.closeNotify();
        EXPECT_EQ(peer->readText(), kPeerDisconnected);
    }
    // A forged record after the handshake (OpenSSL refuses it) ends that member's connection,
    // its peer hears of it, and the relay goes on pairing others.
    BareTlsMember forger(relay.port(), roomPath(room), TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256");
    const Client forgersPeer = relay.join(roomPath(room++));
    forger.writeRaw(std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '\x5a'));
    EXPECT_EQ(forgersPeer->readText(), kPeerDisconnected);
    // A member that stops reading blocks the relay's writes to it; a key update it sends then must be
    // answered behind the record OpenSSL has half written (which it defers until that is out, rather
    // than fail the connection with "bad write retry"), and once the member reads again it has every
    // frame.
    BareTlsMember slow(relay.port(), roomPath(room), TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", "", 1024);
    const Client slowPeer = relay.join(roomPath(room++));
    for (int i = 0; i < 12; ++i) slowPeer->sendText(frameText(i, 60000));
    std::this_thread::sleep_for(300ms);  // the relay has written what the socket takes
    slow.writeRaw(slow.keyUpdates(1, frameText(12, 300)));
    std::this_thread::sleep_for(200ms);
    for (int i = 0; i < 12; ++i) ASSERT_EQ(slow.readText(), frameText(i, 60000)) << i;
    EXPECT_EQ(slowPeer->readText(), frameText(12, 300));
    EXPECT_EQ(relay.log().find("bad write retry"), std::string::npos) << relay.log();
    // Whatever fails while a connection is set up (here OpenSSL cannot make its SSL object) drops
    // that connection alone: the relay logs it and serves the open pair and new ones.
    std::ofstream(fault).put('x');
    EXPECT_THROW(relay.client()->open(relay.port(), roomPath(room)), std::runtime_error);
    EXPECT_THROW(relay.client()->open(relay.port(), roomPath(room)), std::runtime_error);
    ASSERT_TRUE(relay.logShows("not served: cannot set up TLS: malloc failure")) << relay.log();
    std::filesystem::remove(fault);
    EXPECT_EQ(relayed(*slowPeer, slow, frameText(13, 300)), frameText(13, 300));

    // Handshake messages after the handshake, as many in one write as a member can send: key updates
    // on TLS 1.3, renegotiation requests on TLS 1.2. The read that carries the 33rd drops the
    // member: at most 32 are answered, and the relay serves the others as before.
    const struct { int version; const char* suites; int count; } floods[] = {
        {TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", 20000},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256", 4000}};
    for (const auto& flood : floods) {
        SCOPED_TRACE(flood.count);
        BareTlsMember attacker(relay.port(), roomPath(room), flood.version, flood.suites);
        const Client peer = relay.join(roomPath(room++));
        attacker.writeRaw(flood.version == TLS1_3_VERSION ? attacker.keyUpdates(flood.count)
                                                          : attacker.renegotiationRequests(flood.count));
        EXPECT_EQ(attacker.recordsUntilEnd(), 32);  // those within the limit as ever, and none past it
        EXPECT_EQ(peer->readText(), kPeerDisconnected);
    }
    // The drop is logged by the member's own relay thread, which may come after its peer hears of it.
    const std::string flooded = "dropped: more than 32 TLS handshake messages (key updates, renegotiations) within 10 s";
    for (int i = 0; i < 500 && occurrences(relay.log(), flooded) < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(occurrences(relay.log(), flooded), 2U) << relay.log();
    EXPECT_EQ(occurrences(relay.log(), "not served: cannot set up TLS: malloc failure"), 2U);
    EXPECT_EQ(relay.log().find("a connection not served"), std::string::npos);  // each named by its number
    const Client a = relay.join(roomPath(room)), b = relay.join(roomPath(room));
    EXPECT_EQ(relayed(*a, *b, frameText(9, 300)), frameText(9, 300));

    // Finite-field groups would let a client spend a hundred times its own CPU on the relay: one that
    // offers only those gets no handshake, one that leads with one is asked for a curve instead.
    // Where OpenSSL has the ML-KEM hybrid (3.5 and later), a client with the policy's groups agrees
    // on it.
    EXPECT_THROW(BareTlsMember(relay.port(), "", TLS1_3_VERSION, "", "ffdhe2048:ffdhe3072:ffdhe8192"),
                 std::runtime_error);
    EXPECT_THROW(BareTlsMember(relay.port(), "", TLS1_2_VERSION, "", "ffdhe2048"), std::runtime_error);
    for (const auto& [offered, agreed] : {std::pair{"ffdhe8192:P-384", "secp384r1"},
                                          std::pair{"ffdhe2048:X25519", "x25519"}, std::pair{"P-521:P-256", "secp256r1"}}) {
        EXPECT_EQ(BareTlsMember(relay.port(), "", TLS1_3_VERSION, "", offered).group(), agreed) << offered;
    }
    EXPECT_EQ(BareTlsMember(relay.port(), "", TLS1_2_VERSION, "", "ffdhe2048:P-256").group(), "secp256r1");
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> policy(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    const std::string groups = tls::applyPolicy(policy.get());
    EXPECT_NE(relay.log().find("(wss, key exchange " + groups + ")"), std::string::npos) << relay.log();
    // Last, so that an OpenSSL without the hybrid shows this test skipped after every other check ran.
    if (!groups.starts_with("X25519MLKEM768:")) {
        GTEST_SKIP() << OpenSSL_version(OPENSSL_VERSION) << " has no X25519MLKEM768 (OpenSSL 3.5 and later do)";
    }
    EXPECT_EQ(BareTlsMember(relay.port(), "", TLS1_3_VERSION, "", groups.c_str()).group(), "X25519MLKEM768");
}

// The relay's TLS stream in this process, with the time of its window on handshake messages in the
// test's hand: 32 key updates, a pause past the window, 32 more: the member stays, and the data
// behind each batch is read, by the same read that opened the key updates (the socket holds nothing
// more, so a read that stopped at a key update would leave the data unread until the member sent
// again). One more within that window is the 33rd: once the read that carries it returns, the
// stream says so, and its socket is shut.
TEST(TlsStream, HandshakeMessagesCountWithinAWindowThatStartsAgain) {
    std::signal(SIGPIPE, SIG_IGN);  // the answer to the 33rd meets a shut socket
    static auto now = std::chrono::steady_clock::time_point{} + 1h;
    const relay::TlsCertificates certificates(TestCertificates::shared().certificateFile().string(),
                                              TestCertificates::shared().privateKeyFile().string());
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    std::optional<BareTlsMember> client;
    std::thread connecting([&] { client.emplace(acceptor.local_endpoint().port(), "", TLS1_3_VERSION, ""); });
    relay::RelaySocket accepted(io.get_executor());
    acceptor.accept(accepted);
    relay::TlsStream server(std::move(accepted), certificates.current().get(), [] { return now; });
    boost::system::error_code handshake = asio::error::would_block;
    server.async_handshake([&](boost::system::error_code ec) { handshake = ec; });
    io.run();
    connecting.join();
    ASSERT_FALSE(handshake);
    // What the stream reads next, waiting on the socket as the relay's read loop does (or, `once`,
    // what one read gives once the socket is readable); empty once the read fails.
    const auto serverRead = [&](bool once) {
        if (once) server.socket().wait(asio::socket_base::wait_read);
        for (char bytes[64];;) {
            boost::system::error_code ec;
            if (const std::size_t n = server.readNow(asio::buffer(bytes), ec); n != 0) return std::string(bytes, n);
            if (once || ec != asio::error::would_block) return std::string();
            const bool toWrite = server.waitsToWrite();
            server.socket().wait(toWrite ? asio::socket_base::wait_write : asio::socket_base::wait_read, ec);
        }
    };
    client->writeRaw(client->keyUpdates(32, "a"));
    EXPECT_EQ(serverRead(true), BareTlsMember::frame("a"));
    EXPECT_FALSE(server.tooManyHandshakeMessages());

    now += relay::TlsStream::kHandshakeMessageWindow;
    client->writeRaw(client->keyUpdates(32, "b"));
    EXPECT_EQ(serverRead(false), BareTlsMember::frame("b"));
    EXPECT_FALSE(server.tooManyHandshakeMessages());

    now += relay::TlsStream::kHandshakeMessageWindow - 1ms;
    client->writeRaw(client->keyUpdates(1, "c"));
    (void)serverRead(false);  // the frame behind it, or the end: the caller drops the member either way
    EXPECT_TRUE(server.tooManyHandshakeMessages());
    EXPECT_EQ(serverRead(false), "");  // the socket is shut: nothing more comes in
}

// Sends its ClientHello and never reads the answer, which would let it finish the handshake: the
// relay holds a pending handshake.
asio::ip::tcp::socket stalledHandshake(asio::io_context& io, SSL_CTX* context, std::uint16_t port) {
    asio::ip::tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    const std::unique_ptr<SSL, decltype(&SSL_free)> tls(SSL_new(context), SSL_free);
    SSL_set_bio(tls.get(), BIO_new(BIO_s_mem()), BIO_new_socket(socket.native_handle(), BIO_NOCLOSE));
    (void)SSL_connect(tls.get());
    ERR_clear_error();
    return socket;
}

// Waits for the relay to answer a stalled handshake or to end its connection unanswered.
bool answered(asio::ip::tcp::socket& socket) {
    pollfd ready{.fd = socket.native_handle(), .events = POLLIN, .revents = 0};
    char byte = 0;
    return ::poll(&ready, 1, 10000) == 1 && ::recv(socket.native_handle(), &byte, 1, 0) == 1;
}

// A connection is charged to the memory budget from its acceptance: 300 that stop in their TLS
// handshake raise the relay's memory by no more than the budget counts for them (what /metrics
// says), and those past the budget are closed before any TLS. Ended by their clients or by the
// TLS time-out, they give their charge back.
TEST(Relay, PendingHandshakesAndUnfinishedTlsRecordsStayWithinTheBudget) {
    // No time-out ends a handshake while they are counted, however slow the machine.
    Relay relay({"--memory-budget", "8", "--handshake-timeout", "600", "--tls-handshake-timeout", "600",
                 "--max-per-address", "0", "--metrics", "127.0.0.1:0"});
    const long fit = (8L << 20) / static_cast<long>(relay::MemoryBudget::kOpeningTlsBytes);
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    asio::io_context io;
    const long before = relay.residentKiB();
    std::vector<asio::ip::tcp::socket> pending;
    for (int i = 0; i < 300; ++i) pending.push_back(stalledHandshake(io, context.get(), relay.port()));
    // Once each is answered or ended, every count is final.
    EXPECT_EQ(std::ranges::count_if(pending, answered), fit);
    EXPECT_EQ(relay.metric("connections_refused_total{reason=\"memory_budget\"}"), 300 - fit);
    const long used = relay.metric("memory_budget_used_bytes");
    EXPECT_EQ(used, fit * static_cast<long>(relay::MemoryBudget::kOpeningTlsBytes));
    // Under AddressSanitizer every allocation carries redzones and shadow: the figure is the release build's.
    if (!kSanitized) {
        EXPECT_LE(relay.residentKiB() - before, used / 1024);
    }
    EXPECT_EQ(relay.metric("connections_open"), fit);

    pending.clear();
    for (int i = 0; i < 500 && relay.metric("memory_budget_used_bytes") != 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(relay.metric("memory_budget_used_bytes"), 0);
    const Client a = relay.join(roomPath(1)), b = relay.join(roomPath(1));
    EXPECT_EQ(relayed(*a, *b, kTunnelFrame), kTunnelFrame);
    EXPECT_EQ(relay.stop(SIGTERM), 0);
    EXPECT_NE(relay.log().find(", " + std::to_string(300 - fit) + " with the memory budget spent"), std::string::npos);

    // The TLS time-out, the shorter one here, ends a stalled handshake; its charge goes before its line is logged.
    const Relay small({"--memory-budget", "1", "--handshake-timeout", "2", "--tls-handshake-timeout", "0.5",
                       "--max-per-address", "0", "--threads", "1", "--metrics", "127.0.0.1:0"});
    const auto stalled = stalledHandshake(io, context.get(), small.port());
    EXPECT_TRUE(small.logShows("#1 dropped: TLS handshake not finished in time")) << small.log();
    EXPECT_EQ(small.metric("memory_budget_used_bytes"), 0);

    // A record left unfinished holds its buffer only within the memory budget and the handshake
    // time-out. Each member, alone in its room, sends the first part of a record and nothing more:
    // about 56 buffers fit in the budget, the other members are refused.
    std::vector<std::unique_ptr<BareTlsMember>> members;
    for (int i = 0; i < 120; ++i) {
        members.push_back(std::make_unique<BareTlsMember>(small.port(), roomPath(5000 + i), TLS1_3_VERSION,
                                                          "TLS_AES_128_GCM_SHA256"));
    }
    std::this_thread::sleep_for(200ms);
    const long beforeRecords = small.residentKiB();
    for (auto& member : members) member->writeRaw(std::string("\x17\x03\x03\x40\x11", 5) + std::string(12000, 'r'));
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(small.residentKiB() - beforeRecords, kGrowthBoundKiB);
    for (int i = 0; i < 100 && occurrences(small.log(), "unfinished TLS record held a buffer (1013)") < 50; ++i) {
        std::this_thread::sleep_for(100ms);  // logged once the closing time-out ends them
    }
    EXPECT_GE(occurrences(small.log(), "unfinished TLS record held a buffer (1013)"), 50U) << small.log();
    EXPECT_GE(occurrences(small.log(), "dropped: message not completed within 2000 ms"), 40U) << small.log();
    const Client c = small.join(roomPath(1)), d = small.join(roomPath(1));
    EXPECT_EQ(relayed(*c, *d, kTunnelFrame), kTunnelFrame);
}

// SIGHUP: new connections get the new certificate, open ones keep theirs and go on; a pair
// that does not load or match leaves the one in use.
TEST(Relay, SighupReloadsTheCertificateForNewConnectionsOnly) {
    const TempDir directory;
    const auto certificate = directory.path() / "cert.pem", key = directory.path() / "key.pem";
    const auto install = [&](const std::filesystem::path& certificateFrom, const std::filesystem::path& keyFrom) {
        std::filesystem::copy_file(certificateFrom, certificate, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(keyFrom, key, std::filesystem::copy_options::overwrite_existing);
    };
    const TestCertificates& first = TestCertificates::shared();
    const TestCertificates second;
    install(first.certificateFile(), first.privateKeyFile());
    Relay relay({"--cert", certificate.string(), "--key", key.string()});
    const Client a = relay.join(roomPath(1)), b = relay.join(roomPath(1));
    EXPECT_EQ(relayed(*a, *b, "before"), "before");

    install(second.certificateFile(), second.privateKeyFile());
    ::kill(relay.pid(), SIGHUP);
    ASSERT_TRUE(relay.logShows("certificate reloaded")) << relay.log();
    EXPECT_EQ(relayed(*b, *a, "across the reload"), "across the reload");
    const auto opens = [&](const TestCertificates& authority) {
        try { return WebSocketTestClient({.caFile = authority.caFile()}).open(relay.port(), roomPath(2)) == 101; }
        catch (const std::runtime_error&) { return false; }  // the certificate is not one this client trusts
    };
    EXPECT_FALSE(opens(first));
    EXPECT_TRUE(opens(second));

    for (const auto& [certificateFrom, keyFrom, why] :
         {std::tuple{second.privateKeyFile(), second.privateKeyFile(), "cannot use certificate file"},
          std::tuple{first.certificateFile(), second.privateKeyFile(), "does not match the certificate"}}) {
        install(certificateFrom, keyFrom);
        ::kill(relay.pid(), SIGHUP);
        ASSERT_TRUE(relay.logShows(why)) << relay.log();
        EXPECT_TRUE(opens(second)) << why;
    }
    EXPECT_EQ(occurrences(relay.log(), "certificate not reloaded, the one in use stays"), 2U);
    EXPECT_EQ(relayed(*a, *b, "after"), "after");
    EXPECT_EQ(relay.stop(SIGTERM), 0);

    // A failure is told even with the log off, in OpenSSL's words.
    install(second.certificateFile(), second.privateKeyFile());
    Relay quiet({"--cert", certificate.string(), "--key", key.string(), "--quiet"});
    std::filesystem::remove(key);
    ::kill(quiet.pid(), SIGHUP);
    EXPECT_TRUE(quiet.logShows("certificate not reloaded, the one in use stays: cannot use key file \"" + key.string() +
                               "\": No such file or directory")) << quiet.log();
}

TEST(Relay, CommandLine) {
    const ProcessResult help = runProcess(relayPath().string(), {"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* option : {"--listen", "--cert", "--key", "--plain", "--threads", "--max-connections",
                               "--max-per-address", "--proxy-protocol", "--ping-interval", "--idle-timeout",
                               "--handshake-timeout", "--quiet", "--metrics", "--help"}) {
        EXPECT_NE(help.standardOutput.find(option), std::string::npos) << option;
    }
    const std::string any = "127.0.0.1:0";
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{{}, {"--listen", any},
             {"--listen", "127.0.0.1", "--plain"}, {"--listen", "127.0.0.1:70000", "--plain"},
             {"--listen", any, "--plain", "--threads", "0"}, {"--listen", any, "--plain", "--ping-interval", "soon"},
             {"--listen", any, "--plain", "--bogus"}, {"--listen", any, "--plain", "--metrics", "127.0.0.1"},
             {"--listen", any, "--plain", "--proxy-protocol", "127.0.0.1,10.0.0.0/33"},
             {"--listen", any, "--cert", "/nonexistent.pem", "--key", "/nonexistent.key"}}) {
        const ProcessResult result = runProcess(relayPath().string(), arguments);
        EXPECT_NE(result.exitStatus, 0) << testing::PrintToString(arguments);
        EXPECT_NE(result.standardError.find("duoquill-relay: "), std::string::npos) << result.standardError;
    }
}

// The log has one line per event: no client address unless asked, the room only as a short
// hash prefix, frames never, and refused connections counted in one line instead of one each.
TEST(Relay, SigtermClosesEveryConnectionWith1001AndTheLogKeepsFramesAndAddressesOut) {
    Relay relay({"--max-per-address", "3"});
    const std::string room = roomPath(1), secret = "frame-content-that-must-not-be-logged";
    auto a = relay.join(room), b = relay.join(room), lone = relay.join(roomPath(2));
    ASSERT_EQ(relayed(*a, *b, secret), secret);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(rawExchange(relay.port()).ended);
    ::kill(relay.pid(), SIGTERM);
    for (auto* client : {a.get(), b.get(), lone.get()}) expectClosed(*client, 1001);
    EXPECT_EQ(relay.stop(0), 0);

    const std::string log = relay.log();
    EXPECT_EQ(log.find(room.substr(1, 16)), std::string::npos) << log;
    EXPECT_EQ(log.find(secret), std::string::npos) << log;
    EXPECT_NE(log.find("joined room "), std::string::npos) << log;
    EXPECT_NE(log.find("(1001)"), std::string::npos) << log;
    EXPECT_EQ(occurrences(log, "refused 5 connection(s): 5 over the per-address limit, 0 over the total limit"), 1u)
        << log;
    EXPECT_EQ(occurrences(log, "refused"), 1u) << log;
    // The start-up line names the listening address; nothing else names one unless asked
    // (the proxy test asks).
    EXPECT_EQ(occurrences(log, "127.0.0.1:"), 1u) << log;
}

// A plain relay, quiet. Its metrics count what it did, each count driven once on two threads so
// that a missed, doubled or misfiled count shows, and name no room or address.
TEST(Relay, PlainAndQuietCountsInItsMetricsServesWithoutTlsOrLogAndStopsOnSigint) {
    Relay relay({"--threads", "2", "--memory-budget", "64", "--metrics", "127.0.0.1:0", "--quiet"}, true);
    EXPECT_EQ(relay.client()->open(relay.port(), "/x"), 404);
    const Client lone = relay.join(roomPath(3));
    for (int i = 0; i < 3; ++i) lone->sendText("kept");
    const Client a = relay.join(roomPath(1)), b = relay.join(roomPath(1));
    const Client c = relay.join(roomPath(2)), d = relay.join(roomPath(2));
    for (int i = 0; i < 10; ++i) {
        a->sendText(frameText(i, 100));
        d->sendText(frameText(i, 1000));
    }
    for (int i = 0; i < 10; ++i) ASSERT_EQ(b->readText() + c->readText(), frameText(i, 100) + frameText(i, 1000));
    const Client binary = relay.join(roomPath(4)), itsPeer = relay.join(roomPath(4));
    binary->sendBinary("x");
    expectClosed(*binary, 1003);
    EXPECT_EQ(itsPeer->readText(), kPeerDisconnected);

    const std::vector<std::pair<std::string, long>> expected{
        {"connections_open", 6}, {"connections_refused_total{reason=\"not_found\"}", 1},
        {"connections_refused_total{reason=\"address_cap\"}", 0}, {"rooms{members=\"1\"}", 2}, {"rooms{members=\"2\"}", 2},
        {"frames_forwarded_total", 20}, {"bytes_forwarded_total", 11000}, {"frames_kept_total", 3},
        {"members_dropped_total{reason=\"binary_frame\"}", 1}, {"members_dropped_total{reason=\"replaced\"}", 0},
        {"memory_budget_used_bytes", 12}, {"memory_budget_limit_bytes", 64 << 20}};
    const auto counted = [&] {
        return std::ranges::all_of(expected,
                                   [&](const auto& sample) { return relay.metric(sample.first) == sample.second; });
    };
    // The last close and the last writes are counted a moment after the clients see them.
    for (int i = 0; i < 250 && !counted(); ++i) std::this_thread::sleep_for(20ms);
    for (const auto& [name, value] : expected) EXPECT_EQ(relay.metric(name), value) << name;
    const auto get = [&](const std::string& request) {
        return rawExchange(relay.metricsPort(), request + " HTTP/1.1\r\nHost: x\r\n\r\n").bytes;
    };
    const std::string metrics = get("GET /metrics");
    EXPECT_NE(metrics.find("\r\nContent-Type: text/plain; version=0.0.4"), std::string::npos) << metrics;
    std::istringstream lines(metrics.substr(metrics.find("\r\n\r\n") + 4));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("#")) continue;
        const std::string name = line.substr(0, line.find_first_of("{ "));
        EXPECT_NE(metrics.find("# HELP " + name + " "), std::string::npos) << name;
        EXPECT_NE(metrics.find("# TYPE " + name + (name.ends_with("_total") ? " counter\n" : " gauge\n")), std::string::npos)
            << name;
    }
    for (int room = 1; room <= 4; ++room) {
        EXPECT_EQ(metrics.find(roomPath(room).substr(1, 16)), std::string::npos);
        EXPECT_EQ(metrics.find(relay::RelayLog::roomTag(roomPath(room).substr(1))), std::string::npos);
    }
    EXPECT_EQ(metrics.find("127.0.0.1"), std::string::npos);
    EXPECT_EQ(get("GET /other").rfind("HTTP/1.1 404 ", 0), 0u);
    EXPECT_EQ(get("POST /metrics").rfind("HTTP/1.1 405 ", 0), 0u);

    // Frames queued while a send is under way go out together, whole and in order.
    std::vector<std::string> sent;
    for (int i = 0; i < 300; ++i) sent.push_back(frameText(i, i % 3 == 0 ? 4632 : i % 7 == 0 ? 0 : 1560));
    for (const auto& text : sent) a->sendText(text);
    for (const auto& text : sent) ASSERT_EQ(b->readText(), text);
    // A room's path asked for without the upgrade.
    const RawAnswer answer = rawExchange(relay.port(), "GET " + roomPath(5) + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(answer.bytes.rfind("HTTP/1.1 426 ", 0), 0u) << answer.bytes;
    EXPECT_TRUE(answer.ended);
    // Upgrades without a key or for another version are refused; a member's ping is answered with
    // its payload, its close with its code, and a frame that breaks the framing with 1002.
    EXPECT_EQ(rawExchange(relay.port(), upgradeRequest(roomPath(5), "")).bytes.rfind("HTTP/1.1 400 ", 0), 0u);
    const std::string otherVersion = rawExchange(relay.port(), upgradeRequest(roomPath(5), kKeyLine, "8")).bytes;
    EXPECT_EQ(otherVersion.rfind("HTTP/1.1 426 ", 0), 0u) << otherVersion;
    EXPECT_NE(otherVersion.find("Sec-WebSocket-Version: 13\r\n"), std::string::npos) << otherVersion;
    const std::string accepted = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                 "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\nServer: duoquill-relay\r\n\r\n";
    const std::string ping = std::string("\x89\x83", 2) + std::string(4, '\0') + "abc";
    const std::string close = std::string("\x88\x82", 2) + std::string(4, '\0') + "\x0f\xa0";  // 4000
    const RawAnswer closed = rawExchange(relay.port(), upgradeRequest(roomPath(5)) + ping + close);
    EXPECT_EQ(closed.bytes, accepted + "\x8a\x03" "abc" + std::string("\x88\x02\x0f\xa0", 4));
    EXPECT_TRUE(closed.ended);
    const RawAnswer unmasked = rawExchange(relay.port(), upgradeRequest(roomPath(5)) + "\x81\x01x");
    EXPECT_EQ(unmasked.bytes, accepted + std::string("\x88\x02\x03\xea", 4));
    EXPECT_TRUE(unmasked.ended);
    ::kill(relay.pid(), SIGINT);
    for (auto* client : {a.get(), b.get(), c.get(), d.get(), lone.get(), itsPeer.get()}) expectClosed(*client, 1001);
    EXPECT_EQ(relay.stop(0), 0);
    EXPECT_EQ(relay.log(), "metrics on 127.0.0.1:" + std::to_string(relay.metricsPort()) + "\nlistening on 127.0.0.1:" +
                               std::to_string(relay.port()) + " (ws)\n");
}

}  // namespace
}  // namespace duoquill::test
