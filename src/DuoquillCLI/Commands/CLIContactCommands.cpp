#include "DuoquillCLI/Commands/CLIContactCommands.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <unistd.h>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Identity/ContactBook.h"
#include "Duoquill/Identity/KeyHelpers.h"
#include "Duoquill/Identity/Keychain.h"
#include "Duoquill/Identity/SafetyCode.h"
#include "Duoquill/System/StandardStreams.h"
#include "Duoquill/Transport/Socks5Proxy.h"
#include "DuoquillCLI/Commands/CLIKeyCommands.h"

namespace duoquill::cli::CLIContactCommands {
namespace {

constexpr std::size_t kShownKeyCharacters = 12;
constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

[[noreturn]] void fail(const std::string& line) {
    writeStandardError(line);
    std::exit(1);
}

[[noreturn]] void failKeychain(const std::string& context, KeychainStatus status) {
    fail("Error: " + std::string(KeychainError(context, status).what()) + "\n");
}

ContactBook book() { return ContactBook(Keychain::user(), CLIKeyCommands::cliKeyLabel()); }

std::string shortKey(const std::string& key) { return key.substr(0, kShownKeyCharacters) + std::string(kEllipsis); }

void requireName(const std::string& name) {
    if (KeyHelpers::isValidPublicKey(name)) fail("Error: a contact name cannot be a key\n");
    if (!isValidName(name)) fail("Error: a contact name is 1 to 32 characters of a-z, 0-9, '.', '_' and '-'\n");
}

Contact findOrFail(ContactBook& contacts, const std::string& name) {
    auto found = contacts.find(name);
    if (found.status == KeychainStatus::itemNotFound) fail("Error: no contact named '" + name + "'\n");
    if (!found.ok()) failKeychain("cannot read contacts", found.status);
    return found.value;
}

// Three lines of four groups, easier to read aloud than one line of twelve.
std::string inLines(std::string code) {
    std::size_t spaces = 0;
    for (char& c : code) {
        if (c == ' ' && ++spaces % 4 == 0) c = '\n';
    }
    return code + "\n";
}

}  // namespace

bool isValidName(std::string_view name) {
    if (name.empty() || name.size() > maxNameLength) return false;
    const bool allowed = std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    });
    return allowed && !KeyHelpers::isValidPublicKey(name);
}

