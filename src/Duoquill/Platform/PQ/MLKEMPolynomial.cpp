#include "Duoquill/Platform/PQ/MLKEMPolynomial.h"

#include <bit>
#include <algorithm>
#include <cstring>

#include "Duoquill/Platform/PQ/BitPacking.h"
#include "Duoquill/Platform/PQ/Sha3.h"
#include "Duoquill/Platform/PQ/Sha3X4.h"

namespace duoquill::mlkem {
namespace {

constexpr std::int32_t montgomeryFactor = 1 << 16;   // R
constexpr std::int16_t qInverse = -3327;               // q^-1 mod R, as a signed 16-bit value
constexpr int zeta = 17;                               // primitive 256th root of unity mod q

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
constexpr std::array<std::int16_t, 128> zetas = [] {
    std::array<std::int16_t, 128> t{};
    for (int k = 0; k < 128; ++k) t[k] = centeredMontgomery(powerOfZeta(bitReverse7(k)));
    return t;
}();

// zeta^(2 BitRev7(i) + 1) * R, the moduli X^2 - gamma of the 128 degree-one products.
constexpr std::array<std::int16_t, 128> gammas = [] {
    std::array<std::int16_t, 128> t{};
    for (int i = 0; i < 128; ++i) t[i] = centeredMontgomery(powerOfZeta(2 * bitReverse7(i) + 1));
    return t;
}();

constexpr std::int16_t montgomerySquared = centeredMontgomery(montgomeryFactor);   // R^2 mod q
// R^2 / 128: the inverse NTT's scaling by 1/128, times R.
constexpr std::int16_t inverseNttScale = centeredMontgomery(std::int64_t{montgomeryFactor} * 3303);

// The arithmetic below keeps to 16-bit lanes (low and high halves of 16x16-bit products) so
// that the compiler turns the loops over coefficients into vector code on any target.

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

constexpr std::int16_t twisted(std::int16_t b) { return static_cast<std::int16_t>(b * qInverse); }

constexpr std::array<std::int16_t, 128> twist(const std::array<std::int16_t, 128>& t) {
    std::array<std::int16_t, 128> r{};
    for (std::size_t i = 0; i < t.size(); ++i) r[i] = twisted(t[i]);
    return r;
}

constexpr std::array<std::int16_t, 128> zetasTwisted = twist(zetas);
constexpr std::array<std::int16_t, 128> gammasTwisted = twist(gammas);

// The centred representative, |r| <= (q-1)/2, for any int16 a: a - round(a * v / 2^26) * q
// with v = round(2^26 / q), the rounding done on the high half of a * v.
inline std::int16_t barrettReduce(std::int16_t a) noexcept {
    constexpr std::int16_t v = ((1 << 26) + q / 2) / q;
    const auto t = static_cast<std::int16_t>((multiplyHigh(a, v) + 512) >> 10);
    return static_cast<std::int16_t>(a - t * q);
}

// [0, q) from (-q, q).
inline std::int16_t addQIfNegative(std::int16_t a) noexcept {
    return static_cast<std::int16_t>(a + ((a >> 15) & q));
}

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

inline std::uint32_t loadLittleEndian32(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

}  // namespace

void ntt(Poly& a) noexcept {
    std::int16_t* r = a.c.data();
    std::size_t k = 1;
    nttLayer<128>(r, k);
    nttLayer<64>(r, k);
    nttLayer<32>(r, k);
    nttLayer<16>(r, k);
    nttLayer<8>(r, k);
    nttLayer<4>(r, k);
    nttLayer<2>(r, k);
    reduce(a);
}

void inverseNtt(Poly& a) noexcept {
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

// Products of degree-one pairs: (a0 + a1 X)(b0 + b1 X) mod X^2 - gamma. Each of the (at
// most 8) terms summed per coefficient is below q in size, so the sums stay within int16.
void multiplyAccumulate(Poly& out, const Poly* a, const Poly* b, std::size_t count) noexcept {
    std::array<std::int16_t, n / 2> even{}, odd{};
    for (std::size_t m = 0; m < count; ++m) {
        const auto& x = a[m].c;
        const auto& y = b[m].c;
        for (std::size_t i = 0; i < n / 2; ++i) {
            const std::int16_t a0 = x[2 * i], a1 = x[2 * i + 1], b0 = y[2 * i], b1 = y[2 * i + 1];
            const std::int16_t a1b1 = multiplyMontgomery(a1, b1);
            even[i] = static_cast<std::int16_t>(even[i] + multiplyMontgomery(a0, b0) +
                                                multiplyMontgomery(a1b1, gammas[i], gammasTwisted[i]));
            odd[i] = static_cast<std::int16_t>(odd[i] + multiplyMontgomery(a0, b1) + multiplyMontgomery(a1, b0));
        }
    }
    for (std::size_t i = 0; i < n / 2; ++i) {
        out.c[2 * i] = barrettReduce(even[i]);
        out.c[2 * i + 1] = barrettReduce(odd[i]);
    }
}

void add(Poly& a, const Poly& b) noexcept {
    std::int16_t* __restrict x = a.c.data();
    const std::int16_t* __restrict y = b.c.data();
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<std::int16_t>(x[i] + y[i]);
}

void subtract(Poly& a, const Poly& b) noexcept {
    std::int16_t* __restrict x = a.c.data();
    const std::int16_t* __restrict y = b.c.data();
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<std::int16_t>(x[i] - y[i]);
}

void reduce(Poly& a) noexcept {
    for (auto& x : a.c) x = barrettReduce(x);
}

void toMontgomery(Poly& a) noexcept {
    constexpr std::int16_t factorTwisted = twisted(montgomerySquared);
    for (auto& x : a.c) x = multiplyMontgomery(x, montgomerySquared, factorTwisted);
}

void normalize(Poly& a) noexcept {
    for (auto& x : a.c) x = addQIfNegative(barrettReduce(x));
}

void sampleNTTX4(const std::array<Poly*, 4>& out, BytesView rho, const std::array<std::uint8_t, 4>& j,
                 const std::array<std::uint8_t, 4>& i) {
    std::array<std::array<std::uint8_t, 34>, 4> seeds;
    std::array<BytesView, 4> inputs;
    for (std::size_t s = 0; s < 4; ++s) {
        std::copy(rho.begin(), rho.end(), seeds[s].begin());
        seeds[s][32] = j[s];
        seeds[s][33] = i[s];
        inputs[s] = seeds[s];
    }
    sha3::Shake128X4 xof(inputs);

    // Three blocks nearly always give 256 coefficients; more are drawn for all four until
    // each has its 256.
    constexpr std::size_t firstBlocks = 3;
    constexpr std::size_t rate = sha3::Shake128X4::rateBytes;
    std::uint8_t buffers[4][firstBlocks * rate];
    const std::array<std::uint8_t*, 4> outputs = {buffers[0], buffers[1], buffers[2], buffers[3]};
    // Candidates are written unconditionally and kept by advancing the count, which spares a
    // badly predicted branch per candidate; two slots of slack take the last writes.
    std::int16_t accepted[4][n + 2];
    std::size_t counts[4] = {0, 0, 0, 0};
    std::size_t length = firstBlocks * rate;
    xof.squeezeBlocks(outputs, firstBlocks);
    while (true) {
        bool done = true;
        for (std::size_t s = 0; s < 4; ++s) {
            const std::uint8_t* bytes = buffers[s];
            std::size_t count = counts[s];
            for (std::size_t p = 0; p + 3 <= length && count < n; p += 3) {
                const auto d1 = static_cast<std::int16_t>(bytes[p] | ((bytes[p + 1] & 0x0F) << 8));
                const auto d2 = static_cast<std::int16_t>((bytes[p + 1] >> 4) | (bytes[p + 2] << 4));
                accepted[s][count] = d1;
                count += d1 < q;
                accepted[s][count] = d2;
                count += d2 < q;
            }
            counts[s] = count;
            done &= count >= n;
        }
        if (done) break;
        xof.squeezeBlocks(outputs, 1);
        length = rate;
    }
    for (std::size_t s = 0; s < 4; ++s) std::copy(accepted[s], accepted[s] + n, out[s]->c.begin());
}

namespace {

// SamplePolyCBD_2 of 128 bytes.
void centeredBinomial2(Poly& a, const std::uint8_t* bytes) noexcept {
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

}  // namespace

void sampleCBD2(Poly& a, BytesView sigma, std::uint8_t nonce) {
    std::uint8_t bytes[128];
    sha3::Shake256 prf;
    prf.absorb(sigma).absorb(BytesView(&nonce, 1)).squeeze(bytes);
    centeredBinomial2(a, bytes);
    secureWipe(bytes, sizeof bytes);
}

void sampleCBD2X4(const std::array<Poly*, 4>& out, BytesView sigma, const std::array<std::uint8_t, 4>& nonces) {
    std::uint8_t seeds[4][33];
    std::array<BytesView, 4> inputs;
    for (std::size_t s = 0; s < 4; ++s) {
        std::copy(sigma.begin(), sigma.end(), seeds[s]);
        seeds[s][32] = nonces[s];
        inputs[s] = BytesView(seeds[s], 33);
    }
    std::uint8_t bytes[4][sha3::Shake256X4::rateBytes];   // one block; the first 128 bytes are used
    sha3::Shake256X4(inputs).squeezeBlocks({bytes[0], bytes[1], bytes[2], bytes[3]}, 1);
    for (std::size_t s = 0; s < 4; ++s) centeredBinomial2(*out[s], bytes[s]);
    secureWipe(seeds, sizeof seeds);
    secureWipe(bytes, sizeof bytes);
}

void encode12(const Poly& a, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < n / 2; ++i) {
        const auto a0 = static_cast<std::uint16_t>(a.c[2 * i]);
        const auto a1 = static_cast<std::uint16_t>(a.c[2 * i + 1]);
        out[3 * i] = static_cast<std::uint8_t>(a0);
        out[3 * i + 1] = static_cast<std::uint8_t>((a0 >> 8) | (a1 << 4));
        out[3 * i + 2] = static_cast<std::uint8_t>(a1 >> 4);
    }
}

void decode12(Poly& a, const std::uint8_t* in) noexcept {
    for (std::size_t i = 0; i < n / 2; ++i) {
        const std::uint8_t b0 = in[3 * i], b1 = in[3 * i + 1], b2 = in[3 * i + 2];
        const auto a0 = static_cast<std::int16_t>(b0 | ((b1 & 0x0F) << 8));
        const auto a1 = static_cast<std::int16_t>((b1 >> 4) | (b2 << 4));
        a.c[2 * i] = addQIfNegative(static_cast<std::int16_t>(a0 - q));
        a.c[2 * i + 1] = addQIfNegative(static_cast<std::int16_t>(a1 - q));
    }
}

bool isCanonical12(const std::uint8_t* in) noexcept {
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
void compressEncode(const Poly& a, std::uint8_t* out) noexcept {
    std::uint16_t values[n];
    for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<std::uint16_t>(compress<d>(a.c[i]));
    pq::packBits<d>(values, out);
    secureWipe(values, sizeof values);
}

template <int d>
void decodeDecompress(Poly& a, const std::uint8_t* in) noexcept {
    std::uint16_t values[n];
    pq::unpackBits<d>(in, values);
    for (std::size_t i = 0; i < n; ++i) a.c[i] = decompress<d>(values[i]);
    secureWipe(values, sizeof values);
}

template void compressEncode<1>(const Poly&, std::uint8_t*) noexcept;
template void compressEncode<5>(const Poly&, std::uint8_t*) noexcept;
template void compressEncode<11>(const Poly&, std::uint8_t*) noexcept;
template void decodeDecompress<1>(Poly&, const std::uint8_t*) noexcept;
template void decodeDecompress<5>(Poly&, const std::uint8_t*) noexcept;
template void decodeDecompress<11>(Poly&, const std::uint8_t*) noexcept;

}  // namespace duoquill::mlkem
