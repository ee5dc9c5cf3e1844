#include "DuoquillRelay/RelayMetrics.h"

#include <string_view>

namespace duoquill::relay {
namespace {

// Label values, in the order of the enums.
constexpr std::string_view kRefusalNames[] = {"connection_cap", "address_cap",   "not_found",        "not_upgrade",
                                              "bad_request",    "tls_handshake", "handshake_timeout", "proxy_header",
                                              "memory_budget",  "setup_failed"};
constexpr std::string_view kDropNames[] = {"replaced",      "occupied",        "silent",       "queue_limit",
                                           "memory_budget", "oversized_frame", "binary_frame", "write_timeout",
                                           "unfinished_message", "key_updates"};

void head(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out.append("# HELP duoquill_relay_").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE duoquill_relay_").append(name).append(" ").append(type).append("\n");
}

void sample(std::string& out, std::string_view name, std::uint64_t value, std::string_view label = {},
            std::string_view labelValue = {}) {
    out.append("duoquill_relay_").append(name);
    if (!label.empty()) out.append("{").append(label).append("=\"").append(labelValue).append("\"}");
    out.append(" ").append(std::to_string(value)).append("\n");
}

}  // namespace

void RelayMetrics::ended(const Ending& ending) {
    if (const auto* refusal = std::get_if<Refusal>(&ending)) refused(*refusal);
    if (const auto* drop = std::get_if<Drop>(&ending)) dropped(*drop);
}

std::string RelayMetrics::render(const Gauges& gauges) const {
    static_assert(std::size(kRefusalNames) == kRefusals && std::size(kDropNames) == kDrops);
    const auto load = [](const Counter& counter) { return counter.load(std::memory_order_relaxed); };
    std::string out;
    head(out, "connections_open", "gauge", "Connections held, opening handshakes included.");
    sample(out, "connections_open", gauges.connections);
    head(out, "connections_refused_total", "counter", "Connections turned away before joining a room, by reason.");
    for (std::size_t i = 0; i < kRefusals; ++i) {
        sample(out, "connections_refused_total", load(refused_[i]), "reason", kRefusalNames[i]);
    }
    head(out, "rooms", "gauge", "Open rooms, by their number of members.");
    sample(out, "rooms", gauges.loneRooms, "members", "1");
    sample(out, "rooms", gauges.pairedRooms, "members", "2");
    head(out, "frames_forwarded_total", "counter", "Text frames passed from a member to its peer.");
    sample(out, "frames_forwarded_total", load(framesForwarded_));
    head(out, "bytes_forwarded_total", "counter", "Payload bytes of the frames passed to a peer.");
    sample(out, "bytes_forwarded_total", load(bytesForwarded_));
    head(out, "frames_kept_total", "counter", "Frames of a lone member kept for the member joining later.");
    sample(out, "frames_kept_total", load(framesKept_));
    head(out, "members_dropped_total", "counter", "Members the relay ended or turned away from a room, by reason.");
    for (std::size_t i = 0; i < kDrops; ++i) {
        sample(out, "members_dropped_total", load(dropped_[i]), "reason", kDropNames[i]);
    }
    head(out, "memory_budget_used_bytes", "gauge", "Bytes held for connections: opening handshakes, queues, kept frames, unfinished messages.");
    sample(out, "memory_budget_used_bytes", gauges.memoryUsed);
    head(out, "memory_budget_limit_bytes", "gauge", "The ceiling on those bytes.");
    sample(out, "memory_budget_limit_bytes", gauges.memoryLimit);
    return out;
}

}  // namespace duoquill::relay
