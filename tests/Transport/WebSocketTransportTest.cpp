// The transport against a real WebSocket server over TLS on loopback, trusted through
// SSL_CERT_FILE. Time limits are shortened through Timing; nothing waits for real seconds.

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast.hpp>
#include <boost/beast/ssl.hpp>

#include "Duoquill/Transport/WebSocketTransport.h"
#include "Kit/Process.h"
#include "Kit/Socks5TestProxy.h"
#include "Kit/TestCertificates.h"

namespace duoquill::test {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using namespace std::chrono_literals;
using boost::system::error_code;
using State = WebSocketTransport::ConnectionState;
using TransportError = WebSocketTransport::TransportError;
using TransportErrorCode = WebSocketTransport::TransportErrorCode;
constexpr auto use = asio::use_awaitable;

// A WebSocket server over TLS on its own thread: it records what each client sent (request
// path, SNI, messages, pings, the close code) and sends it frames when the test asks. On
// the path /silent it reads nothing after the upgrade: no pong, no close reply.
class Server {
public:
    struct Log {
        std::string target, serverName;
        std::vector<std::string> messages;
        int pings = 0;
        std::optional<int> closeCode;  // once the client closed the connection
    };

    explicit Server(const TestCertificates& certificates = TestCertificates::shared(), std::string address = "127.0.0.1") {
        tls_.use_certificate_chain_file(certificates.certificateFile());
        tls_.use_private_key_file(certificates.privateKeyFile(), asio::ssl::context::pem);
        acceptor_ = asio::ip::tcp::acceptor(io_, {asio::ip::make_address(address), 0});
        asio::co_spawn(io_, accept(), asio::detached);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~Server() {
        io_.stop();
        thread_.join();
    }

    std::string url(const std::string& host = "localhost", const std::string& path = "/room") const {
        return "wss://" + host + ":" + std::to_string(acceptor_.local_endpoint().port()) + path;
    }
    // One for each connection, in the order they were opened.
    std::vector<Log> logs() const {
        std::lock_guard lock(mutex_);
        return logs_;
    }
    // Frames to the client of connection `index`, in call order.
    void send(std::size_t index, std::string bytes, bool binary = false) {
        asio::post(io_, [this, index, bytes = std::move(bytes), binary]() mutable {
            auto session = sessions_.at(index);
            session->outbox.emplace_back(binary, std::move(bytes));
            if (session->outbox.size() == 1) asio::co_spawn(io_, drain(session), asio::detached);
        });
    }

private:
    struct Session {
        Session(asio::ip::tcp::socket socket, asio::ssl::context& tls) : ws(std::move(socket), tls) {}
        websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws;
        std::deque<std::pair<bool, std::string>> outbox;  // (binary, bytes); the front is being written
    };

    asio::awaitable<void> accept() {
        for (;;) {
            auto socket = co_await acceptor_.async_accept(use);
            asio::co_spawn(io_, serve(std::make_shared<Session>(std::move(socket), tls_)), asio::detached);
        }
    }

    asio::awaitable<void> serve(std::shared_ptr<Session> session) {
        auto& ws = session->ws;
        error_code ec;
        co_await ws.next_layer().async_handshake(asio::ssl::stream_base::server, asio::redirect_error(use, ec));
        beast::flat_buffer buffer;
        beast::http::request<beast::http::string_body> request;
        if (!ec) co_await beast::http::async_read(ws.next_layer(), buffer, request, asio::redirect_error(use, ec));
        if (ec) co_return;
        const char* serverName = SSL_get_servername(ws.next_layer().native_handle(), TLSEXT_NAMETYPE_host_name);
        std::unique_lock lock(mutex_);
        const std::size_t index = logs_.size();
        logs_.push_back({std::string(request.target()), serverName ? serverName : "", {}, 0, {}});
        sessions_.push_back(session);
        lock.unlock();
        const auto update = [this, index](auto change) {
            std::lock_guard lock(mutex_);
            change(logs_[index]);
        };
        ws.control_callback([update](websocket::frame_type kind, beast::string_view) {
            if (kind == websocket::frame_type::ping) update([](Log& log) { ++log.pings; });
        });
        ws.read_message_max(8 << 20);
        co_await ws.async_accept(request, asio::redirect_error(use, ec));
        asio::steady_timer never(io_, asio::steady_timer::time_point::max());
        if (request.target() == "/silent") co_await never.async_wait(asio::redirect_error(use, ec));
        while (!ec) {
            beast::flat_buffer message;
            co_await ws.async_read(message, asio::redirect_error(use, ec));
            update([&](Log& log) {
                if (!ec) log.messages.push_back(beast::buffers_to_string(message.data()));
                if (ec == websocket::error::closed) log.closeCode = ws.reason().code;
            });
        }
    }

    static asio::awaitable<void> drain(std::shared_ptr<Session> session) {
        while (!session->outbox.empty()) {
            session->ws.binary(session->outbox.front().first);
            error_code ec;
            co_await session->ws.async_write(asio::buffer(session->outbox.front().second), asio::redirect_error(use, ec));
            session->outbox.pop_front();
        }
    }

    asio::io_context io_;
    asio::ssl::context tls_{asio::ssl::context::tls_server};
    asio::ip::tcp::acceptor acceptor_{io_};
    mutable std::mutex mutex_;
    std::vector<Log> logs_;
    std::vector<std::shared_ptr<Session>> sessions_;
    std::thread thread_;
};

class WebSocketTransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::setenv("SSL_CERT_FILE", TestCertificates::shared().caFile().c_str(), 1);
        ::setenv("SSL_CERT_DIR", TestCertificates::shared().directory().c_str(), 1);
    }

