// The keychain file: items, statuses, file modes, damaged and foreign files, and several
// writers at once. Then `keygen` and `pubkey` through the real binary (file modes, the label
// from the environment, the printed key and errors), each test with a fresh home directory;
// and the lookups the chat client and `pubkey` make, with damaged items, in-process against a
// keychain the binary wrote.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Identity/KeyHelpers.h"
#include "Duoquill/Identity/Keychain.h"
#include "DuoquillCLI/Commands/CLIKeyCommands.h"
#include "Kit/Paths.h"
#include "Kit/Process.h"

namespace duoquill::test {
namespace {

// Runs SQL on the file, the way another program (or a damaged disk) could, and returns the
// first column of every row, as text (NULL as "").
std::vector<std::string> sql(const std::filesystem::path& file, const std::string& statements) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK) << file;
    sqlite3_busy_timeout(db, 5000);
    std::vector<std::string> rows;
    const auto collect = [](void* out, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(out)->emplace_back(values[0] != nullptr ? values[0] : "");
        return 0;
    };
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, statements.c_str(), collect, &rows, &message), SQLITE_OK)
        << statements << ": " << (message != nullptr ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
    return rows;
}

long long count(const std::filesystem::path& file, const std::string& where) {
    return std::stoll(sql(file, "SELECT count(*) FROM items WHERE " + where).at(0));
}

unsigned mode(const std::filesystem::path& path) { return static_cast<unsigned>(std::filesystem::status(path).permissions()); }

KeychainQuery query(std::optional<std::string> service, std::optional<std::string> account = {},
                    std::optional<std::string> label = {}) {
    return {std::move(service), std::move(account), std::move(label)};
}

KeychainItem item(std::string service, std::string account, std::optional<std::string> label, Bytes data) {
    return {std::move(service), std::move(account), std::move(label), KeychainAccessibility::whenUnlockedThisDeviceOnly,
            toSecure(data)};
}

class KeychainTest : public ::testing::Test {
protected:
    TempDir home;
    std::filesystem::path file = home.path() / "data" / "duoquill" / "keychain.db";
};

TEST_F(KeychainTest, IsOwnerOnlyFromTheFirstWriteTightensLooserModesAndRefusesLinkedOrForeignFiles) {
    Keychain keychain(file);
    EXPECT_FALSE(std::filesystem::exists(file));  // nothing happens before the first operation
    // Even under the loosest umask, and before any reopen could tighten it.
    const mode_t umask = ::umask(0);
    const KeychainStatus added = keychain.add(item("s", "a", "l", {1, 2, 3}));
    ::umask(umask);
    EXPECT_EQ(added, KeychainStatus::success);
    const auto modes = [&] { return std::tuple(mode(file), mode(file.parent_path()), mode(file.parent_path().parent_path())); };
    EXPECT_EQ(modes(), std::tuple(0600u, 0700u, 0700u));
    keychain.close();
    std::filesystem::permissions(file, std::filesystem::perms(0664));
    std::filesystem::permissions(file.parent_path(), std::filesystem::perms(0775));
    EXPECT_TRUE(Keychain(file).copyData(query("s", "a")).ok());
    EXPECT_EQ(modes(), std::tuple(0600u, 0700u, 0700u));

    // A link in the file's place is neither followed nor has its target's mode changed.
    const auto elsewhere = home.path() / "elsewhere.db";
    std::filesystem::rename(file, elsewhere);
    std::filesystem::permissions(elsewhere, std::filesystem::perms(0644));
    std::filesystem::create_symlink(elsewhere, file);
    EXPECT_EQ(Keychain(file).add(item("s", "b", "l", {4})), KeychainStatus::linkedLocation);
    EXPECT_EQ(mode(elsewhere), 0644u);
    std::filesystem::remove(file);
    // Nor is a link in the folder's place, whatever the file it leads to holds.
    const auto folder = file.parent_path(), otherFolder = home.path() / "other-folder";
    std::filesystem::rename(folder, otherFolder);
    std::filesystem::permissions(otherFolder, std::filesystem::perms(0755));
    std::filesystem::create_directory_symlink(otherFolder, folder);
    EXPECT_EQ(Keychain(file).add(item("s", "b", "l", {4})), KeychainStatus::linkedLocation);
    EXPECT_EQ(mode(otherFolder), 0755u);
    std::filesystem::remove(folder);
    std::filesystem::rename(otherFolder, folder);
    std::filesystem::permissions(folder, std::filesystem::perms(0700));

    // A keychain planted by another user in a shared folder is never written to.
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    std::filesystem::rename(elsewhere, file);
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    std::filesystem::permissions(file, std::filesystem::perms(0666));
    const std::string before = readFile(file);
    EXPECT_EQ(Keychain(file).add(item("s", "c", "l", {5})), KeychainStatus::foreignOwner);
    EXPECT_EQ(readFile(file), before);
    EXPECT_EQ(mode(file), 0666u);
    ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
    ASSERT_EQ(::chown(file.parent_path().c_str(), 65534, 65534), 0);  // a folder of another user
    EXPECT_EQ(Keychain(file).add(item("s", "c", "l", {5})), KeychainStatus::foreignOwner);
}

