#pragma once
// A SOCKS5 proxy of the tests' own on 127.0.0.1, on a thread of its own: it records what each
// client asked for (methods offered, credentials, address type, address, port) and relays the
// bytes both ways. Domain names are looked up only in its own table, so a name that only it
// knows reaches the relay only if the client left the resolving to it. It can be told to
// refuse: a CONNECT reply code, the credentials, or raw bytes in place of the CONNECT reply.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace duoquill::test {

class Socks5TestProxy {
public:
    struct Options {
        // Name -> IP address; every other name gets "host unreachable" (4). Credentials are
        // asked for whenever the client offers them; IPv6 addresses are not supported (8).
        std::map<std::string, std::string> names{};
        bool refusesCredentials = false;
        // Sent in place of the CONNECT reply, then the connection is closed.
        std::optional<std::vector<std::uint8_t>> rawReply{};
    };

    struct Request {
        std::vector<std::uint8_t> methods;
        std::string username, password;
        std::uint8_t addressType = 0;
        std::string address;  // the name, or an IPv4 address in text form
        std::uint16_t port = 0;
    };

    explicit Socks5TestProxy(Options options);
    ~Socks5TestProxy();

    std::uint16_t port() const;
    // "socks5h://127.0.0.1:PORT"
    std::string url() const;
    // One per CONNECT request received, in arrival order.
    std::vector<Request> requests() const;

private:
    boost::asio::awaitable<void> accept();
    boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket client);

    Options options_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::thread thread_;
};

}  // namespace duoquill::test
