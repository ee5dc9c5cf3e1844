// Recovery under random fault schedules: two clients with real sessions, the simulated relay
// and simulated time. After the last fault both clients must be active again within 30
// simulated seconds, and a typed line must then cross in each direction. Lines are typed at
// random moments throughout, also while no session is active. Whatever the faults (a hostile
// spell of the relay among them), no process shows a line its peer did not type, or one line
// twice; once recovered, every line typed by a process still running has been shown by the
// peer. With one side a client of the base protocol only, which confirms nothing, lines may be
// lost, but never shown twice, and the two still meet again.
//
// DUOQUILL_RECOVERY_SCHEDULES sets the number of schedules (default 2000, 250 in the
// sanitiser build, which runs ten times slower); DUOQUILL_RECOVERY_SEED the first seed.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <cstdlib>
#include <random>
#include <set>
#include <sstream>

#include "Kit/InProcessChat.h"

namespace duoquill::test {
namespace {

#ifdef NDEBUG
constexpr std::uint64_t defaultSchedules = 2000;
#else
constexpr std::uint64_t defaultSchedules = 250;
#endif
constexpr double recoveryLimitSeconds = 30.0;
constexpr double probeLimitSeconds = 5.0;

enum class Fault { restartProcess, loseFrame, loseFramesBothWays, cutConnection, restartRelay, replayOldHello, hostileSpell };
const char* const faultNames[] = {"restart", "lose-frame", "lose-both", "cut", "relay-restart", "replay-hello", "hostile"};

class Schedule {
public:
    // One to four faults of every kind. `baseSide`: the side that speaks the base protocol only.
    explicit Schedule(std::uint64_t seed, std::optional<int> baseSide = std::nullopt)
        : pair_(seed), random_(seed * 0x9E3779B97F4A7C15ULL + 1), baseSide_(baseSide) {
        if (baseSide) pair_.baseProtocolOnly[*baseSide] = true;
    }

    // What went wrong, or nothing when both recovered in time.
    std::string run() {
        launch(0);
        launch(1);
        if (!pair_.runUntil([&] { return pair_.bothActive(); }, 30.0)) return fail("no first handshake");

        const int faults = uniformInt(1, 4);
        double lastFault = now();
        for (int i = 0; i < faults; ++i) {
            runTyping(uniform(0.0, 12.0));
            lastFault = std::max(lastFault, inject());
        }
        if (auto failure = awaitRecovery(lastFault); !failure.empty()) return failure;
        return checkDelivery();
    }

    // Lines typed by every process of both sides.
    std::size_t typedCount = 0;

private:
    void launch(int side) {
        pair_.launch(side);
        incarnation_[side].emplace_back();
    }
    // What the process showed, kept past its end.
    void keepShown(int side) {
        shownBy_[side].resize(incarnation_[side].size());
        auto& shown = shownBy_[side].back();
        shown.clear();
        for (const auto& line : pair_.process(side).display.lines) {
            if (line.starts_with("received:")) shown.insert(line.substr(9));
        }
    }
    // Runs time on, each side typing now and then (whatever its state).
    void runTyping(double seconds) {
        const double end = now() + seconds;
        while (now() < end) {
            pair_.runFor(std::min(end - now(), uniform(0.2, 3.0)));
            const int side = uniformInt(0, 1);
            type(side, "line " + std::to_string(side) + "." + std::to_string(incarnation_[side].size()) + "." +
                           std::to_string(typedCount));
        }
    }
    double now() const { return pair_.timeline.now(); }
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random_); }
    int uniformInt(int lo, std::size_t hi) { return std::uniform_int_distribution<int>(lo, static_cast<int>(hi))(random_); }

    void type(int side, const std::string& line) {
        if (!pair_.isRunning(side)) return;
        pair_.process(side).type(line);
        typed_[side].insert(line);
        incarnation_[side].back().push_back(line);
        ++typedCount;
    }

