#include "DuoquillRelay/UpgradeRequest.h"

#include <boost/beast/websocket/rfc6455.hpp>

#include "DuoquillRelay/RoomRegistry.h"

namespace duoquill::relay {

void limitRequestParser(UpgradeRequestParser& parser) {
    parser.header_limit(requestHeaderLimit);
    parser.body_limit(0);
}

UpgradeDecision judgeUpgradeRequest(const UpgradeRequest& request) {
    const auto token = RoomRegistry::tokenFromTarget(request.target());
    if (!token) return {UpgradeDecision::Verdict::notFound, {}};
    if (!boost::beast::websocket::is_upgrade(request)) return {UpgradeDecision::Verdict::upgradeRequired, {}};
    return {UpgradeDecision::Verdict::join, std::string(*token)};
}

}  // namespace duoquill::relay
