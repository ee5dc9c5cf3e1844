#include "DuoquillRelay/Listener.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <algorithm>

#include "DuoquillRelay/ProxyHeaderReader.h"
#include "DuoquillRelay/RelaySession.h"
#include "DuoquillRelay/RelayState.h"
#include "DuoquillRelay/TlsCertificates.h"

namespace duoquill::relay {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// Out of descriptors: accepting again at once would spin, so wait a little.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
// Accepting quiet this long ends a burst; a burst this large is worth walking the heap for.
constexpr std::chrono::milliseconds kQuietAfterBurst{400};
constexpr std::size_t kTrimAfterAccepts = 64;
constexpr std::chrono::seconds kRefusalLogInterval{10};

}  // namespace

std::string endpointText(const tcp::endpoint& endpoint) {
    const auto address = endpoint.address();
    return address.is_v6() ? "[" + address.to_string() + "]:" + std::to_string(endpoint.port())
                           : address.to_string() + ":" + std::to_string(endpoint.port());
}

Listener::Listener(RelayThreads& threads, const tcp::endpoint& endpoint, TlsCertificates* tls,
                   std::shared_ptr<RelayState> state)
    : threads_(threads),
      strand_(asio::make_strand(threads.main())),
      acceptor_(strand_),
      retryTimer_(strand_),
      refusalTimer_(strand_),
      trimTimer_(strand_),
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
        self->trimTimer_.cancel();
        for (const auto& read : self->headerReads_) {
            if (const auto reader = read.lock()) reader->cancel();
        }
        self->logRefusals();
    });
}

void Listener::acceptNext() {
    if (stopped_) return;
    acceptor_.async_accept(threads_.next(),
                           [self = shared_from_this()](boost::system::error_code ec, RelaySocket socket) {
                               self->onAccept(ec, std::move(socket));
                           });
}

void Listener::onAccept(boost::system::error_code ec, RelaySocket socket) {
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
    ++acceptedSinceTrim_;
    acceptedSinceCheck_ = true;
    if (!trimPending_ && acceptedSinceTrim_ >= kTrimAfterAccepts) trimAfterBurst();
    boost::system::error_code peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    if (!peerError) {
        const auto deadline = std::chrono::steady_clock::now() + state_->options().handshakeTimeout;
        const auto& proxies = state_->options().proxyProtocolFrom;
        if (proxies.empty()) {
            admit(std::move(socket), peer, deadline);
        } else if (std::ranges::any_of(proxies, [&](const AddressPrefix& p) { return p.contains(peer.address()); })) {
            readProxyHeader(std::move(socket), peer, deadline);
        } else {
            countRefusal(Refused::notThroughProxy);
            state_->metrics().refused(RelayMetrics::Refusal::proxyHeader);
            boost::system::error_code ignored;
            socket.close(ignored);
        }
    }
    acceptNext();
}

void Listener::trimAfterBurst() {
    trimPending_ = true;
    acceptedSinceCheck_ = false;
    trimTimer_.expires_after(kQuietAfterBurst);
    trimTimer_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
        if (ec || self->stopped_) return;
        if (self->acceptedSinceCheck_) {
            self->trimAfterBurst();
            return;
        }
        self->trimPending_ = false;
        self->acceptedSinceTrim_ = 0;
        giveFreeMemoryBack();
    });
}

void Listener::readProxyHeader(RelaySocket socket, const tcp::endpoint& proxy,
                               std::chrono::steady_clock::time_point deadline) {
    if (headerReads_.size() >= pruneHeaderReadsAt_) {
        std::erase_if(headerReads_, [](const auto& read) { return read.expired(); });
        pruneHeaderReadsAt_ = std::max<std::size_t>(64, headerReads_.size() * 2);
    }
    headerReads_.push_back(ProxyHeaderReader::start(
        std::move(socket), proxy, deadline,
        [self = shared_from_this(), deadline](RelaySocket connection, std::optional<tcp::endpoint> client) {
            if (!client) {
                self->countRefusal(Refused::notThroughProxy);
                self->state_->metrics().refused(RelayMetrics::Refusal::proxyHeader);
            } else if (!self->state_->stopping()) {
                self->admit(std::move(connection), *client, deadline);
            }
        }));
}