    // Injects one fault; returns the time at which it took effect.
    double inject() {
        const Fault fault = static_cast<Fault>(uniformInt(0, std::size(faultNames) - 1));
        const int side = uniformInt(0, 1);
        trace_ << faultNames[static_cast<int>(fault)] << "(" << side << ")@" << now() << " ";
        switch (fault) {
            case Fault::restartProcess: {
                keepShown(side);
                pair_.kill(side);
                // Back within the peer's grace, or well after it.
                runTyping(uniform(0.0, 10.0));
                launch(side);
                return now();
            }
            case Fault::loseFrame:
            case Fault::loseFramesBothWays: {
                pair_.relay.loseNextTunnelFrameFrom(side);
                if (fault == Fault::loseFramesBothWays) pair_.relay.loseNextTunnelFrameFrom(1 - side);
                // The loss happens with the next tunnel frame (cover traffic: within 5 s); a
                // side that sends nothing for longer loses nothing.
                const double start = now();
                pair_.runUntil([&] { return !pair_.relay.hasLossPending(); }, 15.0);
                pair_.relay.cancelPendingLosses();
                return std::max(start, pair_.relay.lastLossTime());
            }
            case Fault::cutConnection: pair_.relay.cutConnectionOf(side); return now();
            case Fault::restartRelay: pair_.relay.restart(); return now();
            case Fault::replayOldHello: pair_.relay.replayOldHello(side); return now();
            case Fault::hostileSpell: {
                pair_.relay.setHostile(true);
                for (int i = 0; i < 40; ++i) {
                    type(i % 2, "spell " + std::to_string(i) + "." + std::to_string(typedCount) + " — ✓");
                    pair_.runFor(0.5);
                }
                pair_.relay.setHostile(false);
                return now();
            }
        }
        return now();
    }

    std::string awaitRecovery(double lastFault) {
        const double deadline = lastFault + recoveryLimitSeconds;
        for (int probe = 0; now() <= deadline; ++probe) {
            if (!pair_.runUntil([&] { return pair_.bothActive(); }, std::max(0.0, deadline - now()))) break;
            // Both look active; the pairing is real only if lines cross both ways. A probe
            // typed while a connection is dying may be lost: then try again.
            const std::string toB = "probe a" + std::to_string(probe), toA = "probe b" + std::to_string(probe);
            type(0, toB);
            type(1, toA);
            const auto crossed = [&] {
                return pair_.process(1).display.contains("received:" + toB) &&
                       pair_.process(0).display.contains("received:" + toA);
            };
            if (!pair_.runUntil(crossed, probeLimitSeconds)) continue;
            if (pair_.process(0).exitStatus || pair_.process(1).exitStatus) return fail("a client ended the process");
            const auto connectedLate = [&](int w) {
                const auto connected = pair_.process(w).display.timesOf("connected");
                return !connected.empty() && connected.back() > deadline;
            };
            if (connectedLate(0) || connectedLate(1)) break;
            return {};
        }
        return fail("no recovery within 30 s of the last fault");
    }

    // After recovery: each process showed each line at most once, and only lines typed; the
    // lines of a process still running reached its peer, unless the peer confirms nothing.
    std::string checkDelivery() {
        // Unconfirmed lines go out with the next session.
        if (!baseSide_) pair_.runUntil([&] { return neverShown().empty(); }, 20.0);
        for (int w = 0; w < 2; ++w) {
            keepShown(w);
            for (const auto& shown : shownBy_[w]) {
                for (const auto& line : shown) {
                    if (shown.count(line) > 1) return fail("shown twice by one process: " + line);
                    if (!typed_[1 - w].contains(line)) return fail("shown but never typed: " + line);
                }
            }
        }
        if (const std::string line = neverShown(); !baseSide_ && !line.empty()) {
            return fail("typed by a running process, never shown: " + line);
        }
        return {};
    }

    // A line typed by a running process that no process of its peer's side has shown; nothing
    // when there is none.
    std::string neverShown() {
        for (int w = 0; w < 2; ++w) {
            keepShown(w);
            std::set<std::string> everShown;
            for (const auto& shown : shownBy_[w]) everShown.insert(shown.begin(), shown.end());
            for (const auto& line : incarnation_[1 - w].back()) {
                if (!everShown.contains(line)) return line;
            }
        }
        return {};
    }

