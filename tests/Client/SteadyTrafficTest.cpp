// Steady clients as the relay sees them: two real clients on the simulated relay, every frame
// each sends recorded with its time and size. One run has one side typing at random moments,
// short lines and 20 KB ones; the other, with the same draws, has nobody typing. Once active,
// each side sends one frame per cover tick, of a cover frame's size, at the same moments in both
// runs; every line arrives once, in order, long ones whole.

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <set>

#include "Duoquill/Base/CryptoCore.h"
#include "Kit/InProcessChat.h"

namespace duoquill::test {
namespace {

// The tunnel frame sizes a cover record's "msg" can have: one bucket or two without a ratchet
// header, two to five with one.
const std::set<std::size_t> coverFrameSizes = {1560, 3096, 4632, 6168, 7704};

struct Frame {
    double time;
    std::size_t bytes;
};

// What each side sent once both were active, as the relay took it.
using Recorded = std::array<std::vector<Frame>, 2>;

// Side 0 types `lines` at random moments of the first `typingSeconds`; both run for `seconds`.
// Each line is shown sent after it was queued, and arrives once, in order, whole.
Recorded steadyRun(std::uint64_t seed, const std::vector<std::string>& lines, double typingSeconds, double seconds,
              bool peerBase = false) {
    MachinePair pair(seed);
    pair.steady[0] = true;
    pair.steady[1] = !peerBase;
    pair.baseProtocolOnly[1] = peerBase;
    Recorded run;
    double activeSince = -1;
    for (int owner : {0, 1}) {
        pair.relay.setRewriting(owner, [&run, &pair, &activeSince, owner](const std::string& text) {
            if (activeSince >= 0 && !text.starts_with("{")) {
                run[owner].push_back({pair.timeline.now(), bytesFromBase64String(text).value_or(Bytes{}).size()});
            }
            return text;
        });
    }
    pair.launch(0);
    pair.launch(1);
    EXPECT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 30.0));
    activeSince = pair.timeline.now();

    std::mt19937_64 random(seed);
    std::vector<double> moments(lines.size());
    std::ranges::generate(moments, [&] { return std::uniform_real_distribution<double>(0, typingSeconds)(random); });
    std::ranges::sort(moments);
    const double start = pair.timeline.now();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        pair.timeline.runUntil(start + moments[i]);
        pair.process(0).type(lines[i]);
    }
    pair.timeline.runUntil(start + seconds);
    EXPECT_TRUE(pair.bothActive());
    std::vector<std::string> shownByPeer;
    for (const auto& line : pair.process(1).display.lines) {
        if (line.starts_with("received:")) shownByPeer.push_back(line.substr(9));
    }
    EXPECT_EQ(shownByPeer, lines);
    const auto sentLater = [](const std::string& line) { return line.starts_with("sent later:"); };
    EXPECT_EQ(std::ranges::count_if(pair.process(0).display.lines, sentLater), std::ssize(lines));
    for (int w : {0, 1}) EXPECT_EQ(pair.process(w).display.contains("status:steady: both sides"), !peerBase) << w;
    return run;
}

std::vector<double> intervals(const std::vector<Frame>& frames) {
    std::vector<double> out;
    for (std::size_t i = 1; i < frames.size(); ++i) out.push_back(frames[i].time - frames[i - 1].time);
    return out;
}

TEST(SteadyTraffic, TypingLeavesNoTraceInTheFramesEvenWithABasePeerAndEveryLineArrivesOnceWhole) {
    std::vector<std::string> lines;
    for (int i = 0; i < 8; ++i) lines.push_back("short line " + std::to_string(i));
    for (char fill : {'x', 'y'}) lines.push_back('<' + std::string(20 * 1024 - 2, fill) + '>');
    std::shuffle(lines.begin(), lines.end(), std::mt19937_64(3));
    constexpr double seconds = 900;
    const Recorded typing = steadyRun(11, lines, 300, seconds);
    const Recorded idle = steadyRun(11, {}, 300, seconds);

    for (const Recorded* run : {&typing, &idle}) {
        for (int owner : {0, 1}) {
            SCOPED_TRACE(std::string(run == &typing ? "typing" : "idle") + " side " + std::to_string(owner));
            ASSERT_GT((*run)[owner].size(), seconds / 5);
            for (const auto& frame : (*run)[owner]) EXPECT_TRUE(coverFrameSizes.contains(frame.bytes)) << frame.bytes;
            // One frame per tick: every gap is one draw of 2 to 5 s (the relay's latency aside).
            for (const double gap : intervals((*run)[owner])) {
                EXPECT_TRUE(gap >= 2.0 - 0.08 && gap <= 5.0 + 0.08) << gap;
            }
        }
    }
    // The same draws give the same moments, frame for frame, typing or not.
    const auto same = [](double a, double b) { return std::abs(a - b) < 1e-9; };
    for (int owner : {0, 1}) {
        EXPECT_TRUE(std::ranges::equal(intervals(typing[owner]), intervals(idle[owner]), same)) << owner;
    }
    // A steady client with a peer of the base protocol chats, and lines that fit a cover record's
    // padding go in cover-sized frames (the size note of a longer line: ChatMachineTest).
    const Recorded withBasePeer = steadyRun(5, {"one", std::string(251, 's'), "three"}, 20, 60, true);
    for (const auto& frame : withBasePeer[0]) EXPECT_TRUE(coverFrameSizes.contains(frame.bytes)) << frame.bytes;
}

// A line whose parts were cut short by a lost connection goes again, from its first part, in the
// next session, and is shown once, whole.
TEST(SteadyTraffic, ALineCutShortGoesAgainFromItsFirstPart) {
    MachinePair pair(9);
    pair.steady[0] = pair.steady[1] = true;
    pair.launch(0);
    pair.launch(1);
    ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 30.0));
    const std::string line = std::string(1999, 'c') + '!';
    pair.process(0).type(line);
    pair.runFor(12.0);
    pair.relay.cutConnectionOf(0);
    ASSERT_TRUE(pair.runUntil([&] { return pair.process(1).display.contains("received:" + line); }, 120.0));
    pair.runFor(30.0);
    EXPECT_EQ(pair.process(1).display.count("received:" + line), 1u);
    EXPECT_TRUE(pair.process(0).lines.unconfirmed.empty());
}

}  // namespace
}  // namespace duoquill::test
