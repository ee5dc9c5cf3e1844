#include "HostileProxy.h"

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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "Support/TestCertificates.h"

namespace duoquill::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr auto use = asio::use_awaitable;
constexpr auto heldBack = 600ms;     // a delayed frame
constexpr auto overtaken = 200ms;    // a reordered frame: long enough for the next one to pass it
constexpr std::size_t recordLimit = 4096;

// Frames waiting to be written to one end, written one at a time in order.
struct Outbox {
    std::deque<std::string> queue;
    bool writing = false;
};

// One client connection and the relay connection made for it.
struct Pipe {
    Pipe(tcp::socket socket, asio::ssl::context& tls, asio::any_io_executor executor)
        : client(std::move(socket), tls), relay(executor) {}

    void close() {
        closed = true;
        error_code ignored;
        beast::get_lowest_layer(client).socket().close(ignored);
        beast::get_lowest_layer(relay).socket().close(ignored);
    }

    websocket::stream<beast::ssl_stream<beast::tcp_stream>> client;
    websocket::stream<beast::tcp_stream> relay;
    Outbox toRelay, toClient;
    bool closed = false;
};

}  // namespace

struct HostileProxy::Impl {
    Impl(std::uint16_t port, std::uint64_t seed, int oneIn) : relayPort(port), random(seed), oneIn(oneIn) {}

