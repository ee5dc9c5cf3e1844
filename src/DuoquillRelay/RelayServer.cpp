#include "DuoquillRelay/RelayServer.h"

#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>

#include <openssl/ssl.h>

#include "Duoquill/Platform/Primitives/TlsPolicy.h"
#include "DuoquillRelay/Listener.h"
#include "DuoquillRelay/MetricsListener.h"
#include "DuoquillRelay/RelaySession.h"
#include "DuoquillRelay/RelayState.h"
#include "DuoquillRelay/TlsSocketStream.h"

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

asio::ssl::context makeTlsContext(const RelayOptions& options) {
    asio::ssl::context tls(asio::ssl::context::tls_server);
    tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                    asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1 |
                    asio::ssl::context::single_dh_use);
    tls::applyPolicy(tls.native_handle());
    // Idle connections give their record buffers back to the allocator.
    SSL_CTX_set_mode(tls.native_handle(), SSL_MODE_RELEASE_BUFFERS);
    // Clients make a fresh connection per session; resumption state would only cost memory.
    SSL_CTX_set_session_cache_mode(tls.native_handle(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(tls.native_handle(), 0);
    TlsSocketStream::prepareContext(tls.native_handle());
    try {
        tls.use_certificate_chain_file(options.certificateFile);
    } catch (const boost::system::system_error& e) {
        throw RelayServerError("cannot use certificate file \"" + options.certificateFile + "\": " + e.what());
    }
    try {
        tls.use_private_key_file(options.privateKeyFile, asio::ssl::context::pem);
    } catch (const boost::system::system_error& e) {
        throw RelayServerError("cannot use key file \"" + options.privateKeyFile + "\": " + e.what());
    }
    if (SSL_CTX_check_private_key(tls.native_handle()) != 1) {
        throw RelayServerError("the key in \"" + options.privateKeyFile + "\" does not match the certificate");
    }
    return tls;
}

}  // namespace

RelayServer::RelayServer(RelayThreads& threads, const RelayOptions& options)
    : threads_(threads),
      strand_(asio::make_strand(threads.main())),
      state_(std::make_shared<RelayState>(options)),
      forceTimer_(strand_) {
    if (!options.plain) tls_.emplace(makeTlsContext(options));
    const tcp::endpoint endpoint = endpointOf(options.host, options.port, "listen");
    try {
        listener_ = std::make_shared<Listener>(threads, endpoint, tls_ ? &*tls_ : nullptr, state_);
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

std::size_t RelayServer::connectionCount() const { return state_->sessionCount(); }

std::size_t RelayServer::roomCount() const { return state_->registry().roomCount(); }

}  // namespace duoquill::relay
