#pragma once
// Constants and scalar arithmetic mod q of ML-KEM, shared by the portable routines
// (MLKEMPolynomial.cpp) and the AVX2 kernels (MLKEMAvx2.cpp), so that both compute the same
// values. Internal to the ML-KEM implementation.

#include <array>
#include <cstdint>

#include "Duoquill/Primitives/PQ/MLKEMPoly.h"

namespace duoquill::mlkem::arith {

inline constexpr std::int32_t montgomeryFactor = 1 << 16;   // R
inline constexpr std::int16_t qInverse = -3327;               // q^-1 mod R, as a signed 16-bit value
inline constexpr int zeta = 17;                               // primitive 256th root of unity mod q
// round(2^26 / q), of the Barrett reduction.
inline constexpr std::int16_t barrettMultiplier = ((1 << 26) + q / 2) / q;

constexpr int bitReverse7(int i) {
    int r = 0;
    for (int b = 0; b < 7; ++b) r |= ((i >> b) & 1) << (6 - b);
    return r;
}

constexpr std::int16_t centeredMontgomery(std::int64_t x) {
    x = (x % q) * montgomeryFactor % q;
    if (x > q / 2) x -= q;
    return static_cast<std::int16_t>(x);
}

constexpr std::int64_t powerOfZeta(int e) {
    std::int64_t r = 1;
    for (int i = 0; i < e; ++i) r = r * zeta % q;
    return r;
}

// zeta^BitRev7(k) * R, the twiddle factors of the NTT layers in the order they are used.
inline constexpr std::array<std::int16_t, 128> zetas = [] {
    std::array<std::int16_t, 128> t{};
    for (int k = 0; k < 128; ++k) t[k] = centeredMontgomery(powerOfZeta(bitReverse7(k)));
    return t;
}();

// zeta^(2 BitRev7(i) + 1) * R, the moduli X^2 - gamma of the 128 degree-one products.
inline constexpr std::array<std::int16_t, 128> gammas = [] {
    std::array<std::int16_t, 128> t{};
    for (int i = 0; i < 128; ++i) t[i] = centeredMontgomery(powerOfZeta(2 * bitReverse7(i) + 1));
    return t;
}();

inline constexpr std::int16_t montgomerySquared = centeredMontgomery(montgomeryFactor);   // R^2 mod q
// R^2 / 128: the inverse NTT's scaling by 1/128, times R.
inline constexpr std::int16_t inverseNttScale = centeredMontgomery(std::int64_t{montgomeryFactor} * 3303);

constexpr std::int16_t twisted(std::int16_t b) { return static_cast<std::int16_t>(b * qInverse); }

constexpr std::array<std::int16_t, 128> twist(const std::array<std::int16_t, 128>& t) {
    std::array<std::int16_t, 128> r{};
    for (std::size_t i = 0; i < t.size(); ++i) r[i] = twisted(t[i]);
    return r;
}

inline constexpr std::array<std::int16_t, 128> zetasTwisted = twist(zetas);
inline constexpr std::array<std::int16_t, 128> gammasTwisted = twist(gammas);

// The factors of a MultiplyCache, times R, with their twisted forms: gamma_i at the odd
// position 2i + 1, 1 at the even ones.
struct CacheFactors {
    alignas(32) std::int16_t z[n];
    alignas(32) std::int16_t zt[n];
};

inline constexpr CacheFactors cacheFactors = [] {
    CacheFactors t{};
    for (std::size_t i = 0; i < n / 2; ++i) {
        t.z[2 * i] = centeredMontgomery(1);
        t.zt[2 * i] = twisted(centeredMontgomery(1));
        t.z[2 * i + 1] = gammas[i];
        t.zt[2 * i + 1] = gammasTwisted[i];
    }
    return t;
}();

// The arithmetic below keeps to 16-bit lanes (low and high halves of 16x16-bit products) so
// that the compiler turns the loops over coefficients into vector code on any target; the
// AVX2 kernels do the same steps with the matching instructions.

inline std::int16_t multiplyHigh(std::int16_t a, std::int16_t b) noexcept {
    return static_cast<std::int16_t>((static_cast<std::int32_t>(a) * b) >> 16);
}

inline std::int16_t multiplyLow(std::int16_t a, std::int16_t b) noexcept {
    return static_cast<std::int16_t>(a * b);
}

// a * b * R^-1 mod q, |r| < q for |a * b| < q * 2^15, given bTwisted = b * q^-1 mod R. The
// low halves of a*b and of m*q agree, so their difference is that of the high halves.
inline std::int16_t multiplyMontgomery(std::int16_t a, std::int16_t b, std::int16_t bTwisted) noexcept {
    const std::int16_t m = multiplyLow(a, bTwisted);
    return static_cast<std::int16_t>(multiplyHigh(a, b) - multiplyHigh(m, q));
}

inline std::int16_t multiplyMontgomery(std::int16_t a, std::int16_t b) noexcept {
    return multiplyMontgomery(a, b, multiplyLow(b, qInverse));
}

// The centred representative, |r| <= (q-1)/2, for any int16 a: a - round(a * v / 2^26) * q
// with v = round(2^26 / q), the rounding done on the high half of a * v.
inline std::int16_t barrettReduce(std::int16_t a) noexcept {
    const auto t = static_cast<std::int16_t>((multiplyHigh(a, barrettMultiplier) + 512) >> 10);
    return static_cast<std::int16_t>(a - t * q);
}

// [0, q) from (-q, q).
inline std::int16_t addQIfNegative(std::int16_t a) noexcept {
    return static_cast<std::int16_t>(a + ((a >> 15) & q));
}

// round(2^d * x / q) mod 2^d for x in [0, q), as a multiplication by ceil(2^36 / q) and a
// shift, exact for numerators below 2^24. No division: its time would depend on x.
template <int d>
inline std::uint32_t compress(std::int16_t x) noexcept {
    constexpr std::uint64_t magic = ((std::uint64_t{1} << 36) + q - 1) / q;
    const std::uint64_t numerator = (static_cast<std::uint64_t>(x) << d) + q / 2;
    return static_cast<std::uint32_t>((numerator * magic) >> 36) & ((1u << d) - 1);
}

template <int d>
inline std::int16_t decompress(std::uint32_t y) noexcept {
    return static_cast<std::int16_t>((y * q + (1u << (d - 1))) >> d);
}

}  // namespace duoquill::mlkem::arith
