// Handshakes that keep failing, ended by the 5-second handshake timer or by altered hellos:
// said once while the client retries, without a flood of hellos.

#include <gtest/gtest.h>

#include "Kit/MachineChat.h"

namespace duoquill::test {
namespace {

TEST(HandshakeFailures, TheThirdInARowIsSaidOnceAndTheCountStartsAgainWhenActive) {
    const std::string said =
        "status:three handshakes in a row failed; still retrying (something on the way may be altering messages)";
    MachinePair pair;
    auto& a = pair.launch(0);
    auto& b = pair.launch(1);
    // Every kex2 and ready is lost until the line has been said `times` times on a (and on b
    // when asked: when one side's ready gets through, the other's count starts again sooner).
    const auto spoil = [&](std::size_t times, bool onBoth) {
        while (a.display.count(said) < times || (onBoth && b.display.count(said) < times)) {
            if (!pair.relay.hasLossPending()) {
                pair.relay.loseNextTunnelFrameFrom(0);
                pair.relay.loseNextTunnelFrameFrom(1);
            }
            pair.runFor(0.05);
            ASSERT_LT(pair.timeline.now(), 120.0) << "never said";
            ASSERT_FALSE(pair.bothActive());
        }
    };
    spoil(1, true);
    for (auto* p : {&a, &b}) {
        EXPECT_GE(p->display.count("status:handshaking..."), 3u);
        EXPECT_NEAR(p->display.timeOf("status:waiting for peer...", 1) - p->display.timeOf("status:handshaking..."), 5.0,
                    1e-6);
    }
    pair.relay.cancelPendingLosses();
    ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 30.0));
    EXPECT_EQ(a.display.count(said), 1u);
    EXPECT_EQ(b.display.count(said), 1u);
    EXPECT_FALSE(a.display.contains("status:timeout — no peer, retrying..."));

    // Once a session was active, it takes three new failures to say it again.
    pair.relay.cutConnectionOf(0);
    ASSERT_TRUE(pair.runUntil([&] { return !pair.bothActive(); }, 5.0));
    spoil(2, false);
    pair.relay.cancelPendingLosses();
    EXPECT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 30.0));
    EXPECT_EQ(a.display.count(said), 2u);
}

// A relay that alters every hello: the two clients must not answer each failure with a hello
// at once, and must meet within seconds once hellos come through whole.
TEST(HandshakeFailures, AlteredHellosAreAnsweredAfterABackOffAndTheSessionFormsSoonAfter) {
    for (const std::uint64_t seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        MachinePair pair(seed);
        pair.relay.setSpoilingHellos(true);
        auto& a = pair.launch(0);
        auto& b = pair.launch(1);
        const auto frames = [&] { return pair.relay.deliveredTo(0).size() + pair.relay.deliveredTo(1).size(); };
        // Stops at once when the limit is passed: a flood would take minutes to simulate.
        pair.timeline.runFor(45.0, [&] { return frames() > 10u * 45u; });
        ASSERT_LE(frames(), 10u * 45u);
        ASSERT_GE(pair.timeline.now(), 45.0);
        ASSERT_FALSE(pair.bothActive());
        for (auto* p : {&a, &b}) {
            std::size_t errors = 0;
            for (const auto& line : p->display.lines) errors += line.starts_with("status:[handshake error] ");
            EXPECT_EQ(errors, 1u) << "said once until it stops";
        }

        pair.relay.setSpoilingHellos(false);
        const double stopped = pair.timeline.now();
        ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 10.0));
        EXPECT_LE(pair.timeline.now() - stopped, 3.0);
        for (auto* p : {&a, &b}) {
            // The count is said when the session forms.
            const auto& lines = p->display.lines;
            const auto counted = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
                return line.starts_with("status:[handshake error] ") && line.ends_with(" times)");
            });
            EXPECT_NE(counted, lines.end());
        }
    }
}

}  // namespace
}  // namespace duoquill::test
