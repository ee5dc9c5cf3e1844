#pragma once
// The ring elements of ML-KEM and their sizes: what the portable routines (MLKEMPolynomial.h)
// and the AVX2 kernels (MLKEMAvx2.h) both work on.

#include <array>
#include <cstddef>
#include <cstdint>

namespace duoquill::mlkem {

inline constexpr std::int16_t q = 3329;
inline constexpr std::size_t n = 256;
inline constexpr std::size_t encodedPolySize = 384;  // 256 coefficients of 12 bits

// Coefficients are int16 representatives; each operation states the range it leaves.
struct Poly {
    alignas(32) std::array<std::int16_t, n> c;
};

// A second operand b of multiplyAccumulate, precomputed once for an operand that is used
// several times: (b[2i], b[2i + 1] * gamma_i) mod q at positions 2i and 2i + 1, |c| < q,
// where X^2 - gamma_i is the modulus of the i-th degree-one product.
struct MultiplyCache {
    alignas(32) std::array<std::int16_t, n> c;
};

}  // namespace duoquill::mlkem
