#include "DuoquillRelay/RelayOptions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

#include "DuoquillRelay/MemoryBudget.h"

namespace duoquill::relay {
namespace {

std::size_t parseCount(const std::string& option, std::string_view text, std::size_t minimum) {
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < minimum) {
        throw RelayOptionsError(option + " needs a whole number of at least " + std::to_string(minimum) +
                                ", got \"" + std::string(text) + "\"");
    }
    return value;
}

// A count of KiB (shift 10) or MiB (shift 20), in bytes.
std::size_t parseSize(const std::string& option, std::string_view text, std::size_t minimum, unsigned shift) {
    const std::size_t value = parseCount(option, text, minimum);
    if (value > (std::size_t{1} << 40 >> shift)) throw RelayOptionsError(option + " is far too large");
    return value << shift;
}

std::chrono::milliseconds parseSeconds(const std::string& option, std::string_view text) {
    double seconds = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    // One millisecond to one day keeps the timer arithmetic far from overflow.
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds) || seconds < 0.001 ||
        seconds > 86400) {
        throw RelayOptionsError(option + " needs a number of seconds between 0.001 and 86400, got \"" +
                                std::string(text) + "\"");
    }
    return std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
}

// HOST:PORT, with an IPv6 host in brackets ("[::1]:8443").
HostAndPort parseHostAndPort(const std::string& option, std::string_view text) {
    const auto fail = [&] {
        throw RelayOptionsError(option + " needs HOST:PORT, got \"" + std::string(text) + "\"");
    };
    std::string_view host;
    std::string_view port;
    if (text.starts_with('[')) {
        const auto close = text.find("]:");
        if (close == std::string_view::npos) fail();
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos) fail();
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (host.empty() || port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535) fail();
    return {std::string(host), static_cast<std::uint16_t>(value)};
}

// FROM[,FROM...], each an address or a CIDR prefix.
std::vector<AddressPrefix> parsePrefixes(const std::string& option, std::string_view text) {
    std::vector<AddressPrefix> prefixes;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const auto prefix = parseAddressPrefix(text.substr(start, comma - start));
        if (!prefix) {
            throw RelayOptionsError(option + " needs addresses or prefixes (ADDRESS[/LENGTH]) separated by commas, got \"" +
                                    std::string(text) + "\"");
        }
        prefixes.push_back(*prefix);
        start = comma + 1;
    }
    return prefixes;
}

}  // namespace

RelayCommandLine parseRelayCommandLine(const std::vector<std::string>& arguments) {
    RelayCommandLine result;
    RelayOptions& options = result.options;
    bool listenGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size()) throw RelayOptionsError(option + " needs a value");
            return arguments[++i];
        };
        if (option == "--help" || option == "-h") {
            result.helpRequested = true;
            return result;
        } else if (option == "--version") {
            result.versionRequested = true;
            return result;
        } else if (option == "--listen") {
            auto [host, port] = parseHostAndPort(option, value());
            options.host = std::move(host);
            options.port = port;
            listenGiven = true;
        } else if (option == "--metrics") {
            options.metrics = parseHostAndPort(option, value());
        } else if (option == "--cert") {
            options.certificateFile = value();
        } else if (option == "--key") {
            options.privateKeyFile = value();
        } else if (option == "--plain") {
            options.plain = true;
        } else if (option == "--threads") {
            options.threads = static_cast<unsigned>(std::min<std::size_t>(parseCount(option, value(), 1), 256));
        } else if (option == "--quiet") {
            options.quiet = true;
        } else if (option == "--log-addresses") {
            options.logAddresses = true;
        } else if (option == "--proxy-protocol") {
            options.proxyProtocolFrom = parsePrefixes(option, value());
        } else if (option == "--max-connections") {
            options.maxConnections = parseCount(option, value(), 1);
        } else if (option == "--max-per-address") {
            options.maxConnectionsPerAddress = parseCount(option, value(), 0);
        } else if (option == "--ipv6-prefix") {
            options.ipv6PrefixLength = static_cast<unsigned>(parseCount(option, value(), 1));
            if (options.ipv6PrefixLength > 128) throw RelayOptionsError("--ipv6-prefix needs a length from 1 to 128");
        } else if (option == "--memory-budget") {
            options.memoryBudgetBytes = parseSize(option, value(), 1, 20);
        } else if (option == "--max-frame-kib") {
            options.maxFrameBytes = parseSize(option, value(), 1, 10);
        } else if (option == "--backlog-kib") {
            options.backlogBytes = parseSize(option, value(), 0, 10);
        } else if (option == "--max-queue-kib") {
            options.maxQueuedBytes = parseSize(option, value(), 1, 10);
        } else if (option == "--write-timeout") {
            options.writeTimeout = parseSeconds(option, value());
        } else if (option == "--ping-interval") {
            options.pingInterval = parseSeconds(option, value());
        } else if (option == "--idle-timeout") {
            options.idleTimeout = parseSeconds(option, value());
        } else if (option == "--handshake-timeout") {
            options.handshakeTimeout = parseSeconds(option, value());
        } else if (option == "--tls-handshake-timeout") {
            options.tlsHandshakeTimeout = parseSeconds(option, value());
        } else {
            throw RelayOptionsError("unknown option \"" + option + "\" (see --help)");
        }
    }
    if (!listenGiven) throw RelayOptionsError("--listen HOST:PORT is required");
    if (!options.plain && (options.certificateFile.empty() || options.privateKeyFile.empty())) {
        throw RelayOptionsError("--cert and --key are required unless --plain is given");
    }
    if (options.plain && (!options.certificateFile.empty() || !options.privateKeyFile.empty())) {
        throw RelayOptionsError("--plain serves ws:// and takes no --cert or --key");
    }
    return result;
}

