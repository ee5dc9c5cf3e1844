// The AVX2 kernels of ML-KEM (MLKEMAvx2.h). A polynomial is 16 vectors of 16 coefficients.
// The transforms keep the coefficient order of the portable code: the layers whose pairs lie
// within one vector (len 8, 4, 2) run after a 16 x 16 transposition, where each pairs two
// vectors with one twiddle factor per lane, and the polynomial is transposed back. Every
// butterfly does the same arithmetic as the portable one (MLKEMArithmetic.h), so both give
// the same coefficients. No branch or table index depends on a coefficient, except in
// rejectUniform, whose input is public.
//
// The whole file is compiled for AVX2 by the pragmas below, which come after every header:
// the inline functions and templates of the headers keep the baseline instruction set, so
// no copy of them built for AVX2 can be picked by the linker for the portable code.

#include "Duoquill/Primitives/PQ/MLKEMAvx2.h"

#if DUOQUILL_MLKEM_AVX2

#include <immintrin.h>

#include <array>
#include <cstring>

#include "Duoquill/Primitives/PQ/MLKEMArithmetic.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace duoquill::mlkem::avx2 {
namespace {

using namespace arith;
using V = __m256i;

static_assert(sizeof(Poly) == 16 * sizeof(V) && alignof(Poly) >= alignof(V));

inline V load(const std::int16_t* p) noexcept { return _mm256_load_si256(reinterpret_cast<const V*>(p)); }
inline void store(std::int16_t* p, V v) noexcept { _mm256_store_si256(reinterpret_cast<V*>(p), v); }
inline V broadcast(std::int16_t x) noexcept { return _mm256_set1_epi16(x); }

template <class T>
inline V loadTable(const T& table) noexcept {
    static_assert(sizeof table == sizeof(V));
    return _mm256_loadu_si256(reinterpret_cast<const V*>(&table));
}

// ---- Arithmetic mod q on 16 lanes, the steps of MLKEMArithmetic.h ----

// a * b * R^-1, given bTwisted = b * q^-1 mod R.
inline V multiplyMontgomery(V a, V b, V bTwisted) noexcept {
    const V m = _mm256_mullo_epi16(a, bTwisted);
    return _mm256_sub_epi16(_mm256_mulhi_epi16(a, b), _mm256_mulhi_epi16(m, broadcast(q)));
}

// (high(a * v) + 512) >> 10 is mulhrs(high(a * v), 32).
inline V barrettReduce(V a) noexcept {
    V t = _mm256_mulhi_epi16(a, broadcast(barrettMultiplier));
    t = _mm256_mulhrs_epi16(t, broadcast(32));
    return _mm256_sub_epi16(a, _mm256_mullo_epi16(t, broadcast(q)));
}

inline V addQIfNegative(V a) noexcept {
    return _mm256_add_epi16(a, _mm256_and_si256(_mm256_srai_epi16(a, 15), broadcast(q)));
}

// [0, q) from [0, 2q): a - q unless that wraps around as an unsigned value.
inline V subtractQIfAtLeastQ(V a) noexcept { return _mm256_min_epu16(a, _mm256_sub_epi16(a, broadcast(q))); }

// ---- The transforms ----

// Transposes the 8 x 8 blocks of 16-bit values in each 128-bit lane of x[0..7].
inline void transposeLanes8x8(V* x) noexcept {
    const V a0 = _mm256_unpacklo_epi16(x[0], x[1]), a1 = _mm256_unpackhi_epi16(x[0], x[1]);
    const V a2 = _mm256_unpacklo_epi16(x[2], x[3]), a3 = _mm256_unpackhi_epi16(x[2], x[3]);
    const V a4 = _mm256_unpacklo_epi16(x[4], x[5]), a5 = _mm256_unpackhi_epi16(x[4], x[5]);
    const V a6 = _mm256_unpacklo_epi16(x[6], x[7]), a7 = _mm256_unpackhi_epi16(x[6], x[7]);
    const V b0 = _mm256_unpacklo_epi32(a0, a2), b1 = _mm256_unpackhi_epi32(a0, a2);
    const V b2 = _mm256_unpacklo_epi32(a1, a3), b3 = _mm256_unpackhi_epi32(a1, a3);
    const V b4 = _mm256_unpacklo_epi32(a4, a6), b5 = _mm256_unpackhi_epi32(a4, a6);
    const V b6 = _mm256_unpacklo_epi32(a5, a7), b7 = _mm256_unpackhi_epi32(a5, a7);
    x[0] = _mm256_unpacklo_epi64(b0, b4);
    x[1] = _mm256_unpackhi_epi64(b0, b4);
    x[2] = _mm256_unpacklo_epi64(b1, b5);
    x[3] = _mm256_unpackhi_epi64(b1, b5);
    x[4] = _mm256_unpacklo_epi64(b2, b6);
    x[5] = _mm256_unpackhi_epi64(b2, b6);
    x[6] = _mm256_unpacklo_epi64(b3, b7);
    x[7] = _mm256_unpackhi_epi64(b3, b7);
}

// r[i] lane m becomes r[m] lane i: coefficient 16 i + m moves to lane i of vector m.
inline void transpose16x16(V* r) noexcept {
    transposeLanes8x8(r);
    transposeLanes8x8(r + 8);
    for (int m = 0; m < 8; ++m) {
        const V low = r[m], high = r[m + 8];
        r[m] = _mm256_permute2x128_si256(low, high, 0x20);
        r[m + 8] = _mm256_permute2x128_si256(low, high, 0x31);
    }
}

// A twiddle factor per lane, with its twisted form.
struct LaneTwiddles {
    alignas(32) std::int16_t z[16];
    alignas(32) std::int16_t zt[16];
};

// Lane i: zetas[first + step * i].
constexpr LaneTwiddles laneTwiddles(int first, int step) {
    LaneTwiddles t{};
    for (int i = 0; i < 16; ++i) {
        t.z[i] = zetas[first + step * i];
        t.zt[i] = zetasTwisted[first + step * i];
    }
    return t;
}

// After the transposition lane i holds the 16-coefficient block i, and vector m position m
// within it. The forward layer len 8 uses zetas[16 + i] for block i; len 4 zetas[32 + 2i + h]
// for its half h (positions 8h .. 8h + 7); len 2 zetas[64 + 4i + g] for its quarter g. The
// inverse layers use them in the opposite order: zetas[127 - (4i + g)], [63 - (2i + h)], [31 - i].
constexpr LaneTwiddles forwardLen8 = laneTwiddles(16, 1);
constexpr std::array<LaneTwiddles, 2> forwardLen4 = {laneTwiddles(32, 2), laneTwiddles(33, 2)};
constexpr std::array<LaneTwiddles, 4> forwardLen2 = {laneTwiddles(64, 4), laneTwiddles(65, 4), laneTwiddles(66, 4),
                                                     laneTwiddles(67, 4)};
constexpr std::array<LaneTwiddles, 4> inverseLen2 = {laneTwiddles(127, -4), laneTwiddles(126, -4),
                                                     laneTwiddles(125, -4), laneTwiddles(124, -4)};
constexpr std::array<LaneTwiddles, 2> inverseLen4 = {laneTwiddles(63, -2), laneTwiddles(62, -2)};
constexpr LaneTwiddles inverseLen8 = laneTwiddles(31, -1);

inline void butterfly(V& x, V& y, V z, V zt) noexcept {
    const V t = multiplyMontgomery(y, z, zt);
    y = _mm256_sub_epi16(x, t);
    x = _mm256_add_epi16(x, t);
}

inline void butterfly(V& x, V& y, std::int16_t k) noexcept {
    butterfly(x, y, broadcast(zetas[k]), broadcast(zetasTwisted[k]));
}

inline void butterfly(V& x, V& y, const LaneTwiddles& w) noexcept { butterfly(x, y, load(w.z), load(w.zt)); }

inline void inverseButterfly(V& x, V& y, V z, V zt) noexcept {
    const V t = x;
    x = barrettReduce(_mm256_add_epi16(t, y));
    y = multiplyMontgomery(_mm256_sub_epi16(y, t), z, zt);
}

inline void inverseButterfly(V& x, V& y, std::int16_t k) noexcept {
    inverseButterfly(x, y, broadcast(zetas[k]), broadcast(zetasTwisted[k]));
}

inline void inverseButterfly(V& x, V& y, const LaneTwiddles& w) noexcept {
    inverseButterfly(x, y, load(w.z), load(w.zt));
}

}  // namespace

