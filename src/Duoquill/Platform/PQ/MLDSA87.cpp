#include "Duoquill/Platform/PQ/MLDSA87.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "Duoquill/Platform/PQ/BitPacking.h"
#include "Duoquill/Platform/PQ/Sha3.h"
#include "Duoquill/Platform/PQ/Sha3X4.h"
#include "Duoquill/Platform/PQ/VectorBackend.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Primitives/Random.h"

namespace duoquill::mldsa87 {
namespace {

constexpr std::int32_t q = 8380417;
constexpr std::size_t n = 256;
constexpr std::size_t k = 8;   // rows of A, length of s2 and t
constexpr std::size_t l = 7;   // columns of A, length of s1
constexpr int eta = 2;
constexpr int droppedBits = 13;                       // d
constexpr std::size_t t1PackedSize = n * 10 / 8;      // 10 bits a coefficient
constexpr std::size_t etaPackedSize = n * 3 / 8;      // 3 bits a coefficient
constexpr std::size_t t0PackedSize = n * 13 / 8;      // 13 bits a coefficient
static_assert(publicKeySize == 32 + k * t1PackedSize);
static_assert(privateKeySize == 32 + 32 + 64 + (l + k) * etaPackedSize + k * t0PackedSize);

constexpr std::int32_t qInverse = 58728449;   // q^-1 mod 2^32
constexpr std::int64_t zeta = 1753;           // primitive 512th root of unity mod q

struct Poly {
    std::array<std::int32_t, n> c;
};
using VectorL = std::array<Poly, l>;
using VectorK = std::array<Poly, k>;

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

// zeta^BitRev8(m) * 2^32, the twiddle factors in the order the NTT layers use them.
constexpr std::array<std::int32_t, n> zetas = [] {
    std::array<std::int32_t, n> t{};
    for (int m = 0; m < static_cast<int>(n); ++m) {
        std::int64_t power = 1;
        for (int e = 0; e < bitReverse8(m); ++e) power = power * zeta % q;
        t[m] = centeredMontgomery(power);
    }
    return t;
}();

// 2^64 / 256 mod q: the inverse NTT's scaling by 1/256, leaving a factor 2^32.
constexpr std::int32_t inverseNttScale = centeredMontgomery((std::int64_t{1} << 32) % q * 8347681);

// a * 2^-32 mod q for |a| < q * 2^31. Out: |r| < q.
[[gnu::always_inline]] inline std::int32_t montgomeryReduce(std::int64_t a) {
    const auto t = static_cast<std::int32_t>(static_cast<std::int32_t>(a) * static_cast<std::uint32_t>(qInverse));
    return static_cast<std::int32_t>((a - static_cast<std::int64_t>(t) * q) >> 32);
}

[[gnu::always_inline]] inline std::int32_t multiplyMontgomery(std::int32_t a, std::int32_t b) {
    return montgomeryReduce(static_cast<std::int64_t>(a) * b);
}

// A representative of a mod q with |r| <= 6283009, for a <= 2^31 - 2^22 - 1.
[[gnu::always_inline]] inline std::int32_t reduce32(std::int32_t a) {
    const std::int32_t t = (a + (1 << 22)) >> 23;
    return a - t * q;
}

[[gnu::always_inline]] inline std::int32_t addQIfNegative(std::int32_t a) { return a + ((a >> 31) & q); }

// The loops below have constant bounds so that the compiler vectorises them; each is
// compiled for the baseline and for AVX2, whose 32x32-bit products it needs to vectorise.

template <std::size_t len>
[[gnu::always_inline]] inline void nttLayer(std::int32_t* w, std::size_t& m) {
    for (std::size_t start = 0; start < n; start += 2 * len) {
        const std::int32_t z = zetas[++m];
        for (std::size_t j = 0; j < len; ++j) {
            const std::int32_t t = multiplyMontgomery(z, w[start + j + len]);
            w[start + j + len] = w[start + j] - t;
            w[start + j] = w[start + j] + t;
        }
    }
}

template <std::size_t len>
[[gnu::always_inline]] inline void inverseNttLayer(std::int32_t* w, std::size_t& m) {
    for (std::size_t start = 0; start < n; start += 2 * len) {
        const std::int32_t z = -zetas[--m];
        for (std::size_t j = 0; j < len; ++j) {
            const std::int32_t t = w[start + j];
            w[start + j] = t + w[start + j + len];
            w[start + j + len] = multiplyMontgomery(z, t - w[start + j + len]);
        }
    }
}

// Forward NTT. In: |c| < q. Out: bit-reversed order, |c| < 9q.
[[gnu::always_inline]] inline void nttKernel(Poly& a) {
    std::int32_t* w = a.c.data();
    std::size_t m = 0;
    nttLayer<128>(w, m);
    nttLayer<64>(w, m);
    nttLayer<32>(w, m);
    nttLayer<16>(w, m);
    nttLayer<8>(w, m);
    nttLayer<4>(w, m);
    nttLayer<2>(w, m);
    nttLayer<1>(w, m);
}

// t = NTT^-1(sum) + s2 into [0, q), for a row sum of NTT-domain products below q * 2^31.
// The inverse NTT leaves a factor 2^32 that the reduction of the sum removes.
[[gnu::always_inline]] inline void finishRowKernel(Poly& t, const std::int64_t* sum, const Poly& s2) {
    std::int32_t* w = t.c.data();
    for (std::size_t i = 0; i < n; ++i) w[i] = montgomeryReduce(sum[i]);
    std::size_t m = n;
    inverseNttLayer<1>(w, m);
    inverseNttLayer<2>(w, m);
    inverseNttLayer<4>(w, m);
    inverseNttLayer<8>(w, m);
    inverseNttLayer<16>(w, m);
    inverseNttLayer<32>(w, m);
    inverseNttLayer<64>(w, m);
    inverseNttLayer<128>(w, m);
    for (std::size_t i = 0; i < n; ++i) {
        w[i] = addQIfNegative(reduce32(multiplyMontgomery(w[i], inverseNttScale) + s2.c[i]));
    }
}

// sum += a * b coefficient-wise, unreduced.
[[gnu::always_inline]] inline void accumulateKernel(std::int64_t* __restrict sum, const Poly& a, const Poly& b) {
    for (std::size_t i = 0; i < n; ++i) sum[i] += static_cast<std::int64_t>(a.c[i]) * b.c[i];
}

void nttPortable(Poly& a) { nttKernel(a); }
void finishRowPortable(Poly& t, const std::int64_t* sum, const Poly& s2) { finishRowKernel(t, sum, s2); }
void accumulatePortable(std::int64_t* sum, const Poly& a, const Poly& b) { accumulateKernel(sum, a, b); }

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void nttAvx2(Poly& a) { nttKernel(a); }
[[gnu::target("avx2")]] void finishRowAvx2(Poly& t, const std::int64_t* sum, const Poly& s2) {
    finishRowKernel(t, sum, s2);
}
[[gnu::target("avx2")]] void accumulateAvx2(std::int64_t* sum, const Poly& a, const Poly& b) {
    accumulateKernel(sum, a, b);
}
#else
void nttAvx2(Poly& a) { nttKernel(a); }
void finishRowAvx2(Poly& t, const std::int64_t* sum, const Poly& s2) { finishRowKernel(t, sum, s2); }
void accumulateAvx2(std::int64_t* sum, const Poly& a, const Poly& b) { accumulateKernel(sum, a, b); }
#endif

bool avx2() { return pq::vectorBackend() == pq::VectorBackend::avx2; }
void ntt(Poly& a) { avx2() ? nttAvx2(a) : nttPortable(a); }
void finishRow(Poly& t, const std::int64_t* sum, const Poly& s2) {
    avx2() ? finishRowAvx2(t, sum, s2) : finishRowPortable(t, sum, s2);
}
void accumulate(std::int64_t* sum, const Poly& a, const Poly& b) {
    avx2() ? accumulateAvx2(sum, a, b) : accumulatePortable(sum, a, b);
}

// Four polynomials sampled at once. Each SHAKE stream of the four fills its polynomial from
// `firstBlocks` blocks, then from one more block at a time until all four are full; `take`
// adds the candidates of some bytes to a polynomial and returns the new count. Output drawn
// for secret polynomials is wiped.
template <class Shake, std::size_t firstBlocks, bool secret, class Take>
void sampleFour(const std::array<Poly*, 4>& out, const std::array<BytesView, 4>& seeds, Take take) {
    Shake xof(seeds);
    constexpr std::size_t rate = Shake::rateBytes;
    std::uint8_t buffers[4][firstBlocks * rate];
    const std::array<std::uint8_t*, 4> outputs = {buffers[0], buffers[1], buffers[2], buffers[3]};
    std::size_t counts[4] = {0, 0, 0, 0};
    std::size_t length = sizeof buffers[0];
    xof.squeezeBlocks(outputs, firstBlocks);
    while (true) {
        bool done = true;
        for (std::size_t s = 0; s < 4; ++s) {
            counts[s] = take(*out[s], counts[s], buffers[s], length);
            done &= counts[s] == n;
        }
        if (done) break;
        xof.squeezeBlocks(outputs, 1);
        length = rate;
    }
    if constexpr (secret) secureWipe(buffers, sizeof buffers);
}

// RejNTTPoly: coefficients of 23 bits below q. Public input.
std::size_t takeUniform(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) {
    // Each candidate is stored and kept by advancing the count; a rejected one is overwritten.
    for (std::size_t p = 0; p + 3 <= length && count < n; p += 3) {
        const std::int32_t value = bytes[p] | (bytes[p + 1] << 8) | ((bytes[p + 2] & 0x7F) << 16);
        a.c[count] = value;
        count += value < q;
    }
    return count;
}

// RejBoundedPoly for eta = 2: half-bytes below 15 give 2 - (b mod 5).
std::size_t takeBounded(Poly& a, std::size_t count, const std::uint8_t* bytes, std::size_t length) {
    for (std::size_t p = 0; p < length && count < n; ++p) {
        const int halves[2] = {bytes[p] & 0x0F, bytes[p] >> 4};
        for (int b : halves) {
            if (b < 15 && count < n) a.c[count++] = 2 - (b - (205 * b >> 10) * 5);
        }
    }
    return count;
}

// Seeds rho || s || r of ExpandA, for the entries at flat indices first .. first + 3 (row-major).
void sampleMatrixEntries(const std::array<Poly*, 4>& out, BytesView rho, std::size_t first) {
    std::uint8_t seeds[4][34];
    for (std::size_t e = 0; e < 4; ++e) {
        std::copy(rho.begin(), rho.end(), seeds[e]);
        seeds[e][32] = static_cast<std::uint8_t>((first + e) % l);
        seeds[e][33] = static_cast<std::uint8_t>((first + e) / l);
    }
    // 5 blocks give 280 candidates, of which 256 are short of q nearly always.
    sampleFour<sha3::Shake128X4, 5, false>(out, {BytesView(seeds[0]), BytesView(seeds[1]), BytesView(seeds[2]),
                                          BytesView(seeds[3])}, takeUniform);
}

// ExpandS: polynomial r of (s1 || s2) from rho' || r as two little-endian bytes.
void sampleSecretEntries(const std::array<Poly*, 4>& out, BytesView rhoPrime, std::size_t first) {
    std::uint8_t seeds[4][66];
    for (std::size_t e = 0; e < 4; ++e) {
        std::copy(rhoPrime.begin(), rhoPrime.end(), seeds[e]);
        seeds[e][64] = static_cast<std::uint8_t>(first + e);
        seeds[e][65] = 0;
    }
    sampleFour<sha3::Shake256X4, 2, true>(out, {BytesView(seeds[0]), BytesView(seeds[1]), BytesView(seeds[2]),
                                          BytesView(seeds[3])}, takeBounded);
    secureWipe(seeds, sizeof seeds);
}

// BitPack(w, a, b): each b - w[i] in `bits` bits.
template <int bits>
void packOffset(const Poly& w, std::int32_t b, std::uint8_t* out) {
    std::uint32_t values[n];
    for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<std::uint32_t>(b - w.c[i]);
    pq::packBits<bits>(values, out);
    secureWipe(values, sizeof values);
}

KeyPair keyGenInternal(BytesView xi) {
    Wiped<std::array<std::uint8_t, 128>> seeds;   // rho || rho' || K
    const std::uint8_t dimensions[2] = {k, l};
    sha3::Shake256().absorb(xi).absorb(dimensions).squeeze(seeds.value);
    const BytesView rho(seeds.value.data(), 32);
    const BytesView rhoPrime(seeds.value.data() + 32, 64);
    const BytesView key(seeds.value.data() + 96, 32);

    // s1 || s2, fifteen polynomials, sampled four at a time (the last group has a spare).
    Wiped<std::array<Poly, 16>> secrets;
    auto& all = secrets.value;
    for (std::size_t r = 0; r < all.size(); r += 4) {
        sampleSecretEntries({&all[r], &all[r + 1], &all[r + 2], &all[r + 3]}, rhoPrime, r);
    }
    const Poly* s1 = all.data();
    const Poly* s2 = all.data() + l;
    Wiped<VectorL> s1Hat;
    std::copy(s1, s1 + l, s1Hat.value.begin());
    for (auto& p : s1Hat.value) ntt(p);

    // t = NTT^-1(A s1) + s2. The 56 entries of A are sampled four at a time; each row sums
    // its seven products unreduced (below 7 * 9q^2 < q * 2^31) and is reduced once.
    Wiped<std::array<std::array<std::int64_t, n>, k>> sums;
    std::array<Poly, 4> entries;
    for (std::size_t first = 0; first < k * l; first += 4) {
        sampleMatrixEntries({&entries[0], &entries[1], &entries[2], &entries[3]}, rho, first);
        for (std::size_t e = 0; e < 4; ++e) {
            accumulate(sums.value[(first + e) / l].data(), entries[e], s1Hat.value[(first + e) % l]);
        }
    }
    Wiped<VectorK> t;
    for (std::size_t r = 0; r < k; ++r) finishRow(t.value[r], sums.value[r].data(), s2[r]);

    KeyPair pair;
    pair.publicKey.resize(publicKeySize);
    pair.privateKey.resize(privateKeySize);
    std::uint8_t* pk = pair.publicKey.data();
    std::uint8_t* sk = pair.privateKey.data();
    std::copy(rho.begin(), rho.end(), pk);
    std::copy(rho.begin(), rho.end(), sk);
    std::copy(key.begin(), key.end(), sk + 32);
    std::uint8_t* skVectors = sk + 128;
    for (std::size_t r = 0; r < l + k; ++r) packOffset<3>(all[r], eta, skVectors + r * etaPackedSize);
    std::uint8_t* skT0 = skVectors + (l + k) * etaPackedSize;

    // Power2Round: t = t1 * 2^13 + t0 with t0 in (-2^12, 2^12].
    for (std::size_t r = 0; r < k; ++r) {
        Wiped<Poly> t0;
        std::uint32_t t1[n];
        for (std::size_t i = 0; i < n; ++i) {
            const std::int32_t value = t.value[r].c[i];
            const std::int32_t high = (value + (1 << (droppedBits - 1)) - 1) >> droppedBits;
            t1[i] = static_cast<std::uint32_t>(high);
            t0.value.c[i] = value - (high << droppedBits);
        }
        pq::packBits<10>(t1, pk + 32 + r * t1PackedSize);
        packOffset<13>(t0.value, 1 << (droppedBits - 1), skT0 + r * t0PackedSize);
    }

    // tr = H(pk, 64) sits between K and the vectors.
    sha3::Shake256().absorb(pair.publicKey).squeeze(std::span<std::uint8_t>(sk + 64, 64));
    return pair;
}

}  // namespace

KeyPair generateFromSeed(BytesView xi) {
    if (xi.size() != seedSize) {
        throw CryptoError("ML-DSA-87: seed must be 32 bytes, got " + std::to_string(xi.size()));
    }
    return keyGenInternal(xi);
}

KeyPair generate() {
    const SecureBytes xi = random::bytes(seedSize);
    return keyGenInternal(xi);
}

}  // namespace duoquill::mldsa87
