// Chat mode's protection of the process: not dumpable, no core file, other processes of the
// same user kept out, key material locked in RAM as far as the limit allows, and nothing of
// it fatal when the system refuses.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

#include "ChildProcess.h"
#include "Duoquill/Platform/LockedMemory.h"
#include "Duoquill/Platform/P256.h"
#include "Duoquill/Platform/ProcessHardening.h"

namespace duoquill {
namespace {

using test::failuresInChild;
using test::WaitingChild;

std::string check(bool condition, const std::string& what) { return condition ? "" : what + "\n"; }

// kB of memory locked by this process, from /proc/self/status.
// AddressSanitizer answers mlock itself, with success, and locks nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool mlockReachesTheKernel = false;
#else
constexpr bool mlockReachesTheKernel = true;
#endif

long lockedKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmLck:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

bool canOpen(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    close(fd);
    return true;
}

TEST(ProcessHardening, ChatProcessIsNotDumpableAndWritesNoCoreFile) {
    EXPECT_EQ(failuresInChild([] {
                  const auto result = ProcessHardening::protectSecrets();
                  rlimit core{};
                  getrlimit(RLIMIT_CORE, &core);
                  return check(result.notDumpable && prctl(PR_GET_DUMPABLE) == 0, "still dumpable") +
                         check(result.coreLimitZero && core.rlim_cur == 0 && core.rlim_max == 0, "core limit not 0");
              }),
              "");
}

// Probes, from a third process of the same user, a plain and a hardened process.
std::string probeOtherProcesses() {
    WaitingChild plain([] {});
    WaitingChild hardened([] { ProcessHardening::protectSecrets(); });
    if (plain.pid() <= 0 || hardened.pid() <= 0) return "no children\n";
    const std::string proc = "/proc/";
    std::string failures =
        check(canOpen(proc + std::to_string(plain.pid()) + "/environ"), "the control must be readable") +
        check(!canOpen(proc + std::to_string(hardened.pid()) + "/environ"), "environ readable") +
        check(!canOpen(proc + std::to_string(hardened.pid()) + "/mem"), "memory readable");
    errno = 0;
    const long attached = ptrace(PTRACE_SEIZE, hardened.pid(), nullptr, nullptr);
    failures += check(attached == -1 && errno == EPERM, "ptrace attached");
    return failures;
}

TEST(ProcessHardening, OtherProcessesOfTheUserCanNeitherReadNorAttach) {
    EXPECT_EQ(failuresInChild([] {
                  // Root may read and trace anything: probe as an ordinary user. Changing the
                  // user clears the dumpable flag, which the plain control needs back.
                  if (geteuid() == 0) {
                      if (setgid(65534) != 0 || setuid(65534) != 0) return std::string("setuid failed\n");
                      prctl(PR_SET_DUMPABLE, 1);
                  }
                  return probeOtherProcesses();
              }),
              "");
}

TEST(ProcessHardening, KeyMaterialIsLockedWhereTheLimitAllows) {
    rlimit limit{};
    getrlimit(RLIMIT_MEMLOCK, &limit);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < 2 * lockedmemory::defaultPoolSize) {
        GTEST_SKIP() << "locked-memory limit below " << 2 * lockedmemory::defaultPoolSize << " bytes";
    }
    EXPECT_EQ(failuresInChild([] {
                  const auto result = ProcessHardening::protectSecrets();
                  std::string failures = check(result.secretPoolLocked, "pool not locked") +
                                         check(result.cryptoHeapLocked, "crypto heap not locked") +
                                         check(!mlockReachesTheKernel ||
                                                   lockedKilobytes() * 1024 >= long{lockedmemory::defaultPoolSize},
                                               "VmLck below the pool size");
                  const std::size_t before = lockedmemory::bytesInUse();
                  {
                      const SecureBytes key(32, 0x5a);
                      failures += check(lockedmemory::bytesInUse() == before + 32, "a key buffer is not in the pool");
                      const SecureBytes message(lockedmemory::largestAllocation + 1, 0);
                      failures += check(lockedmemory::bytesInUse() == before + 32, "large buffers use the heap");
                  }
                  failures += check(lockedmemory::bytesInUse() == before, "buffers go back to the pool");
                  const auto key = p256::PrivateKey::generate();
                  failures += check(key.sharedSecret(key.publicKey()).size() == 32, "P-256 still works");
                  return failures;
              }),
              "");
}

TEST(ProcessHardening, RefusedLockingIsNotFatal) {
    EXPECT_EQ(failuresInChild([] {
                  const rlimit none{0, 0};
                  setrlimit(RLIMIT_MEMLOCK, &none);
                  const auto result = ProcessHardening::protectSecrets();
                  const SecureBytes key(32, 0x5a);
                  const auto p256Key = p256::PrivateKey::generate();
                  return check(result.notDumpable && result.coreLimitZero, "the other steps must still apply") +
                         check(!result.secretPoolLocked && !lockedmemory::isEnabled(), "no pool without a limit") +
                         check(key.size() == 32 && key[31] == 0x5a, "SecureBytes falls back to the heap") +
                         check(p256Key.sharedSecret(p256Key.publicKey()).size() == 32, "P-256 still works");
              }),
              "");
}

}  // namespace
}  // namespace duoquill
