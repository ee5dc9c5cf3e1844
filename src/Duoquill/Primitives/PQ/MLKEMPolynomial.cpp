// The portable routines of MLKEMPolynomial.h, each public routine choosing between them and
// the AVX2 kernels (MLKEMAvx2.h) by the backend in use, and the sampling on the four-way
// Keccak permutation.

#include "Duoquill/Primitives/PQ/MLKEMPolynomial.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "Duoquill/Primitives/PQ/BitPacking.h"
#include "Duoquill/Primitives/PQ/MLKEMArithmetic.h"
#include "Duoquill/Primitives/PQ/MLKEMAvx2.h"
#include "Duoquill/Primitives/PQ/Sha3.h"
#include "Duoquill/Primitives/PQ/Sha3X4.h"
#include "Duoquill/Primitives/PQ/VectorBackend.h"

namespace duoquill::mlkem {
namespace {

using namespace arith;

// One Cooley-Tukey layer: butterflies (j, j + len) with one twiddle factor a block.
template <std::size_t len>
inline void nttLayer(std::int16_t* r, std::size_t& k) noexcept {
    for (std::size_t start = 0; start < n; start += 2 * len, ++k) {
        const std::int16_t z = zetas[k], zt = zetasTwisted[k];
        for (std::size_t j = 0; j < len; ++j) {
            const std::int16_t t = multiplyMontgomery(r[start + j + len], z, zt);
            r[start + j + len] = static_cast<std::int16_t>(r[start + j] - t);
            r[start + j] = static_cast<std::int16_t>(r[start + j] + t);
        }
    }
}

// One Gentleman-Sande layer of the inverse transform.
template <std::size_t len>
inline void inverseNttLayer(std::int16_t* r, std::size_t& k) noexcept {
    for (std::size_t start = 0; start < n; start += 2 * len, --k) {
        const std::int16_t z = zetas[k], zt = zetasTwisted[k];
        for (std::size_t j = 0; j < len; ++j) {
            const std::int16_t t = r[start + j];
            const std::int16_t u = r[start + j + len];
            r[start + j] = barrettReduce(static_cast<std::int16_t>(t + u));
            r[start + j + len] = multiplyMontgomery(static_cast<std::int16_t>(u - t), z, zt);
        }
    }
}

// The inverse layers with len 2 and 4 pair positions m and m + len within blocks of eight;
// with the Barrett reduction in each butterfly they are slow on short vectors. They run on
// the coefficients regrouped as columns[m][b] = r[8b + m], where every butterfly loop goes
// over 32 consecutive entries with one twiddle factor per entry.
using Columns = std::int16_t[8][32];
using Row = std::array<std::int16_t, 32>;

struct RowTwiddles {
    Row z, zt;
};

// zetas[first + step * b] and its twisted form for b = 0 .. 31.
constexpr RowTwiddles rowTwiddles(int first, int step) {
    RowTwiddles t{};
    for (int b = 0; b < 32; ++b) {
        t.z[b] = zetas[first + step * b];
        t.zt[b] = zetasTwisted[first + step * b];
    }
    return t;
}

// Len 2 uses zetas[127 - c] for the half-block c = 2b (positions 0-3) or c = 2b + 1
// (positions 4-7); len 4 uses zetas[63 - b] for block b.
constexpr RowTwiddles inverseLen2Low = rowTwiddles(127, -2);
constexpr RowTwiddles inverseLen2High = rowTwiddles(126, -2);
constexpr RowTwiddles inverseLen4 = rowTwiddles(63, -1);

inline void toColumns(const std::int16_t* r, Columns& c) noexcept {
    for (std::size_t b = 0; b < 32; ++b) {
        for (std::size_t m = 0; m < 8; ++m) c[m][b] = r[8 * b + m];
    }
}

inline void fromColumns(const Columns& c, std::int16_t* r) noexcept {
    for (std::size_t b = 0; b < 32; ++b) {
        for (std::size_t m = 0; m < 8; ++m) r[8 * b + m] = c[m][b];
    }
}

inline void inverseButterflyRows(std::int16_t* __restrict x, std::int16_t* __restrict y,
                                 const RowTwiddles& w) noexcept {
    for (std::size_t b = 0; b < 32; ++b) {
        const std::int16_t t = x[b];
        x[b] = barrettReduce(static_cast<std::int16_t>(t + y[b]));
        y[b] = multiplyMontgomery(static_cast<std::int16_t>(y[b] - t), w.z[b], w.zt[b]);
    }
}

inline std::uint32_t loadLittleEndian32(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

// ---- The portable routines: plain loops that the compiler vectorises for the baseline ----

void nttPortable(Poly& a) noexcept {
    std::int16_t* r = a.c.data();
    std::size_t k = 1;
    nttLayer<128>(r, k);
    nttLayer<64>(r, k);
    nttLayer<32>(r, k);
    nttLayer<16>(r, k);
    nttLayer<8>(r, k);
    nttLayer<4>(r, k);
    nttLayer<2>(r, k);
    for (auto& x : a.c) x = barrettReduce(x);
}

void inverseNttPortable(Poly& a) noexcept {
    std::int16_t* r = a.c.data();
    Columns c;
    toColumns(r, c);
    for (std::size_t m : {0, 1}) inverseButterflyRows(c[m], c[m + 2], inverseLen2Low);
    for (std::size_t m : {4, 5}) inverseButterflyRows(c[m], c[m + 2], inverseLen2High);
    for (std::size_t m = 0; m < 4; ++m) inverseButterflyRows(c[m], c[m + 4], inverseLen4);
    fromColumns(c, r);
    std::size_t k = 31;
    inverseNttLayer<8>(r, k);
    inverseNttLayer<16>(r, k);
    inverseNttLayer<32>(r, k);
    inverseNttLayer<64>(r, k);
    inverseNttLayer<128>(r, k);
    constexpr std::int16_t scaleTwisted = twisted(inverseNttScale);
    for (auto& x : a.c) x = multiplyMontgomery(x, inverseNttScale, scaleTwisted);
}

// In place on a copy, which spares the vectoriser a check that cache and b do not overlap.
void computeMultiplyCachePortable(MultiplyCache& cache, const Poly& b) noexcept {
    cache.c = b.c;
    for (std::size_t i = 0; i < n; ++i) cache.c[i] = multiplyMontgomery(cache.c[i], cacheFactors.z[i], cacheFactors.zt[i]);
}

// Products of degree-one pairs: (a0 + a1 X)(b0 + b1 X) mod X^2 - gamma, whose even part
// a0 b0 + a1 (b1 gamma) takes b0 and b1 gamma (mod q) from the cache. Each of the (at most
// 8) terms summed per coefficient is below q in size, so the sums stay within int16.
// (Summing the products in 32 bits, as the AVX2 kernel does, is slower in the baseline's
// vectors.)
void multiplyAccumulatePortable(Poly& out, const Poly* a, const Poly* b, const MultiplyCache* bCache,
                                std::size_t count) noexcept {
    std::array<std::int16_t, n / 2> even{}, odd{};
    for (std::size_t m = 0; m < count; ++m) {
        const auto& x = a[m].c;
        const auto& y = b[m].c;
        const auto& z = bCache[m].c;
        for (std::size_t i = 0; i < n / 2; ++i) {
            const std::int16_t a0 = x[2 * i], a1 = x[2 * i + 1], b0 = y[2 * i], b1 = y[2 * i + 1];
            const std::int16_t c0 = z[2 * i], c1 = z[2 * i + 1];
            even[i] = static_cast<std::int16_t>(even[i] + multiplyMontgomery(a0, c0) + multiplyMontgomery(a1, c1));
            odd[i] = static_cast<std::int16_t>(odd[i] + multiplyMontgomery(a0, b1) + multiplyMontgomery(a1, b0));
        }
    }
    for (std::size_t i = 0; i < n / 2; ++i) {
        out.c[2 * i] = barrettReduce(even[i]);
        out.c[2 * i + 1] = barrettReduce(odd[i]);
    }
}

void reducePortable(Poly& a) noexcept {
    for (auto& x : a.c) x = barrettReduce(x);
}

void toMontgomeryPortable(Poly& a) noexcept {
    constexpr std::int16_t factorTwisted = twisted(montgomerySquared);
    for (auto& x : a.c) x = multiplyMontgomery(x, montgomerySquared, factorTwisted);
}

void normalizePortable(Poly& a) noexcept {
    for (auto& x : a.c) x = addQIfNegative(barrettReduce(x));
}

// The candidates of 12 bits in `length` bytes (a multiple of 3), appended to accepted from
// index count while there are fewer than n. Each candidate is written and kept by advancing
// the count, which spares a badly predicted branch per candidate; accepted has two entries of
// slack for the last writes. Public input only.
std::size_t rejectUniformPortable(std::int16_t* accepted, std::size_t count, const std::uint8_t* bytes,
                                  std::size_t length) noexcept {
    for (std::size_t p = 0; p + 3 <= length && count < n; p += 3) {
        const auto d1 = static_cast<std::int16_t>(bytes[p] | ((bytes[p + 1] & 0x0F) << 8));
        const auto d2 = static_cast<std::int16_t>((bytes[p + 1] >> 4) | (bytes[p + 2] << 4));
        accepted[count] = d1;
        count += d1 < q;
        accepted[count] = d2;
        count += d2 < q;
    }
    return count;
}

// SamplePolyCBD_2 of 128 bytes.
void centeredBinomial2Portable(Poly& a, const std::uint8_t* bytes) noexcept {
    for (std::size_t w = 0; w < 32; ++w) {
        const std::uint32_t v = loadLittleEndian32(bytes + 4 * w);
        // Each 4-bit group holds two 2-bit sums: x in its low half, y in its high half.
        const std::uint32_t sums = (v & 0x55555555u) + ((v >> 1) & 0x55555555u);
        for (std::size_t k = 0; k < 8; ++k) {
            const auto x = static_cast<std::int16_t>((sums >> (4 * k)) & 3);
            const auto y = static_cast<std::int16_t>((sums >> (4 * k + 2)) & 3);
            a.c[8 * w + k] = static_cast<std::int16_t>(x - y);
        }
    }
}

void encode12Portable(const Poly& a, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < n / 2; ++i) {
        const auto a0 = static_cast<std::uint16_t>(a.c[2 * i]);
        const auto a1 = static_cast<std::uint16_t>(a.c[2 * i + 1]);
        out[3 * i] = static_cast<std::uint8_t>(a0);
        out[3 * i + 1] = static_cast<std::uint8_t>((a0 >> 8) | (a1 << 4));
        out[3 * i + 2] = static_cast<std::uint8_t>(a1 >> 4);
    }
}

void decode12Portable(Poly& a, const std::uint8_t* in) noexcept {
    for (std::size_t i = 0; i < n / 2; ++i) {
        const std::uint8_t b0 = in[3 * i], b1 = in[3 * i + 1], b2 = in[3 * i + 2];
        const auto a0 = static_cast<std::int16_t>(b0 | ((b1 & 0x0F) << 8));
        const auto a1 = static_cast<std::int16_t>((b1 >> 4) | (b2 << 4));
        a.c[2 * i] = addQIfNegative(static_cast<std::int16_t>(a0 - q));
        a.c[2 * i + 1] = addQIfNegative(static_cast<std::int16_t>(a1 - q));
    }
}

bool isCanonical12Portable(const std::uint8_t* in) noexcept {
    bool canonical = true;
    for (std::size_t i = 0; i < n / 2; ++i) {
        const std::uint8_t b0 = in[3 * i], b1 = in[3 * i + 1], b2 = in[3 * i + 2];
        const int a0 = b0 | ((b1 & 0x0F) << 8);
        const int a1 = (b1 >> 4) | (b2 << 4);
        canonical &= (a0 < q) & (a1 < q);
    }
    return canonical;
}

template <int d>
void compressEncodePortable(const Poly& a, std::uint8_t* out) noexcept {
    std::uint16_t values[n];
    for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<std::uint16_t>(compress<d>(a.c[i]));
    pq::packBits<d>(values, out);
    secureWipe(values, sizeof values);
}

template <int d>
void decodeDecompressPortable(Poly& a, const std::uint8_t* in) noexcept {
    std::uint16_t values[n];
    pq::unpackBits<d>(in, values);
    for (std::size_t i = 0; i < n; ++i) a.c[i] = decompress<d>(values[i]);
    secureWipe(values, sizeof values);
}

// ---- Dispatch to the backend in use ----

#if DUOQUILL_MLKEM_AVX2
bool useAvx2() noexcept { return pq::usesAvx2(); }
#endif

// ---- Four-way sponges on the interleaved states, for sampling ----

inline std::uint64_t loadLittleEndian64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// Absorbs four inputs of one length (below the rate) into a fresh state and pads them as
// SHAKE does.
void absorbShortX4(sha3::KeccakX4State& state, const std::array<const std::uint8_t*, 4>& inputs, std::size_t length,
                   std::size_t rate) noexcept {
    state = {};
    for (std::size_t s = 0; s < 4; ++s) {
        std::size_t i = 0;
        for (; i + 8 <= length; i += 8) state.lanes[i / 8][s] = loadLittleEndian64(inputs[s] + i);
        for (; i < length; ++i) state.lanes[i / 8][s] ^= std::uint64_t{inputs[s][i]} << (8 * (i % 8));
        state.lanes[length / 8][s] ^= std::uint64_t{0x1F} << (8 * (length % 8));
        state.lanes[(rate - 1) / 8][s] ^= std::uint64_t{0x80} << (8 * ((rate - 1) % 8));
    }
}

// The first `bytes` bytes (a multiple of 8) of the rate of each state into out[s].
void extractX4(const sha3::KeccakX4State& state, const std::array<std::uint8_t*, 4>& out, std::size_t bytes) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::extractX4(state, out, bytes);
#endif
    for (std::size_t s = 0; s < 4; ++s) {
        for (std::size_t lane = 0; lane < bytes / 8; ++lane) {
            std::uint64_t v = state.lanes[lane][s];
            if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
            std::memcpy(out[s] + 8 * lane, &v, 8);
        }
    }
}

std::size_t rejectUniform(std::int16_t* accepted, std::size_t count, const std::uint8_t* bytes,
                          std::size_t length) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::rejectUniform(accepted, count, bytes, length);
#endif
    return rejectUniformPortable(accepted, count, bytes, length);
}

