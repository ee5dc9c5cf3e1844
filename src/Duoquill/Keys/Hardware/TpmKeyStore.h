#pragma once
// Identity keys made and used inside a TPM 2.0, through OpenSSL's TPM 2.0 provider loaded in
// a library context of this store's own (the process's default providers stay as they are).
// The key is a P-256 key under the TPM's storage root key, with no authorisation value; it
// leaves the TPM only wrapped by that TPM's own storage key, and its ECDH runs inside.
//
// The TPM is the one the provider's TPM2OPENSSL_TCTI names, else the one a key's blob recorded
// when it was made, else /dev/tpmrm0. A TCTI given in the variable is recorded in the blobs of
// the keys made with it, so later runs find that TPM with no setting.

#include <memory>
#include <string>

#include "Duoquill/Keys/KeyStore.h"

namespace duoquill {

class TpmKeyStore final : public P256KeyStore {
public:
    // `recordedTcti`: the TCTI a key's blob recorded (IdentityKeyBlob::access), used when the
    // variable is not set. Throws KeyStoreUnavailable naming the device and why it cannot be
    // used; KeyStoreUnavailable::unreachable when the TPM it names does not answer.
    static std::unique_ptr<TpmKeyStore> open(const std::string& recordedTcti = {});

    // "/dev/tpmrm0", or the TCTI setting in use.
    const std::string& device() const noexcept;

    std::unique_ptr<P256KeyAgreementKey> generateP256() override;
    // Throws CryptoError when the blob is not a TPM key of this store's kind, or when the TPM
    // refuses it (another TPM's key, or the TPM was cleared since).
    std::unique_ptr<P256KeyAgreementKey> restoreP256(BytesView dataRepresentation) override;

    struct Provider;
    explicit TpmKeyStore(std::shared_ptr<Provider> provider) : provider_(std::move(provider)) {}

private:
    std::shared_ptr<Provider> provider_;
};

}  // namespace duoquill