void ntt(Poly& a) noexcept {
    V r[16];
    for (int v = 0; v < 16; ++v) r[v] = load(&a.c[16 * v]);
    for (int v = 0; v < 8; ++v) butterfly(r[v], r[v + 8], 1);                 // len 128
    for (int b = 0; b < 2; ++b) {
        for (int v = 0; v < 4; ++v) butterfly(r[8 * b + v], r[8 * b + v + 4], 2 + b);   // len 64
    }
    for (int b = 0; b < 4; ++b) {
        for (int v = 0; v < 2; ++v) butterfly(r[4 * b + v], r[4 * b + v + 2], 4 + b);   // len 32
    }
    for (int b = 0; b < 8; ++b) butterfly(r[2 * b], r[2 * b + 1], 8 + b);     // len 16
    transpose16x16(r);
    for (int m = 0; m < 8; ++m) butterfly(r[m], r[m + 8], forwardLen8);
    for (int h = 0; h < 2; ++h) {
        for (int m = 0; m < 4; ++m) butterfly(r[8 * h + m], r[8 * h + m + 4], forwardLen4[h]);
    }
    for (int g = 0; g < 4; ++g) {
        for (int m = 0; m < 2; ++m) butterfly(r[4 * g + m], r[4 * g + m + 2], forwardLen2[g]);
    }
    transpose16x16(r);
    for (int v = 0; v < 16; ++v) store(&a.c[16 * v], barrettReduce(r[v]));
}

