#include "TestWebSocketServer.h"

#include <deque>
#include <mutex>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace duoquill::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;
using tcp = asio::ip::tcp;

namespace {

constexpr auto use = asio::use_awaitable;

struct Session {
    Session(tcp::socket socket, asio::ssl::context& tls) : ws(std::move(socket), tls) {}
    websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws;
    std::deque<std::pair<bool, std::string>> outbox;  // (binary, bytes)
    bool writing = false;
};

}  // namespace

struct TestWebSocketServer::Impl {
    explicit Impl(const Options& o) : options(o), tls(asio::ssl::context::tls_server), acceptor(io) {}

    asio::io_context io;
    Options options;
    asio::ssl::context tls;
    tcp::acceptor acceptor;

    mutable std::mutex mutex;
    std::vector<ServerConnectionLog> logs;
    std::vector<std::shared_ptr<Session>> sessions;

    template <class F>
    void update(std::size_t index, F&& change) {
        std::lock_guard lock(mutex);
        change(logs[index]);
    }

    asio::awaitable<void> accept() {
        for (;;) {
            error_code ec;
            tcp::socket socket = co_await acceptor.async_accept(asio::redirect_error(use, ec));
            if (ec) co_return;
            asio::co_spawn(io, serve(std::move(socket)), asio::detached);
        }
    }

    asio::awaitable<void> serve(tcp::socket socket) {
        auto session = std::make_shared<Session>(std::move(socket), tls);
        auto& ws = session->ws;
        error_code ec;
        co_await ws.next_layer().async_handshake(asio::ssl::stream_base::server, asio::redirect_error(use, ec));
        if (ec) co_return;
        const char* serverName = SSL_get_servername(ws.next_layer().native_handle(), TLSEXT_NAMETYPE_host_name);

        beast::flat_buffer buffer;
        beast::http::request<beast::http::string_body> request;
        co_await beast::http::async_read(ws.next_layer(), buffer, request, asio::redirect_error(use, ec));
        if (ec) co_return;
        ws.read_message_max(8 << 20);
        co_await ws.async_accept(request, asio::redirect_error(use, ec));
        if (ec) co_return;

        std::size_t index;
        {
            std::lock_guard lock(mutex);
            index = logs.size();
            logs.push_back({});
            logs.back().target = std::string(request.target());
            logs.back().serverName = serverName ? serverName : "";
            sessions.push_back(session);
        }
        ws.control_callback([this, index](websocket::frame_type kind, beast::string_view) {
            if (kind == websocket::frame_type::ping) update(index, [](ServerConnectionLog& log) { ++log.pings; });
        });

        if (options.silent) {
            asio::steady_timer forever(io, asio::steady_timer::time_point::max());
            co_await forever.async_wait(asio::redirect_error(use, ec));
            co_return;
        }
        for (;;) {
            beast::flat_buffer message;
            co_await ws.async_read(message, asio::redirect_error(use, ec));
            if (ec) {
                const int code = ws.reason().code;
                update(index, [&](ServerConnectionLog& log) {
                    if (ec == websocket::error::closed) log.closeCode = code;
                    log.ended = true;
                });
                co_return;
            }
            update(index, [&](ServerConnectionLog& log) { log.messages.push_back(beast::buffers_to_string(message.data())); });
        }
    }

    static asio::awaitable<void> writeOutbox(std::shared_ptr<Session> session) {
        while (!session->outbox.empty()) {
            auto [binary, bytes] = std::move(session->outbox.front());
            session->outbox.pop_front();
            session->ws.binary(binary);
            error_code ec;
            co_await session->ws.async_write(asio::buffer(bytes), asio::redirect_error(use, ec));
        }
        session->writing = false;
    }

    void send(std::size_t index, bool binary, std::string bytes) {
        asio::post(io, [this, index, binary, bytes = std::move(bytes)]() mutable {
            std::shared_ptr<Session> session;
            {
                std::lock_guard lock(mutex);
                session = sessions.at(index);
            }
            session->outbox.emplace_back(binary, std::move(bytes));
            if (!session->writing) {
                session->writing = true;
                asio::co_spawn(io, writeOutbox(session), asio::detached);
            }
        });
    }
};

TestWebSocketServer::TestWebSocketServer(Options options) : impl_(std::make_unique<Impl>(options)) {
    auto& tls = impl_->tls;
    tls.use_certificate_chain(asio::buffer(options.certificate.certificateChainPem));
    tls.use_private_key(asio::buffer(options.certificate.privateKeyPem), asio::ssl::context::pem);

    const tcp::endpoint endpoint(asio::ip::make_address(options.address), 0);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(asio::socket_base::reuse_address(true));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    port_ = impl_->acceptor.local_endpoint().port();
    asio::co_spawn(impl_->io, impl_->accept(), asio::detached);
    thread_ = std::thread([io = &impl_->io] { io->run(); });
}

TestWebSocketServer::~TestWebSocketServer() {
    impl_->io.stop();
    thread_.join();
}

std::string TestWebSocketServer::url(const std::string& host, const std::string& path) const {
    return "wss://" + host + ":" + std::to_string(port_) + path;
}

std::size_t TestWebSocketServer::connectionCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->logs.size();
}

ServerConnectionLog TestWebSocketServer::connection(std::size_t index) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->logs.at(index);
}

int TestWebSocketServer::totalPings() const {
    std::lock_guard lock(impl_->mutex);
    int total = 0;
    for (const auto& log : impl_->logs) total += log.pings;
    return total;
}

void TestWebSocketServer::sendText(std::size_t index, std::string text) { impl_->send(index, false, std::move(text)); }

void TestWebSocketServer::sendBinary(std::size_t index, std::string bytes) { impl_->send(index, true, std::move(bytes)); }

}  // namespace duoquill::test
