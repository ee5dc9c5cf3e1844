#include "DuoquillRelay/RelayState.h"

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace duoquill::relay {
namespace {

// Below this many connections a burst is not worth a trim (it walks every arena).
constexpr std::size_t kTrimAfterPeak = 16;
constexpr std::size_t kTrimAfterPeakBytes = std::size_t{16} << 20;
// Free memory at the heap's top is returned beyond this, or by giveFreeMemoryBack().
constexpr int kTrimThresholdBytes = 8 << 20;
// Set explicitly because setting the trim threshold freezes glibc's moving mmap threshold:
// the default, so that a frame within the default frame limit never costs an mmap and munmap.
constexpr int kMmapThresholdBytes = 128 << 10;

}  // namespace

void giveFreeMemoryBack() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

void keepFreedMemoryForReuse() {
#if defined(__GLIBC__)
    ::mallopt(M_TRIM_THRESHOLD, kTrimThresholdBytes);
    ::mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
#endif
}

RelayState::RelayState(RelayOptions options)
    : options_(std::move(options)),
      log_(options_.quiet),
      budget_(options_.memoryBudgetBytes != 0 ? options_.memoryBudgetBytes : MemoryBudget::defaultLimitBytes()),
      registry_(Room::BacklogLimits{options_.backlogFrames, options_.backlogBytes},
                // A live member answers every ping at once; a quarter of the interval is room
                // for a slow path before its silence counts as death.
                options_.pingInterval + options_.pingInterval / 4, &budget_),
      limiter_(std::make_shared<ConnectionLimiter>(options_.maxConnections, options_.maxConnectionsPerAddress,
                                                   options_.ipv6PrefixLength)) {}

void RelayState::addSession(std::uint64_t id, std::weak_ptr<RelaySession> session) {
    std::lock_guard lock(mutex_);
    sessions_.emplace(id, std::move(session));
    peakSinceTrim_ = std::max(peakSinceTrim_, sessions_.size());
}

void RelayState::removeSession(std::uint64_t id) {
    std::function<void()> drained;
    bool trim = false;
    {
        std::lock_guard lock(mutex_);
        sessions_.erase(id);
        if (sessions_.empty() && onDrained_) drained = std::exchange(onDrained_, nullptr);
        if (peakSinceTrim_ >= kTrimAfterPeak && sessions_.size() * 4 <= peakSinceTrim_) {
            trim = true;
            peakSinceTrim_ = sessions_.size();
        }
        // Or when what connections held has fallen to a quarter of a large peak.
        if (budget_.peak() >= kTrimAfterPeakBytes && budget_.used() * 4 <= budget_.peak()) {
            trim = true;
            budget_.resetPeak();
        }
    }
    if (trim) giveFreeMemoryBack();
    if (drained) drained();
}

std::vector<std::shared_ptr<RelaySession>> RelayState::liveSessions() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<RelaySession>> live;
    live.reserve(sessions_.size());
    for (const auto& [id, weak] : sessions_) {
        if (auto session = weak.lock()) live.push_back(std::move(session));
    }
    return live;
}

std::size_t RelayState::sessionCount() const {
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

void RelayState::beginStopping(std::function<void()> onDrained) {
    std::function<void()> drained;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        if (sessions_.empty()) {
            drained = std::move(onDrained);
        } else {
            onDrained_ = std::move(onDrained);
        }
    }
    if (drained) drained();
}

}  // namespace duoquill::relay
