#pragma once
// A P-256 key-agreement key held in process memory, behind the key-store interface. Its
// data representation is the private key's versioned blob (p256::PrivateKey::blob).

#include <mutex>

#include "Duoquill/Primitives/P256KeyAgreementKey.h"

namespace duoquill {

class SoftwareP256Key final : public P256KeyAgreementKey {
public:
    explicit SoftwareP256Key(p256::PrivateKey key) : key_(std::move(key)), public_(key_.publicKey()) {}

    p256::PublicKey publicKey() const override { return public_; }
    SecureBytes sharedSecret(const p256::PublicKey& peer) const override { return key_.sharedSecret(peer); }
    SecureBytes longTermSharedSecret(const p256::PublicKey& peer) const override;
    SecureBytes dataRepresentation() const override { return key_.blob(); }

private:
    p256::PrivateKey key_;
    p256::PublicKey public_;
    // The secret with the last long-term peer: no more secret than the key beside it, and
    // wiped with it.
    mutable std::mutex lastPeerMutex_;
    mutable Bytes lastPeer_;
    mutable SecureBytes lastSecret_;
};

}  // namespace duoquill
