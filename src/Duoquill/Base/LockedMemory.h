#pragma once
// A pool of memory locked into RAM and left out of core dumps and forked children, from
// which SecureBytes draws its buffers once the pool is enabled. Keys therefore never reach
// swap while the pool has room.
//
// Everything here is best effort: when the pool cannot be mapped or locked (the locked-memory
// limit of unprivileged users is small), when it is full, or for buffers larger than
// largestAllocation, callers fall back to the ordinary heap. Nothing here throws or prints.
//
// The pool is off until enable() is called: the chat program enables it (ProcessHardening);
// tests and the key commands keep the ordinary heap, where the sanitizers watch every buffer.

#include <cstddef>

namespace duoquill::lockedmemory {

inline constexpr std::size_t defaultPoolSize = 256 * 1024;
// Larger buffers (padded messages, not keys) come from the heap.
inline constexpr std::size_t largestAllocation = 8192;

// Maps and locks a pool of at most `bytes` (within RLIMIT_MEMLOCK). True when a locked pool
// is in use afterwards; a second call changes nothing and reports the same.
bool enable(std::size_t bytes = defaultPoolSize) noexcept;

bool isEnabled() noexcept;

// A 32-byte-aligned block of at least `size` bytes from the pool, or nullptr when the pool
// is off, full, or the size is 0 or above largestAllocation.
void* allocate(std::size_t size) noexcept;

// Returns the block to the pool and true when it came from the pool; false (and nothing done)
// otherwise. `size` is the size given to allocate(). The caller wipes the block first.
bool deallocate(void* block, std::size_t size) noexcept;

// Bytes of the pool handed out and not yet returned.
std::size_t bytesInUse() noexcept;

// True when the address lies inside the pool, like OpenSSL's CRYPTO_secure_allocated.
bool contains(const void* address) noexcept;

}  // namespace duoquill::lockedmemory
