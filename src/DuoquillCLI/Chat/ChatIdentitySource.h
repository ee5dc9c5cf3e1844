#pragma once
// Where the chat client finds the local identity: the keychain (KeychainIdentitySource, over
// CLIKeyCommands) in the program, keys held in memory in tests.

#include <memory>
#include <optional>
#include <string>

#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Primitives/P256.h"

namespace duoquill::cli {

class ChatIdentitySource {
public:
    virtual ~ChatIdentitySource() = default;
    // The identifier of the identity, or nothing when there is none.
    virtual std::optional<std::string> existingKeyIdentifier() = 0;
    // Each throws when the key cannot be had.
    virtual p256::PublicKey retrievePublicKey(const std::string& identifier) = 0;
    virtual std::unique_ptr<P256KeyAgreementKey> retrievePrivateKey(const std::string& identifier) = 0;
};

class KeychainIdentitySource final : public ChatIdentitySource {
public:
    std::optional<std::string> existingKeyIdentifier() override;
    p256::PublicKey retrievePublicKey(const std::string& identifier) override;
    std::unique_ptr<P256KeyAgreementKey> retrievePrivateKey(const std::string& identifier) override;
};

}  // namespace duoquill::cli
