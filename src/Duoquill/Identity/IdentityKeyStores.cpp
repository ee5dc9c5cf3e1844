#include "Duoquill/Identity/IdentityKeyStores.h"

#include <cstdlib>

#include "Duoquill/Keys/IdentityKeyBlob.h"
#include "Duoquill/Keys/KeyStoreUnavailable.h"
#include "Duoquill/Keys/Hardware/Pkcs11KeyStore.h"
#include "Duoquill/Keys/Hardware/Pkcs11Uri.h"
#include "Duoquill/Keys/Hardware/TpmKeyStore.h"

namespace duoquill::IdentityKeyStores {
namespace {

constexpr std::string_view pkcs11Prefix = "pkcs11:";

// A URI has attributes; a setting without any is the bare module path of old.
bool isUri(std::string_view setting) { return setting.find('=') != std::string_view::npos; }

// The way past a missing terminal, in the words of the setting the user can give.
[[noreturn]] void needPin(const Pkcs11KeyStore::NoPinSource& missing, const std::string& example) {
    throw CryptoError(std::string(missing.what()) + ": run it on a terminal, or name a file that holds the PIN: " +
                      storeVariable + "=\"" + example + "\"");
}

Choice onToken(std::string_view setting) {
    const std::string body(setting.substr(pkcs11Prefix.size()));
    const Pkcs11Uri uri = isUri(body) ? Pkcs11Uri::parse(std::string(setting)) : Pkcs11Uri::forModule(body);
    if (uri.modulePath().empty()) {
        throw CryptoError(std::string(storeVariable) + ": the PKCS#11 URI needs the module's file: module-path=<path>");
    }
    try {
        auto token = Pkcs11KeyStore::open(uri);
        std::string line = "identity key created on the token " + token->tokenLabel() + " (" + token->modulePath() + ")";
        if (!uri.pinFile().empty()) line += "; its PIN is read from " + uri.pinFile();
        return {std::move(token), std::move(line)};
    } catch (const Pkcs11KeyStore::NoPinSource& missing) {
        needPin(missing, "pkcs11:?module-path=" + uri.modulePath() + "&pin-source=file:<path>");
    }
}

// The PIN file a PKCS#11 URI in DUOQUILL_KEY_STORE names, for a key already on its token.
std::string pinFileOfSetting() {
    const char* setting = std::getenv(storeVariable);
    if (setting == nullptr || !std::string_view(setting).starts_with(pkcs11Prefix) || !isUri(setting)) return {};
    return Pkcs11Uri::parse(setting).pinFile();
}

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
    if (setting->starts_with(pkcs11Prefix) && setting->size() > pkcs11Prefix.size()) return onToken(*setting);
    throw CryptoError(std::string(storeVariable) + " must be tpm, pkcs11:<module path>, a PKCS#11 URI or software, not \"" +
                      std::string(*setting) + "\"");
}

std::unique_ptr<P256KeyAgreementKey> restore(BytesView blob) {
    switch (IdentityKeyBlob::backendOf(blob).value_or(IdentityBackend::software)) {
    case IdentityBackend::tpm:
        return TpmKeyStore::open(IdentityKeyBlob::access(blob, IdentityBackend::tpm))->restoreP256(blob);
    case IdentityBackend::pkcs11:
        try {
            return Pkcs11KeyStore::restore(blob, pinFileOfSetting());
        } catch (const Pkcs11KeyStore::NoPinSource& missing) {
            needPin(missing, "pkcs11:?pin-source=file:<path>");
        }
    case IdentityBackend::software:
        break;
    }
    return SoftwareKeyStore().restoreP256(blob);
}

}  // namespace duoquill::IdentityKeyStores
