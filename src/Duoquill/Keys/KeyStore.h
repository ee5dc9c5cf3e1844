#pragma once
// The seam for keys that a key store holds. The session and the identity commands only ever
// see these interfaces: software keys (SoftwareKeyStore) and, for the identity key, a TPM
// (TpmKeyStore) or a PKCS#11 token (Pkcs11KeyStore) behind them.

#include <memory>

#include "Duoquill/Primitives/P256.h"
#include "Duoquill/Primitives/P256KeyAgreementKey.h"

namespace duoquill {

// An ML-KEM-1024 decapsulation key held by a key store.
class MLKEM1024Key {
public:
    virtual ~MLKEM1024Key() = default;
    virtual const Bytes& publicKey() const = 0;  // 1568 bytes
    // Implicit rejection: a well-formed but altered ciphertext gives a pseudorandom key.
    // Throws CryptoError on a ciphertext of the wrong length.
    virtual SecureBytes decapsulate(BytesView ciphertext) const = 0;
};

// An ML-DSA-87 signing key held by a key store. The system never signs with it.
class MLDSA87Key {
public:
    virtual ~MLDSA87Key() = default;
    virtual const Bytes& publicKey() const = 0;  // 2592 bytes
};

// What an identity key needs from a store: P-256 keys it makes and re-creates.
class P256KeyStore {
public:
    virtual ~P256KeyStore() = default;
    virtual std::unique_ptr<P256KeyAgreementKey> generateP256() = 0;
    // Throws CryptoError when the blob was not made by this key store.
    virtual std::unique_ptr<P256KeyAgreementKey> restoreP256(BytesView dataRepresentation) = 0;
};

class KeyStore : public P256KeyStore {
public:
    virtual std::unique_ptr<MLKEM1024Key> generateMLKEM1024() = 0;
    virtual std::unique_ptr<MLDSA87Key> generateMLDSA87() = 0;

    // The software key store the sessions use for their own keys.
    static KeyStore& system();
};

// Software keys behind the key-store interfaces.
class SoftwareKeyStore final : public KeyStore {
public:
    std::unique_ptr<P256KeyAgreementKey> generateP256() override;
    std::unique_ptr<P256KeyAgreementKey> restoreP256(BytesView dataRepresentation) override;
    std::unique_ptr<MLKEM1024Key> generateMLKEM1024() override;
    std::unique_ptr<MLDSA87Key> generateMLDSA87() override;

    // Wrappers around given key material, for known-answer tests and for callers that
    // already hold a software key.
    static std::unique_ptr<P256KeyAgreementKey> wrap(p256::PrivateKey key);
    static std::unique_ptr<MLKEM1024Key> mlkemFromSeed(BytesView d, BytesView z);
    static std::unique_ptr<MLDSA87Key> mldsaFromSeed(BytesView xi);
};

}  // namespace duoquill
