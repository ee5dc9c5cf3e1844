#pragma once
// A P-256 key-agreement key held in process memory, behind the key-store interface. Its
// data representation is the private key's versioned blob (p256::PrivateKey::blob).

#include <mutex>

#include "Duoquill/Platform/KeyStorage/KeyStore.h"

namespace duoquill {

class SoftwareP256Key final : public P256KeyAgreementKey {
public:
    // `remembersLastPeer`: for identity keys (restored from their store), which meet the same
    // peer key in every session; an ephemeral key's secrets must not outlive their use.
    explicit SoftwareP256Key(p256::PrivateKey key, bool remembersLastPeer = false)
        : key_(std::move(key)), public_(key_.publicKey()), remembersLastPeer_(remembersLastPeer) {}

    p256::PublicKey publicKey() const override { return public_; }
    SecureBytes sharedSecret(const p256::PublicKey& peer) const override;
    SecureBytes dataRepresentation() const override { return key_.blob(); }

private:
    p256::PrivateKey key_;
    p256::PublicKey public_;
    // The last secret is no more secret than the key beside it, and is wiped with it.
    const bool remembersLastPeer_;
    mutable std::mutex lastPeerMutex_;
    mutable Bytes lastPeer_;
    mutable SecureBytes lastSecret_;
};

}  // namespace duoquill
