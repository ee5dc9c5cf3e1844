#include "DuoquillRelay/UpgradeRequest.h"

#include <boost/beast/websocket/rfc6455.hpp>

#include <openssl/evp.h>

#include <array>

#include "DuoquillRelay/RoomRegistry.h"

namespace duoquill::relay {

void limitRequestParser(UpgradeRequestParser& parser) {
    parser.header_limit(requestHeaderLimit);
    parser.body_limit(0);
}

UpgradeDecision judgeUpgradeRequest(const UpgradeRequest& request) {
    const auto token = RoomRegistry::tokenFromTarget(request.target());
    if (!token) return {UpgradeDecision::Verdict::notFound, {}, {}};
    if (!boost::beast::websocket::is_upgrade(request)) return {UpgradeDecision::Verdict::upgradeRequired, {}, {}};
    namespace http = boost::beast::http;
    if (request.find(http::field::host) == request.end()) return {UpgradeDecision::Verdict::badRequest, {}, "no Host"};
    const auto key = request.find(http::field::sec_websocket_key);
    // A key is 16 random bytes in base64: 24 characters.
    if (key == request.end() || key->value().empty() || key->value().size() > 24) {
        return {UpgradeDecision::Verdict::badRequest, {}, "no usable Sec-WebSocket-Key"};
    }
    const auto version = request.find(http::field::sec_websocket_version);
    if (version == request.end()) return {UpgradeDecision::Verdict::badRequest, {}, "no Sec-WebSocket-Version"};
    if (version->value() != "13") return {UpgradeDecision::Verdict::badVersion, {}, {}};
    return {UpgradeDecision::Verdict::join, std::string(*token), {}};
}

std::string acceptKey(std::string_view key) {
    static constexpr std::string_view guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::string text(key);
    text.append(guid);
    std::array<unsigned char, 20> digest{};
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha1(), nullptr);
    std::array<unsigned char, 29> encoded{};
    const int n = EVP_EncodeBlock(encoded.data(), digest.data(), static_cast<int>(digest.size()));
    return std::string(reinterpret_cast<const char*>(encoded.data()), static_cast<std::size_t>(n));
}

}  // namespace duoquill::relay
