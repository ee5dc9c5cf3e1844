// HKDF beyond the Wycheproof files: the empty salt, the length limits and the agreement
// of the one-call form with extract-then-expand.

#include <gtest/gtest.h>

#include "Duoquill/Platform/Hkdf.h"
#include "Duoquill/Platform/PlatformError.h"

namespace duoquill {
namespace {

TEST(Hkdf, EmptySaltActsAsHashLengthZeros) {
    const Bytes ikm(22, 0x0b), info = {1, 2, 3};
    EXPECT_EQ(hkdf::derive(HashFunction::sha512, ikm, {}, info, 42),
              hkdf::derive(HashFunction::sha512, ikm, Bytes(64, 0), info, 42));
    EXPECT_EQ(hkdf::derive(HashFunction::sha256, ikm, {}, info, 42),
              hkdf::derive(HashFunction::sha256, ikm, Bytes(32, 0), info, 42));
    EXPECT_EQ(hkdf::extract(HashFunction::sha512, {}, ikm).size(), 64u);
    EXPECT_EQ(hkdf::extract(HashFunction::sha256, {}, ikm).size(), 32u);
}

// RFC 5869 test case 3 (SHA-256, empty salt and info).
TEST(Hkdf, Rfc5869EmptySaltAndInfo) {
    const SecureBytes okm = hkdf::derive(HashFunction::sha256, Bytes(22, 0x0b), {}, {}, 42);
    const Bytes expected = {0x8d, 0xa4, 0xe7, 0x75, 0xa5, 0x63, 0xc1, 0x8f, 0x71, 0x5f, 0x80, 0x2a, 0x06, 0x3c,
                            0x5a, 0x31, 0xb8, 0xa1, 0x1f, 0x5c, 0x5e, 0xe1, 0x87, 0x9e, 0xc3, 0x45, 0x4e, 0x5f,
                            0x3c, 0x73, 0x8d, 0x2d, 0x9d, 0x20, 0x13, 0x95, 0xfa, 0xa4, 0xb6, 0x1a, 0x96, 0xc8};
    EXPECT_EQ(toBytes(okm), expected);
}

TEST(Hkdf, LengthLimits) {
    const SecureBytes prk = hkdf::extract(HashFunction::sha512, {}, Bytes(32, 1));
    EXPECT_EQ(hkdf::expand(HashFunction::sha512, prk, {}, 255 * 64).size(), 255u * 64);
    EXPECT_THROW(hkdf::expand(HashFunction::sha512, prk, {}, 255 * 64 + 1), CryptoError);
    EXPECT_THROW(hkdf::derive(HashFunction::sha256, Bytes(32, 1), {}, {}, 255 * 32 + 1), CryptoError);
    EXPECT_TRUE(hkdf::derive(HashFunction::sha512, Bytes(32, 1), {}, {}, 0).empty());
    // A pseudorandom key shorter than the digest is not one extract could have made.
    EXPECT_THROW(hkdf::expand(HashFunction::sha512, Bytes(32, 1), {}, 32), CryptoError);
    // Shorter outputs are prefixes of longer ones.
    const SecureBytes long64 = hkdf::expand(HashFunction::sha512, prk, Bytes{9}, 64);
    const SecureBytes short12 = hkdf::expand(HashFunction::sha512, prk, Bytes{9}, 12);
    EXPECT_TRUE(std::equal(short12.begin(), short12.end(), long64.begin()));
}

}  // namespace
}  // namespace duoquill