std::string relayUsage() {
    const auto kib = [](std::size_t bytes) { return std::to_string(bytes / 1024) + " KiB"; };
    const std::string budgetMiB = std::to_string(MemoryBudget::defaultLimitBytes() >> 20);
    return "Usage: duoquill-relay --listen HOST:PORT (--cert FILE --key FILE | --plain) [options]\n"
           "\n"
           "Pairs the two connections that open the same room path and forwards every text\n"
           "frame of one to the other. A room path is \"/\" (or \"//\") followed by 128\n"
           "lower-case hexadecimal characters; any other path is answered with HTTP 404.\n"
           "\n"
           "  --listen HOST:PORT         address to accept connections on; IPv6 as [::1]:PORT;\n"
           "                             port 0 lets the system choose (see the start-up line)\n"
           "  --cert FILE                PEM certificate chain for wss://\n"
           "  --key FILE                 PEM private key of that certificate\n"
           "  --plain                    serve ws:// without TLS, for use behind a TLS-terminating\n"
           "                             proxy (then every client shares the proxy's address, so\n"
           "                             consider --max-per-address 0 or --proxy-protocol)\n"
           "  --proxy-protocol FROM[,FROM...]  connections from these proxies (addresses or\n"
           "                             CIDR prefixes) start with a PROXY header, version 2 or 1,\n"
           "                             before TLS or HTTP; its client address is the one the\n"
           "                             per-address limit and the log use (a LOCAL or UNKNOWN\n"
           "                             header keeps the proxy's). Connections without a valid\n"
           "                             header, or from elsewhere, are refused (default: off)\n"
           "  --threads N                threads serving connections (default 1)\n"
           "  --max-connections N        connections held at once (default 20000)\n"
           "  --max-per-address N        connections held at once per client address;\n"
           "                             0 for no limit (default 64)\n"
           "  --ipv6-prefix N            count IPv6 clients per prefix of N bits (default 64);\n"
           "                             IPv4-mapped addresses count as IPv4\n"
           "  --memory-budget MIB        bytes held for all connections together (opening\n"
           "                             handshakes, queued frames, kept frames, unfinished\n"
           "                             messages and TLS records); a member that would pass it\n"
           "                             is dropped or refused\n"
           "                             (default a quarter of physical memory, at most 1024:\n"
           "                             here " + budgetMiB + ")\n"
           "  --max-frame-kib N          largest frame accepted, in KiB (default 96)\n"
           "  --backlog-kib N            kept frames of a lone member, in KiB (default 128)\n"
           "  --max-queue-kib N          frames queued for a member that does not read, in KiB,\n"
           "                             before it is dropped (default 1024)\n"
           "  --write-timeout SECONDS    drop a member none of whose queued frames could be\n"
           "                             written for this long (default 15)\n"
           "  --ping-interval SECONDS    ping every member this often (default 20)\n"
           "  --idle-timeout SECONDS     drop a member nothing was received from for this long\n"
           "                             (default 60)\n"
           "  --handshake-timeout SECONDS  time allowed for the PROXY header, the TLS and\n"
           "                             WebSocket opening handshakes, and for completing a\n"
           "                             fragmented message (default 10)\n"
           "  --tls-handshake-timeout SECONDS  time allowed for the TLS handshake, from the\n"
           "                             connection's acceptance (default 10)\n"
           "  --quiet                    no log lines (otherwise one per connection event on\n"
           "                             standard error; frame contents are never logged)\n"
           "  --log-addresses            name client addresses in the log (by default they\n"
           "                             are left out; refused connections are always counted\n"
           "                             in one line per 10 seconds)\n"
           "  --metrics HOST:PORT        answer plain HTTP GET /metrics there with counters in\n"
           "                             the Prometheus text format (off by default; port 0 as\n"
           "                             for --listen); it has no authentication, so keep it on\n"
           "                             a loopback or private address\n"
           "  --version                  print the version and exit\n"
           "  --help                     this text\n"
           "\n"
           "A lone member's most recent 16 frames (128 KiB at most) are kept in memory for the\n"
           "member that joins later. Frames over the size limit close the connection with 1009,\n"
           "binary frames with 1003. SIGINT or SIGTERM closes every connection with 1001 and exits 0.\n"
           "\n"
           "A member that sends more than 32 TLS handshake messages after the handshake (key\n"
           "updates; on TLS 1.2, renegotiation requests) in a 10-second window is dropped by the\n"
           "read that carries the 33rd: at most 32 are answered per window, under 1 KiB written to\n"
           "a member that never reads. Records already read ahead behind the 33rd (up to 16.7 KB)\n"
           "may still be opened in that read, but none is answered.\n"
           "\n"
           "A connection is charged " + kib(MemoryBudget::kOpeningTlsBytes) + " of the memory budget (" +
           kib(MemoryBudget::kOpeningPlainBytes) + " with --plain) from its\n"
           "acceptance until its opening handshakes are done, at most --handshake-timeout: one\n"
           "address can hold --max-per-address of them (by default 64, " +
           std::to_string(64 * MemoryBudget::kOpeningTlsBytes / 1024) + " KiB), all addresses\n"
           "together no more than the budget. With the budget spent, new connections are closed\n"
           "before their TLS handshake begins. TLS offers the key exchange groups X25519MLKEM768\n"
           "(where OpenSSL has it), X25519, P-256 and P-384, no finite-field group; the start-up\n"
           "line lists those in force.\n";
}

}  // namespace duoquill::relay
