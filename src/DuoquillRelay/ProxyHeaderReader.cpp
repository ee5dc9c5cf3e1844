#include "DuoquillRelay/ProxyHeaderReader.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>

#include <utility>
#include <variant>

namespace duoquill::relay {

namespace asio = boost::asio;
using asio::ip::tcp;

ProxyHeaderReader::ProxyHeaderReader(RelaySocket socket, tcp::endpoint proxy, Done done)
    : socket_(std::move(socket)), timer_(socket_.get_executor()), proxy_(proxy), done_(std::move(done)) {}

std::shared_ptr<ProxyHeaderReader> ProxyHeaderReader::start(RelaySocket socket, tcp::endpoint proxy,
                                                            std::chrono::steady_clock::time_point deadline, Done done) {
    std::shared_ptr<ProxyHeaderReader> reader(new ProxyHeaderReader(std::move(socket), proxy, std::move(done)));
    asio::dispatch(reader->socket_.get_executor(), [reader, deadline] {
        reader->timer_.expires_at(deadline);
        // Closing the socket ends the pending read, which reports the failure.
        reader->timer_.async_wait([reader](boost::system::error_code ec) {
            if (!ec) reader->closeSocket();
        });
        reader->readMore();
    });
    return reader;
}

void ProxyHeaderReader::cancel() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->closeSocket(); });
}

void ProxyHeaderReader::readMore() {
    const ProxyHeaderResult result = parseProxyHeader({bytes_.data(), received_});
    if (const auto* header = std::get_if<ProxyHeader>(&result)) {
        finish(header->client.value_or(proxy_));
        return;
    }
    const auto* incomplete = std::get_if<ProxyHeaderIncomplete>(&result);
    if (incomplete == nullptr || incomplete->missing > bytes_.size() - received_) {
        finish(std::nullopt);
        return;
    }
    asio::async_read(socket_, asio::buffer(bytes_.data() + received_, incomplete->missing),
                     [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
                         self->received_ += n;
                         ec ? self->finish(std::nullopt) : self->readMore();
                     });
}

void ProxyHeaderReader::finish(std::optional<tcp::endpoint> client) {
    timer_.cancel();
    if (!client) closeSocket();
    std::exchange(done_, nullptr)(std::move(socket_), client);
}

void ProxyHeaderReader::closeSocket() {
    boost::system::error_code ignored;
    socket_.close(ignored);
}

}  // namespace duoquill::relay
