#pragma once
// Runs a test body once with each vector backend of the post-quantum code that this
// processor has, so that the narrower backends stay tested where a wider one is chosen.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

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

// For the kernels: a computation on the portable backend against the same on AVX2, where the
// processor has it. The backend in use is put back at the end.
class PortableAgainstAvx2 {
public:
    ~PortableAgainstAvx2() { pq::useVectorBackend(previous_); }

    // The portable result; a test failure when AVX2 gives another.
    template <class Result>
    Result expectSame(const std::function<Result()>& compute, const std::string& what) {
        EXPECT_TRUE(pq::useVectorBackend(pq::VectorBackend::portable));
        const Result expected = compute();
        if (pq::useVectorBackend(pq::VectorBackend::avx2)) {
            EXPECT_EQ(compute(), expected) << what << " differs on the AVX2 backend";
        } else {
            avx2Missing = true;
        }
        return expected;
    }
    bool avx2Missing = false;

private:
    pq::VectorBackend previous_ = pq::vectorBackend();
};

inline std::vector<std::uint8_t> randomBytes(std::mt19937& rng, std::size_t size) {
    std::uniform_int_distribution<int> d(0, 255);
    std::vector<std::uint8_t> b(size);
    for (auto& x : b) x = static_cast<std::uint8_t>(d(rng));
    return b;
}

}  // namespace duoquill::test