void inverseNtt(Poly& a) noexcept {
    V r[16];
    for (int v = 0; v < 16; ++v) r[v] = load(&a.c[16 * v]);
    transpose16x16(r);
    for (int g = 0; g < 4; ++g) {
        for (int m = 0; m < 2; ++m) inverseButterfly(r[4 * g + m], r[4 * g + m + 2], inverseLen2[g]);
    }
    for (int h = 0; h < 2; ++h) {
        for (int m = 0; m < 4; ++m) inverseButterfly(r[8 * h + m], r[8 * h + m + 4], inverseLen4[h]);
    }
    for (int m = 0; m < 8; ++m) inverseButterfly(r[m], r[m + 8], inverseLen8);
    transpose16x16(r);
    for (int b = 0; b < 8; ++b) inverseButterfly(r[2 * b], r[2 * b + 1], 15 - b);   // len 16
    for (int b = 0; b < 4; ++b) {
        for (int v = 0; v < 2; ++v) inverseButterfly(r[4 * b + v], r[4 * b + v + 2], 7 - b);   // len 32
    }
    for (int b = 0; b < 2; ++b) {
        for (int v = 0; v < 4; ++v) inverseButterfly(r[8 * b + v], r[8 * b + v + 4], 3 - b);   // len 64
    }
    for (int v = 0; v < 8; ++v) inverseButterfly(r[v], r[v + 8], 1);          // len 128
    const V scale = broadcast(inverseNttScale), scaleTwisted = broadcast(twisted(inverseNttScale));
    for (int v = 0; v < 16; ++v) store(&a.c[16 * v], multiplyMontgomery(r[v], scale, scaleTwisted));
}

// ---- Multiplication in the NTT domain ----

namespace {

// Swaps the two 16-bit values of each 32-bit lane.
constexpr std::int8_t swapPairsIndex[32] = {2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                            2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13};

}  // namespace

void computeMultiplyCache(MultiplyCache& cache, const Poly& b) noexcept {
    for (int v = 0; v < 16; ++v) {
        store(&cache.c[16 * v], multiplyMontgomery(load(&b.c[16 * v]), load(&cacheFactors.z[16 * v]),
                                                   load(&cacheFactors.zt[16 * v])));
    }
}

