// `keygen` and `pubkey` through the real binary (file modes, the label from the environment,
// the printed key and errors), each test with a fresh home directory; the lookups the chat
// client and `pubkey` make, with damaged items, in-process against a keychain the binary wrote.

#include <gtest/gtest.h>

#include <cstdlib>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Utilities/KeyHelpers.h"
#include "DuoquillCLI/CLIKeyCommands.h"
#include "KeychainFile.h"
#include "Kit/Paths.h"
#include "Kit/Process.h"

namespace duoquill::test {
namespace {

const std::string kNoKey = "No key found. Run 'keygen' first.\n";
const std::string kIdentity = "service = 'com.duoquill.cli.p256'";
const std::string kCache = "service = 'com.duoquill.cli.p256.pub'";

// The cache item holds the raw 64-byte form of the key that was printed.
void expectCacheOf(const std::filesystem::path& keychain, const std::string& printed) {
    EXPECT_EQ(sql(keychain, "SELECT lower(hex(data)) FROM items WHERE " + kCache),
              std::vector<std::string>{hexString(KeyHelpers::p256PublicKey(printed).raw())});
}

ProcessResult runCli(const std::string& command, std::map<std::string, std::string> environment,
                     const std::optional<std::string>& label) {
    ProcessOptions options;
    options.environment = std::move(environment);
    options.unsetEnvironment = {"XDG_DATA_HOME", "DUOQUILL_KEY_LABEL"};
    if (label) options.environment["DUOQUILL_KEY_LABEL"] = *label;
    return runProcess(cliPath().string(), {command}, options);
}

class KeyCommands : public ::testing::Test {
protected:
    TempDir home;
    std::filesystem::path keychain = home.path() / ".local" / "share" / "duoquill" / "keychain.db";