void centeredBinomial2(Poly& a, const std::uint8_t* bytes) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::centeredBinomial2(a, bytes);
#endif
    centeredBinomial2Portable(a, bytes);
}

}  // namespace

void ntt(Poly& a) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::ntt(a);
#endif
    nttPortable(a);
}

void inverseNtt(Poly& a) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::inverseNtt(a);
#endif
    inverseNttPortable(a);
}

void computeMultiplyCache(MultiplyCache& cache, const Poly& b) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::computeMultiplyCache(cache, b);
#endif
    computeMultiplyCachePortable(cache, b);
}

void multiplyAccumulate(Poly& out, const Poly* a, const Poly* b, const MultiplyCache* bCache,
                        std::size_t count) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::multiplyAccumulate(out, a, b, bCache, count);
#endif
    multiplyAccumulatePortable(out, a, b, bCache, count);
}

void add(Poly& a, const Poly& b) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::add(a, b);
#endif
    std::int16_t* __restrict x = a.c.data();
    const std::int16_t* __restrict y = b.c.data();
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<std::int16_t>(x[i] + y[i]);
}

void subtract(Poly& a, const Poly& b) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::subtract(a, b);
#endif
    std::int16_t* __restrict x = a.c.data();
    const std::int16_t* __restrict y = b.c.data();
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<std::int16_t>(x[i] - y[i]);
}

