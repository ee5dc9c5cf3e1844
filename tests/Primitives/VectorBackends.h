#pragma once
// Runs test bodies with each vector backend of the post-quantum code that this processor has,
// so that the narrower backends stay tested where a wider one is chosen.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "Duoquill/Primitives/PQ/VectorBackend.h"

namespace duoquill::test {

inline const char* backendName(pq::VectorBackend backend) {
    return backend == pq::VectorBackend::avx512 ? "AVX-512" : backend == pq::VectorBackend::avx2 ? "AVX2" : "portable";
}

template <class Body>
void onEveryVectorBackend(Body body) {
    const auto previous = pq::vectorBackend();
    for (auto backend : {pq::VectorBackend::portable, pq::VectorBackend::avx2, pq::VectorBackend::avx512}) {
        if (!pq::useVectorBackend(backend)) continue;
        SCOPED_TRACE(std::string(backendName(backend)) + " backend");
        body();
    }
    pq::useVectorBackend(previous);
}

// For the kernels: each computation on the portable backend against the same on the wider
// backends, with random inputs drawn from Seed. Skipped where the processor has no AVX2; the
// backend in use is put back at the end.
template <std::uint32_t Seed>
class PortableAgainstWider : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pq::useVectorBackend(pq::VectorBackend::avx2)) GTEST_SKIP() << "the processor has no AVX2";
    }
    void TearDown() override { pq::useVectorBackend(previous_); }

    // The portable result; a test failure when a wider backend gives another.
    template <class Result>
    Result expectSame(const std::string& what, const std::function<Result()>& compute) {
        pq::useVectorBackend(pq::VectorBackend::portable);
        const Result expected = compute();
        for (auto backend : {pq::VectorBackend::avx2, pq::VectorBackend::avx512}) {
            if (!pq::useVectorBackend(backend)) continue;
            EXPECT_EQ(compute(), expected) << what << " differs on the " << backendName(backend) << " backend";
        }
        return expected;
    }

    // Coefficients uniform in [low, high].
    template <class Poly>
    Poly randomPoly(std::int32_t low, std::int32_t high) {
        std::uniform_int_distribution<std::int32_t> d(low, high);
        Poly p;
        for (auto& x : p.c) x = static_cast<std::remove_reference_t<decltype(x)>>(d(rng_));
        return p;
    }
    std::vector<std::uint8_t> randomBytes(std::size_t size) {
        std::vector<std::uint8_t> b(size);
        for (auto& x : b) x = static_cast<std::uint8_t>(rng_());
        return b;
    }

    std::mt19937 rng_{Seed};

private:
    pq::VectorBackend previous_ = pq::vectorBackend();
};

}  // namespace duoquill::test
