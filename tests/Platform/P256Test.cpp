// P-256 keys: the three public encodings, refusal of anything that is not a curve point,
// scalar bounds, ECDH agreement and the private-key blob.

#include <gtest/gtest.h>

#include "Duoquill/Platform/P256.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Random.h"
#include "Duoquill/Platform/SoftwareP256Key.h"

namespace duoquill {
namespace {

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

const Bytes generatorX963 = fromHex(
    "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296"
    "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5");
const Bytes groupOrder = fromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");

Bytes scalarOf(std::uint8_t last) {
    Bytes s(p256::scalarSize, 0);
    s.back() = last;
    return s;
}

TEST(P256, EncodingsAgreeAndRoundTrip) {
    const auto key = p256::PrivateKey::generate().publicKey();
    const Bytes x963 = key.x963(), raw = key.raw(), compressed = key.compressed();
    ASSERT_EQ(x963.size(), p256::x963Size);
    ASSERT_EQ(raw.size(), p256::rawSize);
    ASSERT_EQ(compressed.size(), p256::compressedSize);
    EXPECT_EQ(x963[0], 0x04);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), x963.begin() + 1));
    EXPECT_EQ(compressed[0], 0x02 | (x963.back() & 1));
    EXPECT_TRUE(std::equal(compressed.begin() + 1, compressed.end(), x963.begin() + 1));

    EXPECT_EQ(p256::PublicKey::fromRaw(raw).x963(), x963);
    EXPECT_EQ(p256::PublicKey::fromX963(x963).raw(), raw);
    // A compressed import must recover Y and export every form.
    const auto decompressed = p256::PublicKey::fromCompressed(compressed);
    EXPECT_EQ(decompressed.x963(), x963);
    EXPECT_EQ(decompressed.raw(), raw);
    EXPECT_EQ(decompressed.compressed(), compressed);
}

TEST(P256, ScalarOneGivesTheGeneratorAndBoundsAreChecked) {
    const auto one = p256::PrivateKey::fromScalar(scalarOf(1));
    EXPECT_EQ(one.publicKey().x963(), generatorX963);
    EXPECT_EQ(toBytes(one.scalar()), scalarOf(1));

    Bytes nMinusOne = groupOrder;
    nMinusOne.back() -= 1;
    const auto last = p256::PrivateKey::fromScalar(nMinusOne);
    EXPECT_EQ(toBytes(last.scalar()), nMinusOne);
    // (n-1)·G = -G: same X as the generator, the other Y.
    EXPECT_EQ(last.publicKey().compressed()[0], 0x02);
    EXPECT_EQ(one.publicKey().compressed()[0], 0x03);

    Bytes nPlusOne = groupOrder;
    nPlusOne.back() += 1;
    for (const Bytes& bad : {scalarOf(0), groupOrder, nPlusOne, Bytes(32, 0xff), Bytes(31, 1), Bytes(33, 1), Bytes{}}) {
        EXPECT_THROW(p256::PrivateKey::fromScalar(bad), CryptoError);
    }
}

TEST(P256, NonPointsAreRefusedInEveryForm) {
    const Bytes good = p256::PrivateKey::generate().publicKey().x963();

    Bytes offCurve = good;
    offCurve.back() ^= 1;  // same X, a Y that does not fit it
    EXPECT_THROW(p256::PublicKey::fromX963(offCurve), CryptoError);
    EXPECT_THROW(p256::PublicKey::fromRaw(BytesView(offCurve).subspan(1)), CryptoError);
    // An X with no square root of X^3 - 3X + b: no point has it.
    const Bytes noSuchX = fromHex("02fd4bf61763b46581fd9174d623516cf3c81edd40e29ffa2777fb6cb0ae3ce535");
    EXPECT_THROW(p256::PublicKey::fromCompressed(noSuchX), CryptoError);

    const Bytes zeros65 = concat(Bytes{0x04}, Bytes(64, 0));
    EXPECT_THROW(p256::PublicKey::fromX963(zeros65), CryptoError);
    EXPECT_THROW(p256::PublicKey::fromRaw(Bytes(64, 0)), CryptoError);
    EXPECT_THROW(p256::PublicKey::fromCompressed(concat(Bytes{0x02}, Bytes(32, 0xff))), CryptoError);

    // Wrong tags: each form takes only its own.
    Bytes wrongTag = good;
    for (std::uint8_t tag : {0x00, 0x02, 0x03, 0x05, 0x06, 0x07}) {
        wrongTag[0] = tag;
        EXPECT_THROW(p256::PublicKey::fromX963(wrongTag), CryptoError);
    }
    Bytes compressed = p256::PublicKey::fromX963(good).compressed();
    for (std::uint8_t tag : {0x00, 0x04, 0x01}) {
        compressed[0] = tag;
        EXPECT_THROW(p256::PublicKey::fromCompressed(compressed), CryptoError);
    }

    // Wrong lengths, including the one-byte encoding of the point at infinity.
    for (std::size_t n : {0, 1, 32, 33, 63, 64, 65, 66}) {
        if (n != p256::rawSize) {
            EXPECT_THROW(p256::PublicKey::fromRaw(Bytes(n, 0x04)), CryptoError);
        }
        if (n != p256::x963Size) {
            EXPECT_THROW(p256::PublicKey::fromX963(Bytes(n, 0x04)), CryptoError);
        }
        if (n != p256::compressedSize) {
            EXPECT_THROW(p256::PublicKey::fromCompressed(Bytes(n, 0x02)), CryptoError);
        }
    }
}