void reduce(Poly& a) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::reduce(a);
#endif
    reducePortable(a);
}

void toMontgomery(Poly& a) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::toMontgomery(a);
#endif
    toMontgomeryPortable(a);
}

void normalize(Poly& a) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::normalize(a);
#endif
    normalizePortable(a);
}

namespace {

// One of the four states of sampleMatrixAndDigests and the job it runs.
struct Lane {
    enum class Job { none, entry, digest } job = Job::none;
    std::size_t index = 0;       // of the entry or digest
    std::size_t count = 0;       // entry: coefficients accepted so far
    std::size_t block = 0;       // digest: the block absorbed last
    std::size_t blocks = 0;      // digest: blocks of the padded message
    alignas(32) std::int16_t accepted[n + 2];   // entry: two entries of slack for the last writes
};

constexpr std::size_t shake128Rate = sha3::Shake128X4::rateBytes;
constexpr std::size_t digestRate = sha3::Shake256X4::rateBytes;
// The longest padded message of a digest: 12 blocks hold z || c of 32 + 1568 bytes.
constexpr std::size_t digestMaxBlocks = 12;

void clearState(sha3::KeccakX4State& state, std::size_t s) noexcept {
    for (auto& lane : state.lanes) lane[s] = 0;
}

void xorBlock(sha3::KeccakX4State& state, std::size_t s, const std::uint8_t* block, std::size_t rate) noexcept {
    for (std::size_t i = 0; i < rate / 8; ++i) state.lanes[i][s] ^= loadLittleEndian64(block + 8 * i);
}

}  // namespace

