// What the epoch store does with its files on disk: private modes, and no trust in whatever
// someone else planted at a file's path.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "Duoquill/Crypto/SessionEpochStore.h"
#include "Kit/Paths.h"
#include "Kit/World.h"

namespace duoquill {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

TEST(EpochFiles, ArePrivateAndAPlantedLinkOrFifoIsNeverFollowedNorWaitedOn) {
    const test::TempDir dir;
    const fs::path directory = dir.path() / "com.duoquill.session";
    fs::create_directory(directory);
    fs::permissions(directory, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    ManualClock clock;
    const SessionEpochStore store(clock, directory);

    store.persistSessionEpoch("abc");
    const fs::path file = *store.sessionEpochFile("abc");
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);

    // An expired file of the user's elsewhere, linked into place, is not this room's file.
    clock.advance(SessionEpochStore::lifetimeSeconds);
    ASSERT_TRUE(store.isSessionEpochExpired("abc"));
    const fs::path elsewhere = dir.path() / "elsewhere";
    fs::rename(file, elsewhere);
    fs::create_symlink(elsewhere, file);
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));

    // A FIFO would block an ordinary open until a writer came: every record would hang.
    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    store.persistSessionEpoch("abc");  // replaces it with a file of ours
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
    EXPECT_EQ(modeOf(file), 0600u);
}

}  // namespace
}  // namespace duoquill
