#include "Duoquill/Transport/Socks5Proxy.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>

#include <boost/url/parse.hpp>

#include "Duoquill/Primitives/Random.h"

namespace duoquill {
namespace {

constexpr std::string_view kScheme = "socks5h";

bool isDecimalPort(std::string_view text) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 1 && value <= 65535;
}

std::string randomHex(std::size_t bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::array<std::uint8_t, 32> raw{};
    random::fill(std::span(raw).first(bytes));
    std::string out;
    for (std::size_t i = 0; i < bytes; ++i) {
        out += kHex[raw[i] >> 4];
        out += kHex[raw[i] & 0xF];
    }
    return out;
}

}  // namespace

std::string Socks5Proxy::displayName() const {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + port;
}

std::optional<Socks5Proxy> parseProxyUrl(std::string_view url) {
    const auto parsed = boost::urls::parse_uri(url);
    if (!parsed || parsed->scheme() != kScheme || !parsed->has_authority()) return std::nullopt;
    if (!parsed->encoded_path().empty() && parsed->encoded_path() != "/") return std::nullopt;
    if (parsed->has_query() || parsed->has_fragment()) return std::nullopt;
    Socks5Proxy proxy;
    proxy.host = parsed->host_address();
    if (proxy.host.empty()) return std::nullopt;
    proxy.port = parsed->has_port() ? std::string(parsed->port()) : "1080";
    if (!isDecimalPort(proxy.port)) return std::nullopt;
    if (parsed->has_userinfo()) {
        proxy.username = parsed->user();
        proxy.password = parsed->password();
        const auto fits = [](const std::string& s) { return !s.empty() && s.size() <= 255; };
        if (!fits(proxy.username) || !fits(proxy.password)) return std::nullopt;
    }
    return proxy;
}

void drawIsolationCredentials(Socks5Proxy& proxy) {
    if (!proxy.username.empty()) return;
    proxy.username = randomHex(16);
    proxy.password = randomHex(16);
}

bool isOnionRelay(std::string_view relayUrl) {
    const auto parsed = boost::urls::parse_uri(relayUrl);
    return parsed && isOnionHost(parsed->host_address());
}

bool isOnionHost(std::string host) {
    if (host.ends_with('.')) host.pop_back();  // "name.onion." is the same name
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    return host == "onion" || host.ends_with(".onion");
}

}  // namespace duoquill
