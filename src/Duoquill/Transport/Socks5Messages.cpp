#include "Duoquill/Transport/Socks5Messages.h"

#include <boost/asio/ip/address.hpp>

namespace duoquill::socks5 {
namespace {

constexpr std::uint8_t kVersion = 0x05;
constexpr std::uint8_t kAuthVersion = 0x01;
constexpr std::uint8_t kNoAcceptableMethod = 0xFF;
constexpr std::uint8_t kConnect = 0x01;
constexpr std::uint8_t kIPv4 = 0x01;
constexpr std::uint8_t kDomainName = 0x03;
constexpr std::uint8_t kIPv6 = 0x04;

std::string replyMeaning(int code) {
    switch (code) {
        case 0x01: return "general failure";
        case 0x02: return "not allowed by its rules";
        case 0x03: return "network unreachable";
        case 0x04: return "host unreachable";
        case 0x05: return "connection refused";
        case 0x06: return "TTL expired";
        case 0x07: return "command not supported";
        case 0x08: return "address type not supported";
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    return std::string("unknown reply code 0x") + kHex[(code >> 4) & 0xF] + kHex[code & 0xF];
}

class Category final : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "socks5"; }
    std::string message(int value) const override {
        switch (static_cast<Socks5Error>(value)) {
            case Socks5Error::noAcceptableMethod:
                return "The proxy accepts neither no authentication nor a username and password";
            case Socks5Error::authRefused: return "The proxy refused the username and password";
            case Socks5Error::malformedReply: return "The proxy sent a malformed SOCKS5 reply";
            case Socks5Error::unusableRequest: return "The relay's name or the proxy credentials do not fit a SOCKS5 request";
            default: break;
        }
        return "The proxy could not connect to the relay: " + replyMeaning(value);
    }
};

void appendPort(std::vector<std::uint8_t>& out, std::uint16_t port) {
    out.push_back(static_cast<std::uint8_t>(port >> 8));
    out.push_back(static_cast<std::uint8_t>(port & 0xFF));
}

bool appendShortText(std::vector<std::uint8_t>& out, std::string_view text) {
    if (text.empty() || text.size() > 255) return false;
    out.push_back(static_cast<std::uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    return true;
}

}  // namespace

const boost::system::error_category& socks5Category() noexcept {
    static const Category category;
    return category;
}

boost::system::error_code make_error_code(Socks5Error error) noexcept {
    return {static_cast<int>(error), socks5Category()};
}

std::vector<std::uint8_t> greeting(bool withCredentials) {
    std::vector<std::uint8_t> out{kVersion, 1, static_cast<std::uint8_t>(Method::noAuthentication)};
    if (withCredentials) {
        out[1] = 2;
        out.push_back(static_cast<std::uint8_t>(Method::usernamePassword));
    }
    return out;
}

std::variant<Method, Socks5Error> parseMethodChoice(std::span<const std::uint8_t, 2> reply, bool withCredentials) {
    if (reply[0] != kVersion) return Socks5Error::malformedReply;
    switch (reply[1]) {
        case static_cast<std::uint8_t>(Method::noAuthentication): return Method::noAuthentication;
        case static_cast<std::uint8_t>(Method::usernamePassword):
            if (withCredentials) return Method::usernamePassword;
            break;
        case kNoAcceptableMethod: return Socks5Error::noAcceptableMethod;
    }
    return Socks5Error::malformedReply;  // a method that was not offered
}

std::optional<std::vector<std::uint8_t>> authRequest(std::string_view username, std::string_view password) {
    std::vector<std::uint8_t> out{kAuthVersion};
    if (!appendShortText(out, username) || !appendShortText(out, password)) return std::nullopt;
    return out;
}

std::optional<Socks5Error> parseAuthReply(std::span<const std::uint8_t, 2> reply) {
    if (reply[0] != kAuthVersion) return Socks5Error::malformedReply;
    if (reply[1] != 0x00) return Socks5Error::authRefused;
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> connectRequest(std::string_view host, std::uint16_t port) {
    std::vector<std::uint8_t> out{kVersion, kConnect, 0x00};
    boost::system::error_code notAnAddress;
    const auto address = boost::asio::ip::make_address(std::string(host), notAnAddress);
    if (!notAnAddress && address.is_v4()) {
        out.push_back(kIPv4);
        const auto bytes = address.to_v4().to_bytes();
        out.insert(out.end(), bytes.begin(), bytes.end());
    } else if (!notAnAddress && address.is_v6() && address.to_v6().scope_id() == 0) {
        out.push_back(kIPv6);
        const auto bytes = address.to_v6().to_bytes();
        out.insert(out.end(), bytes.begin(), bytes.end());
    } else {
        out.push_back(kDomainName);
        if (!appendShortText(out, host)) return std::nullopt;
    }
    appendPort(out, port);
    return out;
}

ConnectReply parseConnectReply(std::span<const std::uint8_t> received) {
    if (received.size() < 2) return NeedBytes{2};
    if (received[0] != kVersion) return Socks5Error::malformedReply;
    // A refusal counts whatever follows: some proxies close right after its code.
    if (received[1] != 0x00) return static_cast<Socks5Error>(received[1]);
    if (received.size() >= 3 && received[2] != 0x00) return Socks5Error::malformedReply;
    if (received.size() >= 4 && received[3] != kIPv4 && received[3] != kIPv6 && received[3] != kDomainName) {
        return Socks5Error::malformedReply;
    }
    if (received.size() < 5) return NeedBytes{5};
    std::size_t total = 0;
    switch (received[3]) {
        case kIPv4: total = 4 + 4 + 2; break;
        case kIPv6: total = 4 + 16 + 2; break;
        default:
            if (received[4] == 0) return Socks5Error::malformedReply;  // an empty name
            total = 4 + 1 + received[4] + 2;
            break;
    }
    if (received.size() < total) return NeedBytes{total};
    if (received.size() > total) return Socks5Error::malformedReply;
    return Connected{};
}

}  // namespace duoquill::socks5
