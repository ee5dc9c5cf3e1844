// What the relay holds for connections that do not play along: members that never read,
// messages left unfinished, and the per-address count of IPv6 clients. The real relay over
// TLS on loopback; each attack is a bounded burst.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <functional>
#include <thread>

#include "DuoquillRelay/ConnectionLimiter.h"
#include "Kit/RelayProcess.h"
#include "Kit/TestCertificates.h"
#include "Kit/WebSocketTestClient.h"

namespace duoquill::test {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using namespace std::chrono_literals;
using Client = std::unique_ptr<WebSocketTestClient>;

struct Relay : RelayProcess {
    explicit Relay(std::vector<std::string> arguments) : RelayProcess(Options{.arguments = std::move(arguments)}) {}

    Client join(const std::string& path) const {
        auto c = std::make_unique<WebSocketTestClient>(WebSocketTestClient::Options{.caFile = TestCertificates::shared().caFile()});
        if (c->open(port(), path) != 101) throw std::runtime_error("join refused");
        return c;
    }
    bool logShows(const std::string& text, std::chrono::milliseconds wait = 5000ms) const {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (log().find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        return log().find(text) != std::string::npos;
    }
};

std::string roomPath(char digit) { return "/" + std::string(128, digit); }

// The largest tunnel frame a client sends.
const std::string kTunnelFrame(90144, 'T');

// `a` sends until the relay has had to give up on `b`, which never reads; a normal room
// exchanges a frame between bursts.
void attack(const Relay& relay, WebSocketTestClient& a, WebSocketTestClient& normalA, WebSocketTestClient& normalB,
            const std::string& reason) {
    for (int burst = 0; burst < 20 && relay.log().find(reason) == std::string::npos; ++burst) {
        try {
            for (int i = 0; i < 40; ++i) a.sendText(kTunnelFrame);
        } catch (const std::runtime_error&) {
            break;  // refused while sending: the reason is in the log
        }
        normalA.sendText("burst " + std::to_string(burst));
        ASSERT_EQ(normalB.readText(), "burst " + std::to_string(burst));
    }
    EXPECT_TRUE(relay.logShows(reason)) << relay.log();
}

TEST(RelayMemory, MembersThatNeverReadAreDroppedWhileANormalRoomKeepsWorking) {
    {
        Relay relay({"--memory-budget", "64"});
        auto a = relay.join(roomPath('1')), b = relay.join(roomPath('1'));
        auto normalA = relay.join(roomPath('2')), normalB = relay.join(roomPath('2'));
        attack(relay, *a, *normalA, *normalB, "dropped: not reading what its peer sends (queue over 1024 KiB)");
        normalB->sendText(kTunnelFrame);
        EXPECT_TRUE(normalA->readText() == kTunnelFrame) << relay.log();
    }
    // The budget, smaller than one queue's limit, stops the attack first: either the reader's
    // queue or the sender's unfinished message is the one that would not fit. A queue that
    // does not drain gives its share back when its member is dropped for it.
    Relay relay({"--memory-budget", "1", "--max-queue-kib", "4096", "--write-timeout", "0.5"});
    auto a = relay.join(roomPath('3')), b = relay.join(roomPath('3'));
    auto normalA = relay.join(roomPath('4')), normalB = relay.join(roomPath('4'));
    attack(relay, *a, *normalA, *normalB, "the relay's memory budget is full");
    EXPECT_TRUE(relay.logShows("#2 dropped: ")) << relay.log();
    normalB->sendText(kTunnelFrame);
    EXPECT_TRUE(normalA->readText() == kTunnelFrame) << relay.log();
}

// A raw client that can send part of a message. It reads all along, so pings are answered
// whenever the test waits or sends.
class FragmentSender {
public:
    FragmentSender(std::uint16_t port, const std::string& path) {
        tls_.load_verify_file(TestCertificates::shared().caFile().string());
        tls_.set_verify_mode(asio::ssl::verify_peer);
        beast::get_lowest_layer(ws_).connect({asio::ip::make_address("127.0.0.1"), port});
        SSL_set_tlsext_host_name(ws_.next_layer().native_handle(), "localhost");
        ws_.next_layer().handshake(asio::ssl::stream_base::client);
        ws_.handshake("localhost", path);
        ws_.auto_fragment(false);
        ws_.text(true);
        ws_.async_read(buffer_, [this](beast::error_code ec, std::size_t) { ended_ = static_cast<bool>(ec); });
    }

