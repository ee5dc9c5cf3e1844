// The transport against a real WebSocket server over TLS on loopback, trusted through
// SSL_CERT_FILE. Time limits are shortened through Timing; nothing waits for real seconds.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "Duoquill/Networking/WebSocketTransport.h"
#include "Support/Paths.h"
#include "TestAuthority.h"
#include "TestWebSocketServer.h"

namespace duoquill::test {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using State = WebSocketTransport::ConnectionState;
using TransportError = WebSocketTransport::TransportError;
using TransportErrorCode = WebSocketTransport::TransportErrorCode;

constexpr auto kLimit = 10s;  // a safety net only: every wait below ends long before

// Runs the client's event loop until the condition holds (false after the safety limit).
bool runUntil(asio::io_context& io, const std::function<bool()>& condition, std::chrono::milliseconds limit = kLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        io.restart();
        io.run_for(2ms);
    }
    return true;
}

void runFor(asio::io_context& io, std::chrono::milliseconds duration) {
    io.restart();
    io.run_for(duration);
}

// Awaits the operation on the client's loop and hands back its result or rethrows its error.
template <class T>
T await(asio::io_context& io, asio::awaitable<T> operation) {
    std::optional<T> value;
    std::exception_ptr failure;
    bool done = false;
    asio::co_spawn(io, std::move(operation), [&](std::exception_ptr e, T v) {
        failure = e;
        if (!e) value = std::move(v);
        done = true;
    });
    if (!runUntil(io, [&] { return done; })) throw std::runtime_error("operation did not complete");
    if (failure) std::rethrow_exception(failure);
    return std::move(*value);
}

void await(asio::io_context& io, asio::awaitable<void> operation) {
    auto wrapped = [](asio::awaitable<void> op) -> asio::awaitable<int> {
        co_await std::move(op);
        co_return 0;
    };
    await(io, wrapped(std::move(operation)));
}

template <class E, class F>
E expectThrow(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected exception: " << e.what();
        throw;
    }
    ADD_FAILURE() << "nothing thrown";
    throw std::runtime_error("nothing thrown");
}

class WebSocketTransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        authority_ = new TestAuthority;
        trustDirectory_ = new TempDir;
        const auto caFile = trustDirectory_->path() / "ca.pem";
        std::ofstream(caFile) << authority_->certificatePem();
        ::setenv("SSL_CERT_FILE", caFile.c_str(), 1);
        ::setenv("SSL_CERT_DIR", trustDirectory_->str().c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete authority_;
        delete trustDirectory_;
    }

    static TestWebSocketServer::Options serverOptions(const std::string& names = "DNS:localhost,IP:127.0.0.1") {
        return {authority_->issue(names)};
    }

    static WebSocketTransport::Timing quickTiming() {
        WebSocketTransport::Timing timing;
        timing.pingInterval = 50ms;
        timing.requestLimit = 2s;
        timing.resourceLimit = 2s;
        return timing;
    }

    asio::io_context io_;
    static TestAuthority* authority_;
    static TempDir* trustDirectory_;
};

TestAuthority* WebSocketTransportTest::authority_ = nullptr;
TempDir* WebSocketTransportTest::trustDirectory_ = nullptr;

TEST_F(WebSocketTransportTest, OperationsWithoutAConnectionAreNotConnected) {
    TestWebSocketServer server(serverOptions());
    WebSocketTransport transport(io_.get_executor());
    EXPECT_EQ(transport.state(), State::disconnected);
    const auto beforeSend = expectThrow<TransportError>([&] { await(io_, transport.send("x")); });
    EXPECT_EQ(beforeSend.code(), TransportErrorCode::notConnected);
    EXPECT_STREQ(beforeSend.what(), "notConnected");
    EXPECT_EQ(expectThrow<TransportError>([&] { await(io_, transport.receive()); }).code(),
              TransportErrorCode::notConnected);

    transport.connect(server.url());
    EXPECT_EQ(transport.state(), State::connected);  // at once, before any network traffic
    await(io_, transport.send("one"));
    await(io_, transport.disconnect());
    EXPECT_EQ(transport.state(), State::disconnected);
    EXPECT_EQ(expectThrow<TransportError>([&] { await(io_, transport.send("x")); }).code(),
              TransportErrorCode::notConnected);
    EXPECT_EQ(expectThrow<TransportError>([&] { await(io_, transport.receive()); }).code(),
              TransportErrorCode::notConnected);
    await(io_, transport.disconnect());  // twice is harmless

    // Connected again after a disconnect.
    transport.connect(server.url());
    await(io_, transport.send("two"));
    ASSERT_TRUE(runUntil(io_, [&] { return server.connectionCount() == 2 && server.connection(1).messages.size() == 1; }));
    EXPECT_EQ(server.connection(0).messages, std::vector<std::string>{"one"});
    EXPECT_EQ(server.connection(1).messages, std::vector<std::string>{"two"});
}