// Per 32-bit lane i: madd(a, cache) = a0 b0 + a1 (b1 gamma), the even coefficient, and
// madd(a, b with its pairs swapped) = a0 b1 + a1 b0, the odd one; summed over the count
// products in 32 bits, then one Montgomery reduction of each sum on its 16-bit halves. With
// a and the cache below q in size and b at most (q-1)/2, a sum of four is below
// 8 (q-1)^2 < q 2^15, within the reduction's range.
void multiplyAccumulate(Poly& out, const Poly* a, const Poly* b, const MultiplyCache* bCache,
                        std::size_t count) noexcept {
    const V swapPairs = loadTable(swapPairsIndex);
    for (int v = 0; v < 16; ++v) {
        V even = _mm256_setzero_si256(), odd = _mm256_setzero_si256();
        for (std::size_t m = 0; m < count; ++m) {
            const V x = load(&a[m].c[16 * v]);
            const V y = _mm256_shuffle_epi8(load(&b[m].c[16 * v]), swapPairs);
            even = _mm256_add_epi32(even, _mm256_madd_epi16(x, load(&bCache[m].c[16 * v])));
            odd = _mm256_add_epi32(odd, _mm256_madd_epi16(x, y));
        }
        const V low = _mm256_blend_epi16(even, _mm256_slli_epi32(odd, 16), 0xAA);
        const V high = _mm256_blend_epi16(_mm256_srli_epi32(even, 16), odd, 0xAA);
        const V m = _mm256_mullo_epi16(low, broadcast(qInverse));
        store(&out.c[16 * v], _mm256_sub_epi16(high, _mm256_mulhi_epi16(m, broadcast(q))));
    }
}

void add(Poly& a, const Poly& b) noexcept {
    for (int v = 0; v < 16; ++v) store(&a.c[16 * v], _mm256_add_epi16(load(&a.c[16 * v]), load(&b.c[16 * v])));
}

void subtract(Poly& a, const Poly& b) noexcept {
    for (int v = 0; v < 16; ++v) store(&a.c[16 * v], _mm256_sub_epi16(load(&a.c[16 * v]), load(&b.c[16 * v])));
}

void reduce(Poly& a) noexcept {
    for (int v = 0; v < 16; ++v) store(&a.c[16 * v], barrettReduce(load(&a.c[16 * v])));
}

void toMontgomery(Poly& a) noexcept {
    const V factor = broadcast(montgomerySquared), factorTwisted = broadcast(twisted(montgomerySquared));
    for (int v = 0; v < 16; ++v) {
        store(&a.c[16 * v], multiplyMontgomery(load(&a.c[16 * v]), factor, factorTwisted));
    }
}

void normalize(Poly& a) noexcept {
    for (int v = 0; v < 16; ++v) store(&a.c[16 * v], addQIfNegative(barrettReduce(load(&a.c[16 * v]))));
}

// ---- 12-bit values ----

namespace {

// 24 bytes into sixteen 12-bit values: the low 128-bit lane takes bytes 0-11, the high one
// bytes 12-23 (loaded from byte 8, so that nothing past the 24 bytes is read).
constexpr std::int8_t unpack12Index[32] = {0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11,
                                           4, 5, 5, 6, 7, 8, 8, 9, 10, 11, 11, 12, 13, 14, 14, 15};

inline V unpack12(const std::uint8_t* in) noexcept {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8));
    const V x = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1),
                                    loadTable(unpack12Index));
    return _mm256_blend_epi16(_mm256_and_si256(x, broadcast(0x0FFF)), _mm256_srli_epi16(x, 4), 0xAA);
}

// The three low bytes of each 32-bit lane, packed to the front of its 128-bit lane.
constexpr std::int8_t pack24Index[32] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                         0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1};

// Writes the `used` low bytes of each 128-bit lane of x (the rest zero) one after the other:
// 16 bytes, then 2 * used - 16.
template <int used>
inline void storeLanes(std::uint8_t* out, V x) noexcept {
    static_assert(used > 8 && used < 16);
    const __m128i low = _mm256_castsi256_si128(x), high = _mm256_extracti128_si256(x, 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(low, _mm_bslli_si128(high, used)));
    const __m128i rest = _mm_bsrli_si128(high, 16 - used);
    std::uint64_t bytes = static_cast<std::uint64_t>(_mm_cvtsi128_si64(rest));
    std::memcpy(out + 16, &bytes, 2 * used - 16);
}

}  // namespace

void encode12(const Poly& a, std::uint8_t* out) noexcept {
    const V pack = loadTable(pack24Index);
    for (int v = 0; v < 16; ++v) {
        // a0 + 2^12 a1 in each 32-bit lane.
        const V pairs = _mm256_madd_epi16(load(&a.c[16 * v]), _mm256_set1_epi32((1 << 28) | 1));
        storeLanes<12>(out + 24 * v, _mm256_shuffle_epi8(pairs, pack));
    }
}

