#include "Kit/WebSocketTestClient.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace duoquill::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using asio::ip::tcp;

using TlsStream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;
using PlainStream = websocket::stream<beast::tcp_stream>;

constexpr std::chrono::milliseconds kTimeout{5000};
const std::string kServerName = "localhost";

struct WebSocketTestClient::Impl {
    explicit Impl(Options o) : options(std::move(o)) {}

    Options options;
    asio::io_context context;  // declared first: outlives the streams
    asio::ssl::context tlsContext{asio::ssl::context::tls_client};
    std::unique_ptr<TlsStream> tls;
    std::unique_ptr<PlainStream> plain;
    beast::flat_buffer buffer;
    std::deque<WebSocketEvent> events;
    bool open = false;
    bool ended = false;

    template <class F>
    void withStream(F&& f) {
        tls ? f(*tls) : f(*plain);
    }

    // Runs the io_context until `done` holds or the time is up; false on time-out.
    bool drive(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        context.restart();
        while (!done()) {
            if (context.run_one_until(deadline) == 0) {
                if (std::chrono::steady_clock::now() >= deadline || context.stopped()) return done();
            }
        }
        return true;
    }

    // Starts an operation and runs it to completion; throws when it does not complete in time.
    beast::error_code run(const char* what, const std::function<void(std::function<void(beast::error_code)>)>& start) {
        bool finished = false;
        beast::error_code result;
        start([&](beast::error_code ec) {
            finished = true;
            result = ec;
        });
        if (!drive([&] { return finished; }, kTimeout)) {
            closeSocket();
            drive([&] { return finished; }, kTimeout);
            throw std::runtime_error(std::string(what) + ": timed out");
        }
        return result;
    }

    void runOrThrow(const char* what, const std::function<void(std::function<void(beast::error_code)>)>& start) {
        if (const auto ec = run(what, start)) throw std::runtime_error(std::string(what) + ": " + ec.message());
    }

    // A whole message, or one frame of a message in fragments (`last` then says whether it ends it).
    void write(bool text, std::string_view data, std::optional<bool> last = std::nullopt) {
        withStream([&](auto& ws) {
            ws.text(text);
            runOrThrow("send", [&](auto done) {
                const auto written = [done](beast::error_code ec, std::size_t) { done(ec); };
                if (last) {
                    ws.async_write_some(*last, asio::buffer(data.data(), data.size()), written);
                } else {
                    ws.async_write(asio::buffer(data.data(), data.size()), written);
                }
            });
        });
    }

    void readNext() {
        withStream([this](auto& ws) {
            ws.async_read(buffer, [this, &ws](beast::error_code ec, std::size_t) {
                using enum WebSocketEvent::Kind;
                if (!ec) {
                    events.push_back({ws.got_text() ? text : binary, beast::buffers_to_string(buffer.data()), 0, {}});
                    buffer.consume(buffer.size());
                    return readNext();
                }
                const auto& reason = ws.reason();
                if (ec == websocket::error::closed) {
                    events.push_back({closed, std::string(reason.reason.data(), reason.reason.size()), reason.code, {}});
                } else {
                    events.push_back({failed, {}, 0, ec.message()});
                }
                ended = true;
            });
        });
    }

    void closeSocket() {
        withStream([](auto& ws) {
            beast::error_code ignored;
            beast::get_lowest_layer(ws).socket().shutdown(tcp::socket::shutdown_both, ignored);
            beast::get_lowest_layer(ws).close();
        });
    }
};

WebSocketTestClient::WebSocketTestClient(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
    if (impl_->options.tls) {
        impl_->tlsContext.load_verify_file(impl_->options.caFile.string());
        impl_->tlsContext.set_verify_mode(asio::ssl::verify_peer);
        impl_->tls = std::make_unique<TlsStream>(impl_->context, impl_->tlsContext);
    } else {
        impl_->plain = std::make_unique<PlainStream>(impl_->context);
    }
}

