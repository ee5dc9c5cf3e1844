#include "Duoquill/Transport/WebSocketTransport.h"

#include <array>
#include <charconv>
#include <deque>
#include <optional>
#include <utility>
#include <variant>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/url/parse.hpp>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "Duoquill/Base/Utf8.h"
#include "Duoquill/Transport/Socks5Messages.h"
#include "Duoquill/Transport/TlsPolicy.h"

namespace duoquill {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = boost::asio::ssl;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// Starts a background coroutine. Its body handles its own errors; nothing may end the process.
void spawn(const asio::any_io_executor& executor, asio::awaitable<void> task) {
    asio::co_spawn(executor, std::move(task), [](const std::exception_ptr&) {});
}

// Wakes every coroutine waiting on it (a timer that never expires, cancelled to notify).
// Waiters re-check their condition after waking: a wake may also come from their own
// cancellation.
class Signal {
public:
    explicit Signal(const asio::any_io_executor& executor) : timer_(executor, Clock::time_point::max()) {}
    void notifyAll() { timer_.cancel(); }
    asio::awaitable<void> wait() {
        error_code ignored;
        co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }

private:
    asio::steady_timer timer_;
};

// Where a "wss://" URL points.
struct Target {
    std::string host;  // name or address, without IPv6 brackets
    bool hostIsAddress = false;
    std::string port;
    std::string hostHeader;  // host as written, with the port when one was given
    std::string resource;    // path and query
};

std::optional<Target> targetFrom(std::string_view url) {
    const auto parsed = boost::urls::parse_uri(url);
    if (!parsed || parsed->scheme_id() != boost::urls::scheme::wss || !parsed->has_authority()) return std::nullopt;
    Target t;
    t.host = parsed->host_address();
    if (t.host.empty()) return std::nullopt;
    const auto type = parsed->host_type();
    t.hostIsAddress = type == boost::urls::host_type::ipv4 || type == boost::urls::host_type::ipv6;
    t.port = parsed->has_port() && !parsed->port().empty() ? std::string(parsed->port()) : "443";
    t.hostHeader = std::string(parsed->encoded_host()) + (parsed->has_port() ? ":" + t.port : "");
    t.resource = parsed->encoded_path().empty() ? "/" : std::string(parsed->encoded_path());
    if (parsed->has_query()) t.resource += "?" + std::string(parsed->encoded_query());
    return t;
}

bool isStopped(const error_code& ec) { return ec == asio::error::operation_aborted; }

// The URL's grammar allows any run of digits; a CONNECT request holds 16 bits.
std::optional<std::uint16_t> portNumber(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace

const char* WebSocketTransport::TransportError::what() const noexcept {
    switch (code_) {
        case TransportErrorCode::notConnected: return "notConnected";
        case TransportErrorCode::invalidMessage: return "invalidMessage";
    }
    return "TransportError";
}

// One connection from its opening to its close. Lives as long as the transport or a
// background coroutine holds it; every operation runs on the transport's executor.
class WebSocketTransport::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(asio::any_io_executor executor, std::shared_ptr<ssl::context> tls, Timing timing,
               std::optional<Socks5Proxy> proxy, std::string_view url)
        : executor_(executor),
          tls_(std::move(tls)),
          timing_(timing),
          proxy_(std::move(proxy)),
          target_(targetFrom(url)),
          resolver_(executor),
          ws_(executor, *tls_),
          openingDeadline_(executor),
          watchdog_(executor),
          opened_(executor),
          readDone_(executor),
          closed_(executor) {}

    void start() { spawn(executor_, open(shared_from_this())); }

    asio::awaitable<void> send(std::string text) {
        auto item = std::make_shared<PendingWrite>(executor_, std::move(text));
        writes_.push_back(item);
        if (!writing_) {
            writing_ = true;
            spawn(executor_, writeQueued(shared_from_this()));
        }
        while (!item->done) {
            co_await item->written.wait();
            if (!item->done) throwIfCancelled(co_await asio::this_coro::cancellation_state);
        }
        if (item->failure) std::rethrow_exception(item->failure);
    }

    asio::awaitable<std::string> receive() {
        co_await waitOpened();
        for (;;) {
            if (inbox_) {
                Received received = std::move(*inbox_);
                inbox_.reset();
                if (auto* text = std::get_if<std::string>(&received)) co_return std::move(*text);
                std::rethrow_exception(std::get<std::exception_ptr>(received));
            }
            if (phase_ != Phase::open) std::rethrow_exception(failure());
            if (!reading_) {
                reading_ = true;
                lastActivity_ = Clock::now();
                spawn(executor_, readOne(shared_from_this()));
            }
            co_await readDone_.wait();
            // Still reading: the wait ended by our caller's cancellation. The frame, when it
            // comes, stays for the next receive().
            if (!inbox_ && reading_) throwIfCancelled(co_await asio::this_coro::cancellation_state);
        }
    }

    void ping() {
        if (phase_ != Phase::open || pinging_) return;
        pinging_ = true;
        spawn(executor_, [](std::shared_ptr<Connection> self) -> asio::awaitable<void> {
            error_code ignored;
            // A named payload: GCC 12 destroys braced temporaries of a co_await expression twice.
            const websocket::ping_data empty;
            co_await self->ws_.async_ping(empty, asio::redirect_error(asio::use_awaitable, ignored));
            self->pinging_ = false;
        }(shared_from_this()));
    }

    // Starts closing with code 1000 (or abandons the opening); idempotent.
    void close() {
        if (closeRequested_) return;
        closeRequested_ = true;
        switch (phase_) {
            case Phase::opening:
                resolver_.cancel();
                closeSocket();  // open() notices and finishes the close
                break;
            case Phase::open:
                phase_ = Phase::closing;
                recordFailure(websocket::error::closed, "The connection was closed");
                spawn(executor_, closeGracefully(shared_from_this()));
                break;
            case Phase::closing:
                break;
            case Phase::failed:
            case Phase::closed:
                finishClose();
                break;
        }
    }

    static asio::awaitable<void> waitClosed(std::shared_ptr<Connection> self) {
        if (!self) co_return;
        while (!self->closeFinished_) {
            co_await self->closed_.wait();
            if (!self->closeFinished_) throwIfCancelled(co_await asio::this_coro::cancellation_state);
        }
    }

private:
    enum class Phase { opening, open, closing, failed, closed };

    struct PendingWrite {
        PendingWrite(const asio::any_io_executor& executor, std::string t) : text(std::move(t)), written(executor) {}
        std::string text;
        bool done = false;
        std::exception_ptr failure;
        Signal written;
    };

    using Received = std::variant<std::string, std::exception_ptr>;

    static void throwIfCancelled(const asio::cancellation_state& state) {
        if (state.cancelled() != asio::cancellation_type::none) {
            throw NetworkError(asio::error::operation_aborted, "The operation was cancelled");
        }
    }

    std::exception_ptr failure() const {
        return std::make_exception_ptr(NetworkError(failureCode_, failureMessage_));
    }

    // The first failure is the one reported; what follows from it (aborted operations, a
    // closed socket) is not news.
    void recordFailure(error_code code, std::string message) {
        if (failureCode_) return;
        failureCode_ = code;
        failureMessage_ = std::move(message);
    }

    void fail(error_code code, std::string message) {
        recordFailure(code, std::move(message));
        if (phase_ == Phase::opening || phase_ == Phase::open) phase_ = Phase::failed;
        closeSocket();
        watchdog_.cancel();
    }

    void closeSocket() {
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    void finishClose() {
        phase_ = phase_ == Phase::failed ? Phase::failed : Phase::closed;
        closeFinished_ = true;
        watchdog_.cancel();
        closed_.notifyAll();
    }

    asio::awaitable<void> waitOpened() {
        while (phase_ == Phase::opening) {
            co_await opened_.wait();
            if (phase_ == Phase::opening) throwIfCancelled(co_await asio::this_coro::cancellation_state);
        }
        if (phase_ != Phase::open && !inbox_) std::rethrow_exception(failure());
    }

    // The readable description of a failed step of the opening.
    std::string describeOpeningFailure(const error_code& ec) {
        if (timedOut_) return "The connection to the relay timed out";
        if (ec.category() == asio::error::get_ssl_category()) {
            const long verify = SSL_get_verify_result(ws_.next_layer().native_handle());
            if (verify != X509_V_OK) {
                return std::string("The relay's certificate was rejected: ") + X509_verify_cert_error_string(verify);
            }
        }
        return ec.message();
    }

    static asio::awaitable<void> open(std::shared_ptr<Connection> self) {
        co_await self->runOpening();
        self->openingDeadline_.cancel();
        if (self->closeRequested_ && self->phase_ == Phase::opening) {
            self->recordFailure(asio::error::operation_aborted, "The connection was closed");
            self->phase_ = Phase::closed;
        }
        self->opened_.notifyAll();
        if (self->phase_ == Phase::open) {
            spawn(self->executor_, watch(self));
        } else if (self->closeRequested_) {
            self->finishClose();
        }
    }

    asio::awaitable<void> runOpening() {
        if (!target_) {
            fail(boost::system::errc::make_error_code(boost::system::errc::invalid_argument),
                 "The relay URL is not a usable wss:// URL");
            co_return;
        }
        if (!proxy_ && isOnionHost(target_->host)) {
            fail(boost::system::errc::make_error_code(boost::system::errc::invalid_argument),
                 "a .onion relay needs --proxy");
            co_return;
        }
        openingDeadline_.expires_after(proxy_ ? timing_.proxiedRequestLimit : timing_.requestLimit);
        openingDeadline_.async_wait([weak = weak_from_this()](error_code ec) {
            auto self = weak.lock();
            if (ec || !self || self->phase_ != Phase::opening) return;
            self->timedOut_ = true;
            self->resolver_.cancel();
            self->closeSocket();
        });

        error_code ec;
        const auto stepFailed = [&] {
            if (!ec && !closeRequested_ && !timedOut_) return false;
            if (closeRequested_) return true;
            fail(timedOut_ ? error_code(asio::error::timed_out) : ec, describeOpeningFailure(ec));
            return true;
        };
        if (proxy_) {
            if (!co_await connectThroughProxy()) co_return;
        } else {
            const auto endpoints = co_await resolver_.async_resolve(target_->host, target_->port,
                                                                   asio::redirect_error(asio::use_awaitable, ec));
            if (stepFailed()) co_return;
            co_await beast::get_lowest_layer(ws_).async_connect(endpoints,
                                                                asio::redirect_error(asio::use_awaitable, ec));
            if (stepFailed()) co_return;
        }
        // A frame often leaves as two TLS records; without this the second waits for the
        // peer's delayed acknowledgement of the first (tens of milliseconds per line).
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);

        // Without the name or address to check, any trusted certificate would do: refuse.
        SSL* tls = ws_.next_layer().native_handle();
        const bool checksName = target_->hostIsAddress
                                    ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls), target_->host.c_str()) == 1
                                    : SSL_set_tlsext_host_name(tls, target_->host.c_str()) == 1 &&
                                          SSL_set1_host(tls, target_->host.c_str()) == 1;
        if (!checksName) {
            fail(asio::ssl::error::make_error_code(asio::ssl::error::unspecified_system_error),
                 "The relay's certificate cannot be checked against \"" + target_->host + "\"");
            co_return;
        }
        co_await ws_.next_layer().async_handshake(ssl::stream_base::client, asio::redirect_error(asio::use_awaitable, ec));
        if (stepFailed()) co_return;

