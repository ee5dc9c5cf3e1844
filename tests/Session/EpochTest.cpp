// Session epoch files: location, modes, content, expiry rules, no trust in whatever someone
// else planted at a file's path, and their use by the session. The file name of a room is
// pinned by the known-answer tests.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include <sys/stat.h>

#include "SessionTestSupport.h"

namespace duoquill::test {
namespace {

namespace fs = std::filesystem;

unsigned modeOf(const fs::path& path) { return static_cast<unsigned>(fs::symlink_status(path).permissions()); }

TEST(EpochStore, APrivateFileNoPlantedLinkOrFifoFollowedAndOnlyEightBytesRead) {
    TempDir dir;
    // Where the environment says, its directories made as needed. No other session test reads
    // the variable: every other store is given its directory.
    ::setenv("XDG_DATA_HOME", (dir.path() / "nested").c_str(), 1);
    const fs::path directory = dir.path() / "nested" / "com.duoquill.session";
    const SessionEpochStore store;
    const double written = 1'728'000'000.5;
    store.write("abc", written);
    const fs::path file = *store.sessionEpochFile("abc");
    EXPECT_EQ(file, directory / SessionEpochStore::fileName("abc"));
    EXPECT_EQ(hexString(asBytes(readFile(file))), "00002000ccbfd941");  // binary64, little-endian
    EXPECT_EQ(store.read("abc"), written);
    // Nothing but the file itself is left behind by the atomic write.
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);
    fs::permissions(directory, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    store.write("abc", written);
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);

    // A file of the user's elsewhere, linked into place, is not this room's file.
    const fs::path elsewhere = dir.path() / "elsewhere";
    fs::rename(file, elsewhere);
    fs::create_symlink(elsewhere, file);
    EXPECT_EQ(store.read("abc"), std::nullopt);
    store.remove("abc");  // the link goes, not what it points to
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    EXPECT_TRUE(fs::exists(elsewhere));

    // A FIFO would block an ordinary open until a writer came: the client would hang.
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_EQ(store.read("abc"), std::nullopt);
    store.write("abc", written);  // replaces it with a file of ours, made as every write makes it
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));

    for (const std::string& content : {std::string(7, '\0'), std::string(8, '\0') + "x", std::string()}) {
        std::ofstream(file, std::ios::binary) << content;
        EXPECT_EQ(store.read("abc"), std::nullopt) << hexString(asBytes(content));
    }
    EXPECT_EQ(store.read("another room"), std::nullopt);  // no file
    store.remove("another room");                         // nothing to remove: nothing raised

    fs::remove(file);
    fs::create_directory(file);  // unreadable: a directory where the file should be
    EXPECT_EQ(store.read("abc"), std::nullopt);
    store.write("abc", written);  // cannot replace it: ignored
    store.remove("abc");
    EXPECT_TRUE(fs::is_directory(file));

    // A directory that cannot be made: nothing is written, read or raised.
    std::ofstream(dir.path() / "blocker") << "not a directory";
    SessionEpochStore blocked(dir.path() / "blocker" / "com.duoquill.session");
    EXPECT_FALSE(blocked.sessionEpochFile("abc"));
    blocked.write("abc", 1.0);
    EXPECT_EQ(blocked.read("abc"), std::nullopt);
    blocked.remove("abc");
}

TEST(SessionEpoch, KeysStartTheDayAndEitherClockEndsTheSessionAtADay) {
    SessionWorld world;
    SessionPair pair(world);
    pair.completeHandshakes();
    const Instant made{1'750'000'000.25, 5000.0};
    pair.completePQ(made);
    auto& ini = pair.initiator();
    auto& res = pair.responder();
    EXPECT_EQ(field(ini, "epoch"), std::to_string(made.wallSeconds));
    const auto sealed = ini.seal(asBytes("x"), made);
    auto expectExpired = [&](Instant at) {
        expectSessionError(E::sessionExpired, [&] { ini.seal(asBytes("late"), at); });
        expectSessionError(E::sessionExpired, [&] { ini.sealDummy(at); });
        expectSessionError(E::sessionExpired, [&] { res.open(sealed.data, sealed.counter, at); });
        expectSessionError(E::sessionExpired, [&] { ini.tunnelSeal(asBytes("{}"), at); });
        expectSessionError(E::sessionExpired, [&] { res.tunnelOpen(Bytes(1560), at); });
    };
    // Wall-clock time moves a day while uptime does not, and the other way round.
    expectExpired({made.wallSeconds + 86400, made.uptimeSeconds});
    expectExpired({made.wallSeconds + 86399, made.uptimeSeconds + 86400});
    // A wall clock set back (a negative age) ends nothing; the refusals moved nothing.
    EXPECT_TRUE(res.open(sealed.data, sealed.counter, {made.wallSeconds - 5000, made.uptimeSeconds + 86399.5}));

    // A day-old epoch handed to the next session (a file left by a process that died) blocks
    // its tunnel until its own keys are made; a younger one does not.
    const Instant later{made.wallSeconds + 90000, made.uptimeSeconds + 90000};
    world.roomEpoch = made.wallSeconds;
    SessionPair next(world);
    next.completeHandshakes();
    expectSessionError(E::sessionExpired, [&] { next.initiator().tunnelSeal(asBytes("{\"t\":\"kex2\"}"), later); });
    EXPECT_EQ(next.responder().tunnelOpen(next.initiator().tunnelSeal(asBytes("kex2"), made), made), secure("kex2"));
    next.completePQ(later);
    EXPECT_EQ(next.responder().tunnelOpen(next.initiator().tunnelSeal(asBytes("ready"), later), later),
              secure("ready"));
}

}  // namespace
}  // namespace duoquill::test
