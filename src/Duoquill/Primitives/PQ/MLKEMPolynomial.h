#pragma once
// Arithmetic in R_q = Z_3329[X]/(X^256 + 1) for ML-KEM: the number-theoretic transform,
// multiplication in the NTT domain, sampling, compression and byte encodings.
// Internal to the ML-KEM implementation. Every routine here runs in time independent of
// the coefficient values, except the matrix sampling of sampleMatrixAndDigests, whose input
// is public. Each routine runs the AVX2 kernels of MLKEMAvx2.cpp when that backend is in use
// (VectorBackend.h), else portable code; both give the same results.

#include <array>
#include <cstdint>
#include <span>

#include "Duoquill/Primitives/PQ/MLKEMPoly.h"
#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::mlkem {

// Forward NTT. In: |c| < q, normal order. Out: bit-reversed order, |c| <= (q-1)/2.
void ntt(Poly& a) noexcept;
// Inverse NTT, also multiplying by 2^16 (undoing the factor 2^-16 that multiplyAccumulate
// leaves). In: |c| < q. Out: |c| < q.
void inverseNtt(Poly& a) noexcept;

// The cache of b for multiplyAccumulate (MLKEMPoly.h).
void computeMultiplyCache(MultiplyCache& cache, const Poly& b) noexcept;

// out = sum_m a[m] * b[m] * 2^-16 in the NTT domain, for count <= 4, with bCache[m] the cache
// of b[m]. In: |c| < q for a, and |c| <= (q-1)/2 for b. Out: |c| < q.
void multiplyAccumulate(Poly& out, const Poly* a, const Poly* b, const MultiplyCache* bCache,
                        std::size_t count) noexcept;

void add(Poly& a, const Poly& b) noexcept;        // a += b, no reduction; a and b distinct
void subtract(Poly& a, const Poly& b) noexcept;   // a -= b, no reduction; a and b distinct
void reduce(Poly& a) noexcept;                    // to |c| <= (q-1)/2
void toMontgomery(Poly& a) noexcept;              // c * 2^16 mod q, |c| < q
void normalize(Poly& a) noexcept;                 // from |c| < 2^15 to [0, q)

// An entry of the matrix: out = SampleNTT(rho || j || i).
struct MatrixEntry {
    Poly* out;
    std::uint8_t j, i;
};
// A 32-byte digest with a rate of 136 bytes of the concatenated pieces: SHA3-256 (suffix
// 0x06) or SHAKE256 (suffix 0x1F). At most 12 blocks of message and padding.
struct Digest136 {
    std::array<BytesView, 2> pieces;
    std::uint8_t suffix;
    std::uint8_t* out;
};
inline constexpr std::uint8_t sha3Suffix = 0x06;
inline constexpr std::uint8_t shakeSuffix = 0x1F;

// Samples the matrix entries and computes up to two digests with the four-way permutation,
// each of its four states taking the next job as soon as it finishes one (the digests, the
// longest jobs, first), so that a hash of the keys runs beside the sampling instead of after
// it. Rejection sampling of public rho; the digests' messages may be secret.
void sampleMatrixAndDigests(BytesView rho, std::span<const MatrixEntry> entries, std::span<const Digest136> digests);
// SamplePolyCBD_2(PRF_2(sigma, nonce)). Out: |c| <= 2.
void sampleCBD2(Poly& a, BytesView sigma, std::uint8_t nonce);
// The same for four polynomials and nonces at once.
void sampleCBD2X4(const std::array<Poly*, 4>& out, BytesView sigma, const std::array<std::uint8_t, 4>& nonces);

// ByteEncode_12 of coefficients in [0, q).
void encode12(const Poly& a, std::uint8_t* out) noexcept;
// ByteDecode_12, which reduces each value mod q. Out: [0, q).
void decode12(Poly& a, const std::uint8_t* in) noexcept;
// True when every 12-bit value of the encoding is below q (the modulus check).
bool isCanonical12(const std::uint8_t* in) noexcept;

// ByteEncode_d(Compress_d(a)) for d in {1, 5, 11}; a in [0, q).
template <int d>
void compressEncode(const Poly& a, std::uint8_t* out) noexcept;
// Decompress_d(ByteDecode_d(in)). Out: [0, q).
template <int d>
void decodeDecompress(Poly& a, const std::uint8_t* in) noexcept;

// Size in bytes of a polynomial compressed to d bits.
constexpr std::size_t compressedSize(int d) { return 32 * static_cast<std::size_t>(d); }

}  // namespace duoquill::mlkem