    std::string fail(const std::string& why) {
        std::ostringstream out;
        out << trace_.str() << "| " << why << " at " << now();
        for (int w = 0; w < 2; ++w) {
            if (!pair_.isRunning(w)) continue;
            out << "\n  side " << w << (pair_.process(w).machine().leadsRecovery() ? " (leads)" : "") << ":";
            const auto& d = pair_.process(w).display;
            const std::size_t from = d.lines.size() > 40 ? d.lines.size() - 40 : 0;
            for (std::size_t i = from; i < d.lines.size(); ++i) out << "\n    " << d.times[i] << " " << d.lines[i].substr(0, 60);
        }
        return out.str();
    }

    MachinePair pair_;
    std::mt19937_64 random_;
    std::optional<int> baseSide_;
    std::ostringstream trace_;
    std::multiset<std::string> typed_[2];
    std::vector<std::vector<std::string>> incarnation_[2];  // lines typed by each process of a side
    std::vector<std::multiset<std::string>> shownBy_[2];    // lines shown by each process of a side
};

std::uint64_t environmentNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

void runSchedules(std::uint64_t schedules, bool withBasePeer) {
    const std::uint64_t firstSeed = environmentNumber("DUOQUILL_RECOVERY_SEED", 1);
    int failures = 0;
    std::size_t typed = 0;
    for (std::uint64_t seed = firstSeed; seed < firstSeed + schedules && failures < 3; ++seed) {
        // Either side as the base client: ours then leads recovery, or does not.
        Schedule schedule(seed, withBasePeer ? std::optional<int>(static_cast<int>(seed % 2)) : std::nullopt);
        const std::string failure = schedule.run();
        typed += schedule.typedCount;
        failures += !failure.empty();
        EXPECT_TRUE(failure.empty()) << "seed " << seed << ": " << failure;
    }
    ::testing::Test::RecordProperty("typed_lines", static_cast<int>(typed));
}

TEST(RecoverySimulation, EveryScheduleRecoversAndDeliversEachLineOnce) {
    runSchedules(environmentNumber("DUOQUILL_RECOVERY_SCHEDULES", defaultSchedules), false);
}

TEST(RecoverySimulation, AClientOfTheBaseProtocolOnlyRecoversWithUsAndSeesNoLineTwice) {
    runSchedules(environmentNumber("DUOQUILL_RECOVERY_SCHEDULES", defaultSchedules) / 4, true);
}

// A peer of the base protocol (confirms nothing, never adopts a remembered hello) on either side
// of the key order, either side restarting, within its peer's grace or after it: they meet
// again within 10 s, that peer shows no line twice, and ours sends nothing again.
TEST(RecoverySimulation, WithABasePeerEveryRestartMeetsAgainWithinTenSeconds) {
    for (const auto& [baseSide, restarted] : {std::pair{0, 0}, {0, 1}, {1, 0}, {1, 1}}) {
        for (const double away : {0.5, 3.0, 7.0}) {
            MachinePair pair(11);
            pair.baseProtocolOnly[baseSide] = true;
            pair.launch(0);
            pair.launch(1);
            ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 30.0));
            for (int w = 0; w < 2; ++w) pair.process(w).type("before " + std::to_string(w));
            pair.runFor(1.0);
            pair.kill(restarted);
            pair.runFor(away);
            pair.launch(restarted);
            const double back = pair.timeline.now();
            SCOPED_TRACE("base side " + std::to_string(baseSide) + ", restarted " + std::to_string(restarted) +
                         " after " + std::to_string(away) + " s");
            EXPECT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 10.0)) << "not met";
            for (int w = 0; w < 2; ++w) pair.process(w).type("after " + std::to_string(w));
            const auto crossed = [&] {
                return pair.process(0).display.contains("received:after 1") &&
                       pair.process(1).display.contains("received:after 0");
            };
            EXPECT_TRUE(pair.runUntil(crossed, 5.0)) << "no line crossed in " << pair.timeline.now() - back << " s";
            for (int w = 0; w < 2; ++w) {
                for (const auto& line : pair.process(w).display.lines) {
                    EXPECT_TRUE(!line.starts_with("received:") || pair.process(w).display.count(line) == 1)
                        << "shown twice: " << line;
                    EXPECT_EQ(line.find("again"), std::string::npos) << line;
                }
            }
        }
    }
}

}  // namespace
}  // namespace duoquill::test
