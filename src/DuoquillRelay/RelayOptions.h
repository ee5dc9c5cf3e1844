#pragma once
// What the relay is told on its command line: where to listen, how to speak TLS, and the
// limits and timings it enforces. The defaults are the values a deployment should use;
// tests shorten the timings.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "DuoquillRelay/ProxyHeader.h"

namespace duoquill::relay {

struct HostAndPort {
    std::string host;
    std::uint16_t port = 0;  // 0: the system picks one (reported in a start-up line)
};

struct RelayOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;  // 0: the system picks one (reported in the "listening on" line)
    std::string certificateFile;
    std::string privateKeyFile;
    bool plain = false;  // ws:// for use behind a TLS-terminating proxy
    unsigned threads = 1;
    bool quiet = false;
    // Client addresses in the log. Off by default: with the room tags they would link the two
    // addresses of each conversation for the day.
    bool logAddresses = false;
    // Where plain HTTP GET /metrics is answered; none by default.
    std::optional<HostAndPort> metrics;
    // Proxies whose connections start with a PROXY header naming the client; when set, every
    // other connection is refused. Empty: no header is read.
    std::vector<AddressPrefix> proxyProtocolFrom;

    std::size_t maxConnections = 20000;
    std::size_t maxConnectionsPerAddress = 64;  // 0: no per-address limit
    // IPv6 clients are counted per prefix of this length: one host is handed a whole /64.
    unsigned ipv6PrefixLength = 64;

    std::chrono::milliseconds pingInterval{20000};
    std::chrono::milliseconds idleTimeout{60000};
    std::chrono::milliseconds handshakeTimeout{10000};
    // A TLS handshake holds the most memory of the opening (MemoryBudget::kOpeningTlsBytes), so it
    // has a bound of its own, counted from acceptance.
    std::chrono::milliseconds tlsHandshakeTimeout{10000};
    // Bounds the closing handshake so a peer that never answers cannot hold a connection.
    std::chrono::milliseconds closeTimeout{5000};

    // A member whose queued frames could not be written for this long is dropped; a message
    // sent in fragments must be complete within handshakeTimeout of its first bytes.
    std::chrono::milliseconds writeTimeout{15000};

    // The largest frame a client sends is a tunnel frame of 90144 characters.
    std::size_t maxFrameBytes = 96 * 1024;
    // What a lone member's sent frames are kept up to, for the member that joins later.
    std::size_t backlogFrames = 16;
    std::size_t backlogBytes = 128 * 1024;
    // A member that does not read what its peer sends is dropped past this many queued bytes.
    std::size_t maxQueuedBytes = 1024 * 1024;
    // All queues, kept frames and unfinished messages together; 0: MemoryBudget's default.
    std::size_t memoryBudgetBytes = 0;
};

// A command line that cannot be used; what() is the sentence shown to the operator.
class RelayOptionsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RelayCommandLine {
    RelayOptions options;
    bool helpRequested = false;
    bool versionRequested = false;
};

// Reads the arguments after the program name. Throws RelayOptionsError.
RelayCommandLine parseRelayCommandLine(const std::vector<std::string>& arguments);

// The --help text, ending with a line feed.
std::string relayUsage();

}  // namespace duoquill::relay
