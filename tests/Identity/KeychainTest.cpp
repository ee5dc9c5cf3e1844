// The keychain file: items, statuses, file modes, damaged and foreign files, and several
// writers at once. What the key commands make of these statuses, that items outlive the
// process and that the newest of a label is found first, is in KeyCommandsTest.

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>

#include "Duoquill/Platform/KeyStorage/Keychain.h"
#include "KeychainFile.h"
#include "Kit/Paths.h"

namespace duoquill::test {
namespace {

KeychainItem item(std::string service, std::string account, std::optional<std::string> label, Bytes data) {
    return {std::move(service), std::move(account), std::move(label), KeychainAccessibility::whenUnlockedThisDeviceOnly,
            toSecure(data)};
}

KeychainQuery query(std::optional<std::string> service, std::optional<std::string> account = {},
                    std::optional<std::string> label = {}) {
    return {std::move(service), std::move(account), std::move(label)};
}

class KeychainTest : public ::testing::Test {
protected:
    TempDir home;
    std::filesystem::path file = home.path() / "data" / "duoquill" / "keychain.db";
};

// The modes of a new keychain are checked through `keygen` (KeyCommandsTest).
TEST_F(KeychainTest, TightensLooserModesAndRefusesLinkedOrForeignFiles) {
    Keychain keychain(file);
    EXPECT_FALSE(std::filesystem::exists(file));  // nothing happens before the first operation
    EXPECT_EQ(keychain.add(item("s", "a", "l", {1, 2, 3})), KeychainStatus::success);
    keychain.close();
    std::filesystem::permissions(file, std::filesystem::perms(0664));
    std::filesystem::permissions(file.parent_path(), std::filesystem::perms(0775));
    EXPECT_TRUE(Keychain(file).copyData(query("s", "a")).ok());
    EXPECT_EQ(mode(file), 0600u);
    EXPECT_EQ(mode(file.parent_path()), 0700u);

    // A link in the file's place is neither followed nor has its target's mode changed.
    const auto elsewhere = home.path() / "elsewhere.db";
    std::filesystem::rename(file, elsewhere);
    std::filesystem::permissions(elsewhere, std::filesystem::perms(0644));
    std::filesystem::create_symlink(elsewhere, file);
    EXPECT_EQ(Keychain(file).add(item("s", "b", "l", {4})), KeychainStatus::linkedLocation);
    EXPECT_EQ(mode(elsewhere), 0644u);
    std::filesystem::remove(file);

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

TEST_F(KeychainTest, AddFindUpdateDelete) {
    Keychain keychain(file);
    EXPECT_EQ(keychain.add(item("svc", "acct-1", "work", {0xde, 0xad})), KeychainStatus::success);
    EXPECT_EQ(keychain.add(item("svc.pub", "acct-1", std::nullopt, {0xbe, 0xef})), KeychainStatus::success);
    const KeychainQuery byLabel = query("svc", std::nullopt, "work");
    const auto found = keychain.copyAttributes(byLabel);
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(found.value.account, "acct-1");
    EXPECT_EQ(found.value.accessibility, KeychainAccessibility::whenUnlockedThisDeviceOnly);
    EXPECT_EQ(keychain.copyData(query("svc", "acct-1")).value, toSecure(Bytes{0xde, 0xad}));
    EXPECT_EQ(keychain.copyData(query("svc.pub", "acct-1")).value, toSecure(Bytes{0xbe, 0xef}));
    // Unlabelled items never match a label, not even the empty one.
    EXPECT_EQ(keychain.copyAttributes(query(std::nullopt, std::nullopt, "")).status, KeychainStatus::itemNotFound);

    EXPECT_EQ(keychain.add(item("svc", "acct-1", "other", {9})), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.copyData(query("svc", "acct-1")).value, toSecure(Bytes{0xde, 0xad}));
    EXPECT_EQ(keychain.updateData(query("svc.pub", "acct-1"), Bytes{7, 7, 7}), KeychainStatus::success);
    EXPECT_EQ(keychain.copyData(query("svc.pub", "acct-1")).value, toSecure(Bytes{7, 7, 7}));
    EXPECT_EQ(keychain.updateData(query("svc.pub", "acct-2"), Bytes{1}), KeychainStatus::itemNotFound);

    EXPECT_EQ(keychain.remove(query("svc", "acct-1")), KeychainStatus::success);
    EXPECT_EQ(keychain.copyData(query("svc", "acct-1")).status, KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.copyAttributes(byLabel).status, KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.remove(query("svc", "acct-1")), KeychainStatus::itemNotFound);
    EXPECT_TRUE(keychain.copyData(query("svc.pub", "acct-1")).ok());
    // Empty data is a byte string of its own, not a missing value.
    ASSERT_EQ(keychain.add(item("svc", "empty", "work", {})), KeychainStatus::success);
    EXPECT_EQ(keychain.copyData(query("svc", "empty")).value, std::optional<SecureBytes>(SecureBytes{}));
}

TEST_F(KeychainTest, ValuesOfTheWrongTypeReadAsAbsent) {
    Keychain keychain(file);
    ASSERT_EQ(keychain.add(item("svc", "a", "l", {1, 2})), KeychainStatus::success);
    ASSERT_EQ(keychain.add(item("svc", "b", "l", {1, 2})), KeychainStatus::success);
    sql(file, "UPDATE items SET data = 'not bytes', accessible = 'Always' WHERE account = 'a';"
              "UPDATE items SET account = X'6200' WHERE account = 'b';");
    const auto data = keychain.copyData(query("svc", "a"));
    EXPECT_TRUE(data.ok());
    EXPECT_FALSE(data.value.has_value());
    const auto all = keychain.copyAllAttributes(query("svc"));
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
    writeFile(file, bytes);
    const auto status = Keychain(file).copyAllAttributes({}).status;
    EXPECT_NE(status, KeychainStatus::success);
    EXPECT_NE(status, KeychainStatus::itemNotFound);

    // Another program's database is neither adopted nor changed.
    writeFile(file, "");
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
    std::thread a(writer, "alpha"), b(writer, "beta");
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(count(file, "label = 'alpha'"), kRounds / 2);
    EXPECT_EQ(count(file, "label = 'beta'"), kRounds / 2);
    EXPECT_EQ(count(file, "length(data) <> 32"), 0);
}

}  // namespace
}  // namespace duoquill::test
