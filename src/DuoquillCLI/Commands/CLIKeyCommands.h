#pragma once
// The user's long-term identity: one P-256 key-agreement key per label, made by a key store
// and kept in the keychain as two generic-password items that share a key identifier (an
// upper-case UUID):
//
//   service "com.duoquill.cli.p256"      account = identifier, label = the key label,
//                                        data = the key store's blob of the private key
//   service "com.duoquill.cli.p256.pub"  account = identifier, no label,
//                                        data = the public key, raw (64 bytes, X then Y)
//
// The second item is a cache; when it is missing or holds anything but a curve point the
// public key is taken from the private key and the cache is rewritten.

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Primitives/P256.h"

namespace duoquill::cli {

enum class KeyManagerErrorCode { keyNotFound, invalidKeyData };

// what() is the case name ("keyNotFound"); only keyNotFound is ever raised.
class KeyManagerError : public std::exception {
public:
    explicit KeyManagerError(KeyManagerErrorCode code) : code_(code) {}
    KeyManagerErrorCode code() const noexcept { return code_; }
    const char* what() const noexcept override;

private:
    KeyManagerErrorCode code_;
};

namespace CLIKeyCommands {

inline constexpr std::string_view identityService = "com.duoquill.cli.p256";
inline constexpr std::string_view publicKeyService = "com.duoquill.cli.p256.pub";
inline constexpr const char* keyLabelVariable = "DUOQUILL_KEY_LABEL";
inline constexpr std::string_view defaultKeyLabel = "cli";

// `keygen`: makes a new identity for the label in the store DUOQUILL_KEY_STORE names (see
// IdentityKeyStores::choose), stores it, and only then removes the label's previous identity,
// so a failure leaves the old one in place. When the label has an identity, standard input is
// a terminal and `force` is false, it first asks whether to replace it; anything but "yes"
// keeps it and ends the process with status 1. The new identity takes the verified mark off
// the label's contacts. Prints the new public key (compressed, base64url) on standard output
// and where the key lives in one line on standard error; on failure prints
// "Error generating key: ..." on standard error and ends the process with status 1.
void keygen(bool force = false);

// `pubkey`: prints the label's public key on standard output; without an identity prints
// "No key found. Run 'keygen' first." and ends the process with status 1, and on any other
// failure "Error retrieving key: ..." with status 1.
void pubkey();

// The identifier of the label's identity, or nothing when there is none or the keychain
// cannot be read. Should a failed deletion have left several, the newest one counts: it is
// the key keygen printed last.
std::optional<std::string> existingKeyIdentifier();

// As existingKeyIdentifier(), but a keychain that cannot be read throws KeychainError instead
// of looking empty, so a damaged keychain is never taken for a missing identity.
std::optional<std::string> findKeyIdentifier();

// The identity's public key: the cached copy when it is a valid point, else the private
// key's (and the cache is refilled). Throws as retrievePrivateKey does.
p256::PublicKey retrievePublicKey(const std::string& identifier);

// Re-creates the identity's private key from its blob. Throws KeyManagerError(keyNotFound)
// when the item is missing or does not hold bytes, and the key store's CryptoError when the
// blob is not one it made.
std::unique_ptr<P256KeyAgreementKey> retrievePrivateKey(const std::string& identifier);

// Whether the text names the label's own identity key. False when there is no identity or it
// cannot be read (the chat then says so itself); never creates a keychain file.
bool isOwnKey(std::string_view peerKey);

// DUOQUILL_KEY_LABEL when it is set (an empty value is a label of its own), else "cli". Read
// once, on first use.
const std::string& cliKeyLabel();

}  // namespace CLIKeyCommands
}  // namespace duoquill::cli
