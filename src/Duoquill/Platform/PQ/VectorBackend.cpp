#include "Duoquill/Platform/PQ/VectorBackend.h"

#include <atomic>

namespace duoquill::pq {
namespace {

bool processorHasAvx2() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();   // this may run among the static constructors, before libgcc's own
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi");
#else
    return false;
#endif
}

// Zero (portable) until initialised, so a use during static initialisation is still safe.
std::atomic<VectorBackend> selected{processorHasAvx2() ? VectorBackend::avx2 : VectorBackend::portable};

}  // namespace

VectorBackend vectorBackend() noexcept { return selected.load(std::memory_order_relaxed); }

bool useVectorBackend(VectorBackend backend) noexcept {
    if (backend == VectorBackend::avx2 && !processorHasAvx2()) return false;
    selected.store(backend);
    return true;
}

}  // namespace duoquill::pq
