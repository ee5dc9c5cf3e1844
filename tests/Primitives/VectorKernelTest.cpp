// The polynomial routines of ML-KEM and ML-DSA on each vector backend against the portable
// ones: every routine gives the same result on the same input, over random and extreme inputs
// in the ranges that MLKEMPolynomial.h and MLDSAPolynomial.h state, ML-KEM's compression and
// decompression over every value they take, and ML-DSA's rejection samplers against a direct
// reading of their definition. The known-answer tests check whole keys and encapsulations
// against the standard on every backend, the products through the transforms with them
// (ML-DSA's t = A s1 + s2).

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "Duoquill/Primitives/PQ/MLDSAPolynomial.h"
#include "Duoquill/Primitives/PQ/MLKEMPolynomial.h"
#include "Duoquill/Primitives/PQ/Sha3.h"
#include "VectorBackends.h"

namespace duoquill {
namespace {

using mlkem::Poly;
using mlkem::q;
using Coefficients = std::vector<std::int16_t>;
using Encoded = std::vector<std::uint8_t>;

// The coefficients of the polynomials one after the other.
Coefficients coefficients(std::span<const Poly> polys) {
    Coefficients all;
    for (const Poly& p : polys) all.insert(all.end(), p.c.begin(), p.c.end());
    return all;
}

Coefficients coefficients(const Poly& p) { return coefficients({&p, 1}); }

class MLKEMKernels : public test::PortableAgainstWider<20240611> {
protected:
    // The bytes `write` puts into `size` of them, and the coefficients `fill` leaves, the same
    // on every backend.
    void expectSameBytes(const char* what, std::size_t size, auto write) {
        expectSame<Encoded>(what, [&] { Encoded out(size); write(out.data()); return out; });
    }
    void expectSamePoly(const char* what, auto fill) {
        expectSame<Coefficients>(what, [&] { Poly p; fill(p); return coefficients(p); });
    }
};

TEST_F(MLKEMKernels, TransformsAndArithmetic) {
    for (int round = 0; round < 50; ++round) {
        const Poly small = randomPoly<Poly>(-(q - 1), q - 1), wide = randomPoly<Poly>(-32768, 32767);
        const std::tuple<const char*, const Poly&, std::function<void(Poly&)>> operations[] = {
            {"ntt", small, mlkem::ntt}, {"inverseNtt", small, mlkem::inverseNtt}, {"reduce", wide, mlkem::reduce},
            {"toMontgomery", wide, mlkem::toMontgomery}, {"normalize", wide, mlkem::normalize},
            {"add", wide, [&](Poly& p) { mlkem::add(p, small); }},
            {"subtract", wide, [&](Poly& p) { mlkem::subtract(p, small); }}};
        for (const auto& operation : operations) {
            // Through std::get: clang 14 cannot capture structured bindings.
            expectSamePoly(std::get<0>(operation),
                           [&operation](Poly& p) { p = std::get<1>(operation); std::get<2>(operation)(p); });
        }
        // The widest inputs allowed: a in (-q, q), b as the NTT leaves it; in round 0 their extremes.
        std::array<Poly, 4> a, b;
        for (std::size_t m = 0; m < 4; ++m) {
            a[m] = randomPoly<Poly>(-(q - 1), round == 0 ? -(q - 1) : q - 1);
            b[m] = randomPoly<Poly>(round == 0 ? (q - 1) / 2 : -(q - 1) / 2, (q - 1) / 2);
        }
        expectSame<Coefficients>("computeMultiplyCache and multiplyAccumulate", [&] {
            std::array<mlkem::MultiplyCache, 4> caches;
            Coefficients all;
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
        });
    }
}

// Every value of [0, q) through each encoding, and random bytes back through each decoding.
TEST_F(MLKEMKernels, EncodingsAndCompression) {
    // The values in a shuffled order, then random ones of [0, q) to fill the last polynomial.
    std::vector<std::int16_t> values;
    for (int x = 0; x < q; ++x) values.push_back(static_cast<std::int16_t>(x));
    std::uniform_int_distribution<int> d(0, q - 1);
    while (values.size() % mlkem::n != 0) values.push_back(static_cast<std::int16_t>(d(rng_)));
    std::shuffle(values.begin(), values.end(), rng_);
    for (std::size_t start = 0; start < values.size(); start += mlkem::n) {
        Poly p;
        std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(start), mlkem::n, p.c.begin());
        expectSameBytes("encode12", mlkem::encodedPolySize, [&](auto* out) { mlkem::encode12(p, out); });
        expectSameBytes("to 1 bit", mlkem::compressedSize(1), [&](auto* out) { mlkem::compressEncode<1>(p, out); });
        expectSameBytes("to 5 bits", mlkem::compressedSize(5), [&](auto* out) { mlkem::compressEncode<5>(p, out); });
        expectSameBytes("to 11 bits", mlkem::compressedSize(11), [&](auto* out) { mlkem::compressEncode<11>(p, out); });
    }
    for (int round = 0; round < 50; ++round) {
        // Random 12-bit values, most of them not below q; and some encodings below q.
        auto bytes = randomBytes(mlkem::encodedPolySize);
        if (round % 2 == 1) {
            Poly p = randomPoly<Poly>(0, q - 1);
            if (round == 1) p.c[255] = q - 1;
            mlkem::encode12(p, bytes.data());
            if (round == 3) bytes[383] |= 0xF0;   // the last value at least 3840, not below q
        }
        expectSamePoly("decode12", [&](Poly& p) { mlkem::decode12(p, bytes.data()); });
        expectSame<bool>("isCanonical12", [&] { return mlkem::isCanonical12(bytes.data()); });
        // Any bytes decompress: the first 32, 160 and 352 of these.
        expectSamePoly("from 1 bit", [&](Poly& p) { mlkem::decodeDecompress<1>(p, bytes.data()); });
        expectSamePoly("from 5 bits", [&](Poly& p) { mlkem::decodeDecompress<5>(p, bytes.data()); });
        expectSamePoly("from 11 bits", [&](Poly& p) { mlkem::decodeDecompress<11>(p, bytes.data()); });
    }
}

TEST_F(MLKEMKernels, CenteredBinomialSampling) {
    for (int round = 0; round < 100; ++round) {
        const auto sigma = randomBytes(32);
        expectSame<Coefficients>("sampleCBD2X4 and sampleCBD2", [&] {
            std::array<Poly, 5> out;
            const auto nonce = static_cast<std::uint8_t>(round);
            mlkem::sampleCBD2X4({&out[0], &out[1], &out[2], &out[3]}, sigma,
                                {nonce, static_cast<std::uint8_t>(nonce + 1), 7, 200});
            mlkem::sampleCBD2(out[4], sigma, nonce);
            EXPECT_EQ(coefficients(out[4]), coefficients(out[0]));
            return coefficients(out);
        });
    }
}

// The matrix sampled alone is the same on every backend. The digests computed beside the
// sampling are SHA3-256 and SHAKE256 of their messages, and the entries sampled beside them
// are those sampled alone, for any number of either.
TEST_F(MLKEMKernels, MatrixSamplingAndTheDigestsBesideIt) {
    // Lengths on both sides of block boundaries, up to the longest (12 blocks with padding).
    const std::size_t lengths[] = {0, 1, 32, 135, 136, 137, 1495, 1496, 1568, 1600, 1631};
    std::array<Poly, 16> alone, beside;
    std::array<mlkem::MatrixEntry, 16> entries, besideEntries;
    for (std::size_t e = 0; e < 16; ++e) {
        const auto j = static_cast<std::uint8_t>(e % 4), i = static_cast<std::uint8_t>(e / 4);
        entries[e] = {&alone[e], j, i};
        besideEntries[e] = {&beside[e], j, i};
    }
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        auto rho = randomBytes(32);
        if (round == 0) {
            // The entry (j, i) = (1, 0) of this rho has 255 coefficients below q in the first
            // three blocks of SHAKE128 output, so it needs a fourth.
            for (std::size_t b = 0; b < 32; ++b) rho[b] = b % 2 == 0 ? 123 : 0;
        }
        expectSame<Coefficients>("sampleMatrixAndDigests", [&] {
            mlkem::sampleMatrixAndDigests(rho, entries, {});
            return coefficients(alone);
        });
        // Digest 0 is SHA3-256, digest 1 SHAKE256, each of a message given in two pieces.
        const std::size_t digestCount = round % 3, entryCount = (round * 7) % 17;
        std::vector<std::uint8_t> messages[2];
        std::array<std::array<std::uint8_t, 32>, 2> outputs{}, expected{};
        std::vector<mlkem::Digest136> digests;
        for (std::size_t d = 0; d < digestCount; ++d) {
            messages[d] = randomBytes(lengths[(round + 5 * d) % std::size(lengths)]);
            const BytesView whole(messages[d]);
            const std::size_t split = whole.size() / 3;
            digests.push_back({{whole.first(split), whole.subspan(split)},
                               d == 0 ? mlkem::sha3Suffix : mlkem::shakeSuffix, outputs[d].data()});
        }
        expected[0] = sha3::sha3_256(messages[0]);
        sha3::Shake256().absorb(messages[1]).squeeze(expected[1]);
        test::onEveryVectorBackend([&] {
            outputs = {};
            mlkem::sampleMatrixAndDigests(rho, std::span(besideEntries).first(entryCount), digests);
            for (std::size_t e = 0; e < entryCount; ++e) EXPECT_EQ(coefficients(beside[e]), coefficients(alone[e])) << e;
            for (std::size_t d = 0; d < digestCount; ++d) {
                EXPECT_EQ(outputs[d], expected[d]) << "digest " << d << " of " << messages[d].size() << " bytes";
            }
        });
    }
}

