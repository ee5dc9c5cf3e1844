#pragma once
// The PROXY header (binary version 2, or text version 1) that a proxy in front of the relay
// sends first on each connection to name the client it speaks for, and the addresses of the
// proxies trusted to send one. Bytes in, values out: nothing here touches a socket.

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

namespace duoquill::relay {

// Version 2: its 16 fixed bytes and an address block (with any extensions) of up to 520.
inline constexpr std::size_t maxProxyHeaderBytes = 536;
// Version 1: one line, its CRLF included.
inline constexpr std::size_t maxProxyHeaderLineBytes = 107;

enum class ProxyHeaderError {
    badSignature,  // neither version's opening bytes
    badVersion,
    badCommand,
    badFamily,     // not TCP over IPv4 or IPv6 (a LOCAL header's family does not matter)
    badLength,     // address block too short or too long, or a line with no CRLF in time
    badLine,       // a version 1 line not made of single-space separated fields
    badAddress,
    badPort,
};

// The header is not complete yet: at least `missing` more bytes belong to it.
struct ProxyHeaderIncomplete {
    std::size_t missing = 0;
};

struct ProxyHeader {
    // The client the proxy forwards; none for LOCAL or UNKNOWN (the proxy's own health
    // checks), whose connection keeps the proxy's address.
    std::optional<boost::asio::ip::tcp::endpoint> client;
    std::size_t size = 0;  // the header's bytes; what follows is the next layer's
};

using ProxyHeaderResult = std::variant<ProxyHeaderIncomplete, ProxyHeader, ProxyHeaderError>;

// Reads the header at the start of `received`. Incomplete never asks for more bytes than the
// header still has, so a reader that reads exactly `missing` bytes each time never takes a
// byte of the TLS or HTTP that follows. An error comes as soon as the bytes rule a header out.
ProxyHeaderResult parseProxyHeader(std::span<const std::uint8_t> received);

// An address or a prefix in CIDR notation: "192.0.2.7", "192.0.2.0/24", "2001:db8::/32".
struct AddressPrefix {
    boost::asio::ip::address address;
    unsigned length = 0;

    // An IPv4-mapped IPv6 address counts as its IPv4 form, on either side.
    bool contains(const boost::asio::ip::address& candidate) const;
};

std::optional<AddressPrefix> parseAddressPrefix(std::string_view text);

}  // namespace duoquill::relay
