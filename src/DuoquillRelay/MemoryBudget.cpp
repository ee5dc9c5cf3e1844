#include "DuoquillRelay/MemoryBudget.h"

#include <unistd.h>

#include <algorithm>

namespace duoquill::relay {

bool MemoryBudget::tryCharge(std::size_t bytes) {
    std::size_t used = used_.load(std::memory_order_relaxed);
    do {
        if (bytes > limit_ - std::min(used, limit_)) return false;
    } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    if (used + bytes > peak_.load(std::memory_order_relaxed)) peak_.store(used + bytes, std::memory_order_relaxed);
    return true;
}

void MemoryBudget::release(std::size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }

bool MemoryBudget::Charge::grow(std::size_t bytes) {
    if (budget_ != nullptr && !budget_->tryCharge(bytes)) return false;
    bytes_ += bytes;
    return true;
}

void MemoryBudget::Charge::shrink(std::size_t bytes) {
    bytes = std::min(bytes, bytes_);
    if (budget_ != nullptr && bytes != 0) budget_->release(bytes);
    bytes_ -= bytes;
}

std::size_t MemoryBudget::defaultLimitBytes() {
    constexpr std::size_t kCeiling = std::size_t{1} << 30;
    constexpr std::size_t kWithoutFigure = std::size_t{256} << 20;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return kWithoutFigure;
    // Past 1 GiB the relay would only be giving an attacker more room: real rooms queue a few
    // kilobytes each.
    return std::min(static_cast<std::size_t>(pages) / 4 * static_cast<std::size_t>(pageSize), kCeiling);
}

}  // namespace duoquill::relay
