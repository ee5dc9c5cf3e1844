#include "Duoquill/Platform/PQ/MLKEMPolynomial.h"

#include <bit>
#include <cstring>

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

// a * R^-1 mod q, for |a| < q * 2^15. Out: |r| < q.
inline std::int16_t montgomeryReduce(std::int32_t a) noexcept {
    const auto t = static_cast<std::int16_t>(static_cast<std::int16_t>(a) * qInverse);
    return static_cast<std::int16_t>((a - static_cast<std::int32_t>(t) * q) >> 16);
}

inline std::int16_t multiplyMontgomery(std::int16_t a, std::int16_t b) noexcept {
    return montgomeryReduce(static_cast<std::int32_t>(a) * b);
}

// The centred representative, |r| <= (q-1)/2, for any int16 a.
inline std::int16_t barrettReduce(std::int16_t a) noexcept {
    constexpr std::int32_t v = ((1 << 26) + q / 2) / q;
    const std::int32_t t = (v * a + (1 << 25)) >> 26;
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

// Little-endian bit packing of 256 values of d bits each.
template <int d>
void packBits(const std::uint32_t* values, std::uint8_t* out) noexcept {
    std::uint64_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        acc |= static_cast<std::uint64_t>(values[i]) << bits;
        bits += d;
        while (bits >= 8) {
            *out++ = static_cast<std::uint8_t>(acc);
            acc >>= 8;
            bits -= 8;
        }
    }
}

template <int d>
void unpackBits(const std::uint8_t* in, std::uint32_t* values) noexcept {
    std::uint64_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        while (bits < d) {
            acc |= static_cast<std::uint64_t>(*in++) << bits;
            bits += 8;
        }
        values[i] = static_cast<std::uint32_t>(acc) & ((1u << d) - 1);
        acc >>= d;
        bits -= d;
    }
}

inline std::uint32_t loadLittleEndian32(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

}  // namespace

void ntt(Poly& a) noexcept {
    auto& r = a.c;
    std::size_t k = 1;
    for (std::size_t len = 128; len >= 2; len >>= 1) {
        for (std::size_t start = 0; start < n; start += 2 * len) {
            const std::int16_t z = zetas[k++];
            for (std::size_t j = start; j < start + len; ++j) {
                const std::int16_t t = multiplyMontgomery(z, r[j + len]);
                r[j + len] = static_cast<std::int16_t>(r[j] - t);
                r[j] = static_cast<std::int16_t>(r[j] + t);
            }
        }
    }
    reduce(a);
}

void inverseNtt(Poly& a) noexcept {
    auto& r = a.c;
    std::size_t k = 127;
    for (std::size_t len = 2; len <= 128; len <<= 1) {
        for (std::size_t start = 0; start < n; start += 2 * len) {
            const std::int16_t z = zetas[k--];
            for (std::size_t j = start; j < start + len; ++j) {
                const std::int16_t t = r[j];
                r[j] = barrettReduce(static_cast<std::int16_t>(t + r[j + len]));
                r[j + len] = multiplyMontgomery(z, static_cast<std::int16_t>(r[j + len] - t));
            }
        }
    }
    for (auto& x : r) x = multiplyMontgomery(x, inverseNttScale);
}

void multiplyAccumulate(Poly& out, const Poly* a, const Poly* b, std::size_t count) noexcept {
    for (std::size_t i = 0; i < n / 2; ++i) {
        std::int32_t even = 0, odd = 0;
        for (std::size_t m = 0; m < count; ++m) {
            const std::int16_t a0 = a[m].c[2 * i], a1 = a[m].c[2 * i + 1];
            const std::int16_t b0 = b[m].c[2 * i], b1 = b[m].c[2 * i + 1];
            even += static_cast<std::int32_t>(a0) * b0 +
                    static_cast<std::int32_t>(multiplyMontgomery(a1, b1)) * gammas[i];
            odd += static_cast<std::int32_t>(a0) * b1 + static_cast<std::int32_t>(a1) * b0;
        }
        out.c[2 * i] = montgomeryReduce(even);
        out.c[2 * i + 1] = montgomeryReduce(odd);
    }
}

void add(Poly& a, const Poly& b) noexcept {
    for (std::size_t i = 0; i < n; ++i) a.c[i] = static_cast<std::int16_t>(a.c[i] + b.c[i]);
}

void subtract(Poly& a, const Poly& b) noexcept {
    for (std::size_t i = 0; i < n; ++i) a.c[i] = static_cast<std::int16_t>(a.c[i] - b.c[i]);
}

void reduce(Poly& a) noexcept {
    for (auto& x : a.c) x = barrettReduce(x);
}

void toMontgomery(Poly& a) noexcept {
    for (auto& x : a.c) x = multiplyMontgomery(x, montgomerySquared);
}

void normalize(Poly& a) noexcept {
    for (auto& x : a.c) x = addQIfNegative(barrettReduce(x));
}

void sampleNTT(Poly& a, BytesView rho, std::uint8_t j, std::uint8_t i) {
    sha3::Shake128 xof;
    const std::uint8_t indices[2] = {j, i};
    xof.absorb(rho).absorb(indices);

    std::uint8_t buffer[3 * 168];
    std::span<std::uint8_t> chunk(buffer);
    std::size_t count = 0;
    while (true) {
        xof.squeeze(chunk);
        for (std::size_t p = 0; p + 3 <= chunk.size() && count < n; p += 3) {
            const std::uint16_t d1 = static_cast<std::uint16_t>(chunk[p] | ((chunk[p + 1] & 0x0F) << 8));
            const std::uint16_t d2 = static_cast<std::uint16_t>((chunk[p + 1] >> 4) | (chunk[p + 2] << 4));
            if (d1 < q) a.c[count++] = static_cast<std::int16_t>(d1);
            if (d2 < q && count < n) a.c[count++] = static_cast<std::int16_t>(d2);
        }
        if (count == n) return;
        chunk = std::span<std::uint8_t>(buffer, 168);
    }
}

void sampleCBD2(Poly& a, BytesView sigma, std::uint8_t nonce) {
    std::uint8_t bytes[128];
    sha3::Shake256 prf;
    prf.absorb(sigma).absorb(BytesView(&nonce, 1)).squeeze(bytes);
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
    std::uint32_t values[n];
    for (std::size_t i = 0; i < n; ++i) values[i] = compress<d>(a.c[i]);
    packBits<d>(values, out);
    secureWipe(values, sizeof values);
}

template <int d>
void decodeDecompress(Poly& a, const std::uint8_t* in) noexcept {
    std::uint32_t values[n];
    unpackBits<d>(in, values);
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
