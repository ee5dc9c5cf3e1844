// `keygen` and `pubkey` through the real binary, each test with a fresh home directory, and
// the lookups the chat client makes, in-process against a keychain the binary wrote.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Keychain.h"
#include "Duoquill/Utilities/KeyHelpers.h"
#include "DuoquillCLI/CLIKeyCommands.h"
#include "KeychainFile.h"
#include "Support/Paths.h"
#include "Support/Process.h"

namespace duoquill::test {
namespace {

const std::string kNoKey = "No key found. Run 'keygen' first.\n";
const std::string kIdentity = "service = 'com.duoquill.cli.p256'";
const std::string kCache = "service = 'com.duoquill.cli.p256.pub'";

std::string upperHex(BytesView bytes) {
    std::string h = hexString(bytes);
    for (auto& c : h) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return h;
}

// Canonical upper-case text of a random (version 4, RFC 4122 variant) UUID.
bool isUpperCaseUuid(const std::string& s) {
    if (s.size() != 36) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : std::string_view("0123456789ABCDEF").find(s[i]) == std::string_view::npos) return false;
    }
    return s[14] == '4' && std::string_view("89AB").find(s[19]) != std::string_view::npos;
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

    long long count(const std::string& where) const {
        return queryInteger(keychain, "SELECT count(*) FROM items WHERE " + where);
    }
    std::vector<std::string> accounts(const std::string& where) const {
        return queryTexts(keychain, "SELECT account FROM items WHERE " + where);
    }
    std::string cachedHex() const {
        const auto rows = queryTexts(keychain, "SELECT hex(data) FROM items WHERE " + kCache);
        return rows.size() == 1 ? rows.front() : "(" + std::to_string(rows.size()) + " cache items)";
    }
    static std::string rawHex(const std::string& printed) { return upperHex(KeyHelpers::p256PublicKey(printed).raw()); }

    // A failing command: status 1, nothing on standard output, one line on standard error.
    std::string failure(const std::string& command) const {
        const auto r = run(command);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.standardOutput, "");
        EXPECT_EQ(std::count(r.standardError.begin(), r.standardError.end(), '\n'), 1) << r.standardError;
        return r.standardError;
    }
};

TEST_F(KeyCommands, PubkeyBeforeKeygenFindsNothing) {
    const auto r = run("pubkey");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.standardError, kNoKey);
    EXPECT_EQ(r.standardOutput, "");
}

TEST_F(KeyCommands, KeygenStoresTwoLinkedItemsThatPubkeyReads) {
    const std::string printed = key("keygen");
    EXPECT_EQ(printed.find('='), std::string::npos);
    const auto bytes = bytesFromBase64URLString(printed);
    ASSERT_TRUE(bytes);
    ASSERT_EQ(bytes->size(), 33u);
    EXPECT_TRUE((*bytes)[0] == 0x02 || (*bytes)[0] == 0x03);
    EXPECT_EQ(key("pubkey"), printed);

    EXPECT_EQ(permissions(keychain.parent_path()), 0700u);
    EXPECT_EQ(permissions(keychain), 0600u);
    const auto identity = accounts(kIdentity + " AND label = 'cli'");
    ASSERT_EQ(identity.size(), 1u);
    EXPECT_TRUE(isUpperCaseUuid(identity[0])) << identity[0];
    EXPECT_EQ(accounts(kCache + " AND label IS NULL"), identity);
    EXPECT_EQ(cachedHex(), rawHex(printed));
}

TEST_F(KeyCommands, KeygenAgainReplacesTheIdentity) {
    const std::string first = key("keygen");
    const auto firstIdentity = accounts(kIdentity);
    const std::string second = key("keygen");
    EXPECT_NE(second, first);
    EXPECT_EQ(key("pubkey"), second);
    const auto identity = accounts(kIdentity);
    ASSERT_EQ(identity.size(), 1u);
    EXPECT_NE(identity, firstIdentity);
    EXPECT_EQ(accounts(kCache), identity);
    EXPECT_EQ(cachedHex(), rawHex(second));
}

TEST_F(KeyCommands, EachLabelHasItsOwnIdentity) {
    const std::string alice = key("keygen", "alice");
    const std::string bob = key("keygen", "bob");
    EXPECT_NE(alice, bob);
    EXPECT_EQ(key("pubkey", "alice"), alice);
    EXPECT_EQ(key("pubkey", "bob"), bob);
    EXPECT_EQ(run("pubkey").standardError, kNoKey);

    // The empty label is neither unset nor "cli".
    const std::string cli = key("keygen");
    EXPECT_EQ(run("pubkey", "").standardError, kNoKey);
    const std::string empty = key("keygen", "");
    EXPECT_NE(empty, cli);
    EXPECT_EQ(key("pubkey", ""), empty);
    EXPECT_EQ(key("pubkey"), cli);
    EXPECT_EQ(count(kIdentity + " AND label = ''"), 1);
    EXPECT_EQ(count(kIdentity), 4);
    EXPECT_EQ(count(kCache), 4);
}

TEST_F(KeyCommands, MissingOrBrokenCacheIsRebuiltFromThePrivateKey) {
    const std::string printed = key("keygen");
    executeSql(keychain, "DELETE FROM items WHERE " + kCache);
    EXPECT_EQ(key("pubkey"), printed);
    EXPECT_EQ(cachedHex(), rawHex(printed));

    const std::string offCurve = "X'" + std::string(128, '0') + "'";
    const std::string sec1 = "X'04" + rawHex(printed) + "'";
    for (const std::string& garbage : {offCurve, sec1, std::string("X'0102'"), std::string("'text'"), std::string("X''")}) {
        executeSql(keychain, "UPDATE items SET data = " + garbage + " WHERE " + kCache);
        EXPECT_EQ(key("pubkey"), printed) << garbage;
        EXPECT_EQ(cachedHex(), rawHex(printed)) << garbage;
    }
}