void sampleMatrixAndDigests(BytesView rho, std::span<const MatrixEntry> entries, std::span<const Digest136> digests) {
    // Each digest's message, padded to whole blocks.
    alignas(32) std::uint8_t padded[2][digestMaxBlocks * digestRate];
    if (digests.size() > 2) throw std::invalid_argument("sampleMatrixAndDigests: more than two digests");
    std::size_t digestBlocks[2] = {0, 0};
    for (std::size_t d = 0; d < digests.size(); ++d) {
        const std::size_t length = digests[d].pieces[0].size() + digests[d].pieces[1].size();
        const std::size_t blocks = length / digestRate + 1;
        if (blocks > digestMaxBlocks) throw std::invalid_argument("sampleMatrixAndDigests: digest message too long");
        std::uint8_t* end = padded[d];
        for (BytesView piece : digests[d].pieces) end = std::copy(piece.begin(), piece.end(), end);
        std::fill(padded[d] + length, padded[d] + blocks * digestRate, std::uint8_t{0});
        padded[d][length] = digests[d].suffix;
        padded[d][blocks * digestRate - 1] |= 0x80;
        digestBlocks[d] = blocks;
    }

    sha3::KeccakX4State state{};
    Lane lanes[4];
    std::size_t nextDigest = 0, nextEntry = 0;
    // Gives lane s its next job, digests first, and absorbs its first block.
    const auto start = [&](std::size_t s) {
        Lane& lane = lanes[s];
        clearState(state, s);
        if (nextDigest < digests.size()) {
            lane.job = Lane::Job::digest;
            lane.index = nextDigest++;
            lane.block = 0;
            lane.blocks = digestBlocks[lane.index];
            xorBlock(state, s, padded[lane.index], digestRate);
        } else if (nextEntry < entries.size()) {
            lane.job = Lane::Job::entry;
            lane.index = nextEntry++;
            lane.count = 0;
            // rho || j || i and the SHAKE padding.
            for (std::size_t w = 0; w < 4; ++w) state.lanes[w][s] = loadLittleEndian64(rho.data() + 8 * w);
            const MatrixEntry& entry = entries[lane.index];
            state.lanes[4][s] = std::uint64_t{entry.j} | (std::uint64_t{entry.i} << 8) | (std::uint64_t{0x1F} << 16);
            state.lanes[shake128Rate / 8 - 1][s] ^= std::uint64_t{0x80} << 56;
        } else {
            lane.job = Lane::Job::none;
        }
    };
    for (std::size_t s = 0; s < 4; ++s) start(s);

    alignas(32) std::uint8_t block[4][shake128Rate];
    while (lanes[0].job != Lane::Job::none || lanes[1].job != Lane::Job::none ||
           lanes[2].job != Lane::Job::none || lanes[3].job != Lane::Job::none) {
        sha3::keccakF1600X4(state);
        extractX4(state, {block[0], block[1], block[2], block[3]}, shake128Rate);
        for (std::size_t s = 0; s < 4; ++s) {
            Lane& lane = lanes[s];
            if (lane.job == Lane::Job::entry) {
                lane.count = rejectUniform(lane.accepted, lane.count, block[s], shake128Rate);
                if (lane.count < n) continue;
                std::copy(lane.accepted, lane.accepted + n, entries[lane.index].out->c.begin());
                start(s);
            } else if (lane.job == Lane::Job::digest) {
                if (++lane.block < lane.blocks) {
                    xorBlock(state, s, padded[lane.index] + lane.block * digestRate, digestRate);
                    continue;
                }
                std::copy(block[s], block[s] + 32, digests[lane.index].out);
                start(s);
            }
        }
    }
    if (!digests.empty()) {   // what the digests' messages may have left; the rest is public
        secureWipe(padded, sizeof padded);
        secureWipe(block, sizeof block);
        secureWipe(&state, sizeof state);
    }
}