    // A ping every 50 ms; 300 ms of silence end a connection.
    static WebSocketTransport::Timing quickTiming(std::chrono::milliseconds requestLimit = 2s) {
        return {.pingInterval = 50ms, .requestLimit = requestLimit, .resourceLimit = 300ms};
    }

    // Runs the client's event loop until the condition holds (false after a safety limit that
    // no passing wait comes near).
    bool runUntil(const std::function<bool()>& condition) {
        for (const auto deadline = std::chrono::steady_clock::now() + 10s; !condition(); runFor(2ms)) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
        }
        return true;
    }
    void runFor(std::chrono::milliseconds duration) {
        io_.restart();
        io_.run_for(duration);
    }

    // Awaits the operation on the client's loop: its result, or its error rethrown.
    template <class T>
    T await(asio::awaitable<T> operation) {
        auto result = asio::co_spawn(io_, std::move(operation), asio::use_future);
        if (!runUntil([&] { return result.wait_for(0s) == std::future_status::ready; })) {
            throw std::runtime_error("operation did not complete");
        }
        return result.get();
    }
    // The error the operation fails with (a test failure if it fails otherwise, or not at all).
    template <class E, class T>
    E failure(asio::awaitable<T> operation) {
        try {
            await(std::move(operation));
        } catch (const E& e) {
            return e;
        }
        throw std::runtime_error("nothing thrown");  // fails the test
    }

    asio::io_context io_;
};

