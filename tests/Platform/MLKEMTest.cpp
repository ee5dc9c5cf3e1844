#include <gtest/gtest.h>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/KeyStore.h"
#include "Duoquill/Platform/PQ/MLKEM1024.h"
#include "Duoquill/Platform/PQ/Sha3.h"
#include "Duoquill/Platform/PlatformError.h"
#include "VectorBackends.h"
#include "KnownAnswerFile.h"

namespace duoquill {
namespace {

using test::KnownAnswerFile;

std::string hex(BytesView b) { return hexString(b); }

Bytes filled(std::size_t size, std::uint8_t start) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(start + 13 * i);
    return b;
}

std::string caseName(const KnownAnswerFile& file, const boost::json::value& t) {
    return file.name() + " case " + std::to_string(file.number(t, "id"));
}

void checkKeyGenerationFiles() {
    for (const auto& path : KnownAnswerFile::allOfKind("mlkem1024_keygen")) {
        const KnownAnswerFile file(path, "ML-KEM-1024 (FIPS 203) ML-KEM.KeyGen_internal");
        for (const auto& t : file.tests()) {
            SCOPED_TRACE(caseName(file, t));
            const Bytes d = file.hex(t, "d"), z = file.hex(t, "z");
            const auto pair = mlkem1024::generateFromSeeds(d, z);
            EXPECT_EQ(hex(pair.encapsulationKey), hex(file.hex(t, "ek")));
            EXPECT_EQ(hex(pair.decapsulationKey), hex(file.hex(t, "dk")));
            EXPECT_EQ(SoftwareKeyStore::mlkemFromSeed(d, z)->publicKey(), pair.encapsulationKey);
        }
    }
}

TEST(MLKEM1024, KnownAnswersOfKeyGeneration) { test::onEveryVectorBackend(checkKeyGenerationFiles); }

// Decapsulation cases include altered ciphertexts, whose key is the implicit-rejection key.
void checkEncapsulationFiles() {
    for (const auto& path : KnownAnswerFile::allOfKind("mlkem1024_encapdecap")) {
        const KnownAnswerFile file(path, "ML-KEM-1024 (FIPS 203) ML-KEM.Encaps_internal");
        std::size_t rejections = 0, decapsulations = 0, encapsulations = 0;
        for (const auto& t : file.tests()) {
            SCOPED_TRACE(caseName(file, t));
            const std::string function = file.text(t, "function");
            const Bytes c = file.hex(t, "c"), k = file.hex(t, "k");
            if (function == "encapsulation") {
                const auto result = mlkem1024::encapsulateWithRandomness(file.hex(t, "ek"), file.hex(t, "m"));
                EXPECT_EQ(hex(result.ciphertext), hex(c));
                EXPECT_EQ(hex(result.sharedSecret), hex(k));
                ++encapsulations;
            } else if (function == "decapsulation") {
                EXPECT_EQ(hex(mlkem1024::decapsulate(file.hex(t, "dk"), c)), hex(k));
                rejections += file.text(t, "reason") == "modify ciphertext";
                ++decapsulations;
            } else {
                FAIL() << "unknown function " << function;
            }
        }
        EXPECT_GT(encapsulations, 0u) << file.name();
        EXPECT_GT(decapsulations, 0u) << file.name();
        EXPECT_GT(rejections, 0u) << file.name() << ": no implicit-rejection case";
    }
}

TEST(MLKEM1024, KnownAnswersOfEncapsulationAndDecapsulation) {
    test::onEveryVectorBackend(checkEncapsulationFiles);
}

TEST(MLKEM1024, RandomKeysAgreeAndDiffer) {
    const auto alice = mlkem1024::generate();
    const auto bob = mlkem1024::generate();
    EXPECT_NE(alice.encapsulationKey, bob.encapsulationKey);
    ASSERT_EQ(alice.encapsulationKey.size(), mlkem1024::encapsulationKeySize);
    ASSERT_EQ(alice.decapsulationKey.size(), mlkem1024::decapsulationKeySize);
    EXPECT_TRUE(mlkem1024::isValidEncapsulationKey(alice.encapsulationKey));
    EXPECT_TRUE(mlkem1024::isValidDecapsulationKey(alice.decapsulationKey));

    const auto first = mlkem1024::encapsulate(alice.encapsulationKey);
    const auto second = mlkem1024::encapsulate(alice.encapsulationKey);
    EXPECT_NE(first.ciphertext, second.ciphertext);
    EXPECT_EQ(mlkem1024::decapsulate(alice.decapsulationKey, first.ciphertext), first.sharedSecret);
    EXPECT_EQ(mlkem1024::decapsulate(alice.decapsulationKey, second.ciphertext), second.sharedSecret);
    EXPECT_NE(mlkem1024::decapsulate(bob.decapsulationKey, first.ciphertext), first.sharedSecret);
}

// A changed ciphertext byte anywhere (in u, in v, at either end) gives J(z || c'), not an error.
TEST(MLKEM1024, AlteredCiphertextGivesTheRejectionKey) {
    const auto pair = mlkem1024::generateFromSeeds(filled(32, 1), filled(32, 2));
    const auto sent = mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, filled(32, 3));
    const BytesView z = BytesView(pair.decapsulationKey).last(32);
    for (std::size_t position : {std::size_t{0}, std::size_t{700}, std::size_t{1407}, std::size_t{1408},
                                 std::size_t{1567}}) {
        SCOPED_TRACE(position);
        Bytes altered = sent.ciphertext;
        altered[position] ^= 0x01;
        SecureBytes key;
        ASSERT_NO_THROW(key = mlkem1024::decapsulate(pair.decapsulationKey, altered));
        Bytes rejection(32);
        sha3::Shake256().absorb(z).absorb(altered).squeeze(rejection);
        EXPECT_NE(hex(key), hex(sent.sharedSecret));
        EXPECT_EQ(hex(key), hex(rejection));
    }
}