void add(const std::vector<std::string>& rest, bool replace, const std::optional<std::string>& proxy,
         std::optional<bool> steady) {
    if (rest.size() < 2 || rest.size() > 3) fail("Error: add requires <name> <peer-pubkey-b64url> [<wss://relay-url>]\n");
    const std::string& name = rest[0];
    requireName(name);
    std::optional<std::string> relay;
    if (rest.size() == 3) {
        if (!rest[2].starts_with("wss://")) fail("Error: relay URL must use wss://\n");
        // `contacts` prints it as saved: no terminal controls pasted with it.
        if (std::any_of(rest[2].begin(), rest[2].end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
            fail("Error: relay URL must not contain control characters\n");
        }
        relay = rest[2];
    }
    if (proxy && !proxy->empty() && !parseProxyUrl(*proxy)) fail("Error: the proxy must be given as socks5h://HOST:PORT\n");
    const auto key = KeyHelpers::isValidPublicKey(rest[1]) ? KeyHelpers::compressedP256(rest[1]) : std::nullopt;
    if (!key) fail("Error: invalid peer public key\n");
    if (CLIKeyCommands::isOwnKey(*key)) fail("Error: that is your own key\n");

    ContactBook contacts = book();
    auto existing = contacts.find(name);
    if (!existing.ok() && existing.status != KeychainStatus::itemNotFound) failKeychain("cannot read contacts", existing.status);
    Contact contact{name, *key, relay, false, std::nullopt};
    if (proxy && !proxy->empty()) contact.proxy = *proxy;
    contact.steady = steady.value_or(false);
    if (existing.ok()) {
        const Contact& old = existing.value;
        if (!proxy) contact.proxy = old.proxy;
        if (!steady) contact.steady = old.steady;
        if (old.peerKey == *key) {
            contact.verified = old.verified;
            contact.previousKey = old.previousKey;
            if (!relay) contact.relay = old.relay;
        } else if (!replace) {
            fail("Error: '" + name + "' is saved with another key (" + shortKey(old.peerKey) +
                 "); add --replace to change it\n");
        } else {
            // The first key replaced is the one the user last chatted with.
            contact.previousKey = old.previousKey ? old.previousKey : old.peerKey;
            if (!relay) contact.relay = old.relay;
        }
    }
    if (auto s = contacts.save(contact); s != KeychainStatus::success) failKeychain("cannot save contact", s);
    writeStandardError((existing.ok() ? "Updated " : "Saved ") + name + "\n");
}

void list() {
    auto all = book().all();
    if (!all.ok()) failKeychain("cannot read contacts", all.status);
    if (all.value.empty()) {
        writeStandardError("No contacts. Add one with: duoquill-cli add <name> <peer-pubkey-b64url> [<wss://relay-url>]\n");
        return;
    }
    std::size_t width = 0;
    for (const auto& c : all.value) width = std::max(width, c.name.size());
    std::string out;
    for (const auto& c : all.value) {
        out += c.name + std::string(width - c.name.size() + 2, ' ') + shortKey(c.peerKey) + "  " + c.relay.value_or("-") +
               "  " + (c.verified ? "verified" : "not verified");
        // Host and port only: a saved URL may hold the proxy's password.
        const auto proxy = c.proxy ? parseProxyUrl(*c.proxy) : std::nullopt;
        out += (proxy ? "  proxy " + proxy->displayName() : std::string()) + (c.steady ? "  steady" : "") + "\n";
    }
    writeStandardOutput(out);
}

void remove(const std::vector<std::string>& operands) {
    if (operands.size() != 1) fail("Error: remove requires <name>\n");
    requireName(operands[0]);
    const auto status = book().remove(operands[0]);
    if (status == KeychainStatus::itemNotFound) fail("Error: no contact named '" + operands[0] + "'\n");
    if (status != KeychainStatus::success) failKeychain("cannot remove contact", status);
    writeStandardError("Removed " + operands[0] + "\n");
}

void verify(const std::vector<std::string>& operands) {
    if (operands.size() != 1) fail("Error: verify requires <name|peer-pubkey-b64url>\n");
    const std::string& target = operands[0];
    ContactBook contacts = book();

    std::string peerKey;
    std::vector<Contact> matching;
    if (auto key = KeyHelpers::isValidPublicKey(target) ? KeyHelpers::compressedP256(target) : std::nullopt) {
        peerKey = *key;
        auto all = contacts.all();
        if (!all.ok()) failKeychain("cannot read contacts", all.status);
        for (auto& c : all.value) {
            if (c.peerKey == peerKey) matching.push_back(std::move(c));
        }
    } else {
        requireName(target);
        matching.push_back(findOrFail(contacts, target));
        peerKey = matching.front().peerKey;
    }

    std::string code;
    try {
        const auto identifier = CLIKeyCommands::findKeyIdentifier();
        if (!identifier) fail("No key found. Run 'keygen' first.\n");
        const p256::PublicKey own = CLIKeyCommands::retrievePublicKey(*identifier);
        if (base64URLString(own.compressed()) == peerKey) fail("Error: that is your own key\n");
        code = SafetyCode::derive(own, KeyHelpers::p256PublicKey(peerKey));
    } catch (const std::exception& e) {
        fail("Error retrieving key: " + std::string(e.what()) + "\n");
    }
    writeStandardOutput(inLines(code));

    const std::string who = matching.empty() ? "your peer" : matching.front().name;
    writeStandardError("Compare this code with the one " + who + " sees. Do they match? (yes/no) ");
    std::string answer;
    const bool answered = static_cast<bool>(std::getline(std::cin, answer));
    if (::isatty(0) == 0) writeStandardError("\n");  // a piped answer is not echoed: end the prompt's line
    if (!answered || answer != "yes") {
        fail("Not verified. If the codes differ, the key you hold is not your peer's.\n");
    }
    if (matching.empty()) {
        writeStandardError("The codes match, but no contact has this key; save it with: duoquill-cli add <name> " + peerKey + "\n");
        return;
    }
    for (auto& c : matching) {
        c.verified = true;
        if (auto s = contacts.save(c); s != KeychainStatus::success) failKeychain("cannot save contact", s);
        writeStandardError(c.name + " is verified.\n");
    }
}

std::optional<SavedChat> resolveChat(const std::vector<std::string>& args) {
    if (args.size() < 3 || !isValidName(args[2])) return std::nullopt;
    // A chat by key never creates a keychain file that is not there yet.
    std::error_code error;
    if (!std::filesystem::exists(Keychain::user().path(), error)) return std::nullopt;
    ContactBook contacts = book();
    auto found = contacts.find(args[2]);
    if (!found.ok()) return std::nullopt;
    Contact& contact = found.value;
    std::string relay;
    if (args.size() >= 4) {
        relay = args[3];
    } else if (contact.relay) {
        relay = *contact.relay;
    } else {
        fail("Error: no relay saved for '" + contact.name + "'; give one: duoquill-cli chat " + contact.name +
             " <wss://relay-url>\n");
    }
    if (contact.previousKey) {
        writeStandardError("Warning: the key saved for '" + contact.name + "' was replaced (was " +
                           shortKey(*contact.previousKey) + ", now " + shortKey(contact.peerKey) +
                           "). Check it with: duoquill-cli verify " + contact.name + "\n");
        contact.previousKey.reset();
        contacts.save(contact);  // a failure only means the warning shows again next time
    }
    return SavedChat{{args[0], args[1], contact.peerKey, relay}, contact.proxy, contact.steady};
}

}  // namespace duoquill::cli::CLIContactCommands
