#pragma once
// Storage for the bytes that only pass through a thread's connections: the records a connection
// has sealed and not yet sent, the data it has opened and not yet handed over. A connection gives
// its string back once the bytes are gone, so that it holds no buffer while idle, and the next
// one on the thread that needs a string takes that storage rather than the allocator's (whose
// larger sizes cost more than the bytes' copy). Per thread and bounded: at most kMostKept strings,
// none over kLargestKept.

#include <cstddef>
#include <string>

namespace duoquill::relay::SpareBuffers {

inline constexpr std::size_t kMostKept = 16;
inline constexpr std::size_t kLargestKept = 64 * 1024;

// Gives an empty string with no storage of its own the storage of a spare, when the thread has one.
void reuse(std::string& empty) noexcept;
// Keeps the storage of `used` for reuse (or frees it); `used` is left empty, with no storage.
void giveBack(std::string& used) noexcept;

}  // namespace duoquill::relay::SpareBuffers
