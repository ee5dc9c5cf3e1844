// The locked pool behind SecureBytes: placement, wiping, first fit after fragmentation, the
// fall-back to the heap when full, and release. Each test enables the pool in a child
// process, since enabling lasts for the life of the process.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "ChildProcess.h"
#include "Duoquill/Platform/LockedMemory.h"
#include "Duoquill/Platform/SecureBytes.h"

namespace duoquill {
namespace {

using test::failuresInChild;

std::string check(bool condition, const std::string& what) { return condition ? "" : what + "\n"; }

constexpr std::size_t poolSize = 64 * 1024;

bool limitAllowsPool() {
    rlimit limit{};
    getrlimit(RLIMIT_MEMLOCK, &limit);
    return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= 2 * poolSize;
}

TEST(LockedMemory, OffUntilEnabled) {
    EXPECT_FALSE(lockedmemory::isEnabled());
    EXPECT_EQ(lockedmemory::allocate(32), nullptr);
    int onTheHeap = 0;
    EXPECT_FALSE(lockedmemory::deallocate(&onTheHeap, sizeof onTheHeap));
}

TEST(LockedMemory, BuffersComeFromThePoolAndAreWipedOnRelease) {
    if (!limitAllowsPool()) GTEST_SKIP() << "locked-memory limit too small";
    EXPECT_EQ(failuresInChild([] {
                  std::string failures = check(lockedmemory::enable(poolSize), "enable failed");
                  failures += check(lockedmemory::enable(poolSize), "a second enable reports the pool");
                  const std::uint8_t* where;
                  {
                      SecureBytes key(64, 0xa5);
                      where = key.data();
                      failures += check(reinterpret_cast<std::uintptr_t>(where) % 32 == 0, "32-byte alignment");
                      failures += check(lockedmemory::bytesInUse() == 64, "64 bytes in use");
                  }
                  // The pool stays mapped, so the released slots can be read back.
                  failures += check(std::all_of(where, where + 64, [](std::uint8_t b) { return b == 0; }),
                                    "released bytes not wiped");
                  failures += check(lockedmemory::bytesInUse() == 0, "released slots still in use");
                  return failures;
              }),
              "");
}

TEST(LockedMemory, FirstFitAfterFragmentationAndHeapWhenFull) {
    if (!limitAllowsPool()) GTEST_SKIP() << "locked-memory limit too small";
    EXPECT_EQ(failuresInChild([] {
                  std::string failures = check(lockedmemory::enable(poolSize), "enable failed");
                  std::vector<void*> blocks;
                  for (void* b; (b = lockedmemory::allocate(100)) != nullptr;) blocks.push_back(b);
                  // 100 bytes take four 32-byte slots.
                  failures += check(blocks.size() == poolSize / 128, "pool of 128-byte blocks not filled exactly");
                  failures += check(lockedmemory::allocate(1) == nullptr, "a full pool still gave a block");
                  {
                      const SecureBytes fallback(16, 1);  // from the heap, and back to it
                      failures += check(fallback[15] == 1, "heap fall-back");
                  }
                  for (std::size_t i = 0; i < blocks.size(); i += 2) lockedmemory::deallocate(blocks[i], 100);
                  failures += check(lockedmemory::allocate(200) == nullptr, "no two neighbouring free blocks yet");
                  void* small = lockedmemory::allocate(128);
                  failures += check(small == blocks[0], "first fit takes the first hole");
                  lockedmemory::deallocate(blocks[3], 100);  // blocks 2 and 3 now free together
                  failures += check(lockedmemory::allocate(256) == blocks[2], "two holes merge");
                  failures += check(lockedmemory::allocate(lockedmemory::largestAllocation + 1) == nullptr,
                                    "oversized requests go to the heap");
                  failures += check(lockedmemory::allocate(0) == nullptr, "empty requests go to the heap");
                  return failures;
              }),
              "");
}

}  // namespace
}  // namespace duoquill