    asio::io_context io;
    std::uint16_t relayPort;
    std::mt19937_64 random;  // used on the proxy's thread only
    int oneIn;
    std::atomic<bool> hostile{false};
    asio::ssl::context tls{asio::ssl::context::tls_server};
    tcp::acceptor acceptor{io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
    std::uint16_t port = acceptor.local_endpoint().port();
    std::thread thread;
    std::vector<std::string> recorded;  // what the clients sent, as the relay would see it
    std::vector<Action> pending;        // disturbances still to come in this round

    mutable std::mutex mutex;
    std::map<Action, std::size_t> actions;
    std::size_t connections = 0;

    std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random); }

    asio::awaitable<void> accept() {
        for (;;) {
            error_code ec;
            tcp::socket socket = co_await acceptor.async_accept(asio::redirect_error(use, ec));
            if (ec) co_return;
            asio::co_spawn(io, serve(std::make_shared<Pipe>(std::move(socket), tls, io.get_executor())), asio::detached);
        }
    }

    asio::awaitable<void> serve(std::shared_ptr<Pipe> pipe) {
        error_code ec;
        beast::flat_buffer buffer;
        beast::http::request<beast::http::string_body> request;
        co_await pipe->client.next_layer().async_handshake(asio::ssl::stream_base::server, asio::redirect_error(use, ec));
        if (!ec) co_await beast::http::async_read(pipe->client.next_layer(), buffer, request, asio::redirect_error(use, ec));
        // The relay first, so a client is only let in when its room can be reached.
        const tcp::endpoint relayEndpoint(asio::ip::make_address("127.0.0.1"), relayPort);
        if (!ec) co_await beast::get_lowest_layer(pipe->relay).async_connect(relayEndpoint, asio::redirect_error(use, ec));
        if (!ec) {
            co_await pipe->relay.async_handshake("127.0.0.1:" + std::to_string(relayPort), request.target(),
                                                 asio::redirect_error(use, ec));
        }
        if (!ec) co_await pipe->client.async_accept(request, asio::redirect_error(use, ec));
        if (ec) {
            pipe->close();
            co_return;
        }
        pipe->client.read_message_max(1 << 20);
        pipe->relay.read_message_max(1 << 20);
        {
            std::lock_guard lock(mutex);
            ++connections;
        }
        asio::co_spawn(io, pump(pipe, pipe->client, true), asio::detached);
        asio::co_spawn(io, pump(pipe, pipe->relay, false), asio::detached);
    }

    // Reads one end and hands every frame to the other, through the proxy's judgement.
    template <class Stream>
    asio::awaitable<void> pump(std::shared_ptr<Pipe> pipe, Stream& from, bool up) {
        for (;;) {
            beast::flat_buffer buffer;
            error_code ec;
            co_await from.async_read(buffer, asio::redirect_error(use, ec));
            if (ec || pipe->closed) {
                pipe->close();
                co_return;
            }
            std::string frame = beast::buffers_to_string(buffer.data());
            if (up && recorded.size() < recordLimit) recorded.push_back(frame);
            handle(pipe, up, std::move(frame));
        }
    }

    Action draw(const std::string& frame) {
        if (!hostile || below(static_cast<std::size_t>(oneIn)) != 0) return Action::pass;
        // Every disturbance in turn, in an order shuffled anew for each round.
        if (pending.empty()) {
            pending = {Action::drop,     Action::duplicate, Action::delay, Action::reorder,
                       Action::truncate, Action::flipBit,   Action::inject};
            std::shuffle(pending.begin(), pending.end(), random);
        }
        const Action action = pending.back();
        pending.pop_back();
        const bool plainHello = frame.starts_with('{') && frame.find(R"("t":"hello")") != std::string::npos;
        return action == Action::flipBit && plainHello ? Action::pass : action;
    }

    std::string injected() {
        const std::size_t pick = below(10);
        if (pick == 0 || recorded.empty()) return R"({"t":"bye"})";
        if (pick == 1) return R"({"t":"peer-disconnected"})";
        return recorded[below(recorded.size())];
    }

    void handle(const std::shared_ptr<Pipe>& pipe, bool up, std::string frame) {
        const Action action = draw(frame);
        {
            std::lock_guard lock(mutex);
            ++actions[action];
        }
        switch (action) {
        case Action::pass: break;
        case Action::drop: return;
        case Action::duplicate: send(pipe, up, frame); break;
        case Action::delay:
        case Action::reorder: {
            auto timer = std::make_shared<asio::steady_timer>(io, action == Action::delay ? heldBack : overtaken);
            timer->async_wait([this, timer, pipe, up, frame = std::move(frame)](error_code) mutable {
                send(pipe, up, std::move(frame));
            });
            return;
        }
        case Action::truncate: frame.resize(below(frame.size() + 1)); break;
        case Action::flipBit:
            if (!frame.empty()) frame[below(frame.size())] ^= static_cast<char>(1u << below(8));
            break;
        case Action::inject: send(pipe, up, injected()); break;
        }
        send(pipe, up, std::move(frame));
    }

    void send(const std::shared_ptr<Pipe>& pipe, bool up, std::string frame) {
        if (pipe->closed) return;
        Outbox& box = up ? pipe->toRelay : pipe->toClient;
        box.queue.push_back(std::move(frame));
        if (std::exchange(box.writing, true)) return;
        if (up) {
            asio::co_spawn(io, drain(pipe, pipe->relay, box), asio::detached);
        } else {
            asio::co_spawn(io, drain(pipe, pipe->client, box), asio::detached);
        }
    }

    template <class Stream>
    static asio::awaitable<void> drain(std::shared_ptr<Pipe> pipe, Stream& to, Outbox& box) {
        while (!box.queue.empty() && !pipe->closed) {
            const std::string frame = std::move(box.queue.front());
            box.queue.pop_front();
            to.text(true);
            error_code ec;
            co_await to.async_write(asio::buffer(frame), asio::redirect_error(use, ec));
            if (ec) pipe->close();
        }
        box.writing = false;
    }
};

HostileProxy::HostileProxy(std::uint16_t relayPort, std::uint64_t seed, int oneIn)
    : impl_(std::make_unique<Impl>(relayPort, seed, oneIn)) {
    const auto& certificates = TestCertificates::shared();
    impl_->tls.use_certificate_chain_file(certificates.certificateFile().string());
    impl_->tls.use_private_key_file(certificates.privateKeyFile().string(), asio::ssl::context::pem);
    asio::co_spawn(impl_->io, impl_->accept(), asio::detached);
    impl_->thread = std::thread([io = &impl_->io] { io->run(); });
}

HostileProxy::~HostileProxy() {
    impl_->io.stop();
    impl_->thread.join();
}

std::string HostileProxy::url() const {
    return "wss://127.0.0.1:" + std::to_string(impl_->port);
}

void HostileProxy::setHostile(bool hostile) { impl_->hostile = hostile; }

std::map<HostileProxy::Action, std::size_t> HostileProxy::actions() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->actions;
}

std::size_t HostileProxy::connections() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->connections;
}

}  // namespace duoquill::test
