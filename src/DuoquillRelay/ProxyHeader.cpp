#include "DuoquillRelay/ProxyHeader.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

namespace duoquill::relay {
namespace {

namespace ip = boost::asio::ip;

constexpr std::uint8_t kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::string_view kLineStart = "PROXY ";
constexpr std::size_t kFixedBytes = 16;
// "PROXY UNKNOWN\r\n": no header of either version is shorter.
constexpr std::size_t kShortestHeader = 15;
constexpr std::uint8_t kTcpOverIPv4 = 0x11, kTcpOverIPv6 = 0x21;

bool beginsLike(std::span<const std::uint8_t> received, std::span<const std::uint8_t> start) {
    const std::size_t n = std::min(received.size(), start.size());
    return std::equal(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(n), start.begin());
}

std::uint16_t bigEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

ProxyHeaderResult parseBinary(std::span<const std::uint8_t> r) {
    if (r.size() > 12 && r[12] >> 4 != 2) return ProxyHeaderError::badVersion;
    if (r.size() > 12 && (r[12] & 0x0F) > 1) return ProxyHeaderError::badCommand;
    const bool proxied = r.size() > 12 && (r[12] & 0x0F) == 1;
    if (proxied && r.size() > 13 && r[13] != kTcpOverIPv4 && r[13] != kTcpOverIPv6) return ProxyHeaderError::badFamily;
    if (r.size() < kFixedBytes) return ProxyHeaderIncomplete{kFixedBytes - r.size()};

    const std::size_t size = kFixedBytes + bigEndian16(&r[14]);
    const std::size_t addresses = !proxied ? 0 : r[13] == kTcpOverIPv4 ? 12 : 36;
    if (size < kFixedBytes + addresses || size > maxProxyHeaderBytes) return ProxyHeaderError::badLength;
    if (r.size() < size) return ProxyHeaderIncomplete{size - r.size()};

    ProxyHeader header{.client = std::nullopt, .size = size};
    const std::uint8_t* block = &r[kFixedBytes];
    if (proxied && r[13] == kTcpOverIPv4) {
        ip::address_v4::bytes_type source;
        std::copy_n(block, source.size(), source.begin());
        header.client = ip::tcp::endpoint(ip::address_v4(source), bigEndian16(block + 8));
    } else if (proxied) {
        ip::address_v6::bytes_type source;
        std::copy_n(block, source.size(), source.begin());
        header.client = ip::tcp::endpoint(ip::address_v6(source), bigEndian16(block + 32));
    }
    return header;
}

std::optional<ip::address> parseLineAddress(std::string_view text, bool v6) {
    // Only the plain notation: no scope suffix, no names.
    const std::string_view allowed = v6 ? "0123456789abcdefABCDEF:." : "0123456789.";
    if (text.empty() || text.find_first_not_of(allowed) != std::string_view::npos) return std::nullopt;
    boost::system::error_code ec;
    const ip::address address = v6 ? ip::address(ip::make_address_v6(std::string(text), ec))
                                   : ip::address(ip::make_address_v4(std::string(text), ec));
    if (ec) return std::nullopt;
    return address;
}

std::optional<std::uint16_t> parseLinePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text.size() > 5 || ec != std::errc() || end != text.data() + text.size() || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

ProxyHeaderResult parseLine(std::span<const std::uint8_t> r) {
    const std::string_view text(reinterpret_cast<const char*>(r.data()), std::min(r.size(), maxProxyHeaderLineBytes));
    const std::size_t end = text.find_first_of("\r\n");
    if (end != std::string_view::npos && text[end] == '\n') return ProxyHeaderError::badLine;
    if (end == std::string_view::npos || end + 1 == text.size()) {
        if (text.size() == maxProxyHeaderLineBytes) return ProxyHeaderError::badLength;
        // A line ends in CRLF: with no CR yet, two bytes at least are still to come.
        if (end != std::string_view::npos) return ProxyHeaderIncomplete{1};
        return ProxyHeaderIncomplete{std::max<std::size_t>(2, kShortestHeader - std::min(r.size(), kShortestHeader))};
    }
    if (text[end + 1] != '\n') return ProxyHeaderError::badLine;

    std::vector<std::string_view> fields;
    for (std::string_view rest = text.substr(kLineStart.size(), end - kLineStart.size());;) {
        const std::size_t space = rest.find(' ');
        fields.push_back(rest.substr(0, space));
        if (space == std::string_view::npos) break;
        rest.remove_prefix(space + 1);
    }
    ProxyHeader header{.client = std::nullopt, .size = end + 2};
    // What follows UNKNOWN means nothing to the receiver.
    if (fields[0] == "UNKNOWN") return header;
    if (fields[0] != "TCP4" && fields[0] != "TCP6") return ProxyHeaderError::badFamily;
    if (fields.size() != 5 || std::ranges::any_of(fields, [](std::string_view f) { return f.empty(); })) return ProxyHeaderError::badLine;
    const bool v6 = fields[0] == "TCP6";
    const auto source = parseLineAddress(fields[1], v6);
    if (!source || !parseLineAddress(fields[2], v6)) return ProxyHeaderError::badAddress;
    const auto sourcePort = parseLinePort(fields[3]);
    if (!sourcePort || !parseLinePort(fields[4])) return ProxyHeaderError::badPort;
    header.client = ip::tcp::endpoint(*source, *sourcePort);
    return header;
}

ip::address unmapped(const ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) return ip::make_address_v4(ip::v4_mapped, address.to_v6());
    return address;
}

}  // namespace

ProxyHeaderResult parseProxyHeader(std::span<const std::uint8_t> received) {
    const bool binary = beginsLike(received, kSignature);
    const bool line = beginsLike(received, {reinterpret_cast<const std::uint8_t*>(kLineStart.data()), kLineStart.size()});
    if (binary && line) return ProxyHeaderIncomplete{kShortestHeader};  // nothing received yet
    if (binary) return parseBinary(received);
    if (line) return parseLine(received);
    return ProxyHeaderError::badSignature;
}

bool AddressPrefix::contains(const ip::address& candidate) const {
    const ip::address plain = unmapped(candidate);
    if (plain.is_v4() != address.is_v4()) return false;
    const auto bits = [](const ip::address& a) {
        if (a.is_v4()) {
            const auto b = a.to_v4().to_bytes();
            return std::vector<std::uint8_t>(b.begin(), b.end());
        }
        const auto b = a.to_v6().to_bytes();
        return std::vector<std::uint8_t>(b.begin(), b.end());
    };
    const auto mine = bits(address), theirs = bits(plain);
    for (unsigned bit = 0; bit < length; ++bit) {
        const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
        if ((mine[bit / 8] & mask) != (theirs[bit / 8] & mask)) return false;
    }
    return true;
}

std::optional<AddressPrefix> parseAddressPrefix(std::string_view text) {
    const std::size_t slash = text.find('/');
    boost::system::error_code ec;
    ip::address address = ip::make_address(std::string(text.substr(0, slash)), ec);
    if (ec) return std::nullopt;
    unsigned length = address.is_v4() ? 32 : 128;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, parseError] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
        if (digits.empty() || parseError != std::errc() || end != digits.data() + digits.size() ||
            length > (address.is_v4() ? 32u : 128u)) {
            return std::nullopt;
        }
    }
    // "::ffff:192.0.2.0/120" is 192.0.2.0/24, as the peers it should match are seen.
    if (address.is_v6() && address.to_v6().is_v4_mapped() && length >= 96) {
        address = unmapped(address);
        length -= 96;
    }
    return AddressPrefix{address, length};
}

}  // namespace duoquill::relay
