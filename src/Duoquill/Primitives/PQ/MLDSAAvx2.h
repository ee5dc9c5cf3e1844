#pragma once
// The AVX2 kernels of ML-DSA (MLDSAAvx2.cpp), which MLDSAPolynomial.cpp calls when the AVX2
// backend is in use (VectorBackend.h). Each gives the same results as the portable routine
// of the same name in MLDSAPolynomial.h, and keeps its constant-time properties. Only
// called after the processor was found to have AVX2.

#include <cstddef>
#include <cstdint>

#include "Duoquill/Primitives/PQ/MLDSAPoly.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define DUOQUILL_MLDSA_AVX2 1
#else
#define DUOQUILL_MLDSA_AVX2 0
#endif

#if DUOQUILL_MLDSA_AVX2
namespace duoquill::mldsa::avx2 {

void ntt(Poly& a) noexcept;
void multiplyAccumulate(RowSum& sum, const Poly& a, const Poly& b) noexcept;
void finishRow(Poly& t, const RowSum& sum, const Poly& s2) noexcept;
std::size_t rejectUniform(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) noexcept;
std::size_t rejectBounded(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) noexcept;

}  // namespace duoquill::mldsa::avx2
#endif
