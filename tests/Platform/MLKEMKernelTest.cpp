// The polynomial routines of ML-KEM on each vector backend against the portable ones: every
// routine gives the same result on the same input, over random inputs in the ranges that
// MLKEMPolynomial.h states, and compression and decompression over every value they take.
// The known-answer tests check whole keys and encapsulations against the standard on every
// backend, the product through the transforms with them.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "Duoquill/Platform/PQ/MLKEMPolynomial.h"
#include "Duoquill/Platform/PQ/Sha3.h"
#include "VectorBackends.h"

namespace duoquill {
namespace {

using mlkem::Poly;
using mlkem::q;

std::vector<std::int16_t> coefficients(const Poly& p) { return {p.c.begin(), p.c.end()}; }

class MLKEMKernels : public ::testing::Test {
protected:
    // Coefficients uniform in [low, high].
    Poly randomPoly(int low, int high) {
        std::uniform_int_distribution<int> d(low, high);
        Poly p;
        for (auto& x : p.c) x = static_cast<std::int16_t>(d(rng_));
        return p;
    }
    std::vector<std::uint8_t> randomBytes(std::size_t size) { return test::randomBytes(rng_, size); }
    // Polynomials whose coefficients together take every value of [0, q), in a shuffled
    // order, then random values of [0, q) to fill the last one.
    std::vector<Poly> everyCoefficient() {
        std::vector<std::int16_t> values;
        for (int x = 0; x < q; ++x) values.push_back(static_cast<std::int16_t>(x));
        std::uniform_int_distribution<int> d(0, q - 1);
        while (values.size() % mlkem::n != 0) values.push_back(static_cast<std::int16_t>(d(rng_)));
        std::shuffle(values.begin(), values.end(), rng_);
        std::vector<Poly> polys(values.size() / mlkem::n);
        for (std::size_t i = 0; i < values.size(); ++i) polys[i / mlkem::n].c[i % mlkem::n] = values[i];
        return polys;
    }

