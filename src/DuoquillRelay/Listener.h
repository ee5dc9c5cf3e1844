#pragma once
// Accepts TCP connections, reads the PROXY header of those from trusted proxies, applies the
// connection caps and starts a RelaySession for each connection admitted, on the threads in turn.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "DuoquillRelay/RelayThreads.h"

namespace duoquill::relay {

class TlsCertificates;

class ProxyHeaderReader;
class RelayState;

// "127.0.0.1:8443", "[::1]:8443".
std::string endpointText(const boost::asio::ip::tcp::endpoint& endpoint);

class Listener : public std::enable_shared_from_this<Listener> {
public:
    // Binds and listens at once; throws boost::system::system_error when the address is taken
    // or not local. `tls` may be null (plain ws://); it must outlive every connection.
    Listener(RelayThreads& threads, const boost::asio::ip::tcp::endpoint& endpoint,
             TlsCertificates* tls, std::shared_ptr<RelayState> state);

    boost::asio::ip::tcp::endpoint localEndpoint() const { return localEndpoint_; }

    void start();
    // Stops accepting; safe from any thread.
    void stop();

private:
    void acceptNext();
    void onAccept(boost::system::error_code ec, RelaySocket socket);
    void readProxyHeader(RelaySocket socket, const boost::asio::ip::tcp::endpoint& proxy,
                         std::chrono::steady_clock::time_point deadline);
    // On the listener's strand, or on the connection's once its PROXY header is read. A
    // connection that cannot be set up is dropped alone, with a log line.
    void admit(RelaySocket socket, const boost::asio::ip::tcp::endpoint& client,
               std::chrono::steady_clock::time_point deadline);

    enum class Refused { perAddress, inAll, notThroughProxy, overBudget };
    // Refusals are counted and logged as one line per interval, so a flood of them cannot
    // flood the log. Safe from any strand.
    void countRefusal(Refused why);
    void logRefusals();
    // A burst of openings leaves the handshakes' freed memory between the connections that
    // stay; once accepting has been quiet for a while, the pages wholly free are given back.
    void trimAfterBurst();

    RelayThreads& threads_;
    boost::asio::strand<boost::asio::io_context::executor_type> strand_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retryTimer_;
    boost::asio::steady_timer refusalTimer_;
    boost::asio::steady_timer trimTimer_;
    std::size_t acceptedSinceTrim_ = 0;
    bool acceptedSinceCheck_ = false;
    bool trimPending_ = false;
    std::size_t refusedPerAddress_ = 0, refusedInAll_ = 0, refusedNotThroughProxy_ = 0, refusedOverBudget_ = 0;
    // Header reads still going on, which a stop ends at once.
    std::vector<std::weak_ptr<ProxyHeaderReader>> headerReads_;
    std::size_t pruneHeaderReadsAt_ = 64;
    boost::asio::ip::tcp::endpoint localEndpoint_;
    TlsCertificates* tls_;
    std::shared_ptr<RelayState> state_;
    bool stopped_ = false;
};

}  // namespace duoquill::relay
