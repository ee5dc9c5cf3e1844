#include "DuoquillCLI/Commands/CLIKeyCommands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <unistd.h>
#include <vector>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Identity/ContactBook.h"
#include "Duoquill/Identity/IdentityKeyStores.h"
#include "Duoquill/Identity/Keychain.h"
#include "Duoquill/Primitives/Random.h"
#include "Duoquill/System/StandardStreams.h"
#include "Duoquill/Identity/KeyHelpers.h"

namespace duoquill::cli {

const char* KeyManagerError::what() const noexcept {
    switch (code_) {
    case KeyManagerErrorCode::keyNotFound:
        return "keyNotFound";
    case KeyManagerErrorCode::invalidKeyData:
        return "invalidKeyData";
    }
    return "KeyManagerError";
}

namespace CLIKeyCommands {
namespace {

KeychainQuery itemQuery(std::string_view service, const std::string& identifier) {
    KeychainQuery q;
    q.service = std::string(service);
    q.account = identifier;
    return q;
}

KeychainQuery labelQuery() {
    KeychainQuery q;
    q.service = std::string(identityService);
    q.label = cliKeyLabel();
    return q;
}

std::string keychainContext(const char* action) {
    const std::filesystem::path& file = Keychain::user().path();
    return file.empty() ? std::string(action) : std::string(action) + " at " + file.string();
}

// A random (version 4) UUID in upper-case canonical form.
std::string newKeyIdentifier() {
    SecureBytes b = random::bytes(16);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);
    std::string text;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", b[i]);
        text += pair;
    }
    return text;
}

// Identifiers of every identity the label has; usually one, more only after an interrupted
// keygen.
std::vector<std::string> identitiesOfLabel() {
    const auto found = Keychain::user().copyAllAttributes(labelQuery());
    if (found.status == KeychainStatus::itemNotFound) return {};
    if (!found.ok()) throw KeychainError(keychainContext("could not read the keychain"), found.status);
    std::vector<std::string> identifiers;
    for (const auto& attributes : found.value) {
        if (attributes.account) identifiers.push_back(*attributes.account);
    }
    return identifiers;
}

// Failures are ignored: whatever is left behind is only ever looked up by its identifier.
void deleteKey(const std::string& identifier) {
    Keychain::user().remove(itemQuery(identityService, identifier));
    Keychain::user().remove(itemQuery(publicKeyService, identifier));
}

// Failures are ignored: a missing cache only costs a key-store lookup next time.
void cachePublicKey(const p256::PublicKey& key, const std::string& identifier) {
    try {
        const Bytes raw = key.raw();
        Keychain& keychain = Keychain::user();
        if (keychain.updateData(itemQuery(publicKeyService, identifier), raw) == KeychainStatus::itemNotFound) {
            KeychainItem item;
            item.service = std::string(publicKeyService);
            item.account = identifier;
            item.accessibility = KeychainAccessibility::whenUnlockedThisDeviceOnly;
            item.data = toSecure(raw);
            keychain.add(item);
        }
    } catch (const std::exception&) {
    }
}

std::optional<p256::PublicKey> cachedPublicKey(const std::string& identifier) {
    const auto found = Keychain::user().copyData(itemQuery(publicKeyService, identifier));
    if (!found.ok() || !found.value || found.value->size() != p256::rawSize) return std::nullopt;
    try {
        return p256::PublicKey::fromRaw(*found.value);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string oneLine(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

[[noreturn]] void fail(std::string_view prefix, const std::exception& error) {
    writeStandardError(std::string(prefix) + oneLine(error.what()) + "\n");
    std::exit(1);
}

std::string publicKeyLine(const p256::PublicKey& key) { return base64URLString(key.compressed()) + "\n"; }

// Peers hold the old key: replacing it by accident cuts them off until they get the new one.
bool confirmReplacement() {
    writeStandardError("Replace the identity " + cliKeyLabel() + "? Peers will need your new key. (yes/no) ");
    std::string answer;
    if (!std::getline(std::cin, answer)) writeStandardError("\n");  // Ctrl-D echoes no line feed
    return answer == "yes";
}

// Every safety code involves the identity, so no mark survives it. On failure the new
// identity is taken out again, leaving the old identity and its marks as they were.
int unverifyContacts(const std::string& newIdentifier) {
    ContactBook contacts(Keychain::user(), cliKeyLabel());
    const KeychainResult<int> cleared = contacts.unverifyAll();
    if (!cleared.ok()) {
        deleteKey(newIdentifier);
        throw KeychainError(keychainContext("could not clear the contacts' verified marks"), cleared.status);
    }
    return cleared.value;
}

std::string unverifiedLine(int count) {
    if (count == 0) return "";
    return std::to_string(count) + (count == 1 ? " contact is" : " contacts are") +
           " no longer verified: every safety code changed with the new key.\n";
}

}  // namespace

const std::string& cliKeyLabel() {
    static const std::string label = [] {
        const char* value = std::getenv(keyLabelVariable);
        return value != nullptr ? std::string(value) : std::string(defaultKeyLabel);
    }();
    return label;
}

std::optional<std::string> findKeyIdentifier() {
    const auto found = Keychain::user().copyAttributes(labelQuery());
    if (found.status == KeychainStatus::itemNotFound) return std::nullopt;
    if (!found.ok()) throw KeychainError(keychainContext("could not read the keychain"), found.status);
    return found.value.account;
}

std::optional<std::string> existingKeyIdentifier() {
    try {
        return findKeyIdentifier();
    } catch (const KeychainError&) {
        return std::nullopt;
    }
}

std::unique_ptr<P256KeyAgreementKey> retrievePrivateKey(const std::string& identifier) {
    const auto found = Keychain::user().copyData(itemQuery(identityService, identifier));
    if (!found.ok() || !found.value) throw KeyManagerError(KeyManagerErrorCode::keyNotFound);
    return IdentityKeyStores::restore(*found.value);
}

p256::PublicKey retrievePublicKey(const std::string& identifier) {
    if (auto cached = cachedPublicKey(identifier)) return *cached;
    const p256::PublicKey key = retrievePrivateKey(identifier)->publicKey();
    cachePublicKey(key, identifier);
    return key;
}

bool isOwnKey(std::string_view peerKey) {
    std::error_code error;
    if (!std::filesystem::exists(Keychain::user().path(), error)) return false;
    const std::optional<std::string> peer = KeyHelpers::compressedP256(peerKey);
    const std::optional<std::string> identifier = existingKeyIdentifier();
    if (!peer || !identifier) return false;
    try {
        return base64URLString(retrievePublicKey(*identifier).compressed()) == *peer;
    } catch (const std::exception&) {
        return false;
    }
}

void keygen(bool force) {
    std::string output;
    try {
        // The old identity goes only once the new one is safely stored.
        const std::vector<std::string> previous = identitiesOfLabel();
        if (!previous.empty() && !force && ::isatty(STDIN_FILENO) == 1 && !confirmReplacement()) {
            writeStandardError("Kept the identity " + cliKeyLabel() + "; no new key was made.\n");
            std::exit(1);
        }
        const char* setting = std::getenv(IdentityKeyStores::storeVariable);
        const IdentityKeyStores::Choice choice =
            IdentityKeyStores::choose(setting != nullptr ? std::optional<std::string_view>(setting) : std::nullopt);
        const std::unique_ptr<P256KeyAgreementKey> key = choice.store->generateP256();

        KeychainItem item;
        item.service = std::string(identityService);
        item.account = newKeyIdentifier();
        item.label = cliKeyLabel();
        item.accessibility = KeychainAccessibility::whenUnlockedThisDeviceOnly;
        item.data = key->dataRepresentation();
        const KeychainStatus status = Keychain::user().add(item);
        secureZero(item.data);
        if (status != KeychainStatus::success) {
            throw KeychainError(keychainContext("could not add the identity key to the keychain"), status);
        }

        const int unverified = unverifyContacts(item.account);
        const p256::PublicKey publicKey = key->publicKey();
        output = publicKeyLine(publicKey);
        cachePublicKey(publicKey, item.account);
        for (const std::string& identifier : previous) deleteKey(identifier);
        writeStandardError(choice.createdLine + "\n" + unverifiedLine(unverified));
    } catch (const std::exception& error) {
        fail("Error generating key: ", error);
    }
    writeStandardOutput(output);
}

void pubkey() {
    std::string output;
    try {
        const std::optional<std::string> identifier = findKeyIdentifier();
        if (!identifier) {
            writeStandardError("No key found. Run 'keygen' first.\n");
            std::exit(1);
        }
        output = publicKeyLine(retrievePublicKey(*identifier));
    } catch (const std::exception& error) {
        fail("Error retrieving key: ", error);
    }
    writeStandardOutput(output);
}

}  // namespace CLIKeyCommands
}  // namespace duoquill::cli
