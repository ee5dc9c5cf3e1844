// Chat mode's protection of the process: not dumpable, no core file, other processes of the
// same user kept out, key material locked in RAM as far as the limit allows (the locked pool
// behind SecureBytes: placement, wiping, first fit, fall-back to the heap), and nothing of it
// fatal when the system refuses. What changes the process for good runs in a child.

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Duoquill/Base/LockedMemory.h"
#include "Duoquill/Primitives/P256.h"
#include "Duoquill/System/ProcessHardening.h"
#include "Duoquill/Base/SecureBytes.h"

namespace duoquill {
namespace {

std::string check(bool condition, const std::string& what) { return condition ? "" : what + "\n"; }

// Ends the child with its failures on standard error, and status 0 only when there are none.
[[noreturn]] void exitWith(const std::string& failures) {
    std::fputs(failures.c_str(), stderr);
    std::_Exit(failures.empty() ? 0 : 1);
}

// Runs `body` in a child; the failures it returns, one per line, fail the test. The child is the
// test program started afresh, not a fork: an earlier test may have hardened this process.
void expectNoFailuresInChild(const std::function<std::string()>& body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWith(body()), ::testing::ExitedWithCode(0), "");
}

bool limitAllows(std::size_t poolSize) {
    rlimit limit{};
    getrlimit(RLIMIT_MEMLOCK, &limit);
    return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= 2 * poolSize;
}

// AddressSanitizer answers mlock itself, with success, and locks nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool mlockReachesTheKernel = false;
#else
constexpr bool mlockReachesTheKernel = true;
#endif

// kB of memory locked by this process, from /proc/self/status.
long lockedKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmLck:")) return std::stol(line.substr(6));
    return -1;
}

bool canOpen(const std::string& path) { return std::ifstream(path).is_open(); }

constexpr std::size_t smallPool = 64 * 1024;

TEST(LockedMemory, OffUntilEnabledPlacementWipingFirstFitAndHeapWhenFull) {
    if (!limitAllows(smallPool)) GTEST_SKIP() << "locked-memory limit too small";
    expectNoFailuresInChild([] {
        int onTheHeap = 0;
        std::string failures = check(!lockedmemory::isEnabled() && lockedmemory::allocate(32) == nullptr &&
                                         !lockedmemory::deallocate(&onTheHeap, sizeof onTheHeap),
                                     "the pool is on before it is enabled");
        failures += check(lockedmemory::enable(smallPool), "enable failed");
        failures += check(lockedmemory::enable(smallPool), "a second enable reports the pool");
        auto key = std::make_optional<SecureBytes>(64, 0xa5);
        const std::uint8_t* where = key->data();
        failures += check(reinterpret_cast<std::uintptr_t>(where) % 32 == 0, "32-byte alignment") +
                    check(lockedmemory::bytesInUse() == 64, "64 bytes in use");
        key.reset();
        // The pool stays mapped, so the released slots can be read back.
        failures += check(std::all_of(where, where + 64, [](std::uint8_t b) { return b == 0; }), "released bytes not wiped");
        failures += check(lockedmemory::bytesInUse() == 0, "released slots still in use");

        std::vector<void*> blocks;
        for (void* b; (b = lockedmemory::allocate(100)) != nullptr;) blocks.push_back(b);
        // 100 bytes take four 32-byte slots.
        failures += check(blocks.size() == smallPool / 128, "pool of 128-byte blocks not filled exactly");
        failures += check(SecureBytes(16, 1)[15] == 1, "heap fall-back");  // from the heap, and back to it
        for (std::size_t i = 0; i < blocks.size(); i += 2) lockedmemory::deallocate(blocks[i], 100);
        failures += check(lockedmemory::allocate(200) == nullptr, "no two neighbouring free blocks yet");
        failures += check(lockedmemory::allocate(128) == blocks[0], "first fit takes the first hole");
        lockedmemory::deallocate(blocks[3], 100);  // blocks 2 and 3 now free together
        failures += check(lockedmemory::allocate(256) == blocks[2], "two holes merge");
        failures += check(!lockedmemory::deallocate(&onTheHeap, sizeof onTheHeap), "a heap block taken for the pool's");
        failures += check(lockedmemory::allocate(lockedmemory::largestAllocation + 1) == nullptr,
                          "oversized requests go to the heap");
        return failures + check(lockedmemory::allocate(0) == nullptr, "empty requests go to the heap");
    });
}