TEST(MLKEM1024, EncapsulationKeyWithCoefficientNotBelowQIsRefused) {
    const auto pair = mlkem1024::generateFromSeeds(filled(32, 4), filled(32, 5));
    // Sets the 12-bit value at an even or odd coefficient position to `value`.
    auto withCoefficient = [&](std::size_t index, unsigned value) {
        Bytes ek = pair.encapsulationKey;
        std::uint8_t* p = ek.data() + 3 * (index / 2);
        if (index % 2 == 0) {
            p[0] = static_cast<std::uint8_t>(value);
            p[1] = static_cast<std::uint8_t>((p[1] & 0xF0) | (value >> 8));
        } else {
            p[1] = static_cast<std::uint8_t>((p[1] & 0x0F) | ((value & 0x0F) << 4));
            p[2] = static_cast<std::uint8_t>(value >> 4);
        }
        return ek;
    };
    const Bytes m = filled(32, 6);
    for (std::size_t index : {std::size_t{0}, std::size_t{1}, std::size_t{513}, std::size_t{1023}}) {
        SCOPED_TRACE(index);
        const Bytes largest = withCoefficient(index, 3328);
        EXPECT_TRUE(mlkem1024::isValidEncapsulationKey(largest));
        EXPECT_NO_THROW(mlkem1024::encapsulateWithRandomness(largest, m));
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
}

TEST(MLKEM1024, WrongLengthsAreRefused) {
    const auto pair = mlkem1024::generateFromSeeds(filled(32, 7), filled(32, 8));
    const auto sent = mlkem1024::encapsulate(pair.encapsulationKey);
    auto resized = [](BytesView b, std::size_t size) {
        Bytes r(b.begin(), b.end());
        r.resize(size, 0);
        return r;
    };
    for (std::size_t size : {std::size_t{0}, std::size_t{31}, std::size_t{33}}) {
        EXPECT_THROW(mlkem1024::generateFromSeeds(filled(size, 0), filled(32, 0)), CryptoError);
        EXPECT_THROW(mlkem1024::generateFromSeeds(filled(32, 0), filled(size, 0)), CryptoError);
        EXPECT_THROW(mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, filled(size, 0)), CryptoError);
        EXPECT_THROW(SoftwareKeyStore::mlkemFromSeed(filled(size, 0), filled(32, 0)), CryptoError);
    }
    for (std::size_t size : {std::size_t{0}, std::size_t{1567}, std::size_t{1569}}) {
        const Bytes ek = resized(pair.encapsulationKey, size);
        EXPECT_FALSE(mlkem1024::isValidEncapsulationKey(ek));
        EXPECT_THROW(mlkem1024::encapsulate(ek), CryptoError);
        EXPECT_THROW(mlkem1024::decapsulate(pair.decapsulationKey, resized(sent.ciphertext, size)), CryptoError);
    }
    for (std::size_t size : {std::size_t{0}, std::size_t{3167}, std::size_t{3169}}) {
        const Bytes dk = resized(pair.decapsulationKey, size);
        EXPECT_FALSE(mlkem1024::isValidDecapsulationKey(dk));
        EXPECT_THROW(mlkem1024::decapsulate(dk, sent.ciphertext), CryptoError);
    }
}

TEST(MLKEM1024, DecapsulationKeyFailingItsHashCheckIsRefused) {
    const auto pair = mlkem1024::generateFromSeeds(filled(32, 9), filled(32, 10));
    const auto sent = mlkem1024::encapsulate(pair.encapsulationKey);
    // Positions in the embedded ek (its vector and its rho) and in the stored hash H(ek).
    for (std::size_t position : {std::size_t{1536}, std::size_t{3000}, std::size_t{3103}, std::size_t{3104},
                                 std::size_t{3135}}) {
        SCOPED_TRACE(position);
        Bytes dk(pair.decapsulationKey.begin(), pair.decapsulationKey.end());
        dk[position] ^= 0x80;
        EXPECT_FALSE(mlkem1024::isValidDecapsulationKey(dk));
        EXPECT_THROW(mlkem1024::decapsulate(dk, sent.ciphertext), CryptoError);
    }
}

TEST(MLKEM1024, KeyStoreKeysDecapsulate) {
    SoftwareKeyStore store;
    const auto key = store.generateMLKEM1024();
    ASSERT_EQ(key->publicKey().size(), mlkem1024::encapsulationKeySize);
    const auto sent = mlkem1024::encapsulate(key->publicKey());
    EXPECT_EQ(key->decapsulate(sent.ciphertext), sent.sharedSecret);
    EXPECT_NE(store.generateMLKEM1024()->publicKey(), key->publicKey());
    EXPECT_THROW(key->decapsulate(BytesView(sent.ciphertext).first(1567)), CryptoError);
    EXPECT_THROW(key->decapsulate(Bytes{}), CryptoError);

    const auto seeded = SoftwareKeyStore::mlkemFromSeed(filled(32, 11), filled(32, 12));
    const auto pair = mlkem1024::generateFromSeeds(filled(32, 11), filled(32, 12));
    const auto toSeeded = mlkem1024::encapsulate(seeded->publicKey());
    EXPECT_EQ(seeded->decapsulate(toSeeded.ciphertext),
              mlkem1024::decapsulate(pair.decapsulationKey, toSeeded.ciphertext));
}

}  // namespace
}  // namespace duoquill
