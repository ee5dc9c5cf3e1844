#pragma once
// Reads the PROXY header a trusted proxy sends before anything else on a connection: exactly
// its bytes, so that the TLS or HTTP after it stays in the socket for the session, and by the
// connection's opening deadline. Runs on the socket's thread.

#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "DuoquillRelay/ProxyHeader.h"
#include "DuoquillRelay/RelayThreads.h"

namespace duoquill::relay {

class ProxyHeaderReader : public std::enable_shared_from_this<ProxyHeaderReader> {
public:
    // Gets the socket back with the client the header names (the proxy itself for LOCAL or
    // UNKNOWN), or with no client, the socket closed, when the header was missing, invalid or
    // late.
    using Done = std::function<void(RelaySocket, std::optional<boost::asio::ip::tcp::endpoint>)>;

    static std::shared_ptr<ProxyHeaderReader> start(RelaySocket socket,
                                                    boost::asio::ip::tcp::endpoint proxy,
                                                    std::chrono::steady_clock::time_point deadline, Done done);

    // Ends the read now (the relay is stopping); safe from any thread.
    void cancel();

private:
    ProxyHeaderReader(RelaySocket socket, boost::asio::ip::tcp::endpoint proxy, Done done);
    void readMore();
    void finish(std::optional<boost::asio::ip::tcp::endpoint> client);
    void closeSocket();

    RelaySocket socket_;
    RelayTimer timer_;
    const boost::asio::ip::tcp::endpoint proxy_;
    Done done_;
    std::array<std::uint8_t, maxProxyHeaderBytes> bytes_{};
    std::size_t received_ = 0;
};

}  // namespace duoquill::relay