TEST_F(WebSocketTransportTest, ReceivesTextAndUtf8BinaryFramesAndRefusesInvalidBinary) {
    TestWebSocketServer server(serverOptions());
    WebSocketTransport transport(io_.get_executor());
    transport.connect(server.url("localhost", "/abc123?x=1"));
    await(io_, transport.send("hello"));
    ASSERT_TRUE(runUntil(io_, [&] { return server.connectionCount() == 1; }));
    EXPECT_EQ(server.connection(0).target, "/abc123?x=1");
    EXPECT_EQ(server.connection(0).serverName, "localhost");  // SNI

    server.sendText(0, "plain text \xC3\xA9");
    server.sendBinary(0, "{\"t\":\"hello\"}");
    server.sendBinary(0, "bad \xFF\xFE utf-8");
    server.sendBinary(0, "\xED\xA0\x80");  // an encoded surrogate
    server.sendText(0, "");
    server.sendText(0, "still here");
    EXPECT_EQ(await(io_, transport.receive()), "plain text \xC3\xA9");
    EXPECT_EQ(await(io_, transport.receive()), "{\"t\":\"hello\"}");
    for (int i = 0; i < 2; ++i) {
        const auto error = expectThrow<TransportError>([&] { await(io_, transport.receive()); });
        EXPECT_EQ(error.code(), TransportErrorCode::invalidMessage);
        EXPECT_STREQ(error.what(), "invalidMessage");
    }
    EXPECT_EQ(await(io_, transport.receive()), "");
    EXPECT_EQ(await(io_, transport.receive()), "still here");
}

TEST_F(WebSocketTransportTest, ManyOutstandingSendsArriveInCallOrder) {
    TestWebSocketServer server(serverOptions());
    WebSocketTransport transport(io_.get_executor());
    transport.connect(server.url());
    constexpr int kCount = 1000;
    int completed = 0;
    int failed = 0;
    // All issued before the opening is done, none awaited before the next starts; sizes vary
    // so that writes take different times.
    for (int i = 0; i < kCount; ++i) {
        asio::co_spawn(io_, transport.send(std::to_string(i) + std::string(static_cast<std::size_t>(i % 7) * 300, '.')),
                       [&](std::exception_ptr e) { ++(e ? failed : completed); });
    }
    ASSERT_TRUE(runUntil(io_, [&] { return completed + failed == kCount; }));
    EXPECT_EQ(failed, 0);
    ASSERT_TRUE(runUntil(io_, [&] { return server.connection(0).messages.size() == kCount; }));
    const auto messages = server.connection(0).messages;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(messages[static_cast<std::size_t>(i)].substr(0, messages[static_cast<std::size_t>(i)].find('.')),
                  std::to_string(i));
    }
}

TEST_F(WebSocketTransportTest, PingsUntilDisconnectThenClosesWith1000) {
    TestWebSocketServer server(serverOptions());
    WebSocketTransport transport(io_.get_executor(), quickTiming());
    transport.connect(server.url());
    ASSERT_TRUE(runUntil(io_, [&] { return server.connectionCount() == 1 && server.connection(0).pings >= 2; }));

    await(io_, transport.disconnect());
    ASSERT_TRUE(runUntil(io_, [&] { return server.connection(0).ended; }));
    EXPECT_EQ(server.connection(0).closeCode, 1000);
    const int pings = server.connection(0).pings;
    runFor(io_, 250ms);  // five ping intervals
    EXPECT_EQ(server.connection(0).pings, pings);
}

TEST_F(WebSocketTransportTest, DestructionClosesWith1000) {
    TestWebSocketServer server(serverOptions());
    {
        WebSocketTransport transport(io_.get_executor());
        transport.connect(server.url());
        await(io_, transport.send("bye soon"));
    }
    ASSERT_TRUE(runUntil(io_, [&] { return server.connection(0).ended; }));
    EXPECT_EQ(server.connection(0).closeCode, 1000);
}

