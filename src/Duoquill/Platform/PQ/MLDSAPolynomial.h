#pragma once
// Arithmetic in R_q = Z_8380417[X]/(X^256 + 1) for ML-DSA key generation: the NTT, products
// in the NTT domain, and the rejection samplers of ExpandA and ExpandS. Internal to the
// ML-DSA implementation. Each routine runs the AVX2 kernels of MLDSAAvx2.cpp when that
// backend is in use (VectorBackend.h), else portable code; both give the same results. None
// branches on or indexes by a coefficient, except rejectUniform, whose input is public, and
// rejectBounded on which half-bytes it rejects (see there).

#include <array>
#include <cstddef>
#include <cstdint>

namespace duoquill::mldsa {

inline constexpr std::int32_t q = 8380417;
inline constexpr std::size_t n = 256;
inline constexpr std::int32_t qInverse = 58728449;   // q^-1 mod 2^32

struct Poly {
    alignas(32) std::array<std::int32_t, n> c;
};

namespace detail {
constexpr int bitReverse8(int i) {
    int r = 0;
    for (int b = 0; b < 8; ++b) r |= ((i >> b) & 1) << (7 - b);
    return r;
}
constexpr std::int32_t centeredMontgomery(std::int64_t x) {
    x = (x % q) * ((std::int64_t{1} << 32) % q) % q;
    if (x > q / 2) x -= q;
    return static_cast<std::int32_t>(x);
}
}  // namespace detail

// zeta^BitRev8(m) * 2^32 mod q, centred, for zeta = 1753 (a primitive 512th root of unity):
// the twiddle factors in the order the NTT layers use them.
inline constexpr std::array<std::int32_t, n> zetas = [] {
    std::array<std::int32_t, n> t{};
    for (int m = 0; m < static_cast<int>(n); ++m) {
        std::int64_t power = 1;
        for (int e = 0; e < detail::bitReverse8(m); ++e) power = power * 1753 % q;
        t[m] = detail::centeredMontgomery(power);
    }
    return t;
}();

// 2^64 / 256 mod q: the inverse NTT's scaling by 1/256, leaving a factor 2^32.
inline constexpr std::int32_t inverseNttScale = detail::centeredMontgomery((std::int64_t{1} << 32) % q * 8347681);

// Forward NTT. In: |c| < q, normal order. Out: bit-reversed order, |c| < 9q.
void ntt(Poly& a) noexcept;
// A row of A * NTT(s1) summed unreduced, coefficient by coefficient.
struct RowSum {
    alignas(32) std::array<std::int64_t, n> c;
};
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
// declassify): it tells nothing of the kept ones, which are secret and not branched on.
inline constexpr std::size_t maxBoundedLength = 2 * 136;
std::size_t rejectBounded(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) noexcept;

// Marks bytes computed from secrets as public for the constant-time check, which runs the
// code under valgrind with secret inputs marked undefined so that every branch or table
// index depending on them is reported. Outside valgrind this does nothing.
void declassify(const void* bytes, std::size_t size) noexcept;

}  // namespace duoquill::mldsa
