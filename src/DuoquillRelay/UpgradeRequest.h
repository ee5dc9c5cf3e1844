#pragma once
// What the relay makes of a connection's opening HTTP request: a room to join, or a refusal.
// Kept apart from the connection so that the decision can be exercised on any bytes.

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>

#include <cstddef>
#include <string>

namespace duoquill::relay {

using UpgradeRequest = boost::beast::http::request<boost::beast::http::empty_body>;
using UpgradeRequestParser = boost::beast::http::request_parser<boost::beast::http::empty_body>;

// Largest request head read; an opening request carries no body.
inline constexpr std::size_t requestHeaderLimit = 8 * 1024;

// Applies the limits above to a fresh parser.
void limitRequestParser(UpgradeRequestParser& parser);

struct UpgradeDecision {
    enum class Verdict { join, notFound, upgradeRequired };
    Verdict verdict = Verdict::notFound;
    std::string token;  // the room, for `join`
};

// A path that is not a room gives notFound (404); a room path without a WebSocket upgrade,
// upgradeRequired (426); otherwise the room to join.
UpgradeDecision judgeUpgradeRequest(const UpgradeRequest& request);

}  // namespace duoquill::relay