        ws_.set_option(websocket::stream_base::timeout{timing_.requestLimit, websocket::stream_base::none(), false});
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::request_type& request) { request.set(beast::http::field::user_agent, "duoquill"); }));
        ws_.read_message_max(kMaximumMessageSize);
        ws_.control_callback([this](websocket::frame_type, beast::string_view) { lastActivity_ = Clock::now(); });
        co_await ws_.async_handshake(target_->hostHeader, target_->resource,
                                     asio::redirect_error(asio::use_awaitable, ec));
        if (stepFailed()) co_return;
        phase_ = Phase::open;
        lastActivity_ = Clock::now();
    }

    // TCP to the proxy, then its CONNECT to the relay's name. False when the opening is over.
    asio::awaitable<bool> connectThroughProxy() {
        error_code ec;
        const auto stepFailed = [&](std::string_view what) {
            if (!ec && !closeRequested_ && !timedOut_) return false;
            if (closeRequested_) return true;
            if (timedOut_) {
                fail(asio::error::timed_out, "The connection to the relay through the proxy timed out");
            } else if (ec.category() == socks5::socks5Category()) {
                fail(ec, ec.message());
            } else if (ec == asio::error::eof) {
                fail(ec, "The proxy at " + proxy_->displayName() + " closed the connection");
            } else {
                fail(ec, "The proxy at " + proxy_->displayName() + " " + std::string(what) + ": " + ec.message());
            }
            return true;
        };
        auto& stream = beast::get_lowest_layer(ws_);
        const auto endpoints = co_await resolver_.async_resolve(proxy_->host, proxy_->port,
                                                               asio::redirect_error(asio::use_awaitable, ec));
        if (stepFailed("cannot be found")) co_return false;
        co_await stream.async_connect(endpoints, asio::redirect_error(asio::use_awaitable, ec));
        if (stepFailed("cannot be reached")) co_return false;

        std::array<std::uint8_t, 2> two{};
        const bool withCredentials = !proxy_->username.empty();
        co_await exchangeWithProxy(socks5::greeting(withCredentials), two, ec);
        if (stepFailed("failed")) co_return false;
        const auto method = socks5::parseMethodChoice(two, withCredentials);
        if (const auto* refusal = std::get_if<socks5::Socks5Error>(&method)) ec = *refusal;
        if (stepFailed("failed")) co_return false;
        if (std::get<socks5::Method>(method) == socks5::Method::usernamePassword) {
            auto request = socks5::authRequest(proxy_->username, proxy_->password);
            if (!request) ec = socks5::Socks5Error::unusableRequest;
            if (stepFailed("failed")) co_return false;
            co_await exchangeWithProxy(std::move(*request), two, ec);
            if (stepFailed("failed")) co_return false;
            if (const auto refusal = socks5::parseAuthReply(two)) ec = *refusal;
            if (stepFailed("failed")) co_return false;
        }

        const auto port = portNumber(target_->port);
        auto request = port ? socks5::connectRequest(target_->host, *port) : std::nullopt;
        if (!request) ec = socks5::Socks5Error::unusableRequest;
        if (stepFailed("failed")) co_return false;
        co_await asio::async_write(stream, asio::buffer(*request), asio::redirect_error(asio::use_awaitable, ec));
        if (stepFailed("failed")) co_return false;
        std::vector<std::uint8_t> reply;
        for (;;) {
            const auto judged = socks5::parseConnectReply(reply);
            if (std::holds_alternative<socks5::Connected>(judged)) co_return true;
            if (const auto* refusal = std::get_if<socks5::Socks5Error>(&judged)) {
                ec = *refusal;
                stepFailed("failed");
                co_return false;
            }
            const std::size_t have = reply.size();
            reply.resize(std::get<socks5::NeedBytes>(judged).total);
            co_await asio::async_read(stream, asio::buffer(reply.data() + have, reply.size() - have),
                                      asio::redirect_error(asio::use_awaitable, ec));
            if (stepFailed("failed")) co_return false;
        }
    }

    // One request to the proxy and its two-byte answer.
    asio::awaitable<void> exchangeWithProxy(std::vector<std::uint8_t> request, std::array<std::uint8_t, 2>& answer,
                                            error_code& ec) {
        auto& stream = beast::get_lowest_layer(ws_);
        co_await asio::async_write(stream, asio::buffer(request), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return;
        co_await asio::async_read(stream, asio::buffer(answer), asio::redirect_error(asio::use_awaitable, ec));
    }

    static asio::awaitable<void> writeQueued(std::shared_ptr<Connection> self) {
        while (self->phase_ == Phase::opening) co_await self->opened_.wait();
        while (!self->writes_.empty()) {
            const auto item = self->writes_.front();
            self->writes_.pop_front();
            if (self->phase_ != Phase::open) {
                item->failure = self->failure();
            } else {
                error_code ec;
                self->ws_.text(true);
                co_await self->ws_.async_write(asio::buffer(item->text), asio::redirect_error(asio::use_awaitable, ec));
                if (ec) {
                    self->fail(ec, ec.message());
                    item->failure = self->failure();
                }
            }
            item->done = true;
            item->written.notifyAll();
        }
        self->writing_ = false;
    }

    static asio::awaitable<void> readOne(std::shared_ptr<Connection> self) {
        beast::flat_buffer buffer;
        error_code ec;
        co_await self->ws_.async_read(buffer, asio::redirect_error(asio::use_awaitable, ec));
        self->reading_ = false;
        self->lastActivity_ = Clock::now();
        if (ec) {
            self->fail(ec, ec.message());
            self->inbox_ = self->failure();
        } else {
            std::string text = beast::buffers_to_string(buffer.data());
            if (!self->ws_.got_text() && !isValidUtf8(text)) {
                self->inbox_ = std::make_exception_ptr(TransportError(TransportErrorCode::invalidMessage));
            } else {
                self->inbox_ = std::move(text);
            }
        }
        self->readDone_.notifyAll();
    }

    // Ends a connection that stays silent (no frame, no pong) for the resource limit while
    // someone waits for a message. It holds the connection weakly.
    static asio::awaitable<void> watch(std::shared_ptr<Connection> start) {
        std::weak_ptr<Connection> weak = start;
        asio::steady_timer* timer = &start->watchdog_;
        start.reset();
        for (;;) {
            Clock::time_point wake;
            {
                const auto self = weak.lock();
                if (!self || self->phase_ != Phase::open) co_return;
                const auto deadline = self->lastActivity_ + self->timing_.resourceLimit;
                const auto now = Clock::now();
                if (self->reading_ && now >= deadline) {
                    self->fail(asio::error::timed_out, "The relay connection went silent");
                    co_return;
                }
                wake = self->reading_ ? deadline : now + self->timing_.resourceLimit;
                timer->expires_at(wake);
            }
            // The timer belongs to the connection; if it goes away the wait ends at once.
            error_code ec;
            co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
            if (isStopped(ec) && weak.expired()) co_return;
        }
    }

    static asio::awaitable<void> closeGracefully(std::shared_ptr<Connection> self) {
        error_code ignored;
        co_await self->ws_.async_close(websocket::close_code::normal, asio::redirect_error(asio::use_awaitable, ignored));
        self->closeSocket();
        self->finishClose();
    }

    asio::any_io_executor executor_;
    std::shared_ptr<ssl::context> tls_;
    Timing timing_;
    std::optional<Socks5Proxy> proxy_;
    std::optional<Target> target_;
    tcp::resolver resolver_;
    websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws_;
    asio::steady_timer openingDeadline_;
    asio::steady_timer watchdog_;

    Phase phase_ = Phase::opening;
    bool timedOut_ = false;
    bool closeRequested_ = false;
    bool closeFinished_ = false;
    error_code failureCode_;
    std::string failureMessage_;
    Signal opened_;

    std::deque<std::shared_ptr<PendingWrite>> writes_;
    bool writing_ = false;

    bool reading_ = false;
    std::optional<Received> inbox_;
    Signal readDone_;
    Clock::time_point lastActivity_ = Clock::now();

    bool pinging_ = false;
    Signal closed_;
};

