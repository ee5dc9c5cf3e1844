// ML-KEM-1024 beyond the vectors: agreement of random keys, implicit rejection, the input
// checks on keys, ciphertexts and seeds; the same for ML-DSA-87 key generation. Rejection and
// the checks run on every vector backend.

#include <gtest/gtest.h>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Primitives/PQ/MLDSA87.h"
#include "Duoquill/Primitives/PQ/MLKEM1024.h"
#include "Duoquill/Primitives/PQ/Sha3.h"
#include "Duoquill/Base/PlatformError.h"
#include "VectorBackends.h"

namespace duoquill {
namespace {

Bytes filled(std::size_t size, std::uint8_t start) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(start + 13 * i);
    return b;
}

Bytes resized(BytesView b, std::size_t size) {
    Bytes r(b.begin(), b.end());
    r.resize(size, 0);
    return r;
}

// Seeded keys and encapsulations are in the vector files; that random ones (ML-DSA-87's too)
// are fresh is not.
// Random keys through the key store agree in every handshake of the session suite.
TEST(MLKEM1024, RandomKeysAndEncapsulationsAreFresh) {
    EXPECT_NE(mldsa87::generate().publicKey, mldsa87::generate().publicKey);
    const auto alice = mlkem1024::generate();
    EXPECT_NE(alice.encapsulationKey, mlkem1024::generate().encapsulationKey);
    EXPECT_TRUE(mlkem1024::isValidDecapsulationKey(alice.decapsulationKey));
    const auto first = mlkem1024::encapsulate(alice.encapsulationKey), second = mlkem1024::encapsulate(alice.encapsulationKey);
    EXPECT_NE(first.ciphertext, second.ciphertext);
    EXPECT_EQ(mlkem1024::decapsulate(alice.decapsulationKey, second.ciphertext), second.sharedSecret);
}

// A changed ciphertext byte anywhere (in u, in v, at either end) gives J(z || c'), not an error.
TEST(MLKEM1024, AlteredCiphertextGivesTheRejectionKey) {
    test::onEveryVectorBackend([] {
        const auto pair = mlkem1024::generateFromSeeds(filled(32, 1), filled(32, 2));
        const auto sent = mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, filled(32, 3));
        for (std::size_t position : {0, 700, 1407, 1408, 1567}) {
            SCOPED_TRACE(position);
            Bytes altered = sent.ciphertext;
            altered[position] ^= 0x01;
            SecureBytes key;
            ASSERT_NO_THROW(key = mlkem1024::decapsulate(pair.decapsulationKey, altered));
            Bytes rejection(32);
            sha3::Shake256().absorb(BytesView(pair.decapsulationKey).last(32)).absorb(altered).squeeze(rejection);
            EXPECT_EQ(hexString(key), hexString(rejection));
        }
    });
}

TEST(MLKEM1024, MalformedKeysCiphertextsAndSeedsAreRefused) {
    test::onEveryVectorBackend([] {
        const auto pair = mlkem1024::generateFromSeeds(filled(32, 4), filled(32, 5));
        // Sets the 12-bit coefficient at `index` (12 bits each, little-endian) to `value`.
        auto withCoefficient = [&](std::size_t index, unsigned value) {
            Bytes ek = pair.encapsulationKey;
            for (std::size_t bit = 0; bit < 12; ++bit) {
                const std::size_t at = 12 * index + bit;
                ek[at / 8] = static_cast<std::uint8_t>((ek[at / 8] & ~(1u << (at % 8))) | (((value >> bit) & 1u) << (at % 8)));
            }
            return ek;
        };
        const Bytes m = filled(32, 6);
        for (std::size_t index : {0, 1, 513, 1023}) {
            SCOPED_TRACE(index);
            EXPECT_TRUE(mlkem1024::isValidEncapsulationKey(withCoefficient(index, 3328)));
            EXPECT_NO_THROW(mlkem1024::encapsulateWithRandomness(withCoefficient(index, 3328), m));
            for (unsigned value : {3329u, 4095u}) {
                const Bytes bad = withCoefficient(index, value);
                EXPECT_FALSE(mlkem1024::isValidEncapsulationKey(bad));
                EXPECT_THROW(mlkem1024::encapsulateWithRandomness(bad, m), CryptoError);
                EXPECT_THROW(mlkem1024::encapsulate(bad), CryptoError);
            }
        }
        // The seed rho at the end is not a vector of coefficients: any bytes are fine.
        Bytes rho = pair.encapsulationKey;
        std::fill(rho.end() - 32, rho.end(), 0xFF);
        EXPECT_TRUE(mlkem1024::isValidEncapsulationKey(rho));

        // Wrong lengths of everything, and damaged decapsulation keys.
        const auto sent = mlkem1024::encapsulate(pair.encapsulationKey);
        for (std::size_t size : {0, 31, 33, 64}) {
            EXPECT_THROW(mlkem1024::generateFromSeeds(filled(size, 0), filled(32, 0)), CryptoError);
            EXPECT_THROW(mlkem1024::generateFromSeeds(filled(32, 0), filled(size, 0)), CryptoError);
            EXPECT_THROW(mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, filled(size, 0)), CryptoError);
            EXPECT_THROW(mldsa87::generateFromSeed(filled(size, 0)), CryptoError);
        }
        for (std::size_t size : {0, 1567, 1569}) {
            EXPECT_FALSE(mlkem1024::isValidEncapsulationKey(resized(pair.encapsulationKey, size)));
            EXPECT_THROW(mlkem1024::encapsulate(resized(pair.encapsulationKey, size)), CryptoError);
            EXPECT_THROW(mlkem1024::decapsulate(pair.decapsulationKey, resized(sent.ciphertext, size)), CryptoError);
        }
        for (std::size_t size : {0, 3167, 3169}) {
            EXPECT_FALSE(mlkem1024::isValidDecapsulationKey(resized(pair.decapsulationKey, size)));
            EXPECT_THROW(mlkem1024::decapsulate(resized(pair.decapsulationKey, size), sent.ciphertext), CryptoError);
        }
        // The embedded ek (its vector and its rho) and the stored hash H(ek) must agree.
        for (std::size_t position : {1536, 3000, 3103, 3104, 3135}) {
            Bytes dk = resized(pair.decapsulationKey, pair.decapsulationKey.size());
            dk[position] ^= 0x80;
            EXPECT_FALSE(mlkem1024::isValidDecapsulationKey(dk)) << position;
            EXPECT_THROW(mlkem1024::decapsulate(dk, sent.ciphertext), CryptoError) << position;
        }
    });
}

}  // namespace
}  // namespace duoquill