void Listener::admit(RelaySocket socket, const tcp::endpoint& client, std::chrono::steady_clock::time_point deadline) {
    // Whatever fails here is this connection's alone: the relay serves every other one on.
    std::uint64_t id = 0;
    try {
        ConnectionLimiter::Refusal refusal{};
        auto slot = state_->limiter().admit(client.address(), refusal);
        if (!slot) {
            const bool perAddress = refusal == ConnectionLimiter::Refusal::tooManyFromAddress;
            state_->metrics().refused(perAddress ? RelayMetrics::Refusal::addressCap : RelayMetrics::Refusal::connectionCap);
            countRefusal(perAddress ? Refused::perAddress : Refused::inAll);
            boost::system::error_code ignored;
            socket.close(ignored);
            return;
        }
        // Charged before OpenSSL sees a byte: with the budget spent, no handshake is begun.
        MemoryBudget::Charge opening(&state_->budget());
        if (!opening.grow(tls_ != nullptr ? MemoryBudget::kOpeningTlsBytes : MemoryBudget::kOpeningPlainBytes)) {
            state_->metrics().refused(RelayMetrics::Refusal::memoryBudget);
            countRefusal(Refused::overBudget);
            boost::system::error_code ignored;
            socket.close(ignored);
            return;
        }
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        id = state_->nextConnectionId();
        const RelayLog& log = state_->log();
        if (log.enabled()) {
            log.write("#" + std::to_string(id) + " accepted" +
                      (state_->options().logAddresses ? " from " + endpointText(client) : std::string()));
        }
        RelaySession::start(std::move(socket), tls_ != nullptr ? tls_->current().get() : nullptr, state_, std::move(slot),
                            std::move(opening), id, deadline, threads_);
    } catch (const std::exception& e) {
        state_->metrics().refused(RelayMetrics::Refusal::setupFailed);
        const RelayLog& log = state_->log();
        if (log.enabled()) log.write((id != 0 ? "#" + std::to_string(id) : std::string("a connection")) + " not served: " + e.what());
    }
}

void Listener::countRefusal(Refused why) {
    asio::dispatch(strand_, [self = shared_from_this(), why] {
        const bool first =
            self->refusedPerAddress_ + self->refusedInAll_ + self->refusedNotThroughProxy_ + self->refusedOverBudget_ == 0;
        ++(why == Refused::perAddress ? self->refusedPerAddress_
           : why == Refused::inAll    ? self->refusedInAll_
           : why == Refused::overBudget ? self->refusedOverBudget_
                                      : self->refusedNotThroughProxy_);
        if (!first || self->stopped_) return;
        self->refusalTimer_.expires_after(kRefusalLogInterval);
        self->refusalTimer_.async_wait([self](boost::system::error_code ec) {
            if (!ec) self->logRefusals();
        });
    });
}

void Listener::logRefusals() {
    const std::size_t total = refusedPerAddress_ + refusedInAll_ + refusedNotThroughProxy_ + refusedOverBudget_;
    if (total == 0) return;
    if (state_->log().enabled()) {
        std::string line = "refused " + std::to_string(total) + " connection(s): " +
                           std::to_string(refusedPerAddress_) + " over the per-address limit, " +
                           std::to_string(refusedInAll_) + " over the total limit";
        if (!state_->options().proxyProtocolFrom.empty()) {
            line += ", " + std::to_string(refusedNotThroughProxy_) + " without a valid PROXY header from a trusted proxy";
        }
        if (refusedOverBudget_ != 0) line += ", " + std::to_string(refusedOverBudget_) + " with the memory budget spent";
        state_->log().write(line);
    }
    refusedPerAddress_ = refusedInAll_ = refusedNotThroughProxy_ = refusedOverBudget_ = 0;
}

}  // namespace duoquill::relay
