#pragma once
// The SOCKS5 exchange of a client that asks a proxy for one TCP connection (RFC 1928, with
// username/password sign-in per RFC 1929), as bytes: the messages to send, and the proxy's
// replies judged from the bytes received so far. No I/O here; the transport does the reading.
//
// Order: greeting() -> parseMethodChoice(2 bytes) -> [authRequest() -> parseAuthReply(2 bytes)]
// -> connectRequest() -> parseConnectReply(as many bytes as it asks for).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include <boost/system/error_code.hpp>

namespace duoquill::socks5 {

// Why the proxy gave no connection. Values 1 to 255 are the reply codes of a CONNECT reply
// (named here where RFC 1928 defines them); the others are this client's own findings.
enum class Socks5Error : int {
    generalFailure = 0x01,
    notAllowed = 0x02,
    networkUnreachable = 0x03,
    hostUnreachable = 0x04,
    connectionRefused = 0x05,
    ttlExpired = 0x06,
    commandNotSupported = 0x07,
    addressTypeNotSupported = 0x08,
    noAcceptableMethod = 0x100,  // the proxy takes neither no sign-in nor username/password
    authRefused = 0x101,         // the proxy refused the username and password
    malformedReply = 0x102,      // bytes that are no reply of this protocol
    unusableRequest = 0x103,     // a name or credential that does not fit a request
};

// Readable sentences, e.g. "The proxy could not connect to the relay: host unreachable".
const boost::system::error_category& socks5Category() noexcept;
boost::system::error_code make_error_code(Socks5Error error) noexcept;
inline boost::system::error_code replyCodeError(std::uint8_t code) noexcept {
    return {code, socks5Category()};
}

enum class Method : std::uint8_t { noAuthentication = 0x00, usernamePassword = 0x02 };

// Offers no authentication, and username/password when there are credentials: a proxy that
// isolates by credentials (Tor) then picks them.
std::vector<std::uint8_t> greeting(bool withCredentials);
// A method that was not offered is a malformed reply.
std::variant<Method, Socks5Error> parseMethodChoice(std::span<const std::uint8_t, 2> reply, bool withCredentials);

// nullopt when a credential is empty or longer than 255 bytes.
std::optional<std::vector<std::uint8_t>> authRequest(std::string_view username, std::string_view password);
// nullopt when the proxy accepted the credentials.
std::optional<Socks5Error> parseAuthReply(std::span<const std::uint8_t, 2> reply);

// CONNECT to host:port. An IPv4 or IPv6 literal goes as an address, anything else as a domain
// name for the proxy to resolve (never resolved here). nullopt for a name of more than 255 bytes.
std::optional<std::vector<std::uint8_t>> connectRequest(std::string_view host, std::uint16_t port);

// The reply is judged as soon as its bytes allow: its first two say a refusal, its first five
// how long it is. NeedBytes::total is then the reply's length so far known (> bytes given).
struct NeedBytes {
    std::size_t total;
    bool operator==(const NeedBytes&) const = default;
};
struct Connected {
    bool operator==(const Connected&) const = default;
};
using ConnectReply = std::variant<NeedBytes, Connected, Socks5Error>;
ConnectReply parseConnectReply(std::span<const std::uint8_t> received);

}  // namespace duoquill::socks5

template <>
struct boost::system::is_error_code_enum<duoquill::socks5::Socks5Error> : std::true_type {};
