#include "DuoquillRelay/RelayServer.h"

#include <boost/asio/post.hpp>
#include "DuoquillRelay/Listener.h"
#include "DuoquillRelay/MetricsListener.h"
#include "DuoquillRelay/RelaySession.h"
#include "DuoquillRelay/RelayState.h"
#include "DuoquillRelay/TlsCertificates.h"

namespace duoquill::relay {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

tcp::endpoint endpointOf(const std::string& host, std::uint16_t port, const char* purpose) {
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (ec) throw RelayServerError(std::string("cannot ") + purpose + " on \"" + host + "\": not an IP address");
    return {address, port};
}

}  // namespace

RelayServer::RelayServer(RelayThreads& threads, const RelayOptions& options)
    : threads_(threads),
      strand_(asio::make_strand(threads.main())),
      state_(std::make_shared<RelayState>(options)),
      forceTimer_(strand_) {
    if (!options.plain) {
        try {
            tls_ = std::make_unique<TlsCertificates>(options.certificateFile, options.privateKeyFile);
        } catch (const TlsCertificatesError& e) {
            throw RelayServerError(e.what());
        }
    }
    const tcp::endpoint endpoint = endpointOf(options.host, options.port, "listen");
    try {
        listener_ = std::make_shared<Listener>(threads, endpoint, tls_.get(), state_);
    } catch (const boost::system::system_error& e) {
        throw RelayServerError("cannot listen on " + endpointText(endpoint) + ": " + e.code().message());
    }
    if (options.metrics) {
        const tcp::endpoint metrics = endpointOf(options.metrics->host, options.metrics->port, "serve metrics");
        try {
            metricsListener_ = std::make_shared<MetricsListener>(threads.main(), metrics, state_);
        } catch (const boost::system::system_error& e) {
            throw RelayServerError("cannot serve metrics on " + endpointText(metrics) + ": " + e.code().message());
        }
        metricsListener_->start();
    }
    listener_->start();
}

RelayServer::~RelayServer() = default;

tcp::endpoint RelayServer::localEndpoint() const { return listener_->localEndpoint(); }

std::optional<tcp::endpoint> RelayServer::metricsEndpoint() const {
    if (!metricsListener_) return std::nullopt;
    return metricsListener_->localEndpoint();
}

void RelayServer::shutdown() {
    asio::post(strand_, [this] {
        if (shuttingDown_) return;
        shuttingDown_ = true;
        listener_->stop();
        if (metricsListener_) metricsListener_->stop();
        forceTimer_.expires_after(state_->options().closeTimeout + std::chrono::seconds(1));
        forceTimer_.async_wait([this](boost::system::error_code ec) {
            if (!ec) forceClose();
        });
        state_->beginStopping([this] {
            asio::post(strand_, [this] {
                forceTimer_.cancel();
                threads_.release();
            });
        });
        for (const auto& session : state_->liveSessions()) session->goAway();
    });
}

void RelayServer::forceClose() {
    for (const auto& session : state_->liveSessions()) session->abort();
}

void RelayServer::reloadCertificates() {
    if (!tls_) return;
    // A failure is logged under --quiet too: the operator believes the renewal went through.
    const auto [reloaded, line] = tls_->reload();
    reloaded ? state_->log().write(line) : state_->log().writeEvenWhenQuiet(line);
}

std::string RelayServer::tlsGroups() const { return tls_ ? tls_->groups() : std::string(); }

std::size_t RelayServer::connectionCount() const { return state_->sessionCount(); }

std::size_t RelayServer::roomCount() const { return state_->registry().roomCount(); }

}  // namespace duoquill::relay
