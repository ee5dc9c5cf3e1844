// SHA-3 beyond the vectors: the sponge's misuse checks, and the four-way permutation against
// four single sponges.

#include <gtest/gtest.h>

#include <stdexcept>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/PQ/Sha3.h"
#include "Duoquill/Platform/PQ/Sha3X4.h"
#include "VectorBackends.h"

namespace duoquill {
namespace {

TEST(Sha3, MisuseIsRefused) {
    sha3::Shake256 xof;
    Bytes out(10);
    xof.absorb(out).squeeze(out);
    EXPECT_THROW(xof.absorb(out), std::logic_error);
    for (std::size_t rate : {0, 200, 135}) EXPECT_THROW(sha3::Sponge(rate, 0x1F), std::invalid_argument);
    EXPECT_THROW(sha3::Shake128X4({Bytes(3), Bytes(3), Bytes(3), Bytes(4)}), std::invalid_argument);
}

// Inputs shorter and longer than one block, over several output blocks, on every backend.
TEST(Sha3X4, MatchesFourSingleSponges) {
    test::onEveryVectorBackend([] {
        for (std::size_t length : {0, 33, 135, 136, 200, 400}) {
            SCOPED_TRACE("input length " + std::to_string(length));
            std::array<Bytes, 4> inputs, out128, out256;
            for (std::size_t s = 0; s < 4; ++s) {
                for (std::size_t i = 0; i < length; ++i) inputs[s].push_back(static_cast<std::uint8_t>(i * 7 + s * 61));
                out128[s].resize(3 * 168);
                out256[s].resize(3 * 136);
            }
            auto at = [](std::array<Bytes, 4>& o, std::size_t offset) {
                return std::array<std::uint8_t*, 4>{o[0].data() + offset, o[1].data() + offset, o[2].data() + offset,
                                                    o[3].data() + offset};
            };
            sha3::Shake128X4 shake128({inputs[0], inputs[1], inputs[2], inputs[3]});
            shake128.squeezeBlocks(at(out128, 0), 1);
            shake128.squeezeBlocks(at(out128, 168), 2);
            sha3::Shake256X4({inputs[0], inputs[1], inputs[2], inputs[3]}).squeezeBlocks(at(out256, 0), 3);
            for (std::size_t s = 0; s < 4; ++s) {
                Bytes expected128(out128[s].size()), expected256(out256[s].size());
                sha3::Shake128().absorb(inputs[s]).squeeze(expected128);
                sha3::Shake256().absorb(inputs[s]).squeeze(expected256);
                EXPECT_EQ(hexString(out128[s]), hexString(expected128)) << "state " << s;
                EXPECT_EQ(hexString(out256[s]), hexString(expected256)) << "state " << s;
            }
        }
    });
}

}  // namespace
}  // namespace duoquill
