// scripts/demo without a terminal, on the programs of this build: the scripted exchange it
// prints, and that it leaves no process or file behind, whether it ends or is interrupted.

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "Kit/ChatCliProcess.h"

namespace duoquill::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string demoPath = (sourceDir() / "scripts" / "demo").string();

// The programs of this build, temporary files under `temporary`, and no scripted-mode override.
ProcessOptions demoOptions(const TempDir& temporary) {
    ProcessOptions options;
    options.environment = {{"DUOQUILL_DEMO_BIN_DIR", cliPath().parent_path().string()}, {"TMPDIR", temporary.str()}};
    options.unsetEnvironment = {"DUOQUILL_DEMO_SCRIPTED", "DUOQUILL_KEY_LABEL"};
    options.timeout = 60s;
    return options;
}

// The section of the demo's output that shows one side's screen.
std::string screenOf(const std::string& output, const std::string& who) {
    const auto start = output.find("==== " + who + "'s screen ====");
    if (start == std::string::npos) return {};
    return output.substr(start, output.find("==== ", start + 5) - start);
}

// The relay the demo announced on standard error is gone, and so is every file and process of
// its temporary directory (pgrep prints each process whose command line mentions them).
void expectNothingLeft(const TempDir& temporary, const std::string& log) {
    const auto at = log.find("relay  wss://");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_TRUE(fs::is_empty(temporary.path())) << "left in " << temporary.str();
    for (const auto& mentioned : {temporary.str(), log.substr(at + 7, log.find('\n', at) - at - 7)}) {
        EXPECT_EQ(runProcess("/usr/bin/pgrep", {"-af", mentioned}).standardOutput, "");
    }
}

TEST(Demo, ScriptedExchangeShowsBothSidesAndCleansUp) {
    TempDir temporary;
    const auto result = runProcess(demoPath, {}, demoOptions(temporary));
    EXPECT_EQ(result.exitStatus, 0) << result.standardOutput << result.standardError;

    const std::string& out = result.standardOutput;
    EXPECT_EQ(out.find_first_of("\x1b\r"), std::string::npos) << "escape sequences left in the printed screens";

    const std::string alice = screenOf(out, "alice"), bob = screenOf(out, "bob");
    const std::string fromAlice = "Hi Bob, this line is end-to-end encrypted.",
                      fromBob = "Hi Alice! The relay only sees padded frames.";
    // Prompts the display leaves in front of the next line are taken out.
    for (const auto* screen : {&alice, &bob}) EXPECT_EQ(screen->find("\n> "), std::string::npos) << *screen;
    // Each side shows the banner and the connection, its own line as sent, then the peer's as
    // received, then leaves.
    const std::string banner = "| Duoquill - Secure Chat", connected = " connected — PQ handshake complete\n";
    EXPECT_TRUE(inOrder(alice, {banner, connected, " you > " + fromAlice + "\n", " peer > " + fromBob + "\n",
                                "disconnected: quit"})) << alice;
    EXPECT_TRUE(inOrder(bob, {banner, connected, " peer > " + fromAlice + "\n", " you > " + fromBob + "\n",
                              "waiting for peer...", "disconnected: quit"})) << bob;
    // Alice's goodbye confirmed the line she showed.
    EXPECT_EQ(bob.find("not confirmed by the peer"), std::string::npos) << bob;

    expectNothingLeft(temporary, result.standardError);
}

TEST(Demo, InterruptedWhileChattingLeavesNothing) {
    TempDir temporary;
    RunningProcess demo(demoPath, {}, demoOptions(temporary));
    demo.closeInput();

    // Interrupt once both chats are connected, while their processes and FIFOs exist.
    const auto connected = [&] {
        for (const auto& stage : fs::directory_iterator(temporary.path())) {
            for (const char* who : {"alice.screen", "bob.screen"}) {
                std::error_code ec;
                const auto screen = stage.path() / who;
                if (!fs::exists(screen, ec) || readFile(screen).find(" connected \u2014") == std::string::npos) return false;
            }
            return true;
        }
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!connected() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    ASSERT_EQ(::kill(demo.pid(), SIGINT), 0);
    ASSERT_EQ(demo.waitForExit(30s), std::optional<int>(130)) << "the interrupted demo did not end as interrupted\n"
                                                             << demo.standardOutput() << demo.standardError();
    expectNothingLeft(temporary, demo.standardError());
}

}  // namespace
}  // namespace duoquill::test
