// The AVX2 kernels of ML-DSA (MLDSAAvx2.h). A polynomial is 32 vectors of 8 coefficients.
// The transforms keep the coefficient order of the portable code: the layers whose pairs lie
// within one vector (len 4, 2, 1) run on eight vectors transposed as an 8 x 8 matrix, where
// each pairs two vectors with one twiddle factor per lane. Every butterfly does the same
// arithmetic as the portable one, so both give the same coefficients. Only public values
// (the candidates of rejectUniform, the declassified flags of rejectBounded) pick a branch
// or a table entry.
//
// As in MLKEMAvx2.cpp, the pragmas that compile this file for AVX2 come after every header.

#include "Duoquill/Primitives/PQ/MLDSAAvx2.h"

#if DUOQUILL_MLDSA_AVX2

#include <immintrin.h>

#include <array>
#include <cstring>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace duoquill::mldsa::avx2 {
namespace {

using V = __m256i;

static_assert(sizeof(Poly) == 32 * sizeof(V) && alignof(Poly) >= alignof(V));

inline V load(const std::int32_t* p) noexcept { return _mm256_load_si256(reinterpret_cast<const V*>(p)); }
inline void store(std::int32_t* p, V v) noexcept { _mm256_store_si256(reinterpret_cast<V*>(p), v); }
inline V broadcast(std::int32_t x) noexcept { return _mm256_set1_epi32(x); }

constexpr std::int32_t twisted(std::int32_t z) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(z) * static_cast<std::uint32_t>(qInverse));
}

// A twiddle factor and its twisted form z * q^-1 mod 2^32, per lane or broadcast; the odd
// lanes moved to the even positions as _mm256_mul_epi32 reads them.
struct Twiddle {
    V z, zt, zOdd, ztOdd;
};

inline Twiddle broadcastTwiddle(std::int32_t z) noexcept {
    const V a = broadcast(z), b = broadcast(twisted(z));
    return {a, b, a, b};
}

// a * z * 2^-32 as montgomeryReduce does it: t = a * zt mod 2^32, and the high halves of
// a * z - t * q, whose low halves cancel.
inline V multiplyMontgomery(V a, const Twiddle& w) noexcept {
    const V q = broadcast(mldsa::q);
    const V aOdd = _mm256_srli_epi64(a, 32);
    const V even = _mm256_sub_epi32(_mm256_mul_epi32(a, w.z), _mm256_mul_epi32(_mm256_mul_epi32(a, w.zt), q));
    const V odd = _mm256_sub_epi32(_mm256_mul_epi32(aOdd, w.zOdd),
                                   _mm256_mul_epi32(_mm256_mul_epi32(aOdd, w.ztOdd), q));
    return _mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA);
}

// montgomeryReduce of eight sums at p: t = s * q^-1 mod 2^32, and the high halves of
// s - t * q, gathered in order.
inline V montgomeryReduce(const std::int64_t* p) noexcept {
    const V q = broadcast(mldsa::q), qInv = broadcast(qInverse);
    const V s0 = _mm256_load_si256(reinterpret_cast<const V*>(p)), s1 = _mm256_load_si256(reinterpret_cast<const V*>(p + 4));
    const V d0 = _mm256_sub_epi64(s0, _mm256_mul_epi32(_mm256_mul_epi32(s0, qInv), q));
    const V d1 = _mm256_sub_epi64(s1, _mm256_mul_epi32(_mm256_mul_epi32(s1, qInv), q));
    const V mixed = _mm256_blend_epi32(_mm256_srli_epi64(d0, 32), d1, 0xAA);   // 0 4 1 5 2 6 3 7
    return _mm256_permutevar8x32_epi32(mixed, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
}

inline V reduce32(V a) noexcept {
    const V t = _mm256_srai_epi32(_mm256_add_epi32(a, broadcast(1 << 22)), 23);
    return _mm256_sub_epi32(a, _mm256_mullo_epi32(t, broadcast(q)));
}

inline V addQIfNegative(V a) noexcept {
    return _mm256_add_epi32(a, _mm256_and_si256(_mm256_srai_epi32(a, 31), broadcast(q)));
}

inline void butterfly(V& low, V& high, const Twiddle& w) noexcept {
    const V t = multiplyMontgomery(high, w);
    high = _mm256_sub_epi32(low, t);
    low = _mm256_add_epi32(low, t);
}

inline void inverseButterfly(V& low, V& high, const Twiddle& w) noexcept {
    const V t = low;
    low = _mm256_add_epi32(t, high);
    high = multiplyMontgomery(_mm256_sub_epi32(t, high), w);
}

// r[i] lane m becomes r[m] lane i.
inline void transpose8x8(V* r) noexcept {
    V t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
    }
    for (int h = 0; h < 8; h += 4) {
        u[h] = _mm256_unpacklo_epi64(t[h], t[h + 2]);
        u[h + 1] = _mm256_unpackhi_epi64(t[h], t[h + 2]);
        u[h + 2] = _mm256_unpacklo_epi64(t[h + 1], t[h + 3]);
        u[h + 3] = _mm256_unpackhi_epi64(t[h + 1], t[h + 3]);
    }
    for (int m = 0; m < 4; ++m) {
        r[m] = _mm256_permute2x128_si256(u[m], u[m + 4], 0x20);
        r[m + 4] = _mm256_permute2x128_si256(u[m], u[m + 4], 0x31);
    }
}

