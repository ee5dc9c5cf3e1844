#pragma once
// The AVX2 kernels of ML-KEM (MLKEMAvx2.cpp), which MLKEMPolynomial.cpp calls when the AVX2
// backend is in use (VectorBackend.h). Each gives the same results as the portable routine
// of the same name in MLKEMPolynomial.h, within the ranges stated there, and like it runs in
// time independent of the coefficient values, except rejectUniform, whose input is public.
// Internal to the ML-KEM implementation; only called after the processor was found to have
// AVX2.

#include <array>
#include <cstddef>
#include <cstdint>

#include "Duoquill/Primitives/PQ/MLKEMPoly.h"
#include "Duoquill/Primitives/PQ/Sha3X4.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define DUOQUILL_MLKEM_AVX2 1
#else
#define DUOQUILL_MLKEM_AVX2 0
#endif

#if DUOQUILL_MLKEM_AVX2
namespace duoquill::mlkem::avx2 {

void ntt(Poly& a) noexcept;
void inverseNtt(Poly& a) noexcept;
void computeMultiplyCache(MultiplyCache& cache, const Poly& b) noexcept;
void multiplyAccumulate(Poly& out, const Poly* a, const Poly* b, const MultiplyCache* bCache,
                        std::size_t count) noexcept;
void add(Poly& a, const Poly& b) noexcept;
void subtract(Poly& a, const Poly& b) noexcept;
void reduce(Poly& a) noexcept;
void toMontgomery(Poly& a) noexcept;
void normalize(Poly& a) noexcept;

// The 12-bit candidates of `length` bytes (a multiple of 24) appended to accepted (n + 2
// entries) from index count while fewer than n are kept; returns the new count.
std::size_t rejectUniform(std::int16_t* accepted, std::size_t count, const std::uint8_t* bytes,
                          std::size_t length) noexcept;
// The first `bytes` bytes (a multiple of 8) of the rate of each of four states into out[s].
void extractX4(const sha3::KeccakX4State& state, const std::array<std::uint8_t*, 4>& out, std::size_t bytes) noexcept;
// SamplePolyCBD_2 of 128 bytes.
void centeredBinomial2(Poly& a, const std::uint8_t* bytes) noexcept;
// SamplePolyCBD_2 of the first 128 bytes of the rate of each of four states, into out[s].
void centeredBinomial2X4(const std::array<Poly*, 4>& out, const sha3::KeccakX4State& state) noexcept;

void encode12(const Poly& a, std::uint8_t* out) noexcept;
void decode12(Poly& a, const std::uint8_t* in) noexcept;
bool isCanonical12(const std::uint8_t* in) noexcept;
template <int d>
void compressEncode(const Poly& a, std::uint8_t* out) noexcept;
template <int d>
void decodeDecompress(Poly& a, const std::uint8_t* in) noexcept;

}  // namespace duoquill::mlkem::avx2
#endif