TEST_F(WebSocketTransportTest, ConnectingTwiceLeavesOneKeepAliveLoop) {
    TestWebSocketServer server(serverOptions());
    auto timing = quickTiming();
    timing.pingInterval = 100ms;
    WebSocketTransport transport(io_.get_executor(), timing);
    transport.connect(server.url());
    await(io_, transport.send("first"));
    transport.connect(server.url());
    await(io_, transport.send("second"));
    // The replaced connection is closed, not left open in the room.
    ASSERT_TRUE(runUntil(io_, [&] { return server.connection(0).ended; }));
    EXPECT_EQ(server.connection(0).closeCode, 1000);

    const int before = server.totalPings();
    const auto start = std::chrono::steady_clock::now();
    runFor(io_, 1000ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const int pings = server.totalPings() - before;
    // One loop pings about ten times a second; two would ping twice as often.
    EXPECT_LE(pings, elapsed / timing.pingInterval + 2);
    EXPECT_GE(pings, 1);
    EXPECT_EQ(server.connection(1).messages, std::vector<std::string>{"second"});
}

TEST_F(WebSocketTransportTest, UnreachablePortFailsTheFirstSendAndReceive) {
    unsigned short port;
    {
        asio::ip::tcp::acceptor probe(io_, {asio::ip::make_address("127.0.0.1"), 0});
        port = probe.local_endpoint().port();
    }
    WebSocketTransport transport(io_.get_executor());
    transport.connect("wss://127.0.0.1:" + std::to_string(port) + "/room");
    EXPECT_EQ(transport.state(), State::connected);
    const auto sendError = expectThrow<NetworkError>([&] { await(io_, transport.send("x")); });
    EXPECT_EQ(sendError.code(), boost::asio::error::connection_refused);
    EXPECT_EQ(std::string(sendError.what()), "Connection refused");
    EXPECT_EQ(expectThrow<NetworkError>([&] { await(io_, transport.receive()); }).code(),
              boost::asio::error::connection_refused);
    EXPECT_EQ(transport.state(), State::connected);  // nothing moves the state on its own
}

TEST_F(WebSocketTransportTest, CertificatesThatFailAreErrorsOfTheFirstOperation) {
    {
        TestWebSocketServer server(serverOptions("DNS:otherhost.example"));
        WebSocketTransport transport(io_.get_executor());
        transport.connect(server.url("localhost"));
        const auto error = expectThrow<NetworkError>([&] { await(io_, transport.receive()); });
        EXPECT_NE(std::string(error.what()).find("hostname mismatch"), std::string::npos) << error.what();
        EXPECT_THROW(await(io_, transport.send("x")), NetworkError);
        EXPECT_EQ(server.connectionCount(), 0u);
    }
    {
        // An address is checked against the certificate's addresses, not its names.
        TestWebSocketServer server(serverOptions("DNS:localhost"));
        WebSocketTransport transport(io_.get_executor());
        transport.connect(server.url("127.0.0.1"));
        EXPECT_THROW(await(io_, transport.send("x")), NetworkError);
        EXPECT_EQ(server.connectionCount(), 0u);
    }
    {
        TestAuthority stranger;
        TestWebSocketServer server({stranger.issue("DNS:localhost,IP:127.0.0.1")});
        WebSocketTransport transport(io_.get_executor());
        transport.connect(server.url("localhost"));
        const auto error = expectThrow<NetworkError>([&] { await(io_, transport.send("x")); });
        EXPECT_NE(std::string(error.what()).find("self-signed certificate in certificate chain"), std::string::npos) << error.what();
        EXPECT_EQ(server.connectionCount(), 0u);
    }
}

TEST_F(WebSocketTransportTest, UnusableUrlsFailTheFirstOperation) {
    for (const char* url : {"https://localhost/room", "ws://localhost/room", "wss:///room", "not a url"}) {
        WebSocketTransport transport(io_.get_executor());
        transport.connect(url);
        EXPECT_EQ(transport.state(), State::connected);
        EXPECT_THROW(await(io_, transport.receive()), NetworkError) << url;
    }
}

TEST_F(WebSocketTransportTest, OpeningIsBoundedByTheRequestLimit) {
    // Accepts TCP (the kernel completes it from the backlog) but never speaks TLS.
    asio::ip::tcp::acceptor mute(io_, {asio::ip::make_address("127.0.0.1"), 0});
    auto timing = quickTiming();
    timing.requestLimit = 200ms;
    WebSocketTransport transport(io_.get_executor(), timing);
    transport.connect("wss://127.0.0.1:" + std::to_string(mute.local_endpoint().port()) + "/room");
    const auto error = expectThrow<NetworkError>([&] { await(io_, transport.send("x")); });
    EXPECT_EQ(error.code(), boost::asio::error::timed_out);
}

TEST_F(WebSocketTransportTest, SilentServerIsDetectedWithinTheIdleLimit) {
    auto options = serverOptions();
    options.silent = true;
    TestWebSocketServer server(options);
    auto timing = quickTiming();
    timing.resourceLimit = 300ms;
    WebSocketTransport transport(io_.get_executor(), timing);
    transport.connect(server.url());
    const auto error = expectThrow<NetworkError>([&] { await(io_, transport.receive()); });
    EXPECT_EQ(error.code(), boost::asio::error::timed_out);
    EXPECT_THROW(await(io_, transport.send("x")), NetworkError);
}

TEST_F(WebSocketTransportTest, HealthyQuietConnectionOutlivesTheIdleLimit) {
    TestWebSocketServer server(serverOptions());
    auto timing = quickTiming();
    timing.resourceLimit = 300ms;
    WebSocketTransport transport(io_.get_executor(), timing);
    transport.connect(server.url());
    std::optional<std::string> received;
    std::exception_ptr failure;
    asio::co_spawn(io_, transport.receive(), [&](std::exception_ptr e, std::string text) {
        failure = e;
        received = text;
    });
    // No frame for four idle limits, but the pongs keep coming.
    runFor(io_, 1200ms);
    EXPECT_FALSE(received.has_value());
    server.sendText(0, "late");
    ASSERT_TRUE(runUntil(io_, [&] { return received.has_value(); }));
    EXPECT_FALSE(failure);
    EXPECT_EQ(*received, "late");
}

TEST_F(WebSocketTransportTest, CancelledWaitsLoseNoFrameAndNoMessage) {
    TestWebSocketServer server(serverOptions());
    WebSocketTransport transport(io_.get_executor());
    transport.connect(server.url());
    await(io_, transport.send("hi"));

    asio::cancellation_signal cancelReceive;
    std::exception_ptr receiveFailure;
    bool receiveDone = false;
    asio::co_spawn(io_, transport.receive(),
                   asio::bind_cancellation_slot(cancelReceive.slot(), [&](std::exception_ptr e, std::string) {
                       receiveFailure = e;
                       receiveDone = true;
                   }));
    runFor(io_, 20ms);
    cancelReceive.emit(asio::cancellation_type::terminal);
    ASSERT_TRUE(runUntil(io_, [&] { return receiveDone; }));
    EXPECT_TRUE(receiveFailure);

    // A send whose waiting task is cancelled still goes out, in its place in the order.
    asio::cancellation_signal cancelSend;
    asio::co_spawn(io_, transport.send("second"), asio::bind_cancellation_slot(cancelSend.slot(), [](std::exception_ptr) {}));
    io_.restart();
    io_.poll_one();  // the send has started and waits for its write
    cancelSend.emit(asio::cancellation_type::terminal);
    await(io_, transport.send("third"));
    ASSERT_TRUE(runUntil(io_, [&] { return server.connection(0).messages.size() == 3; }));
    EXPECT_EQ(server.connection(0).messages, (std::vector<std::string>{"hi", "second", "third"}));

    // The connection is intact and the next frame goes to the next receive.
    server.sendText(0, "kept");
    EXPECT_EQ(await(io_, transport.receive()), "kept");
}

TEST_F(WebSocketTransportTest, MessagesAboveOneMebibyteAreRefused) {
    TestWebSocketServer server(serverOptions());
    WebSocketTransport transport(io_.get_executor());
    transport.connect(server.url());
    await(io_, transport.send("hi"));
    server.sendText(0, std::string(WebSocketTransport::kMaximumMessageSize, 'a'));
    server.sendBinary(0, std::string(WebSocketTransport::kMaximumMessageSize + 1, 'b'));
    EXPECT_EQ(await(io_, transport.receive()).size(), WebSocketTransport::kMaximumMessageSize);
    EXPECT_THROW(await(io_, transport.receive()), NetworkError);
    EXPECT_THROW(await(io_, transport.receive()), NetworkError);  // the connection is finished
}

TEST_F(WebSocketTransportTest, ServerGoingAwayEndsReceiveWithANetworkError) {
    std::optional<TestWebSocketServer> server(std::in_place, serverOptions());
    WebSocketTransport transport(io_.get_executor());
    transport.connect(server->url());
    await(io_, transport.send("hi"));
    server->sendText(0, "last words");
    EXPECT_EQ(await(io_, transport.receive()), "last words");
    server.reset();
    EXPECT_THROW(await(io_, transport.receive()), NetworkError);
}

}  // namespace
}  // namespace duoquill::test
