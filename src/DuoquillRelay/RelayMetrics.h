#pragma once
// The relay's counters, and their rendering as Prometheus text (exposition format 0.0.4).
// Counters are relaxed atomics bumped from any thread: the forwarding path pays one atomic
// add per counter and takes no lock. Gauges are read from the
// relay's state at rendering time instead of being kept up to date.
//
// Nothing here can name a room, a tag or a client address: the labels are fixed reasons.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

namespace duoquill::relay {

class RelayMetrics {
public:
    // A connection turned away before it became a member of a room.
    enum class Refusal {
        connectionCap,
        addressCap,
        notFound,
        notUpgrade,
        badRequest,
        tlsHandshake,
        handshakeTimeout,
        proxyHeader,
        memoryBudget,
        setupFailed
    };
    // A member the relay ended; the order of the log's reasons.
    enum class Drop {
        replaced,
        occupied,
        silent,
        queueLimit,
        memoryBudget,
        oversizedFrame,
        binaryFrame,
        writeTimeout,
        unfinishedMessage,
        keyUpdates
    };
    // How a connection ended, as counted: monostate for ends that are nobody's fault (the
    // client closed, the connection was lost, the relay stopped).
    using Ending = std::variant<std::monostate, Refusal, Drop>;

    RelayMetrics() = default;
    RelayMetrics(const RelayMetrics&) = delete;
    RelayMetrics& operator=(const RelayMetrics&) = delete;

    void refused(Refusal reason) { bump(refused_[static_cast<std::size_t>(reason)]); }
    void dropped(Drop reason) { bump(dropped_[static_cast<std::size_t>(reason)]); }
    void ended(const Ending& ending);
    void forwarded(std::size_t bytes) {
        bump(framesForwarded_);
        bump(bytesForwarded_, bytes);
    }
    void kept() { bump(framesKept_); }

    // What is read from the relay's state when rendering.
    struct Gauges {
        std::size_t connections = 0;
        std::size_t loneRooms = 0;
        std::size_t pairedRooms = 0;
        std::size_t memoryUsed = 0;
        std::size_t memoryLimit = 0;
    };

    // Every metric with its HELP and TYPE lines, each labelled series present even at zero.
    std::string render(const Gauges& gauges) const;

private:
    using Counter = std::atomic<std::uint64_t>;
    static void bump(Counter& counter, std::uint64_t by = 1) { counter.fetch_add(by, std::memory_order_relaxed); }

    static constexpr std::size_t kRefusals = static_cast<std::size_t>(Refusal::setupFailed) + 1;
    static constexpr std::size_t kDrops = static_cast<std::size_t>(Drop::keyUpdates) + 1;

    std::array<Counter, kRefusals> refused_{};
    std::array<Counter, kDrops> dropped_{};
    Counter framesForwarded_{0};
    Counter bytesForwarded_{0};
    Counter framesKept_{0};
};

}  // namespace duoquill::relay