    std::mt19937 rng_{20240611};
    test::PortableAgainstAvx2 backends_;
};

TEST_F(MLKEMKernels, TransformsAndArithmetic) {
    for (int round = 0; round < 50; ++round) {
        const Poly small = randomPoly(-(q - 1), q - 1), wide = randomPoly(-32768, 32767);
        const std::tuple<const char*, const Poly&, std::function<void(Poly&)>> operations[] = {
            {"ntt", small, mlkem::ntt}, {"inverseNtt", small, mlkem::inverseNtt}, {"reduce", wide, mlkem::reduce},
            {"toMontgomery", wide, mlkem::toMontgomery}, {"normalize", wide, mlkem::normalize},
            {"add", wide, [&](Poly& p) { mlkem::add(p, small); }},
            {"subtract", wide, [&](Poly& p) { mlkem::subtract(p, small); }}};
        for (const auto& operation : operations) {
            // Through std::get: clang 14 cannot capture structured bindings.
            backends_.expectSame<std::vector<std::int16_t>>(
                [&operation] {
                    Poly p = std::get<1>(operation);
                    std::get<2>(operation)(p);
                    return coefficients(p);
                },
                std::get<0>(operation));
        }
        if (backends_.avx2Missing) GTEST_SKIP() << "the processor has no AVX2";
    }
}

TEST_F(MLKEMKernels, MultiplicationInTheNttDomain) {
    for (int round = 0; round < 50; ++round) {
        // The widest inputs allowed: a in (-q, q), b as the NTT leaves it.
        std::array<Poly, 4> a, b;
        for (std::size_t m = 0; m < 4; ++m) {
            a[m] = randomPoly(-(q - 1), q - 1);
            b[m] = randomPoly(-(q - 1) / 2, (q - 1) / 2);
        }
        if (round == 0) {
            for (auto& p : a) p.c.fill(-(q - 1));
            for (auto& p : b) p.c.fill((q - 1) / 2);
        }
        backends_.expectSame<std::vector<std::int16_t>>(
            [&] {
                std::array<mlkem::MultiplyCache, 4> caches;
                std::vector<std::int16_t> all;
                for (std::size_t m = 0; m < 4; ++m) {
                    mlkem::computeMultiplyCache(caches[m], b[m]);
                    all.insert(all.end(), caches[m].c.begin(), caches[m].c.end());
                }
                // The backends sum differently and leave different representatives below q
                // in size: compared mod q.
                for (std::size_t count = 1; count <= 4; ++count) {
                    Poly out;
                    mlkem::multiplyAccumulate(out, a.data(), b.data(), caches.data(), count);
                    for (auto x : out.c) {
                        EXPECT_LT(std::abs(x), q);
                        all.push_back(static_cast<std::int16_t>((x % q + q) % q));
                    }
                }
                return all;
            },
            "computeMultiplyCache and multiplyAccumulate");
        if (backends_.avx2Missing) GTEST_SKIP() << "the processor has no AVX2";
    }
}

TEST_F(MLKEMKernels, TwelveBitEncodings) {
    for (const Poly& p : everyCoefficient()) {
        backends_.expectSame<std::vector<std::uint8_t>>(
            [&] {
                std::vector<std::uint8_t> out(mlkem::encodedPolySize);
                mlkem::encode12(p, out.data());
                return out;
            },
            "encode12");
        if (backends_.avx2Missing) GTEST_SKIP() << "the processor has no AVX2";
    }
    for (int round = 0; round < 50; ++round) {
        // Random 12-bit values, most of them not below q; and some encodings below q.
        auto bytes = randomBytes(mlkem::encodedPolySize);
        if (round % 2 == 1) {
            Poly p = randomPoly(0, q - 1);
            if (round == 1) p.c[255] = q - 1;
            mlkem::encode12(p, bytes.data());
            if (round == 3) bytes[383] |= 0xF0;   // the last value at least 3840, not below q
        }
        backends_.expectSame<std::vector<std::int16_t>>(
            [&] {
                Poly p;
                mlkem::decode12(p, bytes.data());
                auto c = coefficients(p);
                c.push_back(mlkem::isCanonical12(bytes.data()));
                return c;
            },
            "decode12 and isCanonical12");
    }
}

template <int d>
void checkCompression(test::PortableAgainstAvx2& backends, const std::vector<Poly>& every,
                      const std::function<std::vector<std::uint8_t>(std::size_t)>& randomBytes) {
    SCOPED_TRACE(d);
    for (const Poly& p : every) {
        backends.expectSame<std::vector<std::uint8_t>>(
            [&] {
                std::vector<std::uint8_t> out(mlkem::compressedSize(d));
                mlkem::compressEncode<d>(p, out.data());
                return out;
            },
            "compressEncode");
    }
    for (int round = 0; round < 50; ++round) {
        const auto bytes = randomBytes(mlkem::compressedSize(d));
        backends.expectSame<std::vector<std::int16_t>>(
            [&] {
                Poly p;
                mlkem::decodeDecompress<d>(p, bytes.data());
                return coefficients(p);
            },
            "decodeDecompress");
    }
}

TEST_F(MLKEMKernels, CompressionOfEveryValue) {
    const auto every = everyCoefficient();
    const auto bytes = [this](std::size_t size) { return randomBytes(size); };
    checkCompression<1>(backends_, every, bytes);
    checkCompression<5>(backends_, every, bytes);
    checkCompression<11>(backends_, every, bytes);
    if (backends_.avx2Missing) GTEST_SKIP() << "the processor has no AVX2";
}

TEST_F(MLKEMKernels, Sampling) {
    for (int round = 0; round < 100; ++round) {
        auto rho = randomBytes(32);
        std::array<std::uint8_t, 4> j = {0, 1, 2, 3}, i = {static_cast<std::uint8_t>(round), 1, 2, 3};
        if (round == 0) {
            // The entry (j, i) = (1, 0) of this rho has 255 coefficients below q in the first
            // three blocks of SHAKE128 output, so it needs a fourth.
            for (std::size_t b = 0; b < 32; ++b) rho[b] = b % 2 == 0 ? 123 : 0;
            i = {0, 0, 0, 0};
        }
        backends_.expectSame<std::vector<std::int16_t>>(
            [&] {
                std::array<Poly, 4> out;
                std::array<mlkem::MatrixEntry, 4> entries;
                for (std::size_t e = 0; e < 4; ++e) entries[e] = {&out[e], j[e], i[e]};
                mlkem::sampleMatrixAndDigests(rho, entries, {});
                std::vector<std::int16_t> all;
                for (const auto& p : out) all.insert(all.end(), p.c.begin(), p.c.end());
                return all;
            },
            "sampleMatrixAndDigests");
        const auto sigma = randomBytes(32);
        backends_.expectSame<std::vector<std::int16_t>>(
            [&] {
                std::array<Poly, 5> out;
                const auto nonce = static_cast<std::uint8_t>(round);
                mlkem::sampleCBD2X4({&out[0], &out[1], &out[2], &out[3]}, sigma,
                                    {nonce, static_cast<std::uint8_t>(nonce + 1), 7, 200});
                mlkem::sampleCBD2(out[4], sigma, nonce);
                EXPECT_EQ(coefficients(out[4]), coefficients(out[0]));
                std::vector<std::int16_t> all;
                for (const auto& p : out) all.insert(all.end(), p.c.begin(), p.c.end());
                return all;
            },
            "sampleCBD2X4 and sampleCBD2");
        if (backends_.avx2Missing) GTEST_SKIP() << "the processor has no AVX2";
    }
}

// The digests computed beside the sampling are SHA3-256 and SHAKE256 of their messages, and
// the entries sampled beside them are those sampled alone, for any number of either.
TEST_F(MLKEMKernels, DigestsBesideTheSampling) {
    const auto rho = randomBytes(32);
    std::array<Poly, 16> alone;
    std::array<mlkem::MatrixEntry, 16> entries;
    for (std::size_t e = 0; e < 16; ++e) {
        entries[e] = {&alone[e], static_cast<std::uint8_t>(e % 4), static_cast<std::uint8_t>(e / 4)};
    }
    mlkem::sampleMatrixAndDigests(rho, entries, {});
    // Lengths on both sides of block boundaries, up to the longest (12 blocks with padding).
    const std::size_t lengths[] = {0, 1, 32, 135, 136, 137, 1495, 1496, 1568, 1600, 1631};
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const std::size_t digestCount = round % 3, entryCount = (round * 7) % 17;
        std::vector<std::uint8_t> messages[2];
        std::array<std::array<std::uint8_t, 32>, 2> outputs{};
        std::vector<mlkem::Digest136> digests;
        for (std::size_t d = 0; d < digestCount; ++d) {
            messages[d] = randomBytes(lengths[(round + 5 * d) % std::size(lengths)]);
            const std::size_t split = messages[d].size() / 3;
            const BytesView whole(messages[d]);
            digests.push_back({{whole.first(split), whole.subspan(split)},
                               d == 0 ? mlkem::sha3Suffix : mlkem::shakeSuffix, outputs[d].data()});
        }
        std::array<Poly, 16> beside;
        std::array<mlkem::MatrixEntry, 16> besideEntries = entries;
        for (std::size_t e = 0; e < 16; ++e) besideEntries[e].out = &beside[e];
        for (bool avx2 : {false, true}) {
            if (!pq::useVectorBackend(avx2 ? pq::VectorBackend::avx2 : pq::VectorBackend::portable)) continue;
            SCOPED_TRACE(avx2 ? "AVX2 backend" : "portable backend");
            outputs = {};
            mlkem::sampleMatrixAndDigests(rho, std::span(besideEntries).first(entryCount), digests);
            for (std::size_t e = 0; e < entryCount; ++e) EXPECT_EQ(coefficients(beside[e]), coefficients(alone[e])) << e;
            for (std::size_t d = 0; d < digestCount; ++d) {
                std::array<std::uint8_t, 32> expected;
                if (d == 0) {
                    expected = sha3::sha3_256(messages[d]);
                } else {
                    sha3::Shake256().absorb(messages[d]).squeeze(expected);
                }
                EXPECT_EQ(outputs[d], expected) << "digest " << d << " of " << messages[d].size() << " bytes";
            }
        }
    }
}

}  // namespace
}  // namespace duoquill
