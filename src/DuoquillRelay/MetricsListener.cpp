#include "DuoquillRelay/MetricsListener.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <optional>
#include <string_view>

#include "DuoquillRelay/RelayState.h"

namespace duoquill::relay {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

// A scraper asks once in a while; more at once than this is someone else.
constexpr unsigned kMaxExchanges = 8;
// The whole exchange, from acceptance to the last byte of the answer.
constexpr std::chrono::seconds kExchangeTimeLimit{3};
// A scraper's request head is a few hundred bytes.
constexpr std::size_t kRequestHeadLimit = 2048;
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

RelayMetrics::Gauges gaugesOf(RelayState& state) {
    const auto rooms = state.registry().occupancy();
    return {state.sessionCount(), rooms.lone, rooms.paired, state.budget().used(), state.budget().limit()};
}

}  // namespace

class MetricsListener::Exchange : public std::enable_shared_from_this<Exchange> {
public:
    // Holds one of the listener's places until it is destroyed.
    Exchange(tcp::socket socket, std::shared_ptr<MetricsListener> listener)
        : stream_(std::move(socket)), listener_(std::move(listener)) {
        parser_.header_limit(kRequestHeadLimit);
        parser_.body_limit(0);
    }
    ~Exchange() { listener_->exchanges_.fetch_sub(1, std::memory_order_relaxed); }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    void run() {
        stream_.expires_after(kExchangeTimeLimit);
        http::async_read(stream_, buffer_, parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            // A request that cannot be read is not answered: the connection just ends.
            if (!ec) self->answer(self->parser_.get());
        });
    }

private:
    void answer(const http::request<http::empty_body>& request) {
        const std::string_view target = request.target();
        response_.version(request.version());
        response_.set(http::field::server, "duoquill-relay");
        response_.keep_alive(false);
        if (target.substr(0, target.find('?')) != "/metrics") {
            response_.result(http::status::not_found);
        } else if (request.method() != http::verb::get) {
            response_.result(http::status::method_not_allowed);
            response_.set(http::field::allow, "GET");
        } else {
            response_.result(http::status::ok);
            response_.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
            response_.body() = listener_->state_->metrics().render(gaugesOf(*listener_->state_));
        }
        if (response_.result() != http::status::ok) {
            response_.set(http::field::content_type, "text/plain");
            response_.body() = std::string(http::obsolete_reason(response_.result())) + "\n";
        }
        response_.prepare_payload();
        http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code, std::size_t) {
            beast::error_code ignored;
            self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        });
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_{kRequestHeadLimit};
    http::request_parser<http::empty_body> parser_;
    http::response<http::string_body> response_;
    const std::shared_ptr<MetricsListener> listener_;
};

MetricsListener::MetricsListener(asio::io_context& context, const tcp::endpoint& endpoint,
                                 std::shared_ptr<RelayState> state)
    : context_(context),
      strand_(asio::make_strand(context)),
      acceptor_(strand_),
      retryTimer_(strand_),
      state_(std::move(state)) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    localEndpoint_ = acceptor_.local_endpoint();
}

void MetricsListener::start() {
    asio::post(strand_, [self = shared_from_this()] { self->acceptNext(); });
}

void MetricsListener::stop() {
    asio::post(strand_, [self = shared_from_this()] {
        self->stopped_ = true;
        boost::system::error_code ignored;
        self->acceptor_.close(ignored);
        self->retryTimer_.cancel();
    });
}

void MetricsListener::acceptNext() {
    if (stopped_) return;
    acceptor_.async_accept(asio::make_strand(context_),
                           [self = shared_from_this()](boost::system::error_code ec, tcp::socket socket) {
                               self->onAccept(ec, std::move(socket));
                           });
}

void MetricsListener::onAccept(boost::system::error_code ec, tcp::socket socket) {
    if (stopped_ || ec == asio::error::operation_aborted) return;
    if (ec) {
        // Out of descriptors, most likely: accepting again at once would spin.
        retryTimer_.expires_after(kAcceptRetryDelay);
        retryTimer_.async_wait([self = shared_from_this()](boost::system::error_code waitError) {
            if (!waitError) self->acceptNext();
        });
        return;
    }
    if (exchanges_.fetch_add(1, std::memory_order_relaxed) >= kMaxExchanges) {
        exchanges_.fetch_sub(1, std::memory_order_relaxed);
        boost::system::error_code ignored;
        socket.close(ignored);
    } else {
        std::make_shared<Exchange>(std::move(socket), shared_from_this())->run();
    }
    acceptNext();
}

}  // namespace duoquill::relay