void decode12(Poly& a, const std::uint8_t* in) noexcept {
    for (int v = 0; v < 16; ++v) store(&a.c[16 * v], subtractQIfAtLeastQ(unpack12(in + 24 * v)));
}

bool isCanonical12(const std::uint8_t* in) noexcept {
    V tooLarge = _mm256_setzero_si256();
    for (int v = 0; v < 16; ++v) {
        tooLarge = _mm256_or_si256(tooLarge, _mm256_cmpgt_epi16(unpack12(in + 24 * v), broadcast(q - 1)));
    }
    return _mm256_testz_si256(tooLarge, tooLarge) != 0;
}

// ---- Sampling ----

namespace {

// For each 8-bit mask of accepted candidates, the byte shuffle that moves the accepted 16-bit
// values of a 128-bit lane to its front, and their number.
struct CompactionTable {
    alignas(16) std::int8_t shuffle[256][16];
    std::uint8_t count[256];
};

constexpr CompactionTable compactionTable = [] {
    CompactionTable t{};
    for (int mask = 0; mask < 256; ++mask) {
        int k = 0;
        for (int j = 0; j < 8; ++j) {
            if ((mask >> j) & 1) {
                t.shuffle[mask][2 * k] = static_cast<std::int8_t>(2 * j);
                t.shuffle[mask][2 * k + 1] = static_cast<std::int8_t>(2 * j + 1);
                ++k;
            }
        }
        for (int p = 2 * k; p < 16; ++p) t.shuffle[mask][p] = -1;
        t.count[mask] = static_cast<std::uint8_t>(k);
    }
    return t;
}();

inline void appendAccepted(std::int16_t* accepted, std::size_t& count, __m128i candidates, unsigned mask) noexcept {
    const __m128i index = _mm_load_si128(reinterpret_cast<const __m128i*>(compactionTable.shuffle[mask]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(accepted + count), _mm_shuffle_epi8(candidates, index));
    count += compactionTable.count[mask];
}

}  // namespace

std::size_t rejectUniform(std::int16_t* accepted, std::size_t count, const std::uint8_t* bytes,
                          std::size_t length) noexcept {
    std::size_t p = 0;
    // Sixteen candidates at a time while all sixteen would fit below n.
    for (; count + 16 <= n && p + 24 <= length; p += 24) {
        const V candidates = unpack12(bytes + p);
        const V good = _mm256_cmpgt_epi16(broadcast(q), candidates);
        const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_packs_epi16(good, good)));
        appendAccepted(accepted, count, _mm256_castsi256_si128(candidates), mask & 0xFF);
        appendAccepted(accepted, count, _mm256_extracti128_si256(candidates, 1), (mask >> 16) & 0xFF);
    }
    for (; p + 3 <= length && count < n; p += 3) {
        const auto d1 = static_cast<std::int16_t>(bytes[p] | ((bytes[p + 1] & 0x0F) << 8));
        const auto d2 = static_cast<std::int16_t>((bytes[p + 1] >> 4) | (bytes[p + 2] << 4));
        accepted[count] = d1;
        count += d1 < q;
        accepted[count] = d2;
        count += d2 < q;
    }
    return count;
}

// Lanes 4g .. 4g + 3 of the four states, a 4 x 4 transposition of 64-bit values, give 32
// consecutive bytes of each state's output.
void extractX4(const sha3::KeccakX4State& state, const std::array<std::uint8_t*, 4>& out, std::size_t bytes) noexcept {
    const std::size_t lanes = bytes / 8;
    std::size_t lane = 0;
    for (; lane + 4 <= lanes; lane += 4) {
        const auto row = [&](std::size_t i) { return _mm256_load_si256(reinterpret_cast<const V*>(state.lanes[lane + i])); };
        const V r0 = row(0), r1 = row(1), r2 = row(2), r3 = row(3);
        const V t0 = _mm256_unpacklo_epi64(r0, r1), t1 = _mm256_unpackhi_epi64(r0, r1);
        const V t2 = _mm256_unpacklo_epi64(r2, r3), t3 = _mm256_unpackhi_epi64(r2, r3);
        const auto put = [&](std::size_t s, V x) { _mm256_storeu_si256(reinterpret_cast<V*>(out[s] + 8 * lane), x); };
        put(0, _mm256_permute2x128_si256(t0, t2, 0x20));
        put(1, _mm256_permute2x128_si256(t1, t3, 0x20));
        put(2, _mm256_permute2x128_si256(t0, t2, 0x31));
        put(3, _mm256_permute2x128_si256(t1, t3, 0x31));
    }
    for (; lane < lanes; ++lane) {
        for (std::size_t s = 0; s < 4; ++s) std::memcpy(out[s] + 8 * lane, &state.lanes[lane][s], 8);
    }
}