// connect() only starts the opening; sends issued before it is done, none awaited before the
// next starts, go out in call order. A cancelled wait loses no frame and no message. Text and
// UTF-8 binary frames up to a mebibyte are received; anything else finishes the connection.
TEST_F(WebSocketTransportTest, SendsInCallOrderReceivesUtf8UpToOneMebibyteAndFailsUnconnectedOrWhenTheServerGoes) {
    std::optional<Server> server(std::in_place);
    WebSocketTransport transport(io_.get_executor());
    const auto expectNotConnected = [&] {
        EXPECT_EQ(transport.state(), State::disconnected);
        const auto beforeSend = failure<TransportError>(transport.send("x"));
        EXPECT_EQ(beforeSend.code(), TransportErrorCode::notConnected);
        EXPECT_STREQ(beforeSend.what(), "notConnected");
        EXPECT_EQ(failure<TransportError>(transport.receive()).code(), TransportErrorCode::notConnected);
    };
    expectNotConnected();

    transport.connect(server->url());
    EXPECT_EQ(transport.state(), State::connected);  // at once, before any network traffic
    constexpr int kCount = 1000;
    int completed = 0;
    for (int i = 0; i < kCount; ++i) {  // sizes vary so that writes take different times
        asio::co_spawn(io_, transport.send(std::to_string(i) + std::string(static_cast<std::size_t>(i % 7) * 300, '.')),
                       [&](std::exception_ptr e) { completed += !e; });
    }
    ASSERT_TRUE(runUntil([&] { return completed == kCount; }));
    ASSERT_TRUE(runUntil([&] { return server->logs().at(0).messages.size() == kCount; }));
    const auto messages = server->logs().at(0).messages;
    for (std::size_t i = 0; i < kCount; ++i) ASSERT_EQ(messages[i].substr(0, messages[i].find('.')), std::to_string(i));

    await(transport.disconnect());
    expectNotConnected();
    await(transport.disconnect());  // twice is harmless

    transport.connect(server->url("localhost", "/abc123?x=1"));  // connected again after a disconnect
    await(transport.send("hello"));  // the server has logged the request once it upgraded the connection
    EXPECT_EQ(server->logs().at(1).target, "/abc123?x=1");
    EXPECT_EQ(server->logs().at(1).serverName, "localhost");  // SNI
    server->send(1, "plain text \xC3\xA9");
    server->send(1, "{\"t\":\"hello\"}", true);
    server->send(1, "bad \xFF\xFE utf-8", true);
    server->send(1, "\xED\xA0\x80", true);  // an encoded surrogate
    server->send(1, "");
    server->send(1, std::string(WebSocketTransport::kMaximumMessageSize, 'a'));
    server->send(1, std::string(WebSocketTransport::kMaximumMessageSize + 1, 'b'), true);
    EXPECT_EQ(await(transport.receive()), "plain text \xC3\xA9");
    EXPECT_EQ(await(transport.receive()), "{\"t\":\"hello\"}");
    for (int i = 0; i < 2; ++i) {
        const auto error = failure<TransportError>(transport.receive());
        EXPECT_EQ(error.code(), TransportErrorCode::invalidMessage);
        EXPECT_STREQ(error.what(), "invalidMessage");
    }
    EXPECT_EQ(await(transport.receive()), "");
    EXPECT_EQ(await(transport.receive()).size(), WebSocketTransport::kMaximumMessageSize);
    EXPECT_THROW(await(transport.receive()), NetworkError);
    EXPECT_THROW(await(transport.receive()), NetworkError);  // the connection is finished

    transport.connect(server->url());  // connected again after the connection finished
    await(transport.send("two"));
    asio::cancellation_signal cancelReceive, cancelSend;
    auto cancelled =
        asio::co_spawn(io_, transport.receive(), asio::bind_cancellation_slot(cancelReceive.slot(), asio::use_future));
    runFor(20ms);
    cancelReceive.emit(asio::cancellation_type::terminal);
    ASSERT_TRUE(runUntil([&] { return cancelled.wait_for(0s) == std::future_status::ready; }));
    EXPECT_ANY_THROW(cancelled.get());
    // A send whose waiting task is cancelled still goes out, in its place in the order.
    asio::co_spawn(io_, transport.send("second"), asio::bind_cancellation_slot(cancelSend.slot(), [](std::exception_ptr) {}));
    io_.restart();
    io_.poll_one();  // the send has started and waits for its write
    cancelSend.emit(asio::cancellation_type::terminal);
    await(transport.send("third"));
    ASSERT_TRUE(runUntil([&] { return server->logs().size() == 3 && server->logs().at(2).messages.size() == 3; }));
    EXPECT_EQ(server->logs().at(2).messages, (std::vector<std::string>{"two", "second", "third"}));
    // The connection is intact and the next frame goes to the next receive, until the server goes.
    server->send(2, "kept");
    EXPECT_EQ(await(transport.receive()), "kept");
    server.reset();
    EXPECT_THROW(await(transport.receive()), NetworkError);
}

