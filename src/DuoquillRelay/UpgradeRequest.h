#pragma once
// What the relay makes of a connection's opening HTTP request: a room to join, or a refusal.
// Kept apart from the connection so that the decision can be exercised on any bytes.

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace duoquill::relay {

using UpgradeRequest = boost::beast::http::request<boost::beast::http::empty_body>;
using UpgradeRequestParser = boost::beast::http::request_parser<boost::beast::http::empty_body>;

// Largest request head read; an opening request carries no body.
inline constexpr std::size_t requestHeaderLimit = 8 * 1024;

// Applies the limits above to a fresh parser.
void limitRequestParser(UpgradeRequestParser& parser);

struct UpgradeDecision {
    enum class Verdict { join, notFound, upgradeRequired, badRequest, badVersion };
    Verdict verdict = Verdict::notFound;
    std::string token;  // the room, for `join`
    std::string why;    // for `badRequest`: what the request lacks
};

// A path that is not a room gives notFound (404); a room path without a WebSocket upgrade,
// upgradeRequired (426); an upgrade without a Host or a usable key, badRequest (400); one for
// another version of WebSocket than 13, badVersion (426, naming 13); otherwise the room to join.
UpgradeDecision judgeUpgradeRequest(const UpgradeRequest& request);

// The Sec-WebSocket-Accept answering the request's Sec-WebSocket-Key.
std::string acceptKey(std::string_view key);

}  // namespace duoquill::relay