    void send(std::string_view piece, bool last) {
        bool done = false;
        ws_.async_write_some(last, asio::buffer(piece.data(), piece.size()),
                             [&](beast::error_code ec, std::size_t) { done = true; if (ec) ended_ = true; });
        runUntil([&] { return done; }, 5000ms);
    }

    // True when the relay ended the connection within `wait`.
    bool endedWithin(std::chrono::milliseconds wait) {
        runUntil([&] { return ended_; }, wait);
        return ended_;
    }

private:
    void runUntil(const std::function<bool()>& done, std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            if (context_.stopped()) context_.restart();
            context_.run_for(10ms);
        }
    }

    asio::io_context context_;
    asio::ssl::context tls_{asio::ssl::context::tls_client};
    websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws_{context_, tls_};
    beast::flat_buffer buffer_;
    bool ended_ = false;
};

TEST(RelayMemory, UnfinishedMessageIsDroppedAfterTheBoundEvenWhileThePingsAreAnswered) {
    Relay relay({"--handshake-timeout", "0.6", "--ping-interval", "0.05", "--idle-timeout", "5"});
    auto peer = relay.join(roomPath('5'));
    FragmentSender sender(relay.port(), roomPath('5'));
    // A message in fragments arrives whole.
    sender.send(kTunnelFrame.substr(0, 1000), false);
    sender.send("", false);
    sender.send(kTunnelFrame.substr(1000), true);
    EXPECT_EQ(peer->readText(), kTunnelFrame);

    sender.send(kTunnelFrame.substr(0, 50000), false);
    EXPECT_FALSE(sender.endedWithin(200ms));
    sender.send(kTunnelFrame.substr(0, 100), false);  // progress of a sort, but no end
    EXPECT_TRUE(sender.endedWithin(5000ms));
    EXPECT_TRUE(relay.logShows("dropped: message not completed within 600 ms")) << relay.log();
    EXPECT_EQ(peer->readText(), R"({"t":"peer-disconnected"})");
}

TEST(RelayMemory, IPv6ClientsCountByPrefixAndMappedIPv4AsIPv4) {
    using relay::ConnectionLimiter;
    const auto at = [](const char* text) { return asio::ip::make_address(text); };
    auto limiter = std::make_shared<ConnectionLimiter>(100, 2, 64);
    ConnectionLimiter::Refusal refusal{};
    auto first = limiter->admit(at("2001:db8:1:2::1"), refusal);
    auto second = limiter->admit(at("2001:db8:1:2:ffff:ffff:ffff:ffff"), refusal);
    EXPECT_TRUE(first && second);
    EXPECT_FALSE(limiter->admit(at("2001:db8:1:2:abcd::9"), refusal));
    EXPECT_EQ(refusal, ConnectionLimiter::Refusal::tooManyFromAddress);
    EXPECT_TRUE(limiter->admit(at("2001:db8:1:3::1"), refusal));  // the next /64

    auto v4 = limiter->admit(at("192.0.2.7"), refusal);
    auto mapped = limiter->admit(at("::ffff:192.0.2.7"), refusal);
    EXPECT_TRUE(v4 && mapped);
    EXPECT_FALSE(limiter->admit(at("192.0.2.7"), refusal));
    EXPECT_TRUE(limiter->admit(at("192.0.2.8"), refusal));
    second = {};  // a freed place is counted under the same prefix
    EXPECT_TRUE(limiter->admit(at("2001:db8:1:2::42"), refusal));

    auto wide = std::make_shared<ConnectionLimiter>(100, 1, 48);
    auto one = wide->admit(at("2001:db8:1:2::1"), refusal);
    EXPECT_FALSE(wide->admit(at("2001:db8:1:ffff::1"), refusal));
    EXPECT_EQ(limiter->countedAs(at("2001:db8:1:2:3:4:5:6")), at("2001:db8:1:2::"));
}

}  // namespace
}  // namespace duoquill::test
