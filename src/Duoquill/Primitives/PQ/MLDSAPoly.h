#pragma once
// The ring elements of ML-DSA, the NTT's twiddle factors and scaling: what the portable
// routines (MLDSAPolynomial.h) and the AVX2 kernels (MLDSAAvx2.h) both work on.

#include <array>
#include <cstddef>
#include <cstdint>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#endif

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

// A row of A * NTT(s1) summed unreduced, coefficient by coefficient.
struct RowSum {
    alignas(32) std::array<std::int64_t, n> c;
};

// The longest input of rejectBounded.
inline constexpr std::size_t maxBoundedLength = 2 * 136;

// Marks bytes computed from secrets as public for the constant-time check, which runs the
// code under valgrind with secret inputs marked undefined so that every branch or table
// index depending on them is reported. Outside valgrind this does nothing.
inline void declassify([[maybe_unused]] const void* bytes, [[maybe_unused]] std::size_t size) noexcept {
#if __has_include(<valgrind/memcheck.h>)
    VALGRIND_MAKE_MEM_DEFINED(bytes, size);
#endif
}

}  // namespace duoquill::mldsa
