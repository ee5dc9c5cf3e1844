#pragma once
// What every connection of one relay shares: its options, log, rooms and connection caps,
// and the list of live connections that a shutdown has to close. Connections hold it by
// shared_ptr, so it outlives the server object when handlers are still queued.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "DuoquillRelay/ConnectionLimiter.h"
#include "DuoquillRelay/MemoryBudget.h"
#include "DuoquillRelay/RelayLog.h"
#include "DuoquillRelay/RelayMetrics.h"
#include "DuoquillRelay/RelayOptions.h"
#include "DuoquillRelay/RoomRegistry.h"

namespace duoquill::relay {

class RelaySession;

// Returns the allocator's free pages to the system (where the allocator can).
void giveFreeMemoryBack();
// Keeps freed memory at the top of the heap for reuse instead of returning it at every free:
// under load glibc would shrink and regrow the heap hundreds of times a second, and each
// shrink flushes every core's TLB. Memory goes back by giveFreeMemoryBack() instead, which the
// relay calls after bursts of connections and when what they hold falls from a peak.
void keepFreedMemoryForReuse();

class RelayState {
public:
    explicit RelayState(RelayOptions options);
    RelayState(const RelayState&) = delete;
    RelayState& operator=(const RelayState&) = delete;

    const RelayOptions& options() const { return options_; }
    const RelayLog& log() const { return log_; }
    MemoryBudget& budget() { return budget_; }
    RoomRegistry& registry() { return registry_; }
    ConnectionLimiter& limiter() { return *limiter_; }
    RelayMetrics& metrics() { return metrics_; }

    // Connection numbers for the log, counting from 1.
    std::uint64_t nextConnectionId() { return nextId_.fetch_add(1) + 1; }

    void addSession(std::uint64_t id, std::weak_ptr<RelaySession> session);
    // When a burst has ended (connections, or the bytes they hold, down to a quarter of their
    // most since the last time), the allocator is asked to give its free memory back.
    void removeSession(std::uint64_t id);
    std::vector<std::shared_ptr<RelaySession>> liveSessions() const;
    std::size_t sessionCount() const;

    // Set once the relay is shutting down; `onDrained` runs (on the thread of the last
    // connection to end) when no connection is left, at once if there is none.
    bool stopping() const { return stopping_.load(); }
    void beginStopping(std::function<void()> onDrained);

private:
    const RelayOptions options_;
    const RelayLog log_;
    MemoryBudget budget_;
    RoomRegistry registry_;
    std::shared_ptr<ConnectionLimiter> limiter_;
    RelayMetrics metrics_;
    std::atomic<std::uint64_t> nextId_{0};
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    std::unordered_map<std::uint64_t, std::weak_ptr<RelaySession>> sessions_;
    std::size_t peakSinceTrim_ = 0;
    std::function<void()> onDrained_;
};

}  // namespace duoquill::relay
