#pragma once
// The keychain: a per-user store of generic-password items, kept in an SQLite database at
// $XDG_DATA_HOME/duoquill/keychain.db (else $HOME/.local/share/duoquill/keychain.db).
//
// The directory is created with mode 0700 and the file with mode 0600; group and other
// permissions found on either are removed when the keychain is opened. Every operation is one
// transaction and reports a KeychainStatus instead of throwing. Several processes may use the
// same file at once: a writer waits (up to busyTimeout) for another process's transaction
// rather than failing.
//
// An item is identified by (service, account); adding a second item under the same pair is
// refused with duplicateItem. A Keychain object is used from one thread at a time.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Duoquill/Base/SecureBytes.h"

struct sqlite3;

namespace duoquill {

class ContactBook;

// 0 is success and -25300 "item not found"; every other failure has a status of its own.
enum class KeychainStatus : std::int32_t {
    success = 0,
    itemNotFound = -25300,
    duplicateItem = -25299,
    invalidKeychain = -25295,    // the file is damaged or is not a keychain database
    readOnly = -25292,           // the file cannot be written
    notAvailable = -25291,       // the file cannot be opened or created
    busy = -25308,               // another process held the keychain past the busy timeout
    writeRefused = -61,          // the database refused the change
    parameterError = -50,        // the request itself is malformed
    ioError = -36,
    diskFull = -34,
    outOfMemory = -108,
    internalError = -2070,
    foreignOwner = -25244,       // the file or its folder belongs to another user
    linkedLocation = -25247,     // the file or its folder is a symbolic link, or not a plain file
};

// A readable sentence for the status, without the number: "the keychain file is read-only".
std::string describe(KeychainStatus status);

// A keychain status raised as an error by a caller that cannot go on without the keychain.
// what(): "<context>: <description> (status <n>)".
class KeychainError : public std::runtime_error {
public:
    KeychainError(const std::string& context, KeychainStatus status);
    KeychainStatus status() const noexcept { return status_; }

private:
    KeychainStatus status_;
};

// When the item may be read. This build keeps every item in the user's file whatever the
// value; it is stored so that the item carries the same attributes everywhere.
enum class KeychainAccessibility {
    whenUnlockedThisDeviceOnly,
    afterFirstUnlockThisDeviceOnly,
};

// The attributes of a stored item. An attribute whose stored value is not text reads as
// absent, so a tampered item is never mistaken for a valid one.
struct KeychainAttributes {
    std::optional<std::string> service;
    std::optional<std::string> account;
    std::optional<std::string> label;
    std::optional<KeychainAccessibility> accessibility;
};

struct KeychainItem {
    std::string service;
    std::string account;
    std::optional<std::string> label;  // absent: the item has no label
    KeychainAccessibility accessibility = KeychainAccessibility::whenUnlockedThisDeviceOnly;
    SecureBytes data;
};

// Selects items by equality on each attribute that is set; an empty query selects every item.
struct KeychainQuery {
    std::optional<std::string> service;
    std::optional<std::string> account;
    std::optional<std::string> label;
};

template <class T>
struct KeychainResult {
    KeychainStatus status = KeychainStatus::internalError;
    T value{};
    bool ok() const noexcept { return status == KeychainStatus::success; }
};

class Keychain {
public:
    static constexpr std::chrono::milliseconds busyTimeout{10000};

    // A keychain kept in the given file. Nothing is touched until the first operation, which
    // creates the directory and the file when they are missing.
    explicit Keychain(std::filesystem::path file);
    ~Keychain();
    Keychain(const Keychain&) = delete;
    Keychain& operator=(const Keychain&) = delete;

    // The user's keychain file; throws std::runtime_error when no home directory is known.
    static std::filesystem::path defaultPath();
    // The process's keychain at defaultPath(), opened on first use. Without a home directory
    // every operation reports notAvailable.
    static Keychain& user();

    const std::filesystem::path& path() const noexcept { return file_; }
    // Closes the database connection (its cache goes, wiped); the next operation reopens it.
    void close() noexcept;

    // duplicateItem when an item with the same service and account exists.
    KeychainStatus add(const KeychainItem& item);

    // Lookups that match several items give the most recently added one first.

    // The attributes of the newest matching item.
    KeychainResult<KeychainAttributes> copyAttributes(const KeychainQuery& query);
    // The attributes of every matching item, newest first; itemNotFound when there is none.
    KeychainResult<std::vector<KeychainAttributes>> copyAllAttributes(const KeychainQuery& query);
    // The data of the newest matching item. A stored value that is not a byte string gives
    // success with no value.
    KeychainResult<std::optional<SecureBytes>> copyData(const KeychainQuery& query);

    // Replaces the data of every matching item; itemNotFound when none matches.
    KeychainStatus updateData(const KeychainQuery& query, BytesView data);

    // Deletes every matching item; itemNotFound when none matches.
    KeychainStatus remove(const KeychainQuery& query);

private:
    friend class ContactBook;  // keeps its own table in the same file
    class Transaction;
    class Statement;

    // An SQLite result code as the status callers see; shared with the contact table.
    static KeychainStatus statusFromSqlite(int rc);

    KeychainStatus open();
    KeychainStatus initialise();

    std::filesystem::path file_;
    sqlite3* db_ = nullptr;
};

}  // namespace duoquill
