// P-256 keys beyond the vector files: the three public encodings, refusal of anything that is
// not a curve point, scalar bounds, and the private-key blob through the key store.

#include <gtest/gtest.h>

#include <functional>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/KeyStorage/KeyStore.h"
#include "Duoquill/Platform/Primitives/P256.h"
#include "Duoquill/Platform/PlatformError.h"

namespace duoquill {
namespace {

Bytes fromHex(std::string_view hex) { return *bytesFromLegacyPairedString(hex); }

const Bytes groupOrder = fromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");

Bytes scalarOf(std::uint8_t last) {
    Bytes s(p256::scalarSize, 0);
    s.back() = last;
    return s;
}

TEST(P256, EncodingsAgreeAndRoundTrip) {
    const auto key = p256::PrivateKey::generate().publicKey();
    const Bytes x963 = key.x963(), raw = key.raw(), compressed = key.compressed();
    EXPECT_EQ(x963, concat(Bytes{0x04}, raw));
    EXPECT_EQ(compressed, concat(Bytes{static_cast<std::uint8_t>(0x02 | (x963.back() & 1))}, BytesView(raw).first(32)));
    EXPECT_EQ(p256::PublicKey::fromRaw(raw).x963(), x963);
    EXPECT_EQ(p256::PublicKey::fromX963(x963).raw(), raw);
    // A compressed import must recover Y and export every form.
    const auto decompressed = p256::PublicKey::fromCompressed(compressed);
    EXPECT_EQ(decompressed.x963(), x963);
    EXPECT_EQ(decompressed.compressed(), compressed);
}

// Public keys from scalars are in the HPKE vectors; the bounds of the scalar are not.
TEST(P256, OnlyScalarsFromOneToNMinusOneAreTaken) {
    Bytes nMinusOne = groupOrder, nPlusOne = groupOrder;
    nMinusOne.back() -= 1;
    nPlusOne.back() += 1;
    // (n-1)·G = -G: same X as the generator, the other Y.
    const Bytes generator = p256::PrivateKey::fromScalar(scalarOf(1)).publicKey().compressed();
    const Bytes last = p256::PrivateKey::fromScalar(nMinusOne).publicKey().compressed();
    EXPECT_EQ(hexString(last), (generator[0] == 0x02 ? "03" : "02") + hexString(generator).substr(2));
    for (const Bytes& bad : {scalarOf(0), groupOrder, nPlusOne, Bytes(32, 0xff), Bytes(31, 1), Bytes(33, 1), Bytes{}}) {
        EXPECT_THROW(p256::PrivateKey::fromScalar(bad), CryptoError);
    }
}

TEST(P256, NonPointsAreRefusedInEveryForm) {
    using p256::PublicKey;
    const Bytes good = p256::PrivateKey::generate().publicKey().x963();
    Bytes offCurve = good, wrongTag = good, compressed = PublicKey::fromX963(good).compressed();
    offCurve.back() ^= 1;  // same X, a Y that does not fit it
    // Off-curve SEC1 points and compressed X with no point are in the ECDH vectors.
    std::vector<std::function<void()>> imports = {
        [&] { PublicKey::fromRaw(BytesView(offCurve).subspan(1)); },
        [&] { PublicKey::fromX963(concat(Bytes{0x04}, Bytes(64, 0))); }, [&] { PublicKey::fromRaw(Bytes(64, 0)); },
        [&] { PublicKey::fromCompressed(concat(Bytes{0x02}, Bytes(32, 0xff))); }};
    // Wrong tags: each form takes only its own.
    for (std::uint8_t tag : {0x00, 0x02, 0x03, 0x05, 0x06, 0x07}) {
        imports.push_back([&, tag] { wrongTag[0] = tag; PublicKey::fromX963(wrongTag); });
    }
    for (std::uint8_t tag : {0x00, 0x04, 0x01}) {
        imports.push_back([&, tag] { compressed[0] = tag; PublicKey::fromCompressed(compressed); });
    }
    // Wrong lengths, including the one-byte encoding of the point at infinity.
    for (std::size_t n : {0, 1, 32, 33, 63, 64, 65, 66}) {
        if (n != p256::rawSize) imports.push_back([n] { PublicKey::fromRaw(Bytes(n, 0x04)); });
        if (n != p256::x963Size) imports.push_back([n] { PublicKey::fromX963(Bytes(n, 0x04)); });
        if (n != p256::compressedSize) imports.push_back([n] { PublicKey::fromCompressed(Bytes(n, 0x02)); });
    }
    for (std::size_t i = 0; i < imports.size(); ++i) EXPECT_THROW(imports[i](), CryptoError) << "import " << i;
}

TEST(P256, KeysAgreeAndRestoreFromTheirBlob) {
    KeyStore& store = KeyStore::system();
    const auto key = store.generateP256(), peer = store.generateP256();
    const SecureBytes shared = key->sharedSecret(peer->publicKey());
    EXPECT_EQ(shared, peer->sharedSecret(key->publicKey()));

    const SecureBytes blob = key->dataRepresentation();
    const auto restored = store.restoreP256(blob);
    EXPECT_EQ(restored->dataRepresentation(), blob);
    EXPECT_EQ(restored->sharedSecret(peer->publicKey()), shared);
    EXPECT_EQ(SoftwareKeyStore::wrap(p256::PrivateKey::fromBlob(blob))->publicKey().raw(), key->publicKey().raw());

    const Bytes good = toBytes(blob);
    std::vector<Bytes> garbage = {Bytes{}, Bytes(good.size(), 0), Bytes(good.size(), 0xa5),
                                  Bytes(good.begin(), good.end() - 1), concat(good, Bytes{0})};
    for (std::size_t i = 0; i < good.size(); ++i) {
        garbage.push_back(good);
        garbage.back()[i] ^= 0x01;  // header, version, scalar or stored public key
    }
    garbage.push_back(good);
    std::fill(garbage.back().begin() + 4, garbage.back().begin() + 36, 0);  // a zero scalar
    for (const Bytes& bad : garbage) {
        EXPECT_THROW(p256::PrivateKey::fromBlob(bad), CryptoError);
        EXPECT_THROW(store.restoreP256(bad), CryptoError);
    }
}

}  // namespace
}  // namespace duoquill
