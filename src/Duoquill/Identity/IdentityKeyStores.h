#pragma once
// Where the identity key lives: a software key, a TPM, or a PKCS#11 token. The blob in the
// keychain says which store holds a key, so only a new key needs a choice.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Duoquill/Keys/KeyStore.h"

namespace duoquill::IdentityKeyStores {

inline constexpr const char* storeVariable = "DUOQUILL_KEY_STORE";

struct Choice {
    std::unique_ptr<P256KeyStore> store;
    // One line for the user, once the key is made: "identity key created in the TPM (...); ...".
    std::string createdLine;
};

// The store a setting of DUOQUILL_KEY_STORE names: "tpm", "pkcs11:<module path>", a PKCS#11
// URI with a module-path ("pkcs11:token=x?module-path=/m.so&pin-source=file:/p", see
// Pkcs11Uri) or "software"; unset or empty, the TPM when one is usable and software keys
// otherwise. A store that was asked for and cannot be used throws KeyStoreUnavailable; an
// unknown setting throws CryptoError.
Choice choose(std::optional<std::string_view> setting);

// Re-creates a key from any store's blob. For a key on a token, a pin-source in a PKCS#11 URI
// that DUOQUILL_KEY_STORE holds wins over the PIN file the blob recorded. Throws CryptoError
// (KeyStoreUnavailable when the store that holds it cannot be reached) with the reason.
std::unique_ptr<P256KeyAgreementKey> restore(BytesView blob);

}  // namespace duoquill::IdentityKeyStores