namespace {

// SamplePolyCBD_2 of the 32 bytes in x: coefficient 2j from the low half of byte j, 2j + 1
// from its high half, each (b0 + b1) - (b2 + b3) of its four bits. Returns them as signed
// bytes, interleaved within the 128-bit lanes: the low half of each result holds the
// coefficients of bytes 0-7 (first) and 8-15 (second), the high half of bytes 16-23 and 24-31.
inline void centeredBinomial2Bytes(V x, V& first, V& second) noexcept {
    const V ones = _mm256_set1_epi8(0x55), twos = _mm256_set1_epi8(0x33), nibble = _mm256_set1_epi8(0x0F);
    const V sums = _mm256_add_epi8(_mm256_and_si256(x, ones), _mm256_and_si256(_mm256_srli_epi16(x, 1), ones));
    // x - y + 3 in each half-byte, from 1 to 5: no borrow crosses a half-byte.
    const V differences = _mm256_sub_epi8(_mm256_add_epi8(_mm256_and_si256(sums, twos), twos),
                                          _mm256_and_si256(_mm256_srli_epi16(sums, 2), twos));
    const V three = _mm256_set1_epi8(3);
    const V low = _mm256_sub_epi8(_mm256_and_si256(differences, nibble), three);
    const V high = _mm256_sub_epi8(_mm256_and_si256(_mm256_srli_epi16(differences, 4), nibble), three);
    first = _mm256_unpacklo_epi8(low, high);
    second = _mm256_unpackhi_epi8(low, high);
}

inline void storeWidened(std::int16_t* out, __m128i bytes) noexcept { store(out, _mm256_cvtepi8_epi16(bytes)); }

}  // namespace

void centeredBinomial2(Poly& a, const std::uint8_t* bytes) noexcept {
    for (int k = 0; k < 4; ++k) {
        V first, second;
        centeredBinomial2Bytes(_mm256_loadu_si256(reinterpret_cast<const V*>(bytes + 32 * k)), first, second);
        std::int16_t* c = &a.c[64 * k];
        storeWidened(c, _mm256_castsi256_si128(first));
        storeWidened(c + 16, _mm256_castsi256_si128(second));
        storeWidened(c + 32, _mm256_extracti128_si256(first, 1));
        storeWidened(c + 48, _mm256_extracti128_si256(second, 1));
    }
}

// Lane i of the interleaved states holds bytes 8i .. 8i + 7 of the output of each state s at
// bytes 8s .. 8s + 7 (little-endian), which give coefficients 16i .. 16i + 15 of out[s].
void centeredBinomial2X4(const std::array<Poly*, 4>& out, const sha3::KeccakX4State& state) noexcept {
    for (int i = 0; i < 16; ++i) {
        V first, second;
        centeredBinomial2Bytes(_mm256_load_si256(reinterpret_cast<const V*>(state.lanes[i])), first, second);
        storeWidened(&out[0]->c[16 * i], _mm256_castsi256_si128(first));
        storeWidened(&out[1]->c[16 * i], _mm256_castsi256_si128(second));
        storeWidened(&out[2]->c[16 * i], _mm256_extracti128_si256(first, 1));
        storeWidened(&out[3]->c[16 * i], _mm256_extracti128_si256(second, 1));
    }
}

// ---- Compression ----