// One keep-alive loop pings while connected, also after a second connect() replaced the
// first connection, and the pongs keep a quiet connection alive; every way of ending a
// connection closes it with 1000.
TEST_F(WebSocketTransportTest, PingsWhileConnectedKeepAQuietConnectionClosesWith1000AndASilentOneTimesOut) {
    Server server;
    {
        WebSocketTransport transport(io_.get_executor(), quickTiming());
        transport.connect(server.url());
        ASSERT_TRUE(runUntil([&] { return server.logs().size() == 1 && server.logs().at(0).pings >= 2; }));
        transport.connect(server.url());
        await(transport.send("second"));
        // The replaced connection is closed, not left open in the room.
        ASSERT_TRUE(runUntil([&] { return server.logs().at(0).closeCode.has_value(); }));
        EXPECT_EQ(server.logs().at(0).closeCode, 1000);
        auto received = asio::co_spawn(io_, transport.receive(), asio::use_future);
        const int before = server.logs().at(1).pings;
        const auto start = std::chrono::steady_clock::now();
        runFor(1200ms);  // no frame for four idle limits, but the pongs keep coming
        // One loop pings every 50 ms; two would ping twice as often.
        const int pings = server.logs().at(1).pings - before;
        EXPECT_LE(pings, (std::chrono::steady_clock::now() - start) / 50ms + 2);
        EXPECT_GE(pings, 1);
        EXPECT_EQ(received.wait_for(0s), std::future_status::timeout);
        server.send(1, "late");
        ASSERT_TRUE(runUntil([&] { return received.wait_for(0s) == std::future_status::ready; }));
        EXPECT_EQ(received.get(), "late");
        EXPECT_EQ(server.logs().at(1).messages, std::vector<std::string>{"second"});

        await(transport.disconnect());
        ASSERT_TRUE(runUntil([&] { return server.logs().at(1).closeCode.has_value(); }));
        EXPECT_EQ(server.logs().at(1).closeCode, 1000);
        const int last = server.logs().at(1).pings;
        runFor(250ms);  // five ping intervals
        EXPECT_EQ(server.logs().at(1).pings, last);
        transport.connect(server.url());
        await(transport.send("bye soon"));
    }
    ASSERT_TRUE(runUntil([&] { return server.logs().at(2).closeCode.has_value(); }));
    EXPECT_EQ(server.logs().at(2).closeCode, 1000);
    // Without the pongs, the connection times out.
    WebSocketTransport silent(io_.get_executor(), quickTiming());
    silent.connect(server.url("localhost", "/silent"));
    EXPECT_EQ(failure<NetworkError>(silent.receive()).code(), asio::error::timed_out);
    EXPECT_THROW(await(silent.send("x")), NetworkError);
}

TEST_F(WebSocketTransportTest, UnreachableStalledAndUntrustedServersAreNetworkErrors) {
    WebSocketTransport unreachable(io_.get_executor());
    unreachable.connect("wss://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/room");
    const auto refused = failure<NetworkError>(unreachable.send("x"));
    EXPECT_EQ(refused.code(), asio::error::connection_refused);
    EXPECT_STREQ(refused.what(), "Connection refused");
    EXPECT_EQ(failure<NetworkError>(unreachable.receive()).code(), asio::error::connection_refused);
    EXPECT_EQ(unreachable.state(), State::connected);  // nothing moves the state on its own

    for (const char* url : {"https://localhost/room", "ws://localhost/room", "wss:///room", "not a url"}) {
        WebSocketTransport transport(io_.get_executor());
        transport.connect(url);
        EXPECT_EQ(transport.state(), State::connected);
        EXPECT_THROW(await(transport.receive()), NetworkError) << url;
    }

    // Accepts TCP (the kernel completes it from the backlog) but never speaks TLS.
    asio::ip::tcp::acceptor mute(io_, {asio::ip::make_address("127.0.0.1"), 0});
    WebSocketTransport stalled(io_.get_executor(), quickTiming(200ms));
    stalled.connect("wss://127.0.0.1:" + std::to_string(mute.local_endpoint().port()) + "/room");
    EXPECT_EQ(failure<NetworkError>(stalled.send("x")).code(), asio::error::timed_out);

    const auto refusedWith = [&](const Server& server, const std::string& host, const std::string& reason) {
        WebSocketTransport transport(io_.get_executor());
        transport.connect(server.url(host));
        const std::string error = failure<NetworkError>(transport.receive()).what();
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_THROW(await(transport.send("x")), NetworkError);
        EXPECT_EQ(server.logs().size(), 0u);
    };
    // The certificate names localhost, 127.0.0.1 and ::1. Another name resolving to loopback
    // (any numeric form other than dotted quad reaches the resolver as a name), and another
    // address, are checked against the certificate's names and addresses respectively.
    refusedWith(Server(), "0x7f000001", "hostname mismatch");
    refusedWith(Server(TestCertificates::shared(), "127.0.0.2"), "127.0.0.2", "IP address mismatch");
    const TestCertificates stranger;
    refusedWith(Server(stranger), "localhost", "self-signed certificate in certificate chain");
}

