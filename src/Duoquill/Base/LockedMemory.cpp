#include "Duoquill/Base/LockedMemory.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

namespace duoquill::lockedmemory {
namespace {

constexpr std::size_t slotSize = 32;

// One mapping, a bit per slot (set: in use), first fit.
class Pool {
public:
    bool enable(std::size_t bytes) noexcept;
    void* allocate(std::size_t size) noexcept;
    bool deallocate(void* block, std::size_t size) noexcept;
    std::size_t bytesInUse() noexcept {
        std::lock_guard lock(mutex_);
        return slotsInUse_ * slotSize;
    }
    bool isEnabled() const noexcept { return base_.load(std::memory_order_acquire) != nullptr; }
    bool contains(const void* address) const noexcept {
        const std::uint8_t* const base = base_.load(std::memory_order_acquire);
        const auto* p = static_cast<const std::uint8_t*>(address);
        return base != nullptr && p >= base && p < base + capacity_;
    }

private:
    static std::size_t slotsFor(std::size_t size) noexcept { return (size + slotSize - 1) / slotSize; }
    bool isFree(std::size_t slot) const noexcept { return !((used_[slot / 64] >> (slot % 64)) & 1); }
    void mark(std::size_t first, std::size_t count, bool inUse) noexcept;

    std::mutex mutex_;
    std::atomic<std::uint8_t*> base_{nullptr};
    std::size_t capacity_ = 0;  // bytes
    std::vector<std::uint64_t> used_;
    std::size_t slotsInUse_ = 0;
    bool attempted_ = false;
};

// Never destroyed: buffers held by static objects may come back during static destruction.
Pool& pool() noexcept {
    alignas(Pool) static unsigned char storage[sizeof(Pool)];
    static Pool* const p = ::new (storage) Pool();
    return *p;
}

std::size_t lockLimit() noexcept {
    rlimit limit{};
    if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return 0;
    return limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<std::size_t>(limit.rlim_cur);
}

bool Pool::enable(std::size_t bytes) noexcept {
    std::lock_guard lock(mutex_);
    if (attempted_) return base_.load() != nullptr;
    attempted_ = true;

    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    // Leave half of the limit to others (the crypto library's own locked heap).
    std::size_t size = std::min(bytes, lockLimit() / 2);
    size -= size % page;
    if (size == 0) return false;

    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return false;
    if (mlock(mapping, size) != 0) {
        munmap(mapping, size);
        return false;
    }
    madvise(mapping, size, MADV_DONTDUMP);
    madvise(mapping, size, MADV_DONTFORK);
    try {
        used_.assign((size / slotSize + 63) / 64, 0);
    } catch (...) {
        munlock(mapping, size);
        munmap(mapping, size);
        return false;
    }
    capacity_ = size;
    base_.store(static_cast<std::uint8_t*>(mapping), std::memory_order_release);
    return true;
}

void Pool::mark(std::size_t first, std::size_t count, bool inUse) noexcept {
    for (std::size_t slot = first; slot < first + count; ++slot) {
        const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
        used_[slot / 64] = inUse ? (used_[slot / 64] | bit) : (used_[slot / 64] & ~bit);
    }
}

void* Pool::allocate(std::size_t size) noexcept {
    if (!isEnabled() || size == 0 || size > largestAllocation) return nullptr;
    const std::size_t want = slotsFor(size);
    std::lock_guard lock(mutex_);
    const std::size_t slots = capacity_ / slotSize;
    std::size_t run = 0;
    for (std::size_t slot = 0; slot < slots; ++slot) {
        if (run == 0 && slot % 64 == 0 && used_[slot / 64] == ~std::uint64_t{0}) {
            slot += 63;  // a full word: skip it
            continue;
        }
        run = isFree(slot) ? run + 1 : 0;
        if (run == want) {
            const std::size_t first = slot + 1 - want;
            mark(first, want, true);
            slotsInUse_ += want;
            return base_.load(std::memory_order_relaxed) + first * slotSize;
        }
    }
    return nullptr;
}

bool Pool::deallocate(void* block, std::size_t size) noexcept {
    std::uint8_t* const base = base_.load(std::memory_order_acquire);
    const auto* p = static_cast<const std::uint8_t*>(block);
    if (base == nullptr || p < base || p >= base + capacity_) return false;
    const std::size_t count = slotsFor(size);
    std::lock_guard lock(mutex_);
    mark(static_cast<std::size_t>(p - base) / slotSize, count, false);
    slotsInUse_ -= count;
    return true;
}

}  // namespace

bool enable(std::size_t bytes) noexcept { return pool().enable(bytes); }
bool isEnabled() noexcept { return pool().isEnabled(); }
void* allocate(std::size_t size) noexcept { return pool().allocate(size); }
bool deallocate(void* block, std::size_t size) noexcept { return pool().deallocate(block, size); }
std::size_t bytesInUse() noexcept { return pool().bytesInUse(); }
bool contains(const void* address) noexcept { return pool().contains(address); }

}  // namespace duoquill::lockedmemory
