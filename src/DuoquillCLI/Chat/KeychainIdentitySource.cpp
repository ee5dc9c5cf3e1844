#include "Duoquill/Identity/Keychain.h"
#include "DuoquillCLI/Chat/ChatIdentitySource.h"
#include "DuoquillCLI/Commands/CLIKeyCommands.h"

namespace duoquill::cli {

std::optional<std::string> KeychainIdentitySource::existingKeyIdentifier() {
    return CLIKeyCommands::existingKeyIdentifier();
}

p256::PublicKey KeychainIdentitySource::retrievePublicKey(const std::string& identifier) {
    return CLIKeyCommands::retrievePublicKey(identifier);
}

std::unique_ptr<P256KeyAgreementKey> KeychainIdentitySource::retrievePrivateKey(const std::string& identifier) {
    auto key = CLIKeyCommands::retrievePrivateKey(identifier);
    // The chat reads it once; closing frees (and wipes) SQLite's copy of the key's page.
    Keychain::user().close();
    return key;
}

}  // namespace duoquill::cli
