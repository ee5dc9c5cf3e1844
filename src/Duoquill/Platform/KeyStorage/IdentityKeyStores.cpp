#include "Duoquill/Platform/KeyStorage/IdentityKeyStores.h"

#include "Duoquill/Platform/KeyStorage/IdentityKeyBlob.h"
#include "Duoquill/Platform/KeyStorage/KeyStoreUnavailable.h"
#include "Duoquill/Platform/KeyStorage/Pkcs11KeyStore.h"
#include "Duoquill/Platform/KeyStorage/TpmKeyStore.h"

namespace duoquill::IdentityKeyStores {
namespace {

constexpr std::string_view pkcs11Prefix = "pkcs11:";

Choice inTpm(std::unique_ptr<TpmKeyStore> tpm) {
    std::string line = "identity key created in the TPM (" + tpm->device() + "); it cannot be copied to another machine";
    return {std::move(tpm), std::move(line)};
}

}  // namespace

Choice choose(std::optional<std::string_view> setting) {
    if (!setting || setting->empty()) {
        try {
            return inTpm(TpmKeyStore::open());
        } catch (const KeyStoreUnavailable& unusable) {
            return {std::make_unique<SoftwareKeyStore>(), "identity key created in software: no usable TPM (" +
                                                              unusable.where() + ": " + unusable.reason() + ")"};
        }
    }
    if (*setting == "tpm") return inTpm(TpmKeyStore::open());
    if (*setting == "software") return {std::make_unique<SoftwareKeyStore>(), "identity key created in software"};
    if (setting->starts_with(pkcs11Prefix) && setting->size() > pkcs11Prefix.size()) {
        auto token = Pkcs11KeyStore::open(std::string(setting->substr(pkcs11Prefix.size())));
        std::string line = "identity key created on the token " + token->tokenLabel() + " (" + token->modulePath() + ")";
        return {std::move(token), std::move(line)};
    }
    throw CryptoError(std::string(storeVariable) + " must be tpm, pkcs11:<module path> or software, not \"" +
                      std::string(*setting) + "\"");
}

std::unique_ptr<P256KeyAgreementKey> restore(BytesView blob) {
    switch (IdentityKeyBlob::backendOf(blob).value_or(IdentityBackend::software)) {
    case IdentityBackend::tpm:
        return TpmKeyStore::open()->restoreP256(blob);
    case IdentityBackend::pkcs11:
        return Pkcs11KeyStore::restore(blob);
    case IdentityBackend::software:
        break;
    }
    return SoftwareKeyStore().restoreP256(blob);
}

}  // namespace duoquill::IdentityKeyStores