// The keep-alive loop: pings whatever connection it was started for, every ping interval,
// until cancelled. It holds the connection weakly, so it never keeps one alive.
class WebSocketTransport::KeepAlive : public std::enable_shared_from_this<KeepAlive> {
public:
    KeepAlive(const asio::any_io_executor& executor, std::chrono::steady_clock::duration interval)
        : timer_(executor), interval_(interval) {}

    void start(const std::weak_ptr<Connection>& connection) {
        spawn(timer_.get_executor(), run(shared_from_this(), connection));
    }

    void cancel() noexcept {
        cancelled_ = true;
        timer_.cancel();
    }

private:
    static asio::awaitable<void> run(std::shared_ptr<KeepAlive> self, std::weak_ptr<Connection> connection) {
        while (!self->cancelled_) {
            self->timer_.expires_after(self->interval_);
            error_code ignored;
            co_await self->timer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
            if (self->cancelled_) break;
            if (const auto c = connection.lock()) c->ping();
        }
    }

    asio::steady_timer timer_;
    std::chrono::steady_clock::duration interval_;
    bool cancelled_ = false;
};

WebSocketTransport::WebSocketTransport(asio::any_io_executor executor)
    : WebSocketTransport(std::move(executor), Timing{}) {}

WebSocketTransport::WebSocketTransport(asio::any_io_executor executor, Timing timing)
    : WebSocketTransport(std::move(executor), timing, std::nullopt) {}