    ProcessResult run(const std::string& command, const std::optional<std::string>& label = std::nullopt) const {
        return runCli(command, {{"HOME", home.str()}}, label);
    }
    // A command that must succeed: the key it printed, without the line feed.
    std::string key(const std::string& command, const std::optional<std::string>& label = std::nullopt) const {
        const auto r = run(command, label);
        EXPECT_EQ(r.exitStatus, 0) << r.standardError;
        EXPECT_EQ(r.standardError, "");
        EXPECT_EQ(r.standardOutput.size(), 45u);
        EXPECT_EQ(r.standardOutput.back(), '\n');
        return r.standardOutput.substr(0, r.standardOutput.find('\n'));
    }
    // A failing command: status 1, nothing on standard output; its standard error.
    std::string failure(const std::string& command, const std::optional<std::string>& label = std::nullopt) const {
        const auto r = run(command, label);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.standardOutput, "");
        return r.standardError;
    }
    std::vector<std::string> accounts(const std::string& where) const {
        return sql(keychain, "SELECT account FROM items WHERE " + where);
    }
};

TEST_F(KeyCommands, KeygenStoresTwoLinkedItemsThatPubkeyReads) {
    EXPECT_EQ(failure("pubkey"), kNoKey);
    const std::string printed = key("keygen");
    EXPECT_EQ(base64URLString(KeyHelpers::p256PublicKey(printed).compressed()), printed);  // the compressed form
    EXPECT_EQ(key("pubkey"), printed);
    EXPECT_EQ(mode(home.path() / ".local"), 0700u);
    EXPECT_EQ(mode(keychain.parent_path()), 0700u);
    EXPECT_EQ(mode(keychain), 0600u);
    const auto identity = accounts(kIdentity + " AND label = 'cli'");
    ASSERT_EQ(identity.size(), 1u);
    // A random (version 4, RFC 4122 variant) UUID in upper case.
    // An upper-case version-4 UUID: 8-4-4-4-12 hex digits, "4" and then 8, 9, A or B where they go.
    const std::string& uuid = identity[0];
    bool wellFormed = uuid.size() == 36 && uuid[14] == '4' && std::string_view("89AB").find(uuid[19]) != std::string_view::npos;
    for (std::size_t i = 0; wellFormed && i < uuid.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        wellFormed = dash ? uuid[i] == '-' : std::string_view("0123456789ABCDEF").find(uuid[i]) != std::string_view::npos;
    }
    EXPECT_TRUE(wellFormed) << uuid;
    EXPECT_EQ(accounts(kCache + " AND label IS NULL"), identity);
    expectCacheOf(keychain, printed);

    // Again: a new key under a new identifier, still one item of each kind.
    const std::string second = key("keygen");
    EXPECT_NE(second, printed);
    EXPECT_EQ(key("pubkey"), second);
    const auto secondIdentity = accounts(kIdentity);
    ASSERT_EQ(secondIdentity.size(), 1u);
    EXPECT_NE(secondIdentity, identity);
    EXPECT_EQ(accounts(kCache), secondIdentity);
    expectCacheOf(keychain, second);
}

TEST_F(KeyCommands, EachLabelHasItsOwnIdentity) {
    const std::string alice = key("keygen", "alice"), bob = key("keygen", "bob");
    EXPECT_NE(alice, bob);
    EXPECT_EQ(key("pubkey", "alice"), alice);
    EXPECT_EQ(key("pubkey", "bob"), bob);
    EXPECT_EQ(failure("pubkey"), kNoKey);
    // The empty label is neither unset nor "cli".
    const std::string cli = key("keygen");
    EXPECT_EQ(failure("pubkey", ""), kNoKey);
    const std::string empty = key("keygen", "");
    EXPECT_NE(empty, cli);
    EXPECT_EQ(key("pubkey", ""), empty);
    EXPECT_EQ(key("pubkey"), cli);
    EXPECT_EQ(count(keychain, kIdentity + " AND label = ''"), 1);
    EXPECT_EQ(count(keychain, kIdentity), 4);
    EXPECT_EQ(count(keychain, kCache), 4);
}

// A refused identity item fails keygen and keeps the old identity; a refused cache item or
// deletion of the old identity is silent, and the new identity is the one in use.
TEST_F(KeyCommands, FailedKeygenKeepsTheOldIdentity) {
    const std::string old = key("keygen");
    const auto oldIdentity = accounts(kIdentity);
    const auto refuse = [&](const std::string& name, const std::string& when) {
        sql(keychain, "CREATE TRIGGER " + name + " BEFORE " + when + " BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    };
    refuse("identity", "INSERT ON items WHEN NEW." + kIdentity);
    EXPECT_EQ(failure("keygen"), "Error generating key: could not add the identity key to the keychain at " +
                                     keychain.string() + ": the keychain refused the change (status -61)\n");
    EXPECT_EQ(key("pubkey"), old);
    EXPECT_EQ(accounts(kIdentity), oldIdentity);
    EXPECT_EQ(accounts(kCache), oldIdentity);

    sql(keychain, "DROP TRIGGER identity");
    refuse("cache", "INSERT ON items WHEN NEW." + kCache);
    refuse("deletion", "DELETE ON items");
    const std::string fresh = key("keygen");
    EXPECT_NE(fresh, old);
    EXPECT_EQ(count(keychain, kIdentity), 2);  // the stale identity stays behind
    EXPECT_EQ(key("pubkey"), fresh);
}

TEST_F(KeyCommands, DamagedOrUnusableKeychainsAreReportedAndNeverReplaced) {
    key("keygen");
    const std::string garbage(8192, '\x7f');
    writeFile(keychain, garbage);
    const std::string damaged = keychain.string() + ": the keychain file is damaged or is not a keychain (status -25295)\n";
    EXPECT_EQ(failure("pubkey"), "Error retrieving key: could not read the keychain at " + damaged);
    EXPECT_EQ(failure("keygen"), "Error generating key: could not read the keychain at " + damaged);
    EXPECT_EQ(readFile(keychain), garbage);

    std::filesystem::remove(keychain);
    std::filesystem::create_directories(keychain);  // a directory where the file should be
    const std::string unusable =
        keychain.string() + ": the keychain file or its folder is a symbolic link or not a plain file (status -25247)\n";
    EXPECT_EQ(failure("pubkey"), "Error retrieving key: could not read the keychain at " + unusable);
    EXPECT_EQ(failure("keygen"), "Error generating key: could not read the keychain at " + unusable);
    std::filesystem::remove_all(keychain.parent_path());
    writeFile(keychain.parent_path(), "a file where the directory should be");
    EXPECT_EQ(failure("keygen"), "Error generating key: could not read the keychain at " + unusable);
}

// What the chat client does at start-up, in this process, on a keychain the binary made.
TEST(ChatClientLookups, FindTheIdentityAndAgreeOnKeys) {
    static TempDir dataHome;  // the process keeps its keychain and label for good
    ASSERT_EQ(::setenv("XDG_DATA_HOME", dataHome.str().c_str(), 1), 0);
    ASSERT_EQ(::setenv("DUOQUILL_KEY_LABEL", "lookups", 1), 0);
    namespace keys = cli::CLIKeyCommands;
    EXPECT_EQ(keys::existingKeyIdentifier(), std::nullopt);
    const auto r = runCli("keygen", {{"XDG_DATA_HOME", dataHome.str()}}, "lookups");
    ASSERT_EQ(r.exitStatus, 0) << r.standardError;
    const std::string printed = r.standardOutput.substr(0, 44);

    EXPECT_EQ(keys::cliKeyLabel(), "lookups");
    const auto identifier = keys::existingKeyIdentifier();
    ASSERT_TRUE(identifier);
    EXPECT_EQ(keys::findKeyIdentifier(), identifier);
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
    for (const std::string& lookup : {*identifier, std::string("00000000-0000-4000-8000-000000000000")}) {
        try {
            keys::retrievePublicKey(lookup);
            ADD_FAILURE() << "no error for " << lookup;
        } catch (const cli::KeyManagerError& error) {
            EXPECT_EQ(error.code(), cli::KeyManagerErrorCode::keyNotFound);
            EXPECT_STREQ(error.what(), "keyNotFound");  // what `pubkey` prints after "Error retrieving key: "
        }
    }
}

}  // namespace
}  // namespace duoquill::test
