#include "Duoquill/Primitives/PQ/MLDSA87.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "Duoquill/Primitives/PQ/BitPacking.h"
#include "Duoquill/Primitives/PQ/MLDSAPolynomial.h"
#include "Duoquill/Primitives/PQ/Sha3.h"
#include "Duoquill/Primitives/PQ/Sha3X4.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Primitives/Random.h"

namespace duoquill::mldsa87 {
namespace {

using mldsa::n;
using mldsa::Poly;

constexpr std::size_t k = 8;   // rows of A, length of s2 and t
constexpr std::size_t l = 7;   // columns of A, length of s1
constexpr int eta = 2;
constexpr int droppedBits = 13;                       // d
constexpr std::size_t t1PackedSize = n * 10 / 8;      // 10 bits a coefficient
constexpr std::size_t etaPackedSize = n * 3 / 8;      // 3 bits a coefficient
constexpr std::size_t t0PackedSize = n * 13 / 8;      // 13 bits a coefficient
static_assert(publicKeySize == 32 + k * t1PackedSize);
static_assert(privateKeySize == 32 + 32 + 64 + (l + k) * etaPackedSize + k * t0PackedSize);

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
                                          BytesView(seeds[3])}, mldsa::rejectUniform);
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
                                          BytesView(seeds[3])}, mldsa::rejectBounded);
    secureWipe(seeds, sizeof seeds);
}

// BitPack(w, a, b): each b - w[i] in `bits` bits, eight at a time.
template <int bits>
void packOffset(const Poly& w, std::int32_t b, std::uint8_t* out) {
    std::uint32_t group[8];
    for (std::size_t g = 0; g < n / 8; ++g) {
        for (std::size_t i = 0; i < 8; ++i) group[i] = static_cast<std::uint32_t>(b - w.c[8 * g + i]);
        pq::packGroup<bits>(group, out + bits * g);
    }
    secureWipe(group, sizeof group);
}

// Power2Round of a row of t: t = t1 * 2^13 + t0 with t0 in (-2^12, 2^12], t1 into the public
// key and t0 into the private one.
void packRow(const Poly& t, std::uint8_t* t1Out, std::uint8_t* t0Out) {
    Wiped<Poly> t0;
    std::uint32_t t1[n];
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t high = (t.c[i] + (1 << (droppedBits - 1)) - 1) >> droppedBits;
        t1[i] = static_cast<std::uint32_t>(high);
        t0.value.c[i] = t.c[i] - (high << droppedBits);
    }
    pq::packBits<10>(t1, t1Out);
    packOffset<13>(t0.value, 1 << (droppedBits - 1), t0Out);
}

KeyPair keyGenInternal(BytesView xi) {
    Wiped<std::array<std::uint8_t, 128>> seeds;   // rho || rho' || K
    const std::uint8_t dimensions[2] = {k, l};
    sha3::Shake256().absorb(xi).absorb(dimensions).squeeze(seeds.value);
    const BytesView rho(seeds.value.data(), 32);
    const BytesView rhoPrime(seeds.value.data() + 32, 64);
    const BytesView key(seeds.value.data() + 96, 32);
    mldsa::declassify(rho.data(), rho.size());   // it goes into the public key

    KeyPair pair;
    pair.publicKey.resize(publicKeySize);
    pair.privateKey.resize(privateKeySize);
    std::uint8_t* pk = pair.publicKey.data();
    std::uint8_t* sk = pair.privateKey.data();
    std::copy(rho.begin(), rho.end(), pk);
    std::copy(rho.begin(), rho.end(), sk);
    std::copy(key.begin(), key.end(), sk + 32);
    std::uint8_t* skVectors = sk + 128;
    std::uint8_t* skT0 = skVectors + (l + k) * etaPackedSize;

    // s1 || s2, fifteen polynomials, sampled four at a time (the last group has a spare),
    // packed, and s1 then transformed in place.
    Wiped<std::array<Poly, 16>> secrets;
    auto& all = secrets.value;
    for (std::size_t r = 0; r < all.size(); r += 4) {
        sampleSecretEntries({&all[r], &all[r + 1], &all[r + 2], &all[r + 3]}, rhoPrime, r);
    }
    for (std::size_t r = 0; r < l + k; ++r) packOffset<3>(all[r], eta, skVectors + r * etaPackedSize);
    Poly* s1Hat = all.data();
    const Poly* s2 = all.data() + l;
    for (std::size_t c = 0; c < l; ++c) mldsa::ntt(s1Hat[c]);

    // t = NTT^-1(A s1) + s2, a row at a time. The 56 entries of A are sampled four at a time
    // in row-major order, so a group touches at most two rows: row r sums into sums[r % 2]
    // and is finished and packed with its last entry.
    Wiped<std::array<mldsa::RowSum, 2>> sums;
    Wiped<Poly> t;
    std::array<Poly, 4> entries;
    for (std::size_t first = 0; first < k * l; first += 4) {
        sampleMatrixEntries({&entries[0], &entries[1], &entries[2], &entries[3]}, rho, first);
        for (std::size_t e = 0; e < 4; ++e) {
            const std::size_t r = (first + e) / l, c = (first + e) % l;
            mldsa::RowSum& sum = sums.value[r % 2];
            if (c == 0) sum.c.fill(0);
            mldsa::multiplyAccumulate(sum, entries[e], s1Hat[c]);
            if (c == l - 1) {
                mldsa::finishRow(t.value, sum, s2[r]);
                packRow(t.value, pk + 32 + r * t1PackedSize, skT0 + r * t0PackedSize);
            }
        }
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
