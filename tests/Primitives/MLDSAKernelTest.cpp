// The polynomial routines of ML-DSA on each vector backend: the same results as the portable
// ones over random and extreme inputs in the ranges MLDSAPolynomial.h states, and the
// rejection samplers against a direct reading of their definition. The known-answer tests
// check whole keys (t = A s1 + s2 is the product through the transforms) on every backend.

#include <gtest/gtest.h>

#include <vector>

#include "Duoquill/Primitives/PQ/MLDSAPolynomial.h"
#include "VectorBackends.h"

namespace duoquill {
namespace {

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
        expectSame<Values>([&] { Poly p = input; mldsa::ntt(p); return coefficients(p); }, "ntt");

        // Seven products at the widest: entries of A in [0, q), NTT(s1) below 9q.
        std::array<Poly, 7> a, b;
        for (std::size_t c = 0; c < 7; ++c) {
            a[c] = randomPoly<Poly>(0, q - 1);
            b[c] = randomPoly<Poly>(-(9 * q - 1), 9 * q - 1);
            if (round == 1) a[c].c.fill(q - 1), b[c].c.fill(9 * q - 1);
            if (round == 2) a[c].c.fill(q - 1), b[c].c.fill(-(9 * q - 1));
        }
        const Poly s2 = randomPoly<Poly>(-2, 2);
        const Values row = expectSame<Values>(
            [&] {
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
            },
            "multiplyAccumulate and finishRow");
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(row[i] >= 0 && row[i] < q) << i << ": " << row[i];
    }
}

TEST_F(MLDSAKernels, RejectionSamplers) {
    auto expectedUniform = [](const std::vector<std::uint8_t>& bytes, std::size_t count) {
        Values kept;
        for (std::size_t p = 0; p + 3 <= bytes.size() && count + kept.size() < n; p += 3) {
            const std::int32_t v = bytes[p] | bytes[p + 1] << 8 | (bytes[p + 2] & 0x7F) << 16;
            if (v < q) kept.push_back(v);
        }
        return kept;
    };
    auto expectedBounded = [](const std::vector<std::uint8_t>& bytes, std::size_t count) {
        Values kept;
        for (std::size_t i = 0; i < 2 * bytes.size() && count + kept.size() < n; ++i) {
            const int b = (bytes[i / 2] >> (4 * (i % 2))) & 0x0F;
            if (b < 15) kept.push_back(2 - b % 5);
        }
        return kept;
    };
    // Runs a sampler from count on each backend: the kept values after the first count, with
    // the new count last.
    auto run = [&](auto sampler, const std::vector<std::uint8_t>& bytes, std::size_t count, const char* what) {
        return expectSame<Values>(
            [&] {
                Poly a;
                a.c.fill(-1);
                const std::size_t end = sampler(a, count, bytes.data(), bytes.size());
                Values out(a.c.begin() + static_cast<std::ptrdiff_t>(count), a.c.begin() + static_cast<std::ptrdiff_t>(end));
                for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(a.c[i], -1) << what << " wrote before count";
                out.push_back(static_cast<std::int32_t>(end));
                return out;
            },
            what);
    };
    for (std::size_t length : {840u, 168u, 24u, 15u}) {
        for (std::size_t count : {0u, 100u, 248u, 255u}) {
            auto bytes = randomBytes(length);
            // Many rejections: candidates of 2^23 - 1 and just at or below q.
            for (std::size_t p = 0; p + 3 <= length; p += 9) bytes[p + 2] |= 0x7F;
            if (length > 30) bytes[3] = 0x01, bytes[4] = 0xE0, bytes[5] = 0x7F;   // q itself
            if (length > 30) bytes[6] = 0x00, bytes[7] = 0xE0, bytes[8] = 0x7F;   // q - 1
            Values expected = expectedUniform(bytes, count);
            expected.push_back(static_cast<std::int32_t>(count + expected.size()));
            EXPECT_EQ(run(mldsa::rejectUniform, bytes, count, "rejectUniform"), expected) << length << " " << count;
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
                Values expected = expectedBounded(bytes, count);
                expected.push_back(static_cast<std::int32_t>(count + expected.size()));
                EXPECT_EQ(run(mldsa::rejectBounded, bytes, count, "rejectBounded"), expected)
                    << length << " " << count << " " << pattern;
            }
        }
    }
}

}  // namespace
}  // namespace duoquill
