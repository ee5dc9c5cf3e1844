#pragma once
// Where the relay connection goes through when a SOCKS5 proxy is set: the proxy's address and
// the credentials the client signs in with. Parsed from "socks5h://[USER:PASS@]HOST[:PORT]".
//
// Without credentials in the URL, each chat draws its own (isolatedCredentials()): Tor gives
// every distinct username and password a circuit of its own, so two chats never share one.

#include <optional>
#include <string>
#include <string_view>

namespace duoquill {

struct Socks5Proxy {
    std::string host;  // name or address of the proxy itself, without IPv6 brackets
    std::string port;  // 1080 when the URL gives none
    std::string username;
    std::string password;

    // "HOST:PORT" as a person wrote it, for messages; never the credentials.
    std::string displayName() const;
};

// nullopt for anything but socks5h:// with a host, a port in 1..65535, credentials of at most
// 255 bytes and no path. Plain socks5:// is refused: it promises that the client resolves the
// relay's name itself, which would tell the local network where the chat goes.
std::optional<Socks5Proxy> parseProxyUrl(std::string_view url);

// Sets fresh random credentials (128 bits each) unless the URL gave some.
void drawIsolationCredentials(Socks5Proxy& proxy);

// Whether a wss:// relay URL, or a host name, names an onion service, which only a proxy such
// as Tor can reach.
bool isOnionRelay(std::string_view relayUrl);
bool isOnionHost(std::string host);

}  // namespace duoquill