// Twiddle factors per lane: lane i has sign * zetas[first + step * i].
struct LaneTwiddles {
    alignas(32) std::int32_t z[8];
    alignas(32) std::int32_t zt[8];
};

constexpr LaneTwiddles laneTwiddles(int first, int step, int sign) {
    LaneTwiddles t{};
    for (int i = 0; i < 8; ++i) {
        t.z[i] = sign * zetas[first + step * i];
        t.zt[i] = twisted(t.z[i]);
    }
    return t;
}

inline Twiddle loadTwiddle(const LaneTwiddles& t) noexcept {
    const V z = _mm256_load_si256(reinterpret_cast<const V*>(t.z));
    const V zt = _mm256_load_si256(reinterpret_cast<const V*>(t.zt));
    return {z, zt, _mm256_srli_epi64(z, 32), _mm256_srli_epi64(zt, 32)};
}

// After the transposition of group g (coefficients 64 g .. 64 g + 63), lane i of vector m
// holds coefficient 64 g + 8 i + m; the layers of len 4, 2 and 1 use, per lane, the twiddle
// factor of the block that coefficient lies in.
struct GroupTwiddles {
    LaneTwiddles len4, len2[2], len1[4];
};

constexpr std::array<GroupTwiddles, 4> forwardTwiddles = [] {
    std::array<GroupTwiddles, 4> t{};
    for (int g = 0; g < 4; ++g) {
        t[g].len4 = laneTwiddles(32 + 8 * g, 1, 1);
        for (int h = 0; h < 2; ++h) t[g].len2[h] = laneTwiddles(64 + 16 * g + h, 2, 1);
        for (int k = 0; k < 4; ++k) t[g].len1[k] = laneTwiddles(128 + 32 * g + k, 4, 1);
    }
    return t;
}();

// The inverse layers take the factors from the end, negated.
constexpr std::array<GroupTwiddles, 4> inverseTwiddles = [] {
    std::array<GroupTwiddles, 4> t{};
    for (int g = 0; g < 4; ++g) {
        t[g].len4 = laneTwiddles(63 - 8 * g, -1, -1);
        for (int h = 0; h < 2; ++h) t[g].len2[h] = laneTwiddles(127 - 16 * g - h, -2, -1);
        for (int k = 0; k < 4; ++k) t[g].len1[k] = laneTwiddles(255 - 32 * g - k, -4, -1);
    }
    return t;
}();

// For each 8-bit mask, the lanes whose bit is set, in order, then zeros; and their number.
struct Compaction {
    std::uint8_t lanes[256][8];
    std::uint8_t count[256];
};

constexpr Compaction compaction = [] {
    Compaction c{};
    for (int mask = 0; mask < 256; ++mask) {
        int k = 0;
        for (int i = 0; i < 8; ++i) {
            if (mask & (1 << i)) c.lanes[mask][k++] = static_cast<std::uint8_t>(i);
        }
        c.count[mask] = static_cast<std::uint8_t>(k);
    }
    return c;
}();

// Stores the lanes of v that mask selects at out and returns how many; writes 8 lanes.
inline std::size_t storeSelected(std::int32_t* out, V v, unsigned mask) noexcept {
    std::uint64_t packed;
    std::memcpy(&packed, compaction.lanes[mask], 8);
    const V index = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(packed)));
    _mm256_storeu_si256(reinterpret_cast<V*>(out), _mm256_permutevar8x32_epi32(v, index));
    return compaction.count[mask];
}

// The eight half-bytes of bytes[0..3], low half first, one per lane.
inline V halfBytes(const std::uint8_t* bytes) noexcept {
    std::int32_t word;
    std::memcpy(&word, bytes, 4);
    const __m128i x = _mm_cvtsi32_si128(word);
    const V doubled = _mm256_cvtepu8_epi32(_mm_unpacklo_epi8(x, x));
    return _mm256_and_si256(_mm256_srlv_epi32(doubled, _mm256_setr_epi32(0, 4, 0, 4, 0, 4, 0, 4)), broadcast(0x0F));
}

}  // namespace

