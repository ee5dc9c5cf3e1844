#include "Duoquill/Primitives/PQ/VectorBackend.h"

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

bool processorHasAvx512() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    // libgcc also checks that the system saves the AVX-512 registers.
    return processorHasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#else
    return false;
#endif
}

bool processorHas(VectorBackend backend) noexcept {
    switch (backend) {
        case VectorBackend::portable: return true;
        case VectorBackend::avx2: return processorHasAvx2();
        case VectorBackend::avx512: return processorHasAvx512();
    }
    return false;
}

// Zero (portable) until initialised, so a use during static initialisation is still safe.
std::atomic<VectorBackend> selected{processorHasAvx512() ? VectorBackend::avx512
                                    : processorHasAvx2() ? VectorBackend::avx2
                                                         : VectorBackend::portable};

}  // namespace

VectorBackend vectorBackend() noexcept { return selected.load(std::memory_order_relaxed); }

bool usesAvx2() noexcept { return vectorBackend() != VectorBackend::portable; }

bool useVectorBackend(VectorBackend backend) noexcept {
    if (!processorHas(backend)) return false;
    selected.store(backend);
    return true;
}

}  // namespace duoquill::pq
