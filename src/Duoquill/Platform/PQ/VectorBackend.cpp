#include "Duoquill/Platform/PQ/VectorBackend.h"

#include <atomic>

namespace duoquill::pq {
namespace {

bool processorHasAvx2() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

std::atomic<VectorBackend> selected{processorHasAvx2() ? VectorBackend::avx2 : VectorBackend::portable};

}  // namespace

VectorBackend vectorBackend() noexcept { return selected.load(std::memory_order_relaxed); }

bool useVectorBackend(VectorBackend backend) noexcept {
    if (backend == VectorBackend::avx2 && !processorHasAvx2()) return false;
    selected.store(backend);
    return true;
}

}  // namespace duoquill::pq