void sampleCBD2(Poly& a, BytesView sigma, std::uint8_t nonce) {
    std::uint8_t bytes[128];
    sha3::Shake256 prf;
    prf.absorb(sigma).absorb(BytesView(&nonce, 1)).squeeze(bytes);
    centeredBinomial2(a, bytes);
    secureWipe(bytes, sizeof bytes);
}

void sampleCBD2X4(const std::array<Poly*, 4>& out, BytesView sigma, const std::array<std::uint8_t, 4>& nonces) {
    std::uint8_t seeds[4][33];
    for (std::size_t s = 0; s < 4; ++s) {
        std::copy(sigma.begin(), sigma.end(), seeds[s]);
        seeds[s][32] = nonces[s];
    }
    sha3::KeccakX4State state;
    absorbShortX4(state, {seeds[0], seeds[1], seeds[2], seeds[3]}, 33, sha3::Shake256X4::rateBytes);
    sha3::keccakF1600X4(state);   // one block; its first 128 bytes are used
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) {
        avx2::centeredBinomial2X4(out, state);
    } else
#endif
    {
        std::uint8_t bytes[4][128];
        extractX4(state, {bytes[0], bytes[1], bytes[2], bytes[3]}, 128);
        for (std::size_t s = 0; s < 4; ++s) centeredBinomial2Portable(*out[s], bytes[s]);
        secureWipe(bytes, sizeof bytes);
    }
    secureWipe(seeds, sizeof seeds);
    secureWipe(&state, sizeof state);
}