TEST_F(KeyCommands, FailedKeygenKeepsTheOldIdentity) {
    const std::string old = key("keygen");
    const auto oldIdentity = accounts(kIdentity);
    executeSql(keychain, "CREATE TRIGGER refuse BEFORE INSERT ON items WHEN NEW." + kIdentity +
                             " BEGIN SELECT RAISE(ABORT, 'refused'); END;");

    EXPECT_EQ(failure("keygen"), "Error generating key: could not add the identity key to the keychain at " +
                                     keychain.string() + ": the keychain refused the change (status -61)\n");
    EXPECT_EQ(key("pubkey"), old);
    EXPECT_EQ(accounts(kIdentity), oldIdentity);
    EXPECT_EQ(accounts(kCache), oldIdentity);
}

TEST_F(KeyCommands, CacheAndDeletionFailuresAreSilent) {
    const std::string old = key("keygen");
    executeSql(keychain, "CREATE TRIGGER refuse_cache BEFORE INSERT ON items WHEN NEW." + kCache +
                             " BEGIN SELECT RAISE(ABORT, 'refused'); END;"
                             "CREATE TRIGGER refuse_delete BEFORE DELETE ON items BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    const std::string fresh = key("keygen");
    EXPECT_NE(fresh, old);
    // The stale identity stays behind, but the one keygen printed is the one in use.
    EXPECT_EQ(count(kIdentity), 2);
    EXPECT_EQ(key("pubkey"), fresh);
}

TEST_F(KeyCommands, DamagedKeychainIsReportedAndNeverReplaced) {
    key("keygen");
    const std::string garbage(8192, '\x7f');
    writeFile(keychain, garbage);
    const std::string reason = keychain.string() + ": the keychain file is damaged or is not a keychain (status -25295)\n";
    EXPECT_EQ(failure("pubkey"), "Error retrieving key: could not read the keychain at " + reason);
    EXPECT_EQ(failure("keygen"), "Error generating key: could not read the keychain at " + reason);
    EXPECT_EQ(readFile(keychain), garbage);
}

TEST_F(KeyCommands, UnusableKeychainPathsAreReported) {
    std::filesystem::create_directories(keychain);  // a directory where the file should be
    const std::string reason = keychain.string() + ": the keychain file cannot be opened or created (status -25291)\n";
    EXPECT_EQ(failure("pubkey"), "Error retrieving key: could not read the keychain at " + reason);
    EXPECT_EQ(failure("keygen"), "Error generating key: could not read the keychain at " + reason);

    std::filesystem::remove_all(keychain.parent_path());
    writeFile(keychain.parent_path(), "a file where the directory should be");
    EXPECT_EQ(failure("keygen"), "Error generating key: could not read the keychain at " + reason);
}

TEST_F(KeyCommands, TamperedIdentityItemsAreNeverTrusted) {
    key("keygen");
    executeSql(keychain, "DELETE FROM items WHERE " + kCache + "; UPDATE items SET data = X'0011' WHERE " + kIdentity);
    const std::string error = failure("pubkey");
    EXPECT_EQ(error.rfind("Error retrieving key: ", 0), 0u) << error;
    EXPECT_NE(error, "Error retrieving key: keyNotFound\n");

    executeSql(keychain, "UPDATE items SET data = 'not bytes' WHERE " + kIdentity);
    EXPECT_EQ(failure("pubkey"), "Error retrieving key: keyNotFound\n");
}

TEST_F(KeyCommands, TwoProcessesAtOnceKeepOneIdentityEach) {
    constexpr int kRounds = 5;
    std::string last[2];
    std::atomic<int> failures{0};
    auto worker = [&](int index) {
        for (int i = 0; i < kRounds; ++i) {
            const auto r = run("keygen", index == 0 ? "left" : "right");
            if (r.exitStatus != 0 || !r.standardError.empty()) ++failures;
            last[index] = r.standardOutput;  // each thread has its own slot
        }
    };
    std::thread left(worker, 0);
    std::thread right(worker, 1);
    left.join();
    right.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(run("pubkey", "left").standardOutput, last[0]);
    EXPECT_EQ(run("pubkey", "right").standardOutput, last[1]);
    EXPECT_EQ(count(kIdentity + " AND label = 'left'"), 1);
    EXPECT_EQ(count(kIdentity + " AND label = 'right'"), 1);
    EXPECT_EQ(count(kCache), 2);
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
    EXPECT_EQ(base64URLString(keys::retrievePublicKey(*identifier).compressed()), printed);

    const auto privateKey = keys::retrievePrivateKey(*identifier);
    const auto peer = p256::PrivateKey::generate();
    EXPECT_EQ(privateKey->sharedSecret(peer.publicKey()), peer.sharedSecret(KeyHelpers::p256PublicKey(printed)));

    try {
        keys::retrievePrivateKey("00000000-0000-4000-8000-000000000000");
        FAIL() << "no error";
    } catch (const cli::KeyManagerError& error) {
        EXPECT_EQ(error.code(), cli::KeyManagerErrorCode::keyNotFound);
        EXPECT_STREQ(error.what(), "keyNotFound");
    }
    EXPECT_THROW(keys::retrievePublicKey("unknown"), cli::KeyManagerError);
}

}  // namespace
}  // namespace duoquill::test
