#include <gtest/gtest.h>

#include <stdexcept>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/PQ/Sha3.h"
#include "Duoquill/Platform/PQ/Sha3X4.h"
#include "VectorBackends.h"
#include "KnownAnswerFile.h"

namespace duoquill {
namespace {

using test::KnownAnswerFile;

sha3::Sponge spongeFor(const std::string& alg) {
    if (alg == "SHA3-256") return sha3::Sha3_256();
    if (alg == "SHA3-512") return sha3::Sha3_512();
    if (alg == "SHAKE128") return sha3::Shake128();
    if (alg == "SHAKE256") return sha3::Shake256();
    throw std::runtime_error("unknown algorithm in SHA-3 vectors: " + alg);
}

// Absorbs in pieces of 1, 2, 3, 5, 8, ... bytes and squeezes in pieces of 1, 3, 5, 7, ...
// bytes, so that every position within a block is crossed.
Bytes hashInPieces(const std::string& alg, BytesView msg, std::size_t outLen) {
    auto sponge = spongeFor(alg);
    std::size_t a = 1, b = 2;
    while (!msg.empty()) {
        const std::size_t take = std::min(a, msg.size());
        sponge.absorb(msg.first(take));
        msg = msg.subspan(take);
        a = std::exchange(b, a + b);
    }
    Bytes out(outLen);
    std::span<std::uint8_t> rest(out);
    for (std::size_t piece = 1; !rest.empty(); piece += 2) {
        const std::size_t take = std::min(piece, rest.size());
        sponge.squeeze(rest.first(take));
        rest = rest.subspan(take);
    }
    return out;
}

TEST(Sha3, KnownAnswersOneShotAndInPieces) {
    std::size_t checked = 0;
    for (const auto& path : KnownAnswerFile::allOfKind("sha3_shake")) {
        const KnownAnswerFile file(path, "SHA3-256, SHA3-512, SHAKE128, SHAKE256");
        for (const auto& t : file.tests()) {
            SCOPED_TRACE(file.name() + " case " + std::to_string(file.number(t, "id")));
            const std::string alg = file.text(t, "alg");
            const Bytes msg = file.hex(t, "msg");
            const Bytes expected = file.hex(t, "out");
            ASSERT_EQ(msg.size(), file.number(t, "msg_len"));
            ASSERT_EQ(expected.size(), file.number(t, "out_len"));

            Bytes oneShot(expected.size());
            if (alg == "SHA3-256") {
                const auto d = sha3::sha3_256(msg);
                oneShot.assign(d.begin(), d.end());
            } else if (alg == "SHA3-512") {
                const auto d = sha3::sha3_512(msg);
                oneShot.assign(d.begin(), d.end());
            } else {
                spongeFor(alg).absorb(msg).squeeze(oneShot);
            }
            EXPECT_EQ(hexString(oneShot), hexString(expected));
            EXPECT_EQ(hexString(hashInPieces(alg, msg, expected.size())), hexString(expected));
            ++checked;
        }
    }
    EXPECT_GT(checked, 0u);
}

TEST(Sha3, SqueezeContinuesAcrossCallsAndCopies) {
    const Bytes msg(300, 0xA5);
    Bytes whole(1000);
    sha3::Shake128().absorb(msg).squeeze(whole);

    sha3::Shake128 xof;
    xof.absorb(msg);
    Bytes first(167), second(833);
    xof.squeeze(first);
    sha3::Sponge copy = xof;   // forks the stream: both continue from the same point
    xof.squeeze(second);
    EXPECT_EQ(concat(first, second), whole);
    Bytes forked(833);
    copy.squeeze(forked);
    EXPECT_EQ(forked, second);
}

TEST(Sha3, AbsorbAfterSqueezeIsRefused) {
    sha3::Shake256 xof;
    Bytes out(10);
    xof.absorb(out).squeeze(out);
    EXPECT_THROW(xof.absorb(out), std::logic_error);
    EXPECT_THROW(sha3::Sponge(0, 0x1F), std::invalid_argument);
    EXPECT_THROW(sha3::Sponge(200, 0x1F), std::invalid_argument);
    EXPECT_THROW(sha3::Sponge(135, 0x1F), std::invalid_argument);
}

void checkFourWayAgainstSingle() {
    for (std::size_t length : {std::size_t{0}, std::size_t{33}, std::size_t{135}, std::size_t{136},
                               std::size_t{200}, std::size_t{400}}) {
        SCOPED_TRACE("input length " + std::to_string(length));
        std::array<Bytes, 4> inputs;
        for (std::size_t s = 0; s < 4; ++s) {
            inputs[s].resize(length);
            for (std::size_t i = 0; i < length; ++i) inputs[s][i] = static_cast<std::uint8_t>(i * 7 + s * 61);
        }
        const std::array<BytesView, 4> views = {inputs[0], inputs[1], inputs[2], inputs[3]};
        std::array<Bytes, 4> out128, out256;
        for (auto& o : out128) o.resize(3 * 168);
        for (auto& o : out256) o.resize(3 * 136);
        auto at = [](std::array<Bytes, 4>& o, std::size_t offset) {
            return std::array<std::uint8_t*, 4>{o[0].data() + offset, o[1].data() + offset, o[2].data() + offset,
                                                o[3].data() + offset};
        };
        sha3::Shake128X4 shake128(views);
        shake128.squeezeBlocks(at(out128, 0), 1);
        shake128.squeezeBlocks(at(out128, 168), 2);
        sha3::Shake256X4(views).squeezeBlocks(at(out256, 0), 3);
        for (std::size_t s = 0; s < 4; ++s) {
            Bytes expected128(out128[s].size()), expected256(out256[s].size());
            sha3::Shake128().absorb(inputs[s]).squeeze(expected128);
            sha3::Shake256().absorb(inputs[s]).squeeze(expected256);
            EXPECT_EQ(hexString(out128[s]), hexString(expected128)) << "state " << s;
            EXPECT_EQ(hexString(out256[s]), hexString(expected256)) << "state " << s;
        }
    }
}

// Both backends of the four-way permutation give what four single sponges give, for inputs
// shorter and longer than one block and over several output blocks.
TEST(Sha3X4, MatchesFourSingleSpongesOnEveryBackend) {
    test::onEveryVectorBackend(checkFourWayAgainstSingle);
    EXPECT_THROW(sha3::Shake128X4({Bytes(3), Bytes(3), Bytes(3), Bytes(4)}), std::invalid_argument);
}

}  // namespace
}  // namespace duoquill
