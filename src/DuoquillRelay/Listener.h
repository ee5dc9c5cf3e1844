#pragma once
// Accepts TCP connections, applies the connection caps and starts a RelaySession on its own
// strand for each connection admitted.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <memory>
#include <string>

namespace duoquill::relay {

class RelayState;

// "127.0.0.1:8443", "[::1]:8443".
std::string endpointText(const boost::asio::ip::tcp::endpoint& endpoint);

class Listener : public std::enable_shared_from_this<Listener> {
public:
    // Binds and listens at once; throws boost::system::system_error when the address is taken
    // or not local. `tls` may be null (plain ws://); it must outlive every connection.
    Listener(boost::asio::io_context& context, const boost::asio::ip::tcp::endpoint& endpoint,
             boost::asio::ssl::context* tls, std::shared_ptr<RelayState> state);

    boost::asio::ip::tcp::endpoint localEndpoint() const { return localEndpoint_; }

    void start();
    // Stops accepting; safe from any thread.
    void stop();

private:
    void acceptNext();
    void onAccept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);
    // Refusals are counted and logged as one line per interval, so a flood of them cannot
    // flood the log.
    void countRefusal(bool perAddress);
    void logRefusals();

    boost::asio::io_context& context_;
    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retryTimer_;
    boost::asio::steady_timer refusalTimer_;
    std::size_t refusedPerAddress_ = 0, refusedInAll_ = 0;
    boost::asio::ip::tcp::endpoint localEndpoint_;
    boost::asio::ssl::context* tls_;
    std::shared_ptr<RelayState> state_;
    bool stopped_ = false;
};

}  // namespace duoquill::relay