void ntt(Poly& a) noexcept {
    std::int32_t* w = a.c.data();
    // Layers len 128, 64, 32 on the vectors o, o + 4, ..., o + 28.
    const Twiddle z1 = broadcastTwiddle(zetas[1]);
    const Twiddle z2[2] = {broadcastTwiddle(zetas[2]), broadcastTwiddle(zetas[3])};
    const Twiddle z4[4] = {broadcastTwiddle(zetas[4]), broadcastTwiddle(zetas[5]), broadcastTwiddle(zetas[6]),
                           broadcastTwiddle(zetas[7])};
    for (int o = 0; o < 4; ++o) {
        V x[8];
        for (int i = 0; i < 8; ++i) x[i] = load(w + 8 * (o + 4 * i));
        for (int i = 0; i < 4; ++i) butterfly(x[i], x[i + 4], z1);
        for (int h = 0; h < 2; ++h) {
            butterfly(x[4 * h], x[4 * h + 2], z2[h]);
            butterfly(x[4 * h + 1], x[4 * h + 3], z2[h]);
        }
        for (int h = 0; h < 4; ++h) butterfly(x[2 * h], x[2 * h + 1], z4[h]);
        for (int i = 0; i < 8; ++i) store(w + 8 * (o + 4 * i), x[i]);
    }
    // Layers len 16 and 8 across the vectors of each group of 64, then 4, 2, 1 transposed.
    for (int g = 0; g < 4; ++g) {
        V y[8];
        for (int i = 0; i < 8; ++i) y[i] = load(w + 64 * g + 8 * i);
        for (int h = 0; h < 2; ++h) {
            const Twiddle z = broadcastTwiddle(zetas[8 + 2 * g + h]);
            butterfly(y[4 * h], y[4 * h + 2], z);
            butterfly(y[4 * h + 1], y[4 * h + 3], z);
        }
        for (int h = 0; h < 4; ++h) butterfly(y[2 * h], y[2 * h + 1], broadcastTwiddle(zetas[16 + 4 * g + h]));
        transpose8x8(y);
        const GroupTwiddles& t = forwardTwiddles[g];
        const Twiddle z4g = loadTwiddle(t.len4);
        for (int m = 0; m < 4; ++m) butterfly(y[m], y[m + 4], z4g);
        for (int h = 0; h < 2; ++h) {
            const Twiddle z = loadTwiddle(t.len2[h]);
            butterfly(y[4 * h], y[4 * h + 2], z);
            butterfly(y[4 * h + 1], y[4 * h + 3], z);
        }
        for (int k = 0; k < 4; ++k) butterfly(y[2 * k], y[2 * k + 1], loadTwiddle(t.len1[k]));
        transpose8x8(y);
        for (int i = 0; i < 8; ++i) store(w + 64 * g + 8 * i, y[i]);
    }
}

void multiplyAccumulate(RowSum& sum, const Poly& a, const Poly& b) noexcept {
    // Four products at a time, the factors widened so that the sums keep their order.
    for (std::size_t i = 0; i < n; i += 4) {
        const V x = _mm256_cvtepi32_epi64(_mm_load_si128(reinterpret_cast<const __m128i*>(&a.c[i])));
        const V y = _mm256_cvtepi32_epi64(_mm_load_si128(reinterpret_cast<const __m128i*>(&b.c[i])));
        V* s = reinterpret_cast<V*>(&sum.c[i]);
        _mm256_store_si256(s, _mm256_add_epi64(_mm256_load_si256(s), _mm256_mul_epi32(x, y)));
    }
}