namespace {

// Compress_d of 16 values in [0, q), exact (the tests check every value).
// d = 1: round(2x / q) mod 2 is 1 exactly for 833 <= x <= 2496.
inline V compress1(V x) noexcept {
    return _mm256_and_si256(_mm256_cmpgt_epi16(x, broadcast(832)), _mm256_cmpgt_epi16(broadcast(2497), x));
}

// d = 5: round(round(x * v / 2^16) / 32) with v = round(2^26 / q), then mod 2^5.
inline V compress5(V x) noexcept {
    const V t = _mm256_mulhrs_epi16(_mm256_mulhi_epi16(x, broadcast(barrettMultiplier)), broadcast(1 << 10));
    return _mm256_and_si256(t, broadcast(31));
}

// d = 11: high(8x * v) approximates 2^13 x / q from below; the low half of 8x * v tells when
// it is one too large, which is subtracted before rounding away the last two bits.
inline V compress11(V x) noexcept {
    const V v = broadcast(barrettMultiplier);
    const V low = _mm256_mullo_epi16(x, _mm256_slli_epi16(v, 3));
    const V high = _mm256_mulhi_epi16(_mm256_slli_epi16(x, 3), v);
    const V difference = _mm256_sub_epi16(low, _mm256_add_epi16(x, broadcast(36)));
    const V tooLarge = _mm256_srli_epi16(_mm256_andnot_si256(low, difference), 15);
    const V t = _mm256_mulhrs_epi16(_mm256_sub_epi16(high, tooLarge), broadcast(1 << 13));
    return _mm256_and_si256(t, broadcast(2047));
}

// Packing: the 5-bit values of 32 bytes (in order) into 20 bytes.
constexpr std::int8_t pack40Index[32] = {0, 1, 2, 3, 4, 8, 9, 10, 11, 12, -1, -1, -1, -1, -1, -1,
                                         0, 1, 2, 3, 4, 8, 9, 10, 11, 12, -1, -1, -1, -1, -1, -1};
// The 44 bits of the low 64-bit lane at bytes 0-5, those of the high one, shifted by 4,
// from byte 5 on: bytes 0-10 of each 128-bit lane.
constexpr std::int8_t pack88LowIndex[32] = {0, 1, 2, 3, 4, 5, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                            0, 1, 2, 3, 4, 5, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
constexpr std::int8_t pack88HighIndex[32] = {-1, -1, -1, -1, -1, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1, -1,
                                             -1, -1, -1, -1, -1, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1, -1};

// Unpacking: 5-bit value j of a 128-bit lane (bit 5j of its 5 bytes) in a 16-bit window from
// byte 5j / 8, moved to bits 11-15 by a multiplication by 2^(11 - 5j mod 8).
constexpr std::int8_t unpack5Index[32] = {0, 1, 0, 1, 1, 2, 1, 2, 2, 3, 3, 4, 3, 4, 4, -1,
                                          3, 4, 3, 4, 4, 5, 4, 5, 5, 6, 6, 7, 6, 7, 7, -1};
constexpr std::int16_t unpack5Shift[16] = {1 << 11, 1 << 6, 1 << 9, 1 << 4, 1 << 7, 1 << 10, 1 << 5, 1 << 8,
                                           1 << 11, 1 << 6, 1 << 9, 1 << 4, 1 << 7, 1 << 10, 1 << 5, 1 << 8};

// Unpacking: 11-bit value j of a 128-bit lane (bit 11j of its 11 bytes) in a 32-bit window
// from byte 11j / 8, shifted right by 11j mod 8; the even values in one vector, the odd in
// another. The high lane is loaded from byte 6 of the 22, so its 11 bytes start at 5.
constexpr std::int8_t unpack11EvenIndex[32] = {0, 1, 2, -1, 2, 3, 4, -1, 5, 6, 7, -1, 8, 9, 10, -1,
                                               5, 6, 7, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1};
constexpr std::int8_t unpack11OddIndex[32] = {1, 2, 3, -1, 4, 5, 6, -1, 6, 7, 8, -1, 9, 10, -1, -1,
                                              6, 7, 8, -1, 9, 10, 11, -1, 11, 12, 13, -1, 14, 15, -1, -1};

}  // namespace

template <>
void compressEncode<1>(const Poly& a, std::uint8_t* out) noexcept {
    for (int k = 0; k < 8; ++k) {
        const V bits = _mm256_packs_epi16(compress1(load(&a.c[32 * k])), compress1(load(&a.c[32 * k + 16])));
        const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_permute4x64_epi64(bits, 0xD8)));
        std::memcpy(out + 4 * k, &mask, 4);
    }
}

