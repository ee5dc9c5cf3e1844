#pragma once

#include "Duoquill/Primitives/P256.h"

namespace duoquill {

// A P-256 key-agreement private key whose ECDH may happen out of reach of the process (a key
// store: software, a TPM, a PKCS#11 token). HPKE and the session use a key only through this.
class P256KeyAgreementKey {
public:
    virtual ~P256KeyAgreementKey() = default;
    virtual p256::PublicKey publicKey() const = 0;
    // ECDH with the peer's public key: 32 bytes. Throws CryptoError.
    virtual SecureBytes sharedSecret(const p256::PublicKey& peer) const = 0;
    // The same with a peer's long-term key, which an identity key meets in every session with
    // that peer: a key store may keep the result. Never for an ephemeral peer key, whose
    // secret must not outlive its use.
    virtual SecureBytes longTermSharedSecret(const p256::PublicKey& peer) const { return sharedSecret(peer); }
    // Opaque blob from which the same key store re-creates this key.
    virtual SecureBytes dataRepresentation() const = 0;
};

}  // namespace duoquill
