#pragma once
// Saved peers of one identity (a key label): a name, the peer's key as `pubkey` prints it, an
// optional relay and proxy, whether its chats run in the steady mode, whether the key was
// verified by safety code, and the key a replacement superseded until the next chat has shown
// the change.
//
// Kept in a table of its own inside the keychain file, so it shares the file's modes, owner
// checks and wiping; every operation is one write transaction (the table is created by the
// first one).

#include <optional>
#include <string>
#include <vector>

#include "Duoquill/Identity/Keychain.h"

namespace duoquill {

struct Contact {
    std::string name;
    std::string peerKey;
    std::optional<std::string> relay;
    bool verified = false;
    std::optional<std::string> previousKey;
    std::optional<std::string> proxy{};  // a socks5h:// URL
    bool steady = false;
};

class ContactBook {
public:
    ContactBook(Keychain& keychain, std::string identity) : keychain_(keychain), identity_(std::move(identity)) {}

    // itemNotFound when the identity has no contact of that name.
    KeychainResult<Contact> find(const std::string& name);
    // Sorted by name; an empty list is success.
    KeychainResult<std::vector<Contact>> all();
    // Adds the contact or overwrites the one of the same name.
    KeychainStatus save(const Contact& contact);
    // itemNotFound when there was none.
    KeychainStatus remove(const std::string& name);
    // Takes the verified mark off every contact (a new identity changes every safety code);
    // the value is how many had it.
    KeychainResult<int> unverifyAll();

private:
    template <class Work>
    KeychainStatus transaction(Work&& work);

    Keychain& keychain_;
    std::string identity_;
};

}  // namespace duoquill
