// The client's timers on simulated time: retry back-off, the 30-second no-peer timer, the
// 5-second grace timer, the 8-second reconnect no-peer timer, cover traffic, and quitting while
// a retry is pending. (The 5-second handshake timer: HandshakeFailures.)

#include <gtest/gtest.h>

#include "Kit/MachineChat.h"

namespace duoquill::test {
namespace {

using Kind = cli::chat::Phase;

std::vector<double> gaps(const std::vector<double>& times) {
    std::vector<double> out;
    for (std::size_t i = 1; i < times.size(); ++i) out.push_back(times[i] - times[i - 1]);
    return out;
}

void expectNear(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_GE(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-6) << "gap " << i;
}

TEST(ClientTimers, RetriesBackOffStartAgainAfterASessionWasActiveAndEndOnQuit) {
    MachinePair pair;
    pair.relay.setRefusingConnections(true);
    auto& a = pair.launch(0);
    pair.runFor(95.0);
    EXPECT_TRUE(a.display.contains("status:[connect error] notConnected") ||
                a.display.contains("status:[connect error] connection closed"));
    expectNear(gaps(a.display.timesOf("status:connecting...")), {0.3, 1, 2, 4, 8, 16, 30, 30});
    EXPECT_EQ(a.state(), Kind::reconnecting);

    pair.relay.setRefusingConnections(false);
    pair.launch(1);
    ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 40.0));
    EXPECT_EQ(a.machine->retryCount(), 0);

    // A failed receive: "reconnecting..." twice, then the first retry after 0.3 s.
    const auto before = a.display.lines.size();
    const auto opened = a.display.count("status:connecting...");
    pair.relay.setRefusingConnections(true);
    pair.relay.cutConnectionOf(0);
    ASSERT_TRUE(pair.runUntil([&] { return a.state() == Kind::reconnecting; }, 1.0));
    const double cutAt = a.display.times.back();
    EXPECT_EQ(a.display.since(before), (std::vector<std::string>{"status:reconnecting...", "status:reconnecting..."}));
    pair.runFor(1.0);
    EXPECT_NEAR(a.display.timeOf("status:connecting...", opened) - cutAt, 0.3, 1e-6);

    // Quitting while the next retry is pending starts no connection.
    const auto pending = a.display.count("status:connecting...");
    ASSERT_EQ(a.state(), Kind::reconnecting);
    a.quit();
    pair.runFor(100.0);
    EXPECT_EQ(a.exitStatus, std::optional<int>(0));
    EXPECT_EQ(a.display.count("status:connecting..."), pending);
    EXPECT_EQ(a.display.lines.back(), "peer:disconnected: quit");
}

TEST(ClientTimers, NoPeerRetriesAfterThirtySecondsCoverComesEveryTwoToFiveAndAPeerGoneGetsFiveGraceAndEight) {
    MachinePair pair;
    auto& a = pair.launch(0);
    pair.runFor(40.0);
    const double alone = a.display.timeOf("status:waiting for peer...");
    EXPECT_NEAR(a.display.timeOf("status:timeout — no peer, retrying...") - alone, 30.0, 1e-6);
    EXPECT_NEAR(a.display.timeOf("status:reconnecting...") - alone, 30.0, 1e-6);
    EXPECT_NEAR(a.display.timeOf("status:connecting...", 1) - alone, 30.3, 1e-6);
    EXPECT_EQ(a.display.count("status:timeout — no peer, retrying..."), 1u);

    auto& b = pair.launch(1);
    ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 10.0));
    const auto framesBefore = pair.relay.deliveredTo(1).size();
    const auto linesBefore = b.display.lines.size();
    pair.runFor(60.0);
    const auto covers = pair.relay.deliveredTo(1).size() - framesBefore;
    EXPECT_TRUE(covers >= 12 && covers <= 30) << covers;
    EXPECT_EQ(b.display.lines.size(), linesBefore);  // cover records show nothing

    pair.kill(1);
    pair.runFor(20.0);
    const double notice = a.display.timeOf("peer:peer reconnecting...");
    ASSERT_GT(notice, 0);
    const double waiting = a.display.timeOf("status:waiting for peer...", 2);
    EXPECT_NEAR(waiting - notice, 5.0, 1e-6);
    // The reconnect no-peer timer prints nothing of its own.
    EXPECT_NEAR(a.display.timeOf("status:reconnecting...", 1) - waiting, 8.0, 1e-6);
    EXPECT_NEAR(a.display.timeOf("status:connecting...", 2) - waiting, 8.3, 1e-6);
    EXPECT_EQ(a.display.count("status:timeout — no peer, retrying..."), 1u);
}

}  // namespace
}  // namespace duoquill::test