// Updates, and adding the item an update did not find, are in ChatClientLookups.
TEST_F(KeychainTest, AddFindDeleteAndValuesOfTheWrongTypeReadAsAbsent) {
    Keychain keychain(file);
    EXPECT_EQ(keychain.add(item("svc", "acct-1", "work", {0xde, 0xad})), KeychainStatus::success);
    EXPECT_EQ(keychain.add(item("svc.pub", "acct-1", std::nullopt, {0xbe, 0xef})), KeychainStatus::success);
    const auto found = keychain.copyAttributes(query("svc", std::nullopt, "work")).value;
    EXPECT_EQ(found.account, "acct-1");
    EXPECT_EQ(found.accessibility, KeychainAccessibility::whenUnlockedThisDeviceOnly);
    EXPECT_EQ(keychain.copyData(query("svc.pub", "acct-1")).value, toSecure(Bytes{0xbe, 0xef}));
    // Unlabelled items never match a label, not even the empty one.
    EXPECT_EQ(keychain.copyAttributes(query(std::nullopt, std::nullopt, "")).status, KeychainStatus::itemNotFound);

    // The first item's data, kept when a second one of the same service and account is refused.
    EXPECT_EQ(keychain.add(item("svc", "acct-1", "other", {9})), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.copyData(query("svc", "acct-1")).value, toSecure(Bytes{0xde, 0xad}));

    EXPECT_EQ(keychain.remove(query("svc", "acct-1")), KeychainStatus::success);
    EXPECT_EQ(keychain.copyData(query("svc", "acct-1")).status, KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.remove(query("svc", "acct-1")), KeychainStatus::itemNotFound);
    // The same account of another service stays.
    EXPECT_TRUE(keychain.copyData(query("svc.pub", "acct-1")).ok());
    // Empty data is a byte string of its own, not a missing value.
    ASSERT_EQ(keychain.add(item("svc", "empty", "work", {})), KeychainStatus::success);
    EXPECT_EQ(keychain.copyData(query("svc", "empty")).value, std::optional(SecureBytes{}));

    // Values of the wrong type, written by another program, read as absent.
    ASSERT_EQ(keychain.add(item("raw", "a", "l", {1, 2})), KeychainStatus::success);
    ASSERT_EQ(keychain.add(item("raw", "b", "l", {1, 2})), KeychainStatus::success);
    sql(file, "UPDATE items SET data = 'not bytes', accessible = 'Always' WHERE account = 'a';"
              "UPDATE items SET account = X'6200' WHERE account = 'b';");
    const auto data = keychain.copyData(query("raw", "a"));
    EXPECT_TRUE(data.ok() && !data.value.has_value());
    const auto all = keychain.copyAllAttributes(query("raw"));
    ASSERT_EQ(all.value.size(), 2u);
    EXPECT_FALSE(all.value[1].accessibility.has_value());
    EXPECT_FALSE(all.value[0].account.has_value());
}