// Through a proxy the relay's name goes to the proxy as a name, never to a resolver here (the
// onion name resolves nowhere else); TLS checks it and sends it as SNI all the same, and the
// transport signs in with the credentials it was given. Without a proxy an onion relay is refused
// before any lookup. Every way a proxy can fail the opening is a NetworkError whose text says what
// happened. (The request's address and port: ChatThroughProxyTest; its bytes, each reply code's
// sentence, and no method offered without credentials: Socks5MessagesTest.)
TEST_F(WebSocketTransportTest, ThroughASocks5ProxyTheRelaysNameIsLeftToTheProxyAndItsFailuresAreSentences) {
    Server server;
    Socks5TestProxy proxy({.names = {{std::string(kOnionRelayName), "127.0.0.1"}}});
    Socks5Proxy settings = *parseProxyUrl(proxy.url());
    drawIsolationCredentials(settings);
    WebSocketTransport transport(io_.get_executor(), quickTiming(), settings);
    transport.connect(server.url(std::string(kOnionRelayName)));
    await(transport.send("through the proxy"));
    ASSERT_TRUE(runUntil([&] { return server.logs().size() == 1 && server.logs()[0].messages.size() == 1; }));
    const auto log = server.logs()[0];
    EXPECT_EQ(std::tuple(log.messages[0], log.serverName, log.target),
              std::tuple("through the proxy", kOnionRelayName, "/room"));
    const auto requests = proxy.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(std::pair(requests[0].username, requests[0].password), std::pair(settings.username, settings.password));

    const auto openingError = [&](const std::optional<std::string>& proxy, const std::string& host = "localhost") {
        WebSocketTransport transport(io_.get_executor(), quickTiming(), proxy ? parseProxyUrl(*proxy) : std::nullopt);
        transport.connect(server.url(host));
        return std::string(failure<NetworkError>(transport.send("x")).what());
    };
    EXPECT_EQ(openingError(std::nullopt, std::string(kOnionRelayName)), "a .onion relay needs --proxy");
    const auto port = std::to_string(freeLoopbackPort());
    EXPECT_EQ(openingError("socks5h://127.0.0.1:" + port),
              "The proxy at 127.0.0.1:" + port + " cannot be reached: Connection refused");
    Socks5TestProxy knowsNoNames({});
    EXPECT_EQ(openingError(knowsNoNames.url()), "The proxy could not connect to the relay: host unreachable");
    Socks5TestProxy refusesCredentials({.refusesCredentials = true});
    EXPECT_EQ(openingError("socks5h://who:me@127.0.0.1:" + std::to_string(refusesCredentials.port())),
              "The proxy refused the username and password");
    EXPECT_EQ(refusesCredentials.requests().size(), 0u);
    Socks5TestProxy garbled({.rawReply = std::vector<std::uint8_t>{5, 0, 0, 7, 1, 2, 3, 4, 5, 6}});
    EXPECT_EQ(openingError(garbled.url()), "The proxy sent a malformed SOCKS5 reply");
    Socks5TestProxy cutShort({.rawReply = std::vector<std::uint8_t>{5, 0, 0, 3, 9, 'a'}});
    EXPECT_EQ(openingError(cutShort.url()), "The proxy at " + cutShort.url().substr(10) + " closed the connection");
    EXPECT_EQ(server.logs().size(), 1u);
}

}  // namespace
}  // namespace duoquill::test
