#include "DuoquillCLI/CLIKeyCommands.h"
#include "DuoquillCLI/ChatIdentitySource.h"

namespace duoquill::cli {

std::optional<std::string> KeychainIdentitySource::existingKeyIdentifier() {
    return CLIKeyCommands::existingKeyIdentifier();
}

p256::PublicKey KeychainIdentitySource::retrievePublicKey(const std::string& identifier) {
    return CLIKeyCommands::retrievePublicKey(identifier);
}

std::unique_ptr<P256KeyAgreementKey> KeychainIdentitySource::retrievePrivateKey(const std::string& identifier) {
    return CLIKeyCommands::retrievePrivateKey(identifier);
}

}  // namespace duoquill::cli
