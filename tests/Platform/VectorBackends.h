#pragma once
// Runs a test body once with each vector backend of the post-quantum code that this
// processor has, so that the narrower backends stay tested where a wider one is chosen.

#include <gtest/gtest.h>

#include "Duoquill/Platform/PQ/VectorBackend.h"

namespace duoquill::test {

template <class Body>
void onEveryVectorBackend(Body body) {
    const auto previous = pq::vectorBackend();
    for (auto backend : {pq::VectorBackend::portable, pq::VectorBackend::avx2, pq::VectorBackend::avx512}) {
        if (!pq::useVectorBackend(backend)) continue;
        SCOPED_TRACE(backend == pq::VectorBackend::avx512 ? "AVX-512 backend"
                     : backend == pq::VectorBackend::avx2 ? "AVX2 backend"
                                                          : "portable backend");
        body();
    }
    pq::useVectorBackend(previous);
}

}  // namespace duoquill::test