WebSocketTransport::WebSocketTransport(asio::any_io_executor executor, Timing timing, std::optional<Socks5Proxy> proxy)
    : executor_(std::move(executor)), timing_(timing), proxy_(std::move(proxy)), tls_(std::make_shared<ssl::context>(ssl::context::tls_client)) {
    tls::applyPolicy(tls_->native_handle());
    error_code ignored;  // without a readable trust store every certificate is refused, as it should be
    tls_->set_default_verify_paths(ignored);
    tls_->set_verify_mode(ssl::verify_peer);
}

WebSocketTransport::~WebSocketTransport() {
    stopPing();
    if (task_) task_->close();
}

void WebSocketTransport::connect(std::string_view url) {
    state_ = ConnectionState::connecting;
    // The relay would otherwise keep the old connection in the room until it noticed.
    if (task_) task_->close();
    task_ = std::make_shared<Connection>(executor_, tls_, timing_, proxy_, url);
    task_->start();
    state_ = ConnectionState::connected;
    startPing();
}

std::shared_ptr<WebSocketTransport::Connection> WebSocketTransport::usableConnection() const {
    if (!task_ || state_ != ConnectionState::connected) throw TransportError(TransportErrorCode::notConnected);
    return task_;
}

asio::awaitable<void> WebSocketTransport::send(std::string text) {
    const auto connection = usableConnection();
    co_await connection->send(std::move(text));
}

asio::awaitable<std::string> WebSocketTransport::receive() {
    const auto connection = usableConnection();
    co_return co_await connection->receive();
}

asio::awaitable<void> WebSocketTransport::disconnect() {
    stopPing();
    auto connection = std::exchange(task_, nullptr);
    state_ = ConnectionState::disconnected;
    if (connection) connection->close();
    return Connection::waitClosed(std::move(connection));
}

void WebSocketTransport::startPing() {
    stopPing();
    pingTask_ = std::make_shared<KeepAlive>(executor_, timing_.pingInterval);
    pingTask_->start(task_);
}

void WebSocketTransport::stopPing() noexcept {
    if (pingTask_) pingTask_->cancel();
    pingTask_.reset();
}

}  // namespace duoquill