WebSocketTestClient::~WebSocketTestClient() {
    if (impl_->open && !impl_->ended) impl_->closeSocket();
}

int WebSocketTestClient::open(std::uint16_t port, const std::string& path) {
    Impl& impl = *impl_;
    const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), port);
    websocket::response_type response;
    beast::error_code result;
    impl.withStream([&](auto& ws) {
        impl.runOrThrow("connect", [&](auto done) { beast::get_lowest_layer(ws).async_connect(endpoint, done); });
        // A few bytes on a fresh connection: the write never waits.
        asio::write(beast::get_lowest_layer(ws).socket(), asio::buffer(impl.options.preamble));
        if constexpr (std::is_same_v<std::decay_t<decltype(ws)>, TlsStream>) {
            if (SSL_set_tlsext_host_name(ws.next_layer().native_handle(), kServerName.c_str()) != 1) {
                throw std::runtime_error("cannot set the TLS server name");
            }
            ws.next_layer().set_verify_callback(asio::ssl::host_name_verification(kServerName));
            impl.runOrThrow("TLS handshake", [&](auto done) {
                ws.next_layer().async_handshake(asio::ssl::stream_base::client, done);
            });
        }
        result = impl.run("WebSocket handshake", [&](auto done) {
            ws.async_handshake(response, kServerName + ":" + std::to_string(port), path, done);
        });
    });
    if (result == websocket::error::upgrade_declined) return response.result_int();
    if (result) throw std::runtime_error("WebSocket handshake: " + result.message());
    impl.open = true;
    impl.readNext();
    return response.result_int();
}

bool WebSocketTestClient::isOpen() const { return impl_->open && !impl_->ended; }

void WebSocketTestClient::sendText(std::string_view text) { impl_->write(true, text); }
void WebSocketTestClient::sendBinary(std::string_view bytes) { impl_->write(false, bytes); }
void WebSocketTestClient::sendPart(std::string_view text, bool last) { impl_->write(true, text, last); }

WebSocketEvent WebSocketTestClient::read(std::chrono::milliseconds timeout) {
    Impl& impl = *impl_;
    if (!impl.open) throw std::runtime_error("read: not open");
    if (!impl.drive([&] { return !impl.events.empty(); }, timeout)) return WebSocketEvent{};
    WebSocketEvent event = std::move(impl.events.front());
    impl.events.pop_front();
    return event;
}

std::string WebSocketTestClient::readText() {
    WebSocketEvent event = read();
    if (event.kind != WebSocketEvent::Kind::text) throw std::runtime_error("expected a text frame, got " + describe(event));
    return std::move(event.data);
}

void WebSocketTestClient::close() {
    Impl& impl = *impl_;
    if (!impl.open || impl.ended) return;
    bool closed = false;
    impl.withStream([&](auto& ws) {
        ws.async_close(websocket::close_code::normal, [&closed](beast::error_code) { closed = true; });
    });
    const auto done = [&] { return closed && impl.ended; };
    if (!impl.drive(done, kTimeout)) {
        impl.closeSocket();
        impl.drive(done, kTimeout);
    }
}

void WebSocketTestClient::drop() {
    Impl& impl = *impl_;
    impl.closeSocket();
    if (impl.open) impl.drive([&] { return impl.ended; }, kTimeout);
    impl.ended = true;
}

std::string describe(const WebSocketEvent& event) {
    const std::string size = std::to_string(event.data.size());
    switch (event.kind) {
        using enum WebSocketEvent::Kind;
        case text: return "text frame of " + size + " bytes";
        case binary: return "binary frame of " + size + " bytes";
        case closed: return "close " + std::to_string(event.closeCode) + " \"" + event.data + "\"";
        case failed: return "failure: " + event.error;
        case timedOut: return "nothing (timed out)";
    }
    return "?";
}

}  // namespace duoquill::test