TEST_F(KeychainTest, DamagedForeignAndUnusableFilesAreRefused) {
    ASSERT_EQ(Keychain(file).add(item("s", "first", "l", {1})), KeychainStatus::success);
    sql(file, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40) "
              "INSERT INTO items (service, account, label, accessible, data) "
              "SELECT 's', 'a' || i, 'l', 'WhenUnlockedThisDeviceOnly', randomblob(500) FROM n");
    std::string bytes = readFile(file);
    ASSERT_GT(bytes.size(), 8192u);
    std::fill(bytes.begin() + 4096, bytes.end(), '\xff');  // every page but the first
    std::ofstream(file, std::ios::binary) << bytes;
    const auto status = Keychain(file).copyAllAttributes({}).status;
    EXPECT_NE(status, KeychainStatus::success);
    EXPECT_NE(status, KeychainStatus::itemNotFound);

    // Another program's database is neither adopted nor changed.
    std::filesystem::resize_file(file, 0);
    sql(file, "CREATE TABLE notes (body TEXT); INSERT INTO notes VALUES ('keep me');");
    EXPECT_EQ(Keychain(file).add(item("s", "a", "l", {1})), KeychainStatus::invalidKeychain);
    EXPECT_EQ(sql(file, "SELECT count(*) FROM sqlite_master"), std::vector<std::string>{"1"});
    EXPECT_EQ(Keychain("").copyData({}).status, KeychainStatus::notAvailable);
}

TEST_F(KeychainTest, ConcurrentWritersNeitherFailNorCollide) {
    // Each connection locks the file like a separate process would.
    constexpr int kRounds = 12;
    std::atomic<int> failures{0};
    auto writer = [&](const std::string& label) {
        Keychain keychain(file);
        for (int i = 0; i < kRounds; ++i) {
            const std::string account = label + std::to_string(i);
            failures += keychain.add(item("svc", account, label, Bytes(64, 1))) != KeychainStatus::success;
            failures += keychain.updateData(query("svc", account), Bytes(32, 1)) != KeychainStatus::success;
            failures += i % 2 == 0 && keychain.remove(query("svc", account)) != KeychainStatus::success;
        }
    };
    { const std::jthread a(writer, "alpha"), b(writer, "beta"); }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(count(file, "label = 'alpha'"), kRounds / 2);
    EXPECT_EQ(count(file, "label = 'beta'"), kRounds / 2);
    EXPECT_EQ(count(file, "length(data) <> 32"), 0);
}

const std::string kNoKey = "No key found. Run 'keygen' first.\n";
const std::string kIdentity = "service = 'com.duoquill.cli.p256'";
const std::string kCache = "service = 'com.duoquill.cli.p256.pub'";

// The cache item holds the raw 64-byte form of the key that was printed.
void expectCacheOf(const std::filesystem::path& keychain, const std::string& printed) {
    EXPECT_EQ(sql(keychain, "SELECT lower(hex(data)) FROM items WHERE " + kCache),
              std::vector<std::string>{hexString(KeyHelpers::p256PublicKey(printed).raw())});
}

// A software store, and no label but `label`.
ProcessOptions cliOptions(std::map<std::string, std::string> environment, const std::optional<std::string>& label) {
    ProcessOptions options;
    options.environment = std::move(environment);
    options.unsetEnvironment = {"XDG_DATA_HOME", "DUOQUILL_KEY_LABEL"};
    options.environment.try_emplace("DUOQUILL_KEY_STORE", "software");
    if (label) options.environment["DUOQUILL_KEY_LABEL"] = *label;
    return options;
}

