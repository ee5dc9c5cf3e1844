#include "Duoquill/Primitives/PQ/MLDSAPolynomial.h"

#include <bit>
#include <cstring>

#include "Duoquill/Primitives/PQ/MLDSAAvx2.h"
#include "Duoquill/Primitives/PQ/VectorBackend.h"

namespace duoquill::mldsa {
namespace {

// q as a value the compiler cannot see, held in a register: as a constant it spells t * q
// below as shifts and subtractions, slower than the one multiplication.
inline std::int64_t opaqueQ() {
    std::int64_t modulus = q;
#if defined(__GNUC__)
    __asm__("" : "+r"(modulus));
#endif
    return modulus;
}

// a * 2^-32 mod q for |a| < q * 2^31, given modulus = q. Out: |r| < q.
inline std::int32_t montgomeryReduce(std::int64_t a, std::int64_t modulus) {
    const auto t = static_cast<std::int32_t>(static_cast<std::int32_t>(a) * static_cast<std::uint32_t>(qInverse));
    return static_cast<std::int32_t>((a - t * modulus) >> 32);
}

inline std::int32_t multiplyMontgomery(std::int32_t a, std::int32_t b, std::int64_t modulus) {
    return montgomeryReduce(static_cast<std::int64_t>(a) * b, modulus);
}

// A representative of a mod q with |r| <= 6283009, for a <= 2^31 - 2^22 - 1.
inline std::int32_t reduce32(std::int32_t a) {
    const std::int32_t t = (a + (1 << 22)) >> 23;
    return a - t * q;
}

inline std::int32_t addQIfNegative(std::int32_t a) { return a + ((a >> 31) & q); }

template <std::size_t len>
inline void nttLayer(std::int32_t* w, std::size_t& m, std::int64_t modulus) {
    for (std::size_t start = 0; start < n; start += 2 * len) {
        const std::int32_t z = zetas[++m];
        for (std::size_t j = 0; j < len; ++j) {
            const std::int32_t t = multiplyMontgomery(z, w[start + j + len], modulus);
            w[start + j + len] = w[start + j] - t;
            w[start + j] = w[start + j] + t;
        }
    }
}

template <std::size_t len>
inline void inverseNttLayer(std::int32_t* w, std::size_t& m, std::int64_t modulus) {
    for (std::size_t start = 0; start < n; start += 2 * len) {
        const std::int32_t z = -zetas[--m];
        for (std::size_t j = 0; j < len; ++j) {
            const std::int32_t t = w[start + j];
            w[start + j] = t + w[start + j + len];
            w[start + j + len] = multiplyMontgomery(z, t - w[start + j + len], modulus);
        }
    }
}

void nttPortable(Poly& a) {
    const std::int64_t modulus = opaqueQ();
    std::int32_t* w = a.c.data();
    std::size_t m = 0;
    nttLayer<128>(w, m, modulus);
    nttLayer<64>(w, m, modulus);
    nttLayer<32>(w, m, modulus);
    nttLayer<16>(w, m, modulus);
    nttLayer<8>(w, m, modulus);
    nttLayer<4>(w, m, modulus);
    nttLayer<2>(w, m, modulus);
    nttLayer<1>(w, m, modulus);
}

void finishRowPortable(Poly& t, const RowSum& sum, const Poly& s2) {
    const std::int64_t modulus = opaqueQ();
    std::int32_t* w = t.c.data();
    for (std::size_t i = 0; i < n; ++i) w[i] = montgomeryReduce(sum.c[i], modulus);
    std::size_t m = n;
    inverseNttLayer<1>(w, m, modulus);
    inverseNttLayer<2>(w, m, modulus);
    inverseNttLayer<4>(w, m, modulus);
    inverseNttLayer<8>(w, m, modulus);
    inverseNttLayer<16>(w, m, modulus);
    inverseNttLayer<32>(w, m, modulus);
    inverseNttLayer<64>(w, m, modulus);
    inverseNttLayer<128>(w, m, modulus);
    for (std::size_t i = 0; i < n; ++i) {
        w[i] = addQIfNegative(reduce32(multiplyMontgomery(w[i], inverseNttScale, modulus) + s2.c[i]));
    }
}

void multiplyAccumulatePortable(RowSum& sum, const Poly& a, const Poly& b) {
    for (std::size_t i = 0; i < n; ++i) sum.c[i] += static_cast<std::int64_t>(a.c[i]) * b.c[i];
}

inline std::int32_t uniformCandidate(const std::uint8_t* b) { return b[0] | (b[1] << 8) | ((b[2] & 0x7F) << 16); }

inline std::uint64_t loadLittleEndian64(const std::uint8_t* bytes) {
    std::uint64_t v;
    std::memcpy(&v, bytes, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

std::size_t rejectUniformPortable(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) {
    // Each candidate is stored and kept by advancing the count; a rejected one is overwritten.
    // Eight at a time, from three words, while all eight would fit.
    std::size_t p = 0;
    for (; p + 24 <= length && count + 8 <= n; p += 24) {
        const std::uint64_t w0 = loadLittleEndian64(bytes + p), w1 = loadLittleEndian64(bytes + p + 8),
                            w2 = loadLittleEndian64(bytes + p + 16);
        const std::uint64_t candidates[8] = {w0, w0 >> 24, w0 >> 48 | w1 << 16, w1 >> 8,
                                             w1 >> 32, w1 >> 56 | w2 << 8, w2 >> 16, w2 >> 40};
#pragma GCC unroll 8
        for (std::uint64_t c : candidates) {
            const auto value = static_cast<std::int32_t>(c & 0x7FFFFF);
            a.c[count] = value;
            count += value < q;
        }
    }
    for (; p + 3 <= length && count < n; p += 3) {
        const std::int32_t value = uniformCandidate(bytes + p);
        a.c[count] = value;
        count += value < q;
    }
    return count;
}

inline std::int32_t boundedValue(int b) { return 2 - (b - (205 * b >> 10) * 5); }

std::size_t rejectBoundedPortable(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) {
    // The flags of the half-bytes below 15 are made public first, so that the count that
    // places each value depends on nothing else.
    std::uint8_t keep[2 * maxBoundedLength] = {};
    for (std::size_t p = 0; p < length; ++p) {
        keep[2 * p] = static_cast<std::uint8_t>(static_cast<unsigned>((bytes[p] & 0x0F) - 15) >> 31);
        keep[2 * p + 1] = static_cast<std::uint8_t>(static_cast<unsigned>((bytes[p] >> 4) - 15) >> 31);
    }
    declassify(keep, 2 * length);
    std::size_t p = 0;
    for (; p < length && count + 2 <= n; ++p) {
        a.c[count] = boundedValue(bytes[p] & 0x0F);
        count += keep[2 * p];
        a.c[count] = boundedValue(bytes[p] >> 4);
        count += keep[2 * p + 1];
    }
    for (std::size_t i = 2 * p; i < 2 * length && count < n; ++i) {
        a.c[count] = boundedValue((bytes[i / 2] >> (4 * (i % 2))) & 0x0F);
        count += keep[i];
    }
    return count;
}

#if DUOQUILL_MLDSA_AVX2
bool useAvx2() noexcept { return pq::usesAvx2(); }
#endif

}  // namespace

void ntt(Poly& a) noexcept {
#if DUOQUILL_MLDSA_AVX2
    if (useAvx2()) return avx2::ntt(a);
#endif
    nttPortable(a);
}

void multiplyAccumulate(RowSum& sum, const Poly& a, const Poly& b) noexcept {
#if DUOQUILL_MLDSA_AVX2
    if (useAvx2()) return avx2::multiplyAccumulate(sum, a, b);
#endif
    multiplyAccumulatePortable(sum, a, b);
}

void finishRow(Poly& t, const RowSum& sum, const Poly& s2) noexcept {
#if DUOQUILL_MLDSA_AVX2
    if (useAvx2()) return avx2::finishRow(t, sum, s2);
#endif
    finishRowPortable(t, sum, s2);
}

std::size_t rejectUniform(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) noexcept {
#if DUOQUILL_MLDSA_AVX2
    if (useAvx2()) return avx2::rejectUniform(a, count, bytes, length);
#endif
    return rejectUniformPortable(a, count, bytes, length);
}

std::size_t rejectBounded(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) noexcept {
#if DUOQUILL_MLDSA_AVX2
    if (useAvx2()) return avx2::rejectBounded(a, count, bytes, length);
#endif
    return rejectBoundedPortable(a, count, bytes, length);
}

}  // namespace duoquill::mldsa
