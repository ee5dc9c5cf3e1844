// The primitives beyond their vector files: AES-256-GCM's refusal of any change, HKDF's limits,
// SHA-2 examples and incremental hashing, the SHA-3 sponge's misuse checks, the random source
// and the constant-time comparison.

#include <gtest/gtest.h>

#include <array>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Primitives/AesGcm.h"
#include "Duoquill/Platform/Primitives/ConstantTime.h"
#include "Duoquill/Platform/PQ/Sha3.h"
#include "Duoquill/Platform/Primitives/Hkdf.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Primitives/Random.h"
#include "Duoquill/Platform/Primitives/Sha2.h"

namespace duoquill {
namespace {

TEST(AesGcm, AnyChangeIsRefused) {
    const Bytes key = toBytes(random::bytes(aesgcm::keySize)), nonce = toBytes(random::bytes(aesgcm::nonceSize));
    const Bytes aad = toBytes(random::bytes(13)), plaintext = toBytes(random::bytes(40));
    const Bytes record = aesgcm::seal(key, nonce, plaintext, aad);
    ASSERT_EQ(toBytes(aesgcm::open(key, nonce, record, aad)), plaintext);
    // Every single-bit change of each input in turn; the record covers ciphertext and tag.
    for (int input = 0; input < 4; ++input) {
        Bytes in[] = {key, nonce, record, aad};
        for (std::size_t bit = 0; bit < in[input].size() * 8; ++bit) {
            in[input][bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            EXPECT_THROW(aesgcm::open(in[0], in[1], in[2], in[3]), AuthenticationError) << input << " " << bit;
            in[input][bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }
    for (std::size_t n = 0; n < record.size(); ++n) {
        EXPECT_THROW(aesgcm::open(key, nonce, BytesView(record).first(n), aad), AuthenticationError) << n;
    }
    EXPECT_THROW(aesgcm::open(key, nonce, concat(record, Bytes{0}), aad), AuthenticationError);
    EXPECT_THROW(aesgcm::open(key, nonce, record, concat(aad, Bytes{0})), AuthenticationError);
    EXPECT_THROW(aesgcm::open(key, nonce, record, {}), AuthenticationError);
    for (const auto& [keySize, nonceSize] : {std::pair{0, 12}, {16, 12}, {31, 12}, {33, 12}, {32, 0}, {32, 8}, {32, 11},
                                             {32, 13}, {32, 16}}) {
        const Bytes badKey(keySize, 1), badNonce(nonceSize, 1);
        EXPECT_THROW(aesgcm::seal(badKey, badNonce, plaintext, {}), CryptoError) << keySize << " " << nonceSize;
        EXPECT_THROW(aesgcm::open(badKey, badNonce, record, aad), CryptoError) << keySize << " " << nonceSize;
    }
}

// Longest outputs and round trips are in the vector files; these are not.
TEST(Hkdf, EmptyOutputAndShortKeys) {
    EXPECT_TRUE(hkdf::derive(HashFunction::sha512, Bytes(32, 1), {}, {}, 0).empty());
    // A pseudorandom key shorter than the digest is not one extract could have made.
    EXPECT_THROW(hkdf::expand(HashFunction::sha512, Bytes(32, 1), {}, 32), CryptoError);
}

// The FIPS 180 examples, any split of the input, and a fresh start after finish().
TEST(Sha2, KnownDigestsInOneCallOrInPieces) {
    EXPECT_EQ(hexString(sha256(asBytes("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hexString(sha512(asBytes("abc"))),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(hexString(sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Bytes message(300);
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 7);
    const BytesView all(message);
    for (std::size_t split = 0; split <= message.size(); split += 37) {
        EXPECT_EQ(Sha256().update(all.first(split)).update(all.subspan(split)).finish(), sha256(message));
        EXPECT_EQ(Sha512().update(all.first(split)).update({}).update(all.subspan(split)).finish(), sha512(message));
    }
    Sha512 hash;
    (void)hash.update(asBytes("ignored")).finish();
    EXPECT_EQ(hash.update(asBytes("abc")).finish(), sha512(asBytes("abc")));
}

TEST(Sha3, MisuseIsRefused) {
    sha3::Shake256 xof;
    Bytes out(10);
    xof.absorb(out).squeeze(out);
    EXPECT_THROW(xof.absorb(out), std::logic_error);
    for (std::size_t rate : {0, 200, 135}) EXPECT_THROW(sha3::Sponge(rate, 0x1F), std::invalid_argument);
}

TEST(Random, BytesAreFreshAndUniformCoversItsRange) {
    EXPECT_TRUE(random::bytes(0).empty());
    EXPECT_NE(random::bytes(32), random::bytes(32));
    random::fill({});
    EXPECT_THROW(random::uniform(0), CryptoError);
    EXPECT_EQ(random::uniform(1), 0u);
    EXPECT_LT(random::uniform(0xffffffffu), 0xffffffffu);
    std::array<int, 3> seen{};
    for (int i = 0; i < 600; ++i) {
        const std::uint32_t v = random::uniform(3);
        ASSERT_LT(v, 3u);
        ++seen[v];
    }
    for (int count : seen) EXPECT_GT(count, 100);  // about 200 each; 100 is far in the tail
}

TEST(ConstantTime, EqualsOnlyOnSameLengthAndBytes) {
    const Bytes a = {1, 2, 3, 4};
    EXPECT_TRUE(constantTimeEquals(a, Bytes{1, 2, 3, 4}));
    EXPECT_TRUE(constantTimeEquals({}, {}));
    for (const Bytes& other : {Bytes{0, 2, 3, 4}, Bytes{1, 2, 3, 5}, Bytes{1, 2, 3}, Bytes{1, 2, 3, 4, 0}, Bytes{}}) {
        EXPECT_FALSE(constantTimeEquals(a, other));
    }
}

}  // namespace
}  // namespace duoquill