TEST(P256, EcdhAgreesBothWays) {
    const auto a = p256::PrivateKey::generate();
    const auto b = p256::PrivateKey::generate();
    const SecureBytes ab = a.sharedSecret(b.publicKey());
    EXPECT_EQ(ab.size(), p256::sharedSecretSize);
    EXPECT_EQ(ab, b.sharedSecret(a.publicKey()));
    EXPECT_EQ(ab, a.sharedSecret(p256::PublicKey::fromCompressed(b.publicKey().compressed())));
    EXPECT_NE(ab, a.sharedSecret(p256::PrivateKey::generate().publicKey()));
}

TEST(P256, BlobRoundTripsAndGarbageIsRefused) {
    const auto key = p256::PrivateKey::generate();
    const SecureBytes blob = key.blob();
    const auto restored = p256::PrivateKey::fromBlob(blob);
    EXPECT_EQ(restored.scalar(), key.scalar());
    EXPECT_EQ(restored.publicKey().x963(), key.publicKey().x963());

    // Through the key-store face of a software key.
    const SoftwareP256Key wrapped(key);
    const SoftwareP256Key rewrapped(p256::PrivateKey::fromBlob(wrapped.dataRepresentation()));
    EXPECT_EQ(rewrapped.publicKey().raw(), key.publicKey().raw());
    const auto peer = p256::PrivateKey::generate();
    EXPECT_EQ(rewrapped.sharedSecret(peer.publicKey()), peer.sharedSecret(key.publicKey()));

    const Bytes good = toBytes(blob);
    std::vector<Bytes> garbage = {Bytes{}, Bytes(good.size(), 0), Bytes(good.begin(), good.end() - 1),
                                  concat(good, Bytes{0})};
    for (std::size_t i = 0; i < good.size(); ++i) {
        Bytes damaged = good;
        damaged[i] ^= 0x01;  // header, version, scalar or stored public key
        garbage.push_back(damaged);
    }
    Bytes zeroScalar = good;
    std::fill(zeroScalar.begin() + 4, zeroScalar.begin() + 36, 0);
    garbage.push_back(zeroScalar);
    for (const Bytes& bad : garbage) EXPECT_THROW(p256::PrivateKey::fromBlob(bad), CryptoError);
}

// Arbitrary bytes of every length near the real ones: each import either gives a key that
// re-exports the same point or refuses with CryptoError; nothing else happens.
TEST(P256, ArbitraryBytesAreImportedOrRefused) {
    for (int round = 0; round < 300; ++round) {
        const std::size_t size = 60 + random::uniform(11);
        Bytes bytes = toBytes(random::bytes(size));
        if (round % 2 == 0) bytes[0] = static_cast<std::uint8_t>(2 + random::uniform(3));  // a plausible tag
        try {
            EXPECT_EQ(p256::PublicKey::fromRaw(bytes).raw(), bytes);
        } catch (const CryptoError&) {
        }
        try {
            EXPECT_EQ(p256::PublicKey::fromX963(bytes).x963(), bytes);
        } catch (const CryptoError&) {
        }
        try {
            (void)p256::PrivateKey::fromBlob(bytes);
            ADD_FAILURE() << "random bytes restored as a key";
        } catch (const CryptoError&) {
        }
    }
    for (int round = 0; round < 300; ++round) {
        Bytes compressed = toBytes(random::bytes(p256::compressedSize));
        compressed[0] = static_cast<std::uint8_t>(2 + random::uniform(2));
        try {
            EXPECT_EQ(p256::PublicKey::fromCompressed(compressed).compressed(), compressed);
        } catch (const CryptoError&) {
        }
    }
}

}  // namespace
}  // namespace duoquill