class KeyCommands : public ::testing::Test {
protected:
    TempDir home;
    std::filesystem::path keychain = home.path() / ".local" / "share" / "duoquill" / "keychain.db";

    // A command that must succeed: the key it printed, without the line feed.
    std::string key(const std::string& command, const std::optional<std::string>& label = std::nullopt) const {
        const auto r = runProcess(cliPath().string(), {command}, cliOptions({{"HOME", home.str()}}, label));
        EXPECT_EQ(r.exitStatus, 0) << r.standardError;
        EXPECT_EQ(r.standardError, command == "keygen" ? "identity key created in software\n" : "");
        EXPECT_TRUE(r.standardOutput.size() == 45 && r.standardOutput.back() == '\n') << r.standardOutput;
        return r.standardOutput.substr(0, 44);
    }
    // A failing command: status 1, nothing on standard output; its standard error.
    std::string failure(const std::string& command, const std::optional<std::string>& label = std::nullopt) const {
        const auto r = runProcess(cliPath().string(), {command}, cliOptions({{"HOME", home.str()}}, label));
        EXPECT_EQ(std::pair(r.exitStatus, r.standardOutput), std::pair(1, std::string()));
        return r.standardError;
    }
    std::vector<std::string> accounts(const std::string& where) const {
        return sql(keychain, "SELECT account FROM items WHERE " + where);
    }
};

