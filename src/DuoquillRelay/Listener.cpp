#include "DuoquillRelay/Listener.h"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "DuoquillRelay/RelaySession.h"
#include "DuoquillRelay/RelayState.h"

namespace duoquill::relay {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// Out of descriptors: accepting again at once would spin, so wait a little.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
constexpr std::chrono::seconds kRefusalLogInterval{10};

}  // namespace

std::string endpointText(const tcp::endpoint& endpoint) {
    const auto address = endpoint.address();
    return address.is_v6() ? "[" + address.to_string() + "]:" + std::to_string(endpoint.port())
                           : address.to_string() + ":" + std::to_string(endpoint.port());
}

Listener::Listener(asio::io_context& context, const tcp::endpoint& endpoint, asio::ssl::context* tls,
                   std::shared_ptr<RelayState> state)
    : context_(context),
      strand_(asio::make_strand(context)),
      acceptor_(strand_),
      retryTimer_(strand_),
      refusalTimer_(strand_),
      tls_(tls),
      state_(std::move(state)) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    localEndpoint_ = acceptor_.local_endpoint();
}

void Listener::start() {
    asio::post(strand_, [self = shared_from_this()] { self->acceptNext(); });
}

void Listener::stop() {
    asio::post(strand_, [self = shared_from_this()] {
        self->stopped_ = true;
        boost::system::error_code ignored;
        self->acceptor_.close(ignored);
        self->retryTimer_.cancel();
        self->refusalTimer_.cancel();
        self->logRefusals();
    });
}

void Listener::acceptNext() {
    if (stopped_) return;
    acceptor_.async_accept(asio::make_strand(context_),
                           [self = shared_from_this()](boost::system::error_code ec, tcp::socket socket) {
                               self->onAccept(ec, std::move(socket));
                           });
}

void Listener::onAccept(boost::system::error_code ec, tcp::socket socket) {
    if (stopped_ || ec == asio::error::operation_aborted) return;
    const RelayLog& log = state_->log();
    if (ec) {
        if (log.enabled()) log.write("accept failed: " + ec.message());
        retryTimer_.expires_after(kAcceptRetryDelay);
        retryTimer_.async_wait([self = shared_from_this()](boost::system::error_code waitError) {
            if (!waitError) self->acceptNext();
        });
        return;
    }
    boost::system::error_code peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    if (peerError) {
        acceptNext();
        return;
    }
    ConnectionLimiter::Refusal refusal{};
    auto slot = state_->limiter().admit(peer.address(), refusal);
    if (!slot) {
        const bool perAddress = refusal == ConnectionLimiter::Refusal::tooManyFromAddress;
        state_->metrics().refused(perAddress ? RelayMetrics::Refusal::addressCap : RelayMetrics::Refusal::connectionCap);
        countRefusal(perAddress);
        boost::system::error_code ignored;
        socket.close(ignored);
        acceptNext();
        return;
    }
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    const std::uint64_t id = state_->nextConnectionId();
    if (log.enabled()) {
        log.write("#" + std::to_string(id) + " accepted" +
                  (state_->options().logAddresses ? " from " + endpointText(peer) : std::string()));
    }
    RelaySession::start(std::move(socket), tls_, state_, std::move(slot), id);
    acceptNext();
}

void Listener::countRefusal(bool perAddress) {
    const bool first = refusedPerAddress_ + refusedInAll_ == 0;
    ++(perAddress ? refusedPerAddress_ : refusedInAll_);
    if (!first) return;
    refusalTimer_.expires_after(kRefusalLogInterval);
    refusalTimer_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
        if (!ec) self->logRefusals();
    });
}

void Listener::logRefusals() {
    if (refusedPerAddress_ + refusedInAll_ == 0) return;
    if (state_->log().enabled()) {
        state_->log().write("refused " + std::to_string(refusedPerAddress_ + refusedInAll_) + " connection(s): " +
                            std::to_string(refusedPerAddress_) + " over the per-address limit, " +
                            std::to_string(refusedInAll_) + " over the total limit");
    }
    refusedPerAddress_ = refusedInAll_ = 0;
}

}  // namespace duoquill::relay