void encode12(const Poly& a, std::uint8_t* out) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::encode12(a, out);
#endif
    encode12Portable(a, out);
}

void decode12(Poly& a, const std::uint8_t* in) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::decode12(a, in);
#endif
    decode12Portable(a, in);
}

bool isCanonical12(const std::uint8_t* in) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::isCanonical12(in);
#endif
    return isCanonical12Portable(in);
}

template <int d>
void compressEncode(const Poly& a, std::uint8_t* out) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::compressEncode<d>(a, out);
#endif
    compressEncodePortable<d>(a, out);
}

template <int d>
void decodeDecompress(Poly& a, const std::uint8_t* in) noexcept {
#if DUOQUILL_MLKEM_AVX2
    if (useAvx2()) return avx2::decodeDecompress<d>(a, in);
#endif
    decodeDecompressPortable<d>(a, in);
}

template void compressEncode<1>(const Poly&, std::uint8_t*) noexcept;
template void compressEncode<5>(const Poly&, std::uint8_t*) noexcept;
template void compressEncode<11>(const Poly&, std::uint8_t*) noexcept;
template void decodeDecompress<1>(Poly&, const std::uint8_t*) noexcept;
template void decodeDecompress<5>(Poly&, const std::uint8_t*) noexcept;
template void decodeDecompress<11>(Poly&, const std::uint8_t*) noexcept;

}  // namespace duoquill::mlkem