TEST_F(KeyCommands, KeygenStoresTwoLinkedItemsThatPubkeyReadsAndAFailedKeygenKeepsTheOldIdentity) {
    EXPECT_EQ(failure("pubkey"), kNoKey);
    const std::string printed = key("keygen");
    EXPECT_EQ(key("pubkey"), printed);
    EXPECT_EQ(std::tuple(mode(home.path() / ".local"), mode(keychain.parent_path()), mode(keychain)),
              std::tuple(0700u, 0700u, 0600u));
    // Its account is a random UUID in upper case: version 4, and 8, 9, A or B where the variant goes.
    std::string uuid;
    for (const char c : std::string_view("xxxxxxxx-xxxx-4xxx-vxxx-xxxxxxxxxxxx")) uuid += c == 'x' ? "[0-9A-F]" : c == 'v' ? "[89AB]" : std::string(1, c);
    const auto identity = accounts(kIdentity + " AND label = 'cli' AND account GLOB '" + uuid + "'");
    ASSERT_EQ(identity.size(), 1u) << "no identity item with a version-4 UUID";
    EXPECT_EQ(accounts(kCache + " AND label IS NULL"), identity);
    expectCacheOf(keychain, printed);

    // Again: the old identity and its cache go. That the new key differs and is the one
    // `pubkey` prints is shown below, with the third.
    const std::string second = key("keygen");
    const auto secondIdentity = accounts(kIdentity);
    ASSERT_EQ(secondIdentity.size(), 1u);
    EXPECT_EQ(accounts(kCache), secondIdentity);
    expectCacheOf(keychain, second);

    // A refused identity item fails keygen and keeps the old identity; a refused cache item or
    // deletion of the old identity is silent, and the new identity is the one in use.
    const auto refuse = [&](const std::string& name, const std::string& when) {
        sql(keychain, "CREATE TRIGGER " + name + " BEFORE " + when + " BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    };
    refuse("identity", "INSERT ON items WHEN NEW." + kIdentity);
    EXPECT_EQ(failure("keygen"), "Error generating key: could not add the identity key to the keychain at " +
                                     keychain.string() + ": the keychain refused the change (status -61)\n");
    EXPECT_EQ(key("pubkey"), second);
    EXPECT_EQ(accounts(kIdentity), secondIdentity);
    EXPECT_EQ(accounts(kCache), secondIdentity);

    sql(keychain, "DROP TRIGGER identity");
    refuse("cache", "INSERT ON items WHEN NEW." + kCache);
    refuse("deletion", "DELETE ON items");
    const std::string fresh = key("keygen");
    EXPECT_NE(fresh, second);
    EXPECT_EQ(count(keychain, kIdentity), 2);  // the stale identity stays behind
    EXPECT_EQ(key("pubkey"), fresh);
}

// Only "yes" at the question replaces an identity; --force, and a standard input that is not a
// terminal (a script, as above), replace without asking.
TEST_F(KeyCommands, KeygenOnATerminalAsksBeforeReplacingAnIdentity) {
    const auto inTerminal = [&](const std::vector<std::string>& arguments, const std::string& answer) {
        auto options = cliOptions({{"HOME", home.str()}}, std::nullopt);
        options.terminal = true;
        RunningProcess keygen(cliPath().string(), arguments, options);
        if (!answer.empty()) {
            const auto asked = [](const std::string& shown) {
                return shown.find("Replace the identity cli? Peers will need your new key. (yes/no) ") != std::string::npos;
            };
            EXPECT_TRUE(keygen.waitForStandardError(asked, std::chrono::seconds(20))) << keygen.standardError();
            keygen.write(answer);
        }
        const auto status = keygen.waitForExit();
        keygen.waitForEndOfOutput();
        return std::pair(status.value_or(-1), keygen.standardError());
    };
    EXPECT_EQ(inTerminal({"keygen"}, "").first, 0);  // nothing to replace: no question
    const std::string first = key("pubkey");
    for (const std::string answer : {"no\n", "y\n", "YES\n", "yes please\n", "\n", "\x04"}) {
        SCOPED_TRACE(answer);
        const auto [status, shown] = inTerminal({"keygen"}, answer);
        EXPECT_TRUE(status == 1 && shown.find("Kept the identity cli; no new key was made.") != std::string::npos) << shown;
    }
    EXPECT_EQ(key("pubkey"), first);
    EXPECT_EQ(count(keychain, kIdentity), 1);

    const auto [replaced, replacedShown] = inTerminal({"keygen"}, "yes\n");
    const std::string second = key("pubkey");
    EXPECT_TRUE(replaced == 0 && second != first && replacedShown.find(second) != std::string::npos) << replacedShown;
    const auto [forced, forcedShown] = inTerminal({"keygen", "--force"}, "");
    EXPECT_TRUE(forced == 0 && forcedShown.find("Replace the identity") == std::string::npos) << forcedShown;
    EXPECT_NE(key("pubkey"), second);
    EXPECT_EQ(count(keychain, kIdentity), 1);
}

TEST_F(KeyCommands, EachLabelHasItsOwnIdentity) {
    const std::string alice = key("keygen", "alice");
    EXPECT_EQ(key("pubkey", "alice"), alice);
    EXPECT_EQ(failure("pubkey"), kNoKey);
    // The empty label is neither unset nor "cli"; a keygen under one label keeps the others.
    const std::string cli = key("keygen");
    EXPECT_EQ(failure("pubkey", ""), kNoKey);
    const std::string empty = key("keygen", "");
    EXPECT_NE(empty, cli);
    EXPECT_EQ(key("pubkey", ""), empty);
    EXPECT_EQ(key("pubkey"), cli);
    EXPECT_EQ(count(keychain, kIdentity + " AND label = ''"), 1);
    EXPECT_EQ(std::pair(count(keychain, kIdentity), count(keychain, kCache)), std::pair(3ll, 3ll));
}

TEST_F(KeyCommands, DamagedOrUnusableKeychainsAreReportedAndNeverReplaced) {
    key("keygen");
    const std::string garbage(8192, '\x7f');
    std::ofstream(keychain, std::ios::binary) << garbage;
    const auto bothFail = [&](const std::string& reason) {
        EXPECT_EQ(failure("pubkey"), "Error retrieving key: could not read the keychain at " + keychain.string() + reason);
        EXPECT_EQ(failure("keygen"), "Error generating key: could not read the keychain at " + keychain.string() + reason);
    };
    bothFail(": the keychain file is damaged or is not a keychain (status -25295)\n");
    EXPECT_EQ(readFile(keychain), garbage);

    std::filesystem::remove(keychain);
    std::filesystem::create_directories(keychain);  // a directory where the file should be
    const std::string unusable = ": the keychain file or its folder is a symbolic link or not a plain file (status -25247)\n";
    bothFail(unusable);
    std::filesystem::remove_all(keychain.parent_path());
    std::ofstream(keychain.parent_path()) << "a file where the directory should be";
    bothFail(unusable);
}

// What the chat client does at start-up, in this process, on a keychain the binary made.
TEST(ChatClientLookups, FindTheIdentityAndAgreeOnKeys) {
    static TempDir dataHome;  // the process keeps its keychain and label for good
    ASSERT_EQ(::setenv("XDG_DATA_HOME", dataHome.str().c_str(), 1), 0);
    ASSERT_EQ(::setenv("DUOQUILL_KEY_LABEL", "lookups", 1), 0);
    namespace keys = cli::CLIKeyCommands;
    EXPECT_EQ(keys::existingKeyIdentifier(), std::nullopt);
    const auto r =
        runProcess(cliPath().string(), {"keygen"}, cliOptions({{"XDG_DATA_HOME", dataHome.str()}}, "lookups"));
    ASSERT_EQ(r.exitStatus, 0) << r.standardError;
    const std::string printed = r.standardOutput.substr(0, 44);

    const auto identifier = keys::existingKeyIdentifier();
    ASSERT_TRUE(identifier && keys::findKeyIdentifier() == identifier);
    const auto publicKey = [&] { return base64URLString(keys::retrievePublicKey(*identifier).compressed()); };
    EXPECT_EQ(publicKey(), printed);
    const auto peer = p256::PrivateKey::generate();
    EXPECT_EQ(keys::retrievePrivateKey(*identifier)->sharedSecret(peer.publicKey()),
              peer.sharedSecret(KeyHelpers::p256PublicKey(printed)));

    // A missing or broken cache is rebuilt from the private key.
    const auto keychain = dataHome.path() / "duoquill" / "keychain.db";
    sql(keychain, "DELETE FROM items WHERE " + kCache);
    EXPECT_EQ(publicKey(), printed);
    expectCacheOf(keychain, printed);
    const std::string raw = hexString(KeyHelpers::p256PublicKey(printed).raw());
    for (const std::string& garbage : {"X'" + std::string(128, '0') + "'", "X'04" + raw + "'", std::string("X'0102'"),
                                      std::string("'text'"), std::string("X''")}) {
        sql(keychain, "UPDATE items SET data = " + garbage + " WHERE " + kCache);
        EXPECT_EQ(publicKey(), printed) << garbage;
        expectCacheOf(keychain, printed);
    }

    // A damaged identity item is never trusted, nor taken for a missing one.
    sql(keychain, "DELETE FROM items WHERE " + kCache + "; UPDATE items SET data = X'0011' WHERE " + kIdentity);
    EXPECT_THROW(keys::retrievePublicKey(*identifier), CryptoError);
    sql(keychain, "UPDATE items SET data = 'not bytes' WHERE " + kIdentity);
    // keyNotFound (its what() is the case's name) is what `pubkey` prints after "Error retrieving key: ".
    for (const std::string& lookup : {*identifier, std::string("00000000-0000-4000-8000-000000000000")}) {
        EXPECT_THAT([&] { keys::retrievePublicKey(lookup); },
                    ::testing::ThrowsMessage<cli::KeyManagerError>(::testing::StrEq("keyNotFound")))
            << lookup;
    }
}

}  // namespace
}  // namespace duoquill::test
