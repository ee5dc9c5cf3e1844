#pragma once
// The relay as a whole, on the threads the caller runs: the TLS context, the listener and the
// shared state of all connections. The threads run out of work once shutdown() has closed
// everything.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <memory>
#include <optional>
#include <stdexcept>

#include "DuoquillRelay/RelayOptions.h"
#include "DuoquillRelay/RelayThreads.h"

namespace duoquill::relay {

class Listener;
class MetricsListener;
class RelayState;
class TlsCertificates;

// The server cannot start: bad certificate or key, address not usable. what() says which.
class RelayServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RelayServer {
public:
    // Loads the certificate and key (unless plain), binds and starts accepting.
    // `threads` must outlive the server.
    RelayServer(RelayThreads& threads, const RelayOptions& options);
    ~RelayServer();
    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    boost::asio::ip::tcp::endpoint localEndpoint() const;
    // Where GET /metrics is answered; none unless the options name an address.
    std::optional<boost::asio::ip::tcp::endpoint> metricsEndpoint() const;

    // Stops accepting and closes every connection with 1001 "going away"; a connection that
    // does not finish its closing handshake in time is dropped. Returns at once; safe from
    // any thread and more than once.
    void shutdown();

    // Reads --cert and --key again for the connections opened from now on; open ones keep
    // theirs. A pair that does not load leaves the one in use. Logs one line either way (a
    // failure even when the log is off).
    void reloadCertificates();
    // The TLS key exchange groups offered ("X25519:P-256:P-384"); empty when plain.
    std::string tlsGroups() const;

    std::size_t connectionCount() const;
    std::size_t roomCount() const;

private:
    void forceClose();

    RelayThreads& threads_;
    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    std::unique_ptr<TlsCertificates> tls_;
    std::shared_ptr<RelayState> state_;
    std::shared_ptr<Listener> listener_;
    std::shared_ptr<MetricsListener> metricsListener_;
    boost::asio::steady_timer forceTimer_;
    bool shuttingDown_ = false;
};

}  // namespace duoquill::relay
