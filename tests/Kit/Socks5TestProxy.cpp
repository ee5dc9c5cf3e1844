#include "Kit/Socks5TestProxy.h"

#include <algorithm>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

namespace duoquill::test {

namespace asio = boost::asio;
using boost::system::error_code;
using tcp = asio::ip::tcp;

namespace {

constexpr auto use = asio::use_awaitable;

// Copies one direction until either side ends, then shuts both down.
asio::awaitable<void> pipe(std::shared_ptr<tcp::socket> from, std::shared_ptr<tcp::socket> to) {
    std::vector<char> buffer(16384);
    error_code ec;
    for (;;) {
        const auto n = co_await from->async_read_some(asio::buffer(buffer), asio::redirect_error(use, ec));
        if (ec) break;
        co_await asio::async_write(*to, asio::buffer(buffer.data(), n), asio::redirect_error(use, ec));
        if (ec) break;
    }
    from->close(ec);
    to->close(ec);
}

asio::awaitable<std::vector<std::uint8_t>> readBytes(tcp::socket& socket, std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    co_await asio::async_read(socket, asio::buffer(bytes), use);
    co_return bytes;
}

// Named buffers only: GCC 12 mishandles braced temporaries inside a co_await expression.
asio::awaitable<void> writeBytes(tcp::socket& socket, std::vector<std::uint8_t> bytes) {
    co_await asio::async_write(socket, asio::buffer(bytes), use);
}

std::string text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

Socks5TestProxy::Socks5TestProxy(Options options)
    : options_(std::move(options)), acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
    asio::co_spawn(io_, accept(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
}

Socks5TestProxy::~Socks5TestProxy() {
    io_.stop();
    thread_.join();
}

std::uint16_t Socks5TestProxy::port() const { return acceptor_.local_endpoint().port(); }

std::string Socks5TestProxy::url() const { return "socks5h://127.0.0.1:" + std::to_string(port()); }

std::vector<Socks5TestProxy::Request> Socks5TestProxy::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

asio::awaitable<void> Socks5TestProxy::accept() {
    for (;;) {
        auto socket = co_await acceptor_.async_accept(use);
        asio::co_spawn(io_, serve(std::move(socket)), asio::detached);
    }
}

// Any error ends the coroutine with an exception, which closes the client's socket.
asio::awaitable<void> Socks5TestProxy::serve(tcp::socket clientSocket) {
    auto client = std::make_shared<tcp::socket>(std::move(clientSocket));
    auto& socket = *client;

    Request request;
    const auto head = co_await readBytes(socket, 2);
    if (head[0] != 5) co_return;
    request.methods = co_await readBytes(socket, head[1]);
    const auto offered = [&](std::uint8_t m) { return std::ranges::find(request.methods, m) != request.methods.end(); };
    const std::uint8_t method = offered(2) ? 2 : offered(0) ? 0 : 0xFF;
    std::vector<std::uint8_t> choice{5, method};
    co_await writeBytes(socket, std::move(choice));
    if (method == 0xFF) co_return;
    if (method == 2) {
        const auto version = co_await readBytes(socket, 2);
        request.username = text(co_await readBytes(socket, version[1]));
        const auto passwordLength = co_await readBytes(socket, 1);
        request.password = text(co_await readBytes(socket, passwordLength[0]));
        std::vector<std::uint8_t> verdict{1, static_cast<std::uint8_t>(options_.refusesCredentials ? 1 : 0)};
        co_await writeBytes(socket, std::move(verdict));
        if (options_.refusesCredentials) co_return;
    }

    const auto connect = co_await readBytes(socket, 4);
    request.addressType = connect[3];
    asio::ip::address address;
    if (connect[3] == 1) {
        const auto raw = co_await readBytes(socket, 4);
        address = asio::ip::make_address_v4(asio::ip::address_v4::bytes_type{raw[0], raw[1], raw[2], raw[3]});
        request.address = address.to_string();
    } else if (connect[3] == 3) {
        const auto nameLength = co_await readBytes(socket, 1);
        request.address = text(co_await readBytes(socket, nameLength[0]));
    } else {
        std::vector<std::uint8_t> unsupported{5, 8, 0, 1, 0, 0, 0, 0, 0, 0};
        co_await writeBytes(socket, std::move(unsupported));
        co_return;
    }
    const auto port = co_await readBytes(socket, 2);
    request.port = static_cast<std::uint16_t>(port[0] << 8 | port[1]);
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }

    if (options_.rawReply) {
        co_await writeBytes(socket, *options_.rawReply);
        co_return;
    }
    std::uint8_t code = 0;
    if (connect[3] == 3) {
        const auto known = options_.names.find(request.address);
        if (known == options_.names.end()) {
            code = 4;
        } else {
            address = asio::ip::make_address(known->second);
        }
    }
    auto relay = std::make_shared<tcp::socket>(io_);
    if (code == 0) {
        error_code ec;
        const tcp::endpoint target(address, request.port);
        co_await relay->async_connect(target, asio::redirect_error(use, ec));
        if (ec) code = 5;
    }
    std::vector<std::uint8_t> reply{5, code, 0, 1, 0, 0, 0, 0, 0, 0};
    co_await writeBytes(socket, std::move(reply));
    if (code != 0) co_return;
    asio::co_spawn(io_, pipe(client, relay), asio::detached);
    asio::co_spawn(io_, pipe(relay, client), asio::detached);
}

}  // namespace duoquill::test