void finishRow(Poly& t, const RowSum& sum, const Poly& s2) noexcept {
    std::int32_t* w = t.c.data();
    for (int g = 0; g < 4; ++g) {
        V y[8];
        for (int i = 0; i < 8; ++i) y[i] = montgomeryReduce(&sum.c[64 * g + 8 * i]);
        transpose8x8(y);
        const GroupTwiddles& z = inverseTwiddles[g];
        for (int k = 0; k < 4; ++k) inverseButterfly(y[2 * k], y[2 * k + 1], loadTwiddle(z.len1[k]));
        for (int h = 0; h < 2; ++h) {
            const Twiddle zh = loadTwiddle(z.len2[h]);
            inverseButterfly(y[4 * h], y[4 * h + 2], zh);
            inverseButterfly(y[4 * h + 1], y[4 * h + 3], zh);
        }
        const Twiddle z4g = loadTwiddle(z.len4);
        for (int m = 0; m < 4; ++m) inverseButterfly(y[m], y[m + 4], z4g);
        transpose8x8(y);
        for (int h = 0; h < 4; ++h) inverseButterfly(y[2 * h], y[2 * h + 1], broadcastTwiddle(-zetas[31 - 4 * g - h]));
        for (int h = 0; h < 2; ++h) {
            const Twiddle zh = broadcastTwiddle(-zetas[15 - 2 * g - h]);
            inverseButterfly(y[4 * h], y[4 * h + 2], zh);
            inverseButterfly(y[4 * h + 1], y[4 * h + 3], zh);
        }
        for (int i = 0; i < 8; ++i) store(w + 64 * g + 8 * i, y[i]);
    }
    const Twiddle z1 = broadcastTwiddle(-zetas[1]);
    const Twiddle z2[2] = {broadcastTwiddle(-zetas[3]), broadcastTwiddle(-zetas[2])};
    const Twiddle z4[4] = {broadcastTwiddle(-zetas[7]), broadcastTwiddle(-zetas[6]), broadcastTwiddle(-zetas[5]),
                           broadcastTwiddle(-zetas[4])};
    const Twiddle scale = broadcastTwiddle(inverseNttScale);
    for (int o = 0; o < 4; ++o) {
        V x[8];
        for (int i = 0; i < 8; ++i) x[i] = load(w + 8 * (o + 4 * i));
        for (int h = 0; h < 4; ++h) inverseButterfly(x[2 * h], x[2 * h + 1], z4[h]);
        for (int h = 0; h < 2; ++h) {
            inverseButterfly(x[4 * h], x[4 * h + 2], z2[h]);
            inverseButterfly(x[4 * h + 1], x[4 * h + 3], z2[h]);
        }
        for (int i = 0; i < 4; ++i) inverseButterfly(x[i], x[i + 4], z1);
        for (int i = 0; i < 8; ++i) {
            const std::size_t at = 8 * (o + 4 * i);
            const V total = _mm256_add_epi32(multiplyMontgomery(x[i], scale), load(&s2.c[at]));
            store(w + at, addQIfNegative(reduce32(total)));
        }
    }
}

std::size_t rejectUniform(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) noexcept {
    // Eight candidates of 24 bytes, read as 32, spread to one per lane: the qwords 0, 1, 1, 2
    // put bytes 0 .. 11 in the low half and 12 .. 23 at 4 .. 15 of the high one.
    const V spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                      4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1);
    std::size_t p = 0;
    for (; count + 8 <= n && p + 32 <= length; p += 24) {
        const V raw = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const V*>(bytes + p)), 0x94);
        const V candidates = _mm256_and_si256(_mm256_shuffle_epi8(raw, spread), broadcast(0x7FFFFF));
        const V good = _mm256_cmpgt_epi32(broadcast(q), candidates);
        const auto mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(good)));
        count += storeSelected(&a.c[count], candidates, mask);
    }
    for (; p + 3 <= length && count < n; p += 3) {
        const std::int32_t value = bytes[p] | (bytes[p + 1] << 8) | ((bytes[p + 2] & 0x7F) << 16);
        a.c[count] = value;
        count += value < q;
    }
    return count;
}

std::size_t rejectBounded(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) noexcept {
    // The flags of the half-bytes below 15, eight to a byte, are made public first.
    std::uint8_t keep[maxBoundedLength / 4] = {};
    const std::size_t words = length / 4;
    for (std::size_t j = 0; j < words; ++j) {
        const V good = _mm256_cmpgt_epi32(broadcast(15), halfBytes(bytes + 4 * j));
        keep[j] = static_cast<std::uint8_t>(_mm256_movemask_ps(_mm256_castsi256_ps(good)));
    }
    declassify(keep, words);
    std::size_t j = 0;
    for (; j < words && count + 8 <= n; ++j) {
        const V b = halfBytes(bytes + 4 * j);
        const V quotient = _mm256_srli_epi32(_mm256_mullo_epi16(b, broadcast(205)), 10);   // b / 5 for b < 16
        const V remainder = _mm256_sub_epi32(b, _mm256_add_epi32(_mm256_slli_epi32(quotient, 2), quotient));
        count += storeSelected(&a.c[count], _mm256_sub_epi32(broadcast(2), remainder), keep[j]);
    }
    for (std::size_t i = 8 * j; i < 8 * words && count < n; ++i) {
        const int b = (bytes[i / 2] >> (4 * (i % 2))) & 0x0F;
        a.c[count] = 2 - (b - (205 * b >> 10) * 5);   // as the portable code does
        count += (keep[i / 8] >> (i % 8)) & 1;
    }
    return count;
}

}  // namespace duoquill::mldsa::avx2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
