#pragma once
// Arithmetic in R_q = Z_8380417[X]/(X^256 + 1) for ML-DSA key generation: the NTT, products
// in the NTT domain, and the rejection samplers of ExpandA and ExpandS. Internal to the
// ML-DSA implementation. Each routine runs the AVX2 kernels of MLDSAAvx2.cpp when that
// backend is in use (VectorBackend.h), else portable code; both give the same results. None
// branches on or indexes by a coefficient, except rejectUniform, whose input is public, and
// rejectBounded on which half-bytes it rejects (see there).

#include <cstddef>
#include <cstdint>

#include "Duoquill/Primitives/PQ/MLDSAPoly.h"

namespace duoquill::mldsa {

// Forward NTT. In: |c| < q, normal order. Out: bit-reversed order, |c| < 9q.
void ntt(Poly& a) noexcept;
// sum += a * b coefficient-wise.
void multiplyAccumulate(RowSum& sum, const Poly& a, const Poly& b) noexcept;
// t = NTT^-1(sum) + s2 into [0, q). In: |sum| < q * 2^31 (seven products of A's entries and
// NTT(s1) stay below 7 * 9q^2), |s2| < 2^20. The inverse NTT leaves a factor 2^32 that the
// Montgomery reduction of the sum removes.
void finishRow(Poly& t, const RowSum& sum, const Poly& s2) noexcept;

// RejNTTPoly: appends the 23-bit candidates below q of `length` bytes (a multiple of 3) to
// a from index count while fewer than n are kept; returns the new count. Public input.
std::size_t rejectUniform(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) noexcept;
// RejBoundedPoly for eta = 2: the same for half-bytes, keeping 2 - (b mod 5) for b < 15;
// length a multiple of 4, at most maxBoundedLength. Which half-bytes are 15 is declared public (see
// declassify, MLDSAPoly.h): it tells nothing of the kept ones, which are secret and not branched on.
std::size_t rejectBounded(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) noexcept;

}  // namespace duoquill::mldsa
