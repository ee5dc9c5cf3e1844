#pragma once
// Reads the PROXY header a trusted proxy sends before anything else on a connection: exactly
// its bytes, so that the TLS or HTTP after it stays in the socket for the session, and by the
// connection's opening deadline. Runs on the socket's strand.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "DuoquillRelay/ProxyHeader.h"

namespace duoquill::relay {

class ProxyHeaderReader : public std::enable_shared_from_this<ProxyHeaderReader> {
public:
    // Gets the socket back with the client the header names (the proxy itself for LOCAL or
    // UNKNOWN), or with no client, the socket closed, when the header was missing, invalid or
    // late.
    using Done = std::function<void(boost::asio::ip::tcp::socket, std::optional<boost::asio::ip::tcp::endpoint>)>;

    static std::shared_ptr<ProxyHeaderReader> start(boost::asio::ip::tcp::socket socket,
                                                    boost::asio::ip::tcp::endpoint proxy,
                                                    std::chrono::steady_clock::time_point deadline, Done done);

    // Ends the read now (the relay is stopping); safe from any thread.
    void cancel();

private:
    ProxyHeaderReader(boost::asio::ip::tcp::socket socket, boost::asio::ip::tcp::endpoint proxy, Done done);
    void readMore();
    void finish(std::optional<boost::asio::ip::tcp::endpoint> client);
    void closeSocket();

    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer timer_;
    const boost::asio::ip::tcp::endpoint proxy_;
    Done done_;
    std::array<std::uint8_t, maxProxyHeaderBytes> bytes_{};
    std::size_t received_ = 0;
};

}  // namespace duoquill::relay
