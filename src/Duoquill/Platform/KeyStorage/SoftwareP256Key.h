#pragma once
// A P-256 key-agreement key held in process memory, behind the key-store interface. Its
// data representation is the private key's versioned blob (p256::PrivateKey::blob).

#include "Duoquill/Platform/KeyStorage/KeyStore.h"

namespace duoquill {

class SoftwareP256Key final : public P256KeyAgreementKey {
public:
    explicit SoftwareP256Key(p256::PrivateKey key) : key_(std::move(key)) {}

    p256::PublicKey publicKey() const override { return key_.publicKey(); }
    SecureBytes sharedSecret(const p256::PublicKey& peer) const override { return key_.sharedSecret(peer); }
    SecureBytes dataRepresentation() const override { return key_.blob(); }

private:
    p256::PrivateKey key_;
};

}  // namespace duoquill