template <>
void compressEncode<5>(const Poly& a, std::uint8_t* out) noexcept {
    const V pack = loadTable(pack40Index);
    for (int k = 0; k < 8; ++k) {
        const V values = _mm256_permute4x64_epi64(
            _mm256_packus_epi16(compress5(load(&a.c[32 * k])), compress5(load(&a.c[32 * k + 16]))), 0xD8);
        const V pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi16((32 << 8) | 1));       // 10 bits
        const V quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32((1024 << 16) | 1));         // 20 bits
        const V octets = _mm256_srli_epi64(_mm256_sllv_epi32(quads, _mm256_set1_epi64x(12)), 12);   // 40 bits
        storeLanes<10>(out + 20 * k, _mm256_shuffle_epi8(octets, pack));
    }
}

template <>
void compressEncode<11>(const Poly& a, std::uint8_t* out) noexcept {
    const V packLow = loadTable(pack88LowIndex), packHigh = loadTable(pack88HighIndex);
    for (int v = 0; v < 16; ++v) {
        const V pairs = _mm256_madd_epi16(compress11(load(&a.c[16 * v])), _mm256_set1_epi32((2048 << 16) | 1));
        V quads = _mm256_srli_epi64(_mm256_sllv_epi32(pairs, _mm256_set1_epi64x(10)), 10);   // 44 bits
        quads = _mm256_sllv_epi64(quads, _mm256_set_epi64x(4, 0, 4, 0));
        storeLanes<11>(out + 22 * v, _mm256_or_si256(_mm256_shuffle_epi8(quads, packLow),
                                                    _mm256_shuffle_epi8(quads, packHigh)));
    }
}

// Decompress_d(y) = (y q + 2^(d-1)) >> d is mulhrs(y * 2^(15-d), q).
template <>
void decodeDecompress<1>(Poly& a, const std::uint8_t* in) noexcept {
    const V bit = _mm256_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384,
                                    static_cast<std::int16_t>(0x8000));
    for (int v = 0; v < 16; ++v) {
        std::uint16_t bits;
        std::memcpy(&bits, in + 2 * v, 2);
        const V set = _mm256_cmpeq_epi16(_mm256_and_si256(_mm256_set1_epi16(static_cast<std::int16_t>(bits)), bit), bit);
        store(&a.c[16 * v], _mm256_and_si256(set, broadcast((q + 1) / 2)));
    }
}

template <>
void decodeDecompress<5>(Poly& a, const std::uint8_t* in) noexcept {
    const V index = loadTable(unpack5Index), shift = loadTable(unpack5Shift);
    for (int v = 0; v < 16; ++v) {
        // Bytes 0-4 in the low lane, 5-9 in the high one (loaded from byte 2, at 3).
        const __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 10 * v));
        const __m128i high = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 10 * v + 2));
        V y = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1), index);
        y = _mm256_and_si256(_mm256_srli_epi16(_mm256_mullo_epi16(y, shift), 1), broadcast(31 << 10));
        store(&a.c[16 * v], _mm256_mulhrs_epi16(y, broadcast(q)));
    }
}

template <>
void decodeDecompress<11>(Poly& a, const std::uint8_t* in) noexcept {
    const V evenIndex = loadTable(unpack11EvenIndex), oddIndex = loadTable(unpack11OddIndex);
    const V evenShift = _mm256_setr_epi32(0, 6, 4, 2, 0, 6, 4, 2), oddShift = _mm256_setr_epi32(3, 1, 7, 5, 3, 1, 7, 5);
    const V mask = _mm256_set1_epi32(2047);
    for (int v = 0; v < 16; ++v) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 22 * v));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 22 * v + 6));
        const V x = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
        const V even = _mm256_and_si256(_mm256_srlv_epi32(_mm256_shuffle_epi8(x, evenIndex), evenShift), mask);
        const V odd = _mm256_and_si256(_mm256_srlv_epi32(_mm256_shuffle_epi8(x, oddIndex), oddShift), mask);
        const V y = _mm256_or_si256(even, _mm256_slli_epi32(odd, 16));
        store(&a.c[16 * v], _mm256_mulhrs_epi16(_mm256_slli_epi16(y, 4), broadcast(q)));
    }
}

}  // namespace duoquill::mlkem::avx2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
