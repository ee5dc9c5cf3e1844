// Session epoch files: location, modes, content, expiry rules, no trust in whatever someone
// else planted at a file's path, and their use by the session. The file name of a room is
// pinned by the known-answer tests.

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <fstream>

#include <sys/stat.h>

#include "SessionTestSupport.h"

namespace duoquill {
namespace {

using namespace duoquill::test;
namespace fs = std::filesystem;
using E = SessionErrorCode;

void writeFile(const fs::path& path, std::string_view content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string littleEndian(double seconds) {
    const auto bits = std::bit_cast<std::uint64_t>(seconds);
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(bits >> (8 * i));
    return out;
}

unsigned modeOf(const fs::path& path) { return static_cast<unsigned>(fs::symlink_status(path).permissions()); }

// The content is pinned where the session writes it (SessionEpoch below), removal by the
// teardown tests.
TEST(EpochStore, APrivateFileNoPlantedLinkOrFifoFollowedAndExpiryAtExactly86400SecondsFromEightBytes) {
    TempDir dir;
    ManualClock clock{1'728'000'000.5, 50.0};
    const fs::path directory = dir.path() / "nested" / "com.duoquill.session";
    const SessionEpochStore store(clock, directory);
    store.persistSessionEpoch("abc");
    const fs::path file = *store.sessionEpochFile("abc");
    EXPECT_EQ(file, directory / SessionEpochStore::fileName("abc"));
    // Nothing but the file itself is left behind by the atomic write.
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);
    fs::permissions(directory, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    store.persistSessionEpoch("abc");
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

    const double now = clock.wallSeconds();
    const std::pair<std::string, bool> cases[] = {
        {littleEndian(now - 86399), false},       {littleEndian(now - 86399.999), false},
        {littleEndian(now - 86400), true},        {littleEndian(now + 5000), false},  // written in the future
        {littleEndian(0.0).substr(0, 7), false},  {littleEndian(0.0) + "x", false},
        {"", false},
    };
    for (const auto& [content, expired] : cases) {
        writeFile(file, content);
        EXPECT_EQ(store.isSessionEpochExpired("abc"), expired) << hexString(asBytes(content));
    }
    EXPECT_FALSE(store.isSessionEpochExpired("another room"));  // no file

    // What was read is kept only while the directory is unchanged: a directory moved away or
    // removed, and another put in its place, is read afresh.
    writeFile(file, littleEndian(now - 86399));
    ASSERT_FALSE(store.isSessionEpochExpired("abc"));
    fs::rename(directory, dir.path() / "moved");
    fs::create_directories(directory);
    writeFile(file, littleEndian(now - 86400));
    EXPECT_TRUE(store.isSessionEpochExpired("abc"));
    fs::remove_all(directory);
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    fs::create_directories(directory);
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    writeFile(file, littleEndian(now - 86400));
    EXPECT_TRUE(store.isSessionEpochExpired("abc"));
    fs::remove(file);
    fs::create_directory(file);  // unreadable: a directory where the file should be
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    store.persistSessionEpoch("abc");  // cannot replace it: ignored
    store.clearSessionEpoch("abc");
    EXPECT_TRUE(fs::is_directory(file));
}

TEST(EpochStore, DirectoryFromTheEnvironmentOrNoneAtAll) {
    TempDir dir;
    ManualClock clock;
    // No other session test reads the variable: every other store is given its directory.
    ::setenv("XDG_DATA_HOME", dir.str().c_str(), 1);
    const auto file = SessionEpochStore(clock).sessionEpochFile("abc");
    EXPECT_EQ(file, dir.path() / "com.duoquill.session" / SessionEpochStore::fileName("abc"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "com.duoquill.session"));

    writeFile(dir.path() / "blocker", "not a directory");
    SessionEpochStore blocked(clock, dir.path() / "blocker" / "com.duoquill.session");
    EXPECT_FALSE(blocked.sessionEpochFile("abc"));
    blocked.persistSessionEpoch("abc");
    EXPECT_FALSE(blocked.isSessionEpochExpired("abc"));
    blocked.clearSessionEpoch("abc");
}

TEST(SessionEpoch, WrittenAtPQCompleteAndEitherClockEndsTheSessionAtADay) {
    SessionWorld world;
    SessionPair pair(world);
    pair.completeHandshakes();
    EXPECT_FALSE(fs::exists(world.epochFile()));
    const double wall = 1'750'000'000.25, created = world.clock.uptimeSeconds();
    world.clock.setWall(wall);
    pair.completePQ();
    EXPECT_EQ(readFile(world.epochFile()), littleEndian(wall));

    auto& ini = pair.initiator();
    auto& res = pair.responder();
    const auto sealed = ini.seal(asBytes("x"));
    auto expectExpired = [&] {
        expectSessionError(E::sessionExpired, [&] { ini.seal(asBytes("late")); });
        expectSessionError(E::sessionExpired, [&] { ini.sealDummy(); });
        expectSessionError(E::sessionExpired, [&] { res.open(sealed.data, sealed.counter); });
        expectSessionError(E::sessionExpired, [&] { ini.tunnelSeal(asBytes("{}")); });
        expectSessionError(E::sessionExpired, [&] { res.tunnelOpen(Bytes(1560)); });
        EXPECT_EQ(Access::rxCounter(res), 0u);  // nothing moved
    };
    // Wall-clock time moves a day while uptime does not: the file alone ends the session.
    world.clock.setWall(wall + 86400);
    expectExpired();
    world.clock.setWall(wall + 86399);
    // Uptime moves a day while the wall clock does not.
    world.clock.setUptime(created + 86400);
    expectExpired();
    world.clock.setUptime(created + 86399.5);
    EXPECT_TRUE(res.open(sealed.data, sealed.counter));

    // A stale file left by an earlier session blocks the next one's tunnel until its key
    // schedule rewrites the file.
    writeFile(world.epochFile(), littleEndian(world.clock.wallSeconds() - 90000));
    SessionPair next(world);
    next.completeHandshakes();
    expectSessionError(E::sessionExpired, [&] { next.initiator().tunnelSeal(asBytes("{\"t\":\"kex2\"}")); });
    next.completePQ();
    EXPECT_EQ(next.responder().tunnelOpen(next.initiator().tunnelSeal(asBytes("ready"))), secure("ready"));
}

}  // namespace
}  // namespace duoquill
