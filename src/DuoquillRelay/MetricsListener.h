#pragma once
// Answers plain HTTP "GET /metrics" with the relay's metrics in the Prometheus text format,
// one request per connection: 404 for any other path, 405 for any other method. It has no
// authentication, so what a client can make it hold is bounded instead: a few connections
// at once, a small request head, and a short time limit for the whole exchange.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <memory>

namespace duoquill::relay {

class RelayState;

class MetricsListener : public std::enable_shared_from_this<MetricsListener> {
public:
    // Binds and listens at once; throws boost::system::system_error when the address is taken
    // or not local.
    MetricsListener(boost::asio::io_context& context, const boost::asio::ip::tcp::endpoint& endpoint,
                    std::shared_ptr<RelayState> state);

    boost::asio::ip::tcp::endpoint localEndpoint() const { return localEndpoint_; }

    void start();
    // Stops accepting; safe from any thread. An exchange under way ends within its time limit.
    void stop();

private:
    class Exchange;

    void acceptNext();
    void onAccept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);

    boost::asio::io_context& context_;
    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retryTimer_;
    boost::asio::ip::tcp::endpoint localEndpoint_;
    std::shared_ptr<RelayState> state_;
    std::atomic<unsigned> exchanges_{0};  // connections being answered
    bool stopped_ = false;
};

}  // namespace duoquill::relay