// A child that runs `setup`, then waits until it is killed (by the destructor). Its /proc
// folder, or "" when it did not get ready.
struct WaitingChild {
    explicit WaitingChild(void (*setup)()) {
        int ready[2];
        if (pipe(ready) != 0) return;
        if ((pid = fork()) == 0) {
            setup();
            (void)!write(ready[1], "r", 1);
            for (;;) pause();
        }
        close(ready[1]);
        char byte;
        if (pid > 0 && read(ready[0], &byte, 1) == 1) proc = "/proc/" + std::to_string(pid);
        close(ready[0]);
    }
    ~WaitingChild() {
        if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
    std::string proc;
};

TEST(ProcessHardening, OtherProcessesOfTheUserCanNeitherReadNorAttach) {
    expectNoFailuresInChild([] {
        // Root may read and trace anything: probe as an ordinary user. Changing the user
        // clears the dumpable flag, which the plain control needs back.
        if (geteuid() == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) return std::string("setuid failed\n");
            prctl(PR_SET_DUMPABLE, 1);
        }
        const WaitingChild plain([] {}), hardened([] { ProcessHardening::protectSecrets(); });
        if (plain.proc.empty() || hardened.proc.empty()) return std::string("no children\n");
        std::string failures = check(canOpen(plain.proc + "/environ"), "the control must be readable") +
                               check(!canOpen(hardened.proc + "/environ"), "environ readable") +
                               check(!canOpen(hardened.proc + "/mem"), "memory readable");
        errno = 0;
        const long attached = ptrace(PTRACE_SEIZE, hardened.pid, nullptr, nullptr);
        return failures + check(attached == -1 && errno == EPERM, "ptrace attached");
    });
}

// Whether locking is allowed or refused (no limit at all), the process ends up not dumpable,
// without core files, and working; key buffers go to the pool only when it is locked.
TEST(ProcessHardening, KeyMaterialIsLockedWhereTheLimitAllowsAndARefusalIsNotFatal) {
    for (const bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "locking refused" : "locking allowed");
        if (!refused && !limitAllows(lockedmemory::defaultPoolSize)) GTEST_SKIP() << "locked-memory limit too small";
        expectNoFailuresInChild([refused] {
            const rlimit none{0, 0};
            if (refused) setrlimit(RLIMIT_MEMLOCK, &none);
            const auto result = ProcessHardening::protectSecrets();
            const auto p256Key = p256::PrivateKey::generate();
            const std::size_t before = lockedmemory::bytesInUse();
            const SecureBytes key(32, 0x5a);
            rlimit core{};
            getrlimit(RLIMIT_CORE, &core);
            std::string failures =
                check(result.notDumpable && prctl(PR_GET_DUMPABLE) == 0, "still dumpable") +
                check(result.coreLimitZero && core.rlim_cur == 0 && core.rlim_max == 0, "core limit not 0") +
                check(key.size() == 32 && key[31] == 0x5a, "a key buffer") +
                check(p256Key.sharedSecret(p256Key.publicKey()).size() == 32, "P-256 still works");
            if (refused) {
                return failures +
                       check(!result.secretPoolLocked && !lockedmemory::isEnabled(), "no pool without a limit");
            }
            return failures + check(result.secretPoolLocked, "pool not locked") +
                   check(result.cryptoHeapLocked, "crypto heap not locked") +
                   check(lockedmemory::bytesInUse() == before + 32, "a key buffer is not in the pool") +
                   check(!mlockReachesTheKernel || lockedKilobytes() * 1024 >= long{lockedmemory::defaultPoolSize},
                         "VmLck below the pool size");
        });
    }
}

}  // namespace
}  // namespace duoquill
