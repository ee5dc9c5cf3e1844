// The software key store's P-256 face: generated keys survive a trip through their data
// representation, and blobs the store did not make are refused.

#include <gtest/gtest.h>

#include "Duoquill/Platform/KeyStore.h"
#include "Duoquill/Platform/PlatformError.h"

namespace duoquill {
namespace {

TEST(KeyStore, P256KeysRestoreFromTheirDataRepresentation) {
    KeyStore& store = KeyStore::system();
    EXPECT_EQ(&store, &KeyStore::system());
    const auto key = store.generateP256();
    const SecureBytes blob = key->dataRepresentation();
    const auto restored = store.restoreP256(blob);
    EXPECT_EQ(restored->publicKey().x963(), key->publicKey().x963());
    EXPECT_EQ(restored->dataRepresentation(), blob);

    const auto peer = store.generateP256();
    EXPECT_EQ(restored->sharedSecret(peer->publicKey()), peer->sharedSecret(key->publicKey()));
    EXPECT_NE(store.generateP256()->publicKey().raw(), key->publicKey().raw());

    const auto wrapped = SoftwareKeyStore::wrap(p256::PrivateKey::fromBlob(blob));
    EXPECT_EQ(wrapped->publicKey().raw(), key->publicKey().raw());
}

TEST(KeyStore, ForeignBlobsAreRefused) {
    KeyStore& store = KeyStore::system();
    Bytes blob = toBytes(store.generateP256()->dataRepresentation());
    EXPECT_THROW(store.restoreP256({}), CryptoError);
    EXPECT_THROW(store.restoreP256(Bytes(blob.size(), 0xa5)), CryptoError);
    EXPECT_THROW(store.restoreP256(BytesView(blob).first(blob.size() - 1)), CryptoError);
    blob[3] ^= 0xff;  // another format version
    EXPECT_THROW(store.restoreP256(blob), CryptoError);
}

}  // namespace
}  // namespace duoquill
