#include "Duoquill/Keys/KeyStore.h"

#include "Duoquill/Keys/SoftwareP256Key.h"

// The ML-KEM-1024 and ML-DSA-87 members of SoftwareKeyStore live in KeyStorePQ.cpp.

namespace duoquill {

KeyStore& KeyStore::system() {
    // Ephemeral and post-quantum keys live in memory; the identity key's store is chosen
    // apart (IdentityKeyStores).
    static SoftwareKeyStore store;
    return store;
}

std::unique_ptr<P256KeyAgreementKey> SoftwareKeyStore::generateP256() { return wrap(p256::PrivateKey::generate()); }

std::unique_ptr<P256KeyAgreementKey> SoftwareKeyStore::restoreP256(BytesView dataRepresentation) {
    return wrap(p256::PrivateKey::fromBlob(dataRepresentation));
}

std::unique_ptr<P256KeyAgreementKey> SoftwareKeyStore::wrap(p256::PrivateKey key) {
    return std::make_unique<SoftwareP256Key>(std::move(key));
}

SecureBytes SoftwareP256Key::longTermSharedSecret(const p256::PublicKey& peer) const {
    const Bytes peerPoint = peer.x963();
    const std::lock_guard lock(lastPeerMutex_);
    if (lastSecret_.empty() || lastPeer_ != peerPoint) {
        lastSecret_ = key_.sharedSecret(peer);
        lastPeer_ = peerPoint;
    }
    return lastSecret_;
}

}  // namespace duoquill
