#include "Duoquill/System/ProcessHardening.h"

#include <openssl/crypto.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include "Duoquill/Base/LockedMemory.h"

namespace duoquill::ProcessHardening {
namespace {

// OpenSSL's secure heap: a power of two, split into blocks of at least the minimum size.
constexpr std::size_t cryptoHeapSize = 64 * 1024;
constexpr std::size_t cryptoHeapMinimum = 32;

}  // namespace

Result protectSecrets() noexcept {
    Result result;
    result.notDumpable = prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
    const rlimit noCore{0, 0};
    result.coreLimitZero = setrlimit(RLIMIT_CORE, &noCore) == 0;
    // 1: mapped and locked; 2: mapped, but locking or the guard pages failed.
    result.cryptoHeapLocked =
        CRYPTO_secure_malloc_initialized() || CRYPTO_secure_malloc_init(cryptoHeapSize, cryptoHeapMinimum) == 1;
    result.secretPoolLocked = lockedmemory::enable();
    return result;
}

void raiseDescriptorLimit() noexcept {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace duoquill::ProcessHardening
