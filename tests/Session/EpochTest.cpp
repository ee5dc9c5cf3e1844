// Session epoch files: name, content, expiry rules, and their use by the session.

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <fstream>

#include "SessionTestSupport.h"

namespace duoquill {
namespace {

using namespace duoquill::test;
namespace fs = std::filesystem;

void writeFile(const fs::path& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string littleEndian(double seconds) {
    const auto bits = std::bit_cast<std::uint64_t>(seconds);
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(bits >> (8 * i));
    return out;
}

TEST(EpochFile, NamesMatchTheKnownAnswers) {
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& t = sessionKAT("epochFile", i);
        EXPECT_EQ(SessionEpochStore::fileName(std::string_view(t.at("roomCode").as_string())),
                  std::string_view(t.at("fileName").as_string()));
    }
    EXPECT_EQ(SessionEpochStore::fileName("abc"), "epoch-ba7816bf8f01cfea414140de5dae2223");
}

class EpochStoreTest : public ::testing::Test {
protected:
    TempDir dir;
    ManualClock clock{1'728'000'000.5, 50.0};
    SessionEpochStore store{clock, dir.path() / "nested" / "com.duoquill.session"};
    fs::path file() { return *store.sessionEpochFile("abc"); }
};

TEST_F(EpochStoreTest, WritesTheWallClockAsLittleEndianBinary64) {
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));  // no file
    store.persistSessionEpoch("abc");
    EXPECT_EQ(file(), dir.path() / "nested" / "com.duoquill.session" / "epoch-ba7816bf8f01cfea414140de5dae2223");
    EXPECT_EQ(readFile(file()), littleEndian(1'728'000'000.5));
    // Nothing but the file itself is left behind by the atomic write.
    EXPECT_EQ(std::distance(fs::directory_iterator(file().parent_path()), fs::directory_iterator()), 1);
    clock.setWall(1'800'000'000.25);
    store.persistSessionEpoch("abc");
    EXPECT_EQ(readFile(file()), littleEndian(1'800'000'000.25));
    store.clearSessionEpoch("abc");
    EXPECT_FALSE(fs::exists(file()));
    store.clearSessionEpoch("abc");  // no file: nothing happens
}

TEST_F(EpochStoreTest, ExpiresAtExactly86400Seconds) {
    const double now = clock.wallSeconds();
    writeFile(file(), littleEndian(now - 86399));
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    writeFile(file(), littleEndian(now - 86399.999));
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    writeFile(file(), littleEndian(now - 86400));
    EXPECT_TRUE(store.isSessionEpochExpired("abc"));
    writeFile(file(), littleEndian(now + 5000));  // written in the future
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    EXPECT_FALSE(store.isSessionEpochExpired("another room"));
}

TEST_F(EpochStoreTest, FilesOfOtherSizesOrUnreadableNeverExpire) {
    const std::string old = littleEndian(0.0);
    writeFile(file(), old.substr(0, 7));
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    writeFile(file(), old + "x");
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    writeFile(file(), "");
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    fs::remove(file());
    fs::create_directory(file());  // a directory where the file should be
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    store.persistSessionEpoch("abc");  // cannot replace it: ignored
    store.clearSessionEpoch("abc");
    EXPECT_TRUE(fs::is_directory(file()));
}

TEST(EpochStore, NoDirectoryMeansNoFile) {
    TempDir dir;
    writeFile(dir.path() / "blocker", "not a directory");
    ManualClock clock;
    SessionEpochStore store(clock, dir.path() / "blocker" / "com.duoquill.session");
    EXPECT_FALSE(store.sessionEpochFile("abc"));
    store.persistSessionEpoch("abc");
    EXPECT_FALSE(store.isSessionEpochExpired("abc"));
    store.clearSessionEpoch("abc");
}

TEST(EpochStore, DefaultsToTheApplicationSupportDirectory) {
    TempDir dir;
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string previous = saved ? saved : "";
    ::setenv("XDG_DATA_HOME", dir.str().c_str(), 1);
    ManualClock clock;
    SessionEpochStore store(clock);
    const auto file = store.sessionEpochFile("abc");
    if (saved) {
        ::setenv("XDG_DATA_HOME", previous.c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
    ASSERT_TRUE(file);
    EXPECT_EQ(*file, dir.path() / "com.duoquill.session" / "epoch-ba7816bf8f01cfea414140de5dae2223");
    EXPECT_TRUE(fs::is_directory(dir.path() / "com.duoquill.session"));
}

TEST(SessionEpoch, WrittenAtPQCompleteAndGuardsTheSession) {
    SessionWorld world;
    SessionPair pair(world);
    pair.completeHandshakes();
    EXPECT_FALSE(fs::exists(world.epochFile()));
    world.clock.setWall(1'750'000'000.0);
    pair.completePQ();
    EXPECT_EQ(readFile(world.epochFile()), littleEndian(1'750'000'000.0));

    auto& ini = pair.initiator();
    auto& res = pair.responder();
    deliver(ini, res, asBytes("fine"));
    // Wall-clock time moves a day while uptime does not: the file alone ends the session.
    world.clock.setWall(1'750'000'000.0 + 86400);
    expectSessionError(SessionErrorCode::sessionExpired, [&] { ini.seal(asBytes("late")); });
    expectSessionError(SessionErrorCode::sessionExpired, [&] { ini.sealDummy(); });
    expectSessionError(SessionErrorCode::sessionExpired, [&] { res.open(Bytes(272), 1); });
    expectSessionError(SessionErrorCode::sessionExpired, [&] { ini.tunnelSeal(asBytes("{}")); });
    expectSessionError(SessionErrorCode::sessionExpired, [&] { res.tunnelOpen(Bytes(1560)); });
    world.clock.setWall(1'750'000'000.0 + 86399);
    deliver(ini, res, asBytes("still fine"));
}

TEST(SessionEpoch, UptimeAgeEndsTheSessionAt86400Seconds) {
    SessionWorld world;
    SessionPair pair(world);
    pair.handshake();
    auto& ini = pair.initiator();
    auto& res = pair.responder();
    const double created = Access::sessionCreatedAt(ini);
    EXPECT_EQ(created, world.clock.uptimeSeconds());
    world.clock.setUptime(created + 86399.5);
    const auto sealed = ini.seal(asBytes("x"));
    world.clock.setUptime(created + 86400);
    expectSessionError(SessionErrorCode::sessionExpired, [&] { ini.seal(asBytes("y")); });
    expectSessionError(SessionErrorCode::sessionExpired, [&] { res.open(sealed.data, sealed.counter); });
    expectSessionError(SessionErrorCode::sessionExpired, [&] { ini.tunnelSeal(asBytes("{}")); });
    EXPECT_EQ(Access::rxCounter(res), 0u);  // nothing moved
    world.clock.setUptime(created + 86399.5);
    EXPECT_TRUE(res.open(sealed.data, sealed.counter));
}

TEST(SessionEpoch, AStaleFileBlocksTheTunnelUntilTheKeyScheduleRewritesIt) {
    SessionWorld world;
    fs::create_directories(world.dir.path());
    writeFile(world.epochFile(), littleEndian(world.clock.wallSeconds() - 90000));
    SessionPair pair(world);
    pair.completeHandshakes();
    expectSessionError(SessionErrorCode::sessionExpired,
                       [&] { pair.initiator().tunnelSeal(asBytes("{\"t\":\"kex2\"}")); });
    pair.completePQ();
    const Bytes frame = pair.initiator().tunnelSeal(asBytes("{\"t\":\"ready\"}"));
    EXPECT_EQ(pair.responder().tunnelOpen(frame), toSecure(asBytes("{\"t\":\"ready\"}")));
}

}  // namespace
}  // namespace duoquill
