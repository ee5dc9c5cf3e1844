// The keychain file: items, statuses, file modes, damaged and foreign files, and several
// writers at once.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Duoquill/Platform/Keychain.h"
#include "KeychainFile.h"
#include "Support/Paths.h"

namespace duoquill::test {
namespace {

KeychainItem item(std::string service, std::string account, std::optional<std::string> label, Bytes data) {
    KeychainItem i;
    i.service = std::move(service);
    i.account = std::move(account);
    i.label = std::move(label);
    i.data = toSecure(data);
    return i;
}

KeychainQuery byAccount(std::string service, std::string account) {
    KeychainQuery q;
    q.service = std::move(service);
    q.account = std::move(account);
    return q;
}

class KeychainTest : public ::testing::Test {
protected:
    TempDir home;
    std::filesystem::path file = home.path() / "data" / "duoquill" / "keychain.db";
};

TEST_F(KeychainTest, CreatesOwnerOnlyDirectoriesAndFile) {
    Keychain keychain(file);
    EXPECT_FALSE(std::filesystem::exists(file));  // nothing happens before the first operation
    EXPECT_EQ(keychain.add(item("s", "a", "l", {1, 2, 3})), KeychainStatus::success);
    EXPECT_EQ(permissions(home.path() / "data"), 0700u);
    EXPECT_EQ(permissions(file.parent_path()), 0700u);
    EXPECT_EQ(permissions(file), 0600u);
}

TEST_F(KeychainTest, TightensLooserModesItFinds) {
    std::filesystem::create_directories(file.parent_path());
    ::chmod(file.parent_path().c_str(), 0755);
    Keychain(file).add(item("s", "a", std::nullopt, {1}));
    ::chmod(file.c_str(), 0664);
    ::chmod(file.parent_path().c_str(), 0775);

    Keychain reopened(file);
    EXPECT_TRUE(reopened.copyData(byAccount("s", "a")).ok());
    EXPECT_EQ(permissions(file), 0600u);
    EXPECT_EQ(permissions(file.parent_path()), 0700u);
}

TEST_F(KeychainTest, AddFindUpdateDelete) {
    Keychain keychain(file);
    EXPECT_EQ(keychain.add(item("svc", "acct-1", "work", {0xde, 0xad})), KeychainStatus::success);
    EXPECT_EQ(keychain.add(item("svc.pub", "acct-1", std::nullopt, {0xbe, 0xef})), KeychainStatus::success);

    KeychainQuery byLabel;
    byLabel.service = "svc";
    byLabel.label = "work";
    const auto found = keychain.copyAttributes(byLabel);
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(found.value.account, "acct-1");
    EXPECT_EQ(found.value.service, "svc");
    EXPECT_EQ(found.value.label, "work");
    EXPECT_EQ(found.value.accessibility, KeychainAccessibility::whenUnlockedThisDeviceOnly);

    const auto data = keychain.copyData(byAccount("svc", "acct-1"));
    ASSERT_TRUE(data.ok());
    EXPECT_EQ(data.value, toSecure(Bytes{0xde, 0xad}));
    EXPECT_EQ(keychain.copyData(byAccount("svc.pub", "acct-1")).value, toSecure(Bytes{0xbe, 0xef}));

    // Unlabelled items never match a label, not even the empty one.
    KeychainQuery emptyLabel;
    emptyLabel.label = "";
    EXPECT_EQ(keychain.copyAttributes(emptyLabel).status, KeychainStatus::itemNotFound);

    EXPECT_EQ(keychain.add(item("svc", "acct-1", "other", {9})), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.copyData(byAccount("svc", "acct-1")).value, toSecure(Bytes{0xde, 0xad}));

    EXPECT_EQ(keychain.updateData(byAccount("svc.pub", "acct-1"), Bytes{7, 7, 7}), KeychainStatus::success);
    EXPECT_EQ(keychain.copyData(byAccount("svc.pub", "acct-1")).value, toSecure(Bytes{7, 7, 7}));
    EXPECT_EQ(keychain.updateData(byAccount("svc.pub", "acct-2"), Bytes{1}), KeychainStatus::itemNotFound);

    EXPECT_EQ(keychain.remove(byAccount("svc", "acct-1")), KeychainStatus::success);
    EXPECT_EQ(keychain.copyData(byAccount("svc", "acct-1")).status, KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.copyAttributes(byLabel).status, KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.remove(byAccount("svc", "acct-1")), KeychainStatus::itemNotFound);
    EXPECT_TRUE(keychain.copyData(byAccount("svc.pub", "acct-1")).ok());
}

TEST_F(KeychainTest, ItemsOutliveTheObjectAndKeepTheirOrder) {
    {
        Keychain keychain(file);
        for (const char* account : {"first", "second", "third"}) {
            ASSERT_EQ(keychain.add(item("svc", account, "same", {})), KeychainStatus::success);
        }
    }
    Keychain keychain(file);
    KeychainQuery q;
    q.label = "same";
    EXPECT_EQ(keychain.copyAttributes(q).value.account, "third");
    const auto all = keychain.copyAllAttributes(q);
    ASSERT_TRUE(all.ok());
    ASSERT_EQ(all.value.size(), 3u);
    EXPECT_EQ(all.value[0].account, "third");
    EXPECT_EQ(all.value[2].account, "first");
    // Empty data is a byte string of its own, not a missing value.
    const auto empty = keychain.copyData(byAccount("svc", "second"));
    ASSERT_TRUE(empty.ok());
    ASSERT_TRUE(empty.value.has_value());
    EXPECT_TRUE(empty.value->empty());
}

TEST_F(KeychainTest, ValuesOfTheWrongTypeReadAsAbsent) {
    Keychain keychain(file);
    ASSERT_EQ(keychain.add(item("svc", "a", "l", {1, 2})), KeychainStatus::success);
    ASSERT_EQ(keychain.add(item("svc", "b", "l", {1, 2})), KeychainStatus::success);
    executeSql(file, "UPDATE items SET data = 'not bytes', accessible = 'Always' WHERE account = 'a';"
                     "UPDATE items SET account = X'6200' WHERE account = 'b';");

    const auto data = keychain.copyData(byAccount("svc", "a"));
    EXPECT_TRUE(data.ok());
    EXPECT_FALSE(data.value.has_value());
    KeychainQuery q;
    q.service = "svc";
    const auto all = keychain.copyAllAttributes(q);
    ASSERT_EQ(all.value.size(), 2u);
    EXPECT_FALSE(all.value[1].accessibility.has_value());
    EXPECT_FALSE(all.value[0].account.has_value());
}

TEST_F(KeychainTest, DamagedFileIsReportedAndLeftUntouched) {
    std::filesystem::create_directories(file.parent_path());
    const std::string garbage(4096, '\x5a');
    writeFile(file, garbage);
    Keychain keychain(file);
    EXPECT_EQ(keychain.copyAttributes({}).status, KeychainStatus::invalidKeychain);
    EXPECT_EQ(keychain.add(item("s", "a", "l", {1})), KeychainStatus::invalidKeychain);
    EXPECT_EQ(keychain.remove({}), KeychainStatus::invalidKeychain);
    EXPECT_EQ(readFile(file), garbage);
}

TEST_F(KeychainTest, DamagedPagesAreReported) {
    ASSERT_EQ(Keychain(file).add(item("s", "first", "l", {1})), KeychainStatus::success);
    executeSql(file, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40) "
                     "INSERT INTO items (service, account, label, accessible, data) "
                     "SELECT 's', 'a' || i, 'l', 'WhenUnlockedThisDeviceOnly', randomblob(500) FROM n");
    std::string bytes = readFile(file);
    ASSERT_GT(bytes.size(), 8192u);
    std::fill(bytes.begin() + 4096, bytes.end(), '\xff');  // every page but the first
    writeFile(file, bytes);
    Keychain keychain(file);
    const auto status = keychain.copyAllAttributes({}).status;
    EXPECT_NE(status, KeychainStatus::success);
    EXPECT_NE(status, KeychainStatus::itemNotFound);
}

TEST_F(KeychainTest, AnotherProgramsDatabaseIsNotAdopted) {
    std::filesystem::create_directories(file.parent_path());
    writeFile(file, "");
    executeSql(file, "CREATE TABLE notes (body TEXT); INSERT INTO notes VALUES ('keep me');");
    Keychain keychain(file);
    EXPECT_EQ(keychain.add(item("s", "a", "l", {1})), KeychainStatus::invalidKeychain);
    EXPECT_EQ(queryInteger(file, "SELECT count(*) FROM sqlite_master"), 1);
}

TEST_F(KeychainTest, UnusablePathsAreNotAvailable) {
    std::filesystem::create_directories(file);  // the file's name is taken by a directory
    EXPECT_EQ(Keychain(file).copyAttributes({}).status, KeychainStatus::notAvailable);

    writeFile(home.path() / "plain", "x");
    EXPECT_EQ(Keychain(home.path() / "plain" / "keychain.db").add(item("s", "a", "l", {1})), KeychainStatus::notAvailable);
    EXPECT_EQ(Keychain("").copyData({}).status, KeychainStatus::notAvailable);
}

TEST_F(KeychainTest, RefusedWritesChangeNothing) {
    Keychain keychain(file);
    ASSERT_EQ(keychain.add(item("s", "a", "l", {1})), KeychainStatus::success);
    executeSql(file, "CREATE TRIGGER refuse_insert BEFORE INSERT ON items BEGIN SELECT RAISE(ABORT, 'refused'); END;"
                     "CREATE TRIGGER refuse_delete BEFORE DELETE ON items BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    EXPECT_EQ(keychain.add(item("s", "b", "l", {2})), KeychainStatus::writeRefused);
    EXPECT_EQ(keychain.remove(byAccount("s", "a")), KeychainStatus::writeRefused);
    EXPECT_EQ(keychain.copyData(byAccount("s", "a")).value, toSecure(Bytes{1}));
    EXPECT_EQ(keychain.copyData(byAccount("s", "b")).status, KeychainStatus::itemNotFound);
}

TEST_F(KeychainTest, ConcurrentWritersNeitherFailNorCollide) {
    // Each connection locks the file like a separate process would.
    constexpr int kRounds = 12;
    std::atomic<int> failures{0};
    auto writer = [&](const std::string& label) {
        Keychain keychain(file);
        for (int i = 0; i < kRounds; ++i) {
            const std::string account = label + std::to_string(i);
            if (keychain.add(item("svc", account, label, Bytes(64, static_cast<std::uint8_t>(i)))) != KeychainStatus::success) ++failures;
            if (keychain.updateData(byAccount("svc", account), Bytes(32, 1)) != KeychainStatus::success) ++failures;
            if (i % 2 == 0 && keychain.remove(byAccount("svc", account)) != KeychainStatus::success) ++failures;
        }
    };
    std::thread a(writer, "alpha");
    std::thread b(writer, "beta");
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(queryInteger(file, "SELECT count(*) FROM items WHERE label = 'alpha'"), kRounds / 2);
    EXPECT_EQ(queryInteger(file, "SELECT count(*) FROM items WHERE label = 'beta'"), kRounds / 2);
    EXPECT_EQ(queryInteger(file, "SELECT count(*) FROM items WHERE length(data) <> 32"), 0);
}

TEST(KeychainError, NamesWhatFailedAndTheStatus) {
    const KeychainError error("could not add the identity key to the keychain", KeychainStatus::readOnly);
    EXPECT_STREQ(error.what(), "could not add the identity key to the keychain: the keychain file is read-only (status -25292)");
    EXPECT_EQ(error.status(), KeychainStatus::readOnly);
    EXPECT_EQ(static_cast<int>(KeychainStatus::itemNotFound), -25300);
}

}  // namespace
}  // namespace duoquill::test