namespace dsa {

using mldsa::n;
using mldsa::Poly;
using mldsa::q;
using Values = std::vector<std::int32_t>;

using MLDSAKernels = test::PortableAgainstWider<20261208>;

Values coefficients(const Poly& p) { return {p.c.begin(), p.c.end()}; }

TEST_F(MLDSAKernels, TransformsAndRowSums) {
    for (int round = 0; round < 40; ++round) {
        Poly input = randomPoly<Poly>(-(q - 1), q - 1);
        if (round == 1) input.c.fill(q - 1);
        if (round == 2) input.c.fill(-(q - 1));
        expectSame<Values>("ntt", [&] { Poly p = input; mldsa::ntt(p); return coefficients(p); });

        // Seven products at the widest: entries of A in [0, q), NTT(s1) below 9q.
        std::array<Poly, 7> a, b;
        for (std::size_t c = 0; c < 7; ++c) {
            a[c] = randomPoly<Poly>(0, q - 1);
            b[c] = randomPoly<Poly>(-(9 * q - 1), 9 * q - 1);
            if (round == 1) a[c].c.fill(q - 1), b[c].c.fill(9 * q - 1);
            if (round == 2) a[c].c.fill(q - 1), b[c].c.fill(-(9 * q - 1));
        }
        const Poly s2 = randomPoly<Poly>(-2, 2);
        const Values row = expectSame<Values>("multiplyAccumulate and finishRow", [&] {
            mldsa::RowSum sum{};
            for (std::size_t c = 0; c < 7; ++c) mldsa::multiplyAccumulate(sum, a[c], b[c]);
            for (std::size_t i = 0; i < n; ++i) {
                std::int64_t expected = 0;
                for (std::size_t c = 0; c < 7; ++c) expected += std::int64_t{a[c].c[i]} * b[c].c[i];
                EXPECT_EQ(sum.c[i], expected) << i;
            }
            Poly t;
            mldsa::finishRow(t, sum, s2);
            return coefficients(t);
        });
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(row[i] >= 0 && row[i] < q) << i << ": " << row[i];
    }
}

TEST_F(MLDSAKernels, RejectionSamplers) {
    // The values each sampler keeps after the first count, then the new count.
    auto expectedUniform = [](const std::vector<std::uint8_t>& bytes, std::size_t count) {
        Values kept;
        for (std::size_t p = 0; p + 3 <= bytes.size() && count + kept.size() < n; p += 3) {
            const std::int32_t v = bytes[p] | bytes[p + 1] << 8 | (bytes[p + 2] & 0x7F) << 16;
            if (v < q) kept.push_back(v);
        }
        kept.push_back(static_cast<std::int32_t>(count + kept.size()));
        return kept;
    };
    auto expectedBounded = [](const std::vector<std::uint8_t>& bytes, std::size_t count) {
        Values kept;
        for (std::size_t i = 0; i < 2 * bytes.size() && count + kept.size() < n; ++i) {
            const int b = (bytes[i / 2] >> (4 * (i % 2))) & 0x0F;
            if (b < 15) kept.push_back(2 - b % 5);
        }
        kept.push_back(static_cast<std::int32_t>(count + kept.size()));
        return kept;
    };
    // Runs a sampler from count on each backend: the kept values after the first count, with
    // the new count last.
    auto run = [&](auto sampler, const std::vector<std::uint8_t>& bytes, std::size_t count, const char* what) {
        return expectSame<Values>(what, [&] {
            Poly a;
            a.c.fill(-1);
            const std::size_t end = sampler(a, count, bytes.data(), bytes.size());
            Values out(a.c.begin() + static_cast<std::ptrdiff_t>(count),
                       a.c.begin() + static_cast<std::ptrdiff_t>(end));
            for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(a.c[i], -1) << what << " wrote before count";
            out.push_back(static_cast<std::int32_t>(end));
            return out;
        });
    };
    for (std::size_t length : {840u, 168u, 24u, 15u}) {
        for (std::size_t count : {0u, 100u, 248u, 255u}) {
            auto bytes = randomBytes(length);
            // Many rejections: candidates of 2^23 - 1 and just at or below q.
            for (std::size_t p = 0; p + 3 <= length; p += 9) bytes[p + 2] |= 0x7F;
            if (length > 30) bytes[3] = 0x01, bytes[4] = 0xE0, bytes[5] = 0x7F;   // q itself
            if (length > 30) bytes[6] = 0x00, bytes[7] = 0xE0, bytes[8] = 0x7F;   // q - 1
            EXPECT_EQ(run(mldsa::rejectUniform, bytes, count, "rejectUniform"), expectedUniform(bytes, count))
                << length << " " << count;
        }
    }
    for (std::size_t length : {272u, 136u, 4u}) {
        for (std::size_t count : {0u, 100u, 248u, 255u}) {
            for (int pattern = 0; pattern < 3; ++pattern) {
                auto bytes = randomBytes(length);
                // Random, then every high half rejected, then long runs of rejected bytes.
                for (std::size_t p = 0; p < length; ++p) {
                    if (pattern == 1) bytes[p] |= 0xF0;
                    if (pattern == 2 && p % 16 < 9) bytes[p] = 0xFF;
                }
                EXPECT_EQ(run(mldsa::rejectBounded, bytes, count, "rejectBounded"), expectedBounded(bytes, count))
                    << length << " " << count << " " << pattern;
            }
        }
    }
}

}  // namespace dsa
}  // namespace
}  // namespace duoquill
