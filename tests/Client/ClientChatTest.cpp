// Two clients through the simulated relay: the start sequence, the line-size limits, quitting
// and starting again.

#include <gtest/gtest.h>

#include "Duoquill/Protocol/RelayMessages.h"
#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Kit/MachineChat.h"

namespace duoquill::test {
namespace {

using Kind = cli::chat::Phase;

class ClientChat : public ::testing::Test {
protected:
    void SetUp() override {
        pair.launch(0);
        pair.launch(1);
        ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 10.0));
    }
    MachineProcess& a() { return pair.process(0); }
    MachineProcess& b() { return pair.process(1); }

    // Types on `from` and waits until `to` shows it.
    bool crosses(MachineProcess& from, MachineProcess& to, const std::string& line) {
        from.type(line);
        return pair.runUntil([&] { return to.display.contains("received:" + line); }, 5.0);
    }
    // The lines shown on `p` for a typed line, when they come at once.
    std::vector<std::string> shownFor(MachineProcess& p, std::string line) {
        const auto before = p.display.lines.size();
        p.type(std::move(line));
        pair.runFor(0.001);
        return p.display.since(before);
    }

    MachinePair pair;
};

// Lines in both directions, their order and text, are shown by the end-to-end tests with the
// real binaries; here, what needs simulated time or a look inside the client.
TEST_F(ClientChat, LinesThatCouldOverflowATunnelFrameAreRefusedBeforeTheSessionMoves) {
    for (auto* p : {&a(), &b()}) {
        EXPECT_EQ(p->display.lines, (std::vector<std::string>{"banner", "status:connecting...", "status:waiting for peer...",
                                                              "status:handshaking...", "connected", "prompt"}));
    }
    // An empty line shows only the prompt and sends nothing.
    const auto framesBefore = pair.relay.deliveredTo(1).size();
    EXPECT_EQ(shownFor(a(), ""), std::vector<std::string>{"prompt"});
    EXPECT_EQ(pair.relay.deliveredTo(1).size(), framesBefore);

    const std::size_t longest = protocol::longestAlwaysAcceptedLine();
    EXPECT_EQ(longest, 45307u);
    EXPECT_EQ(protocol::longestAlwaysAcceptedLine(true), longest);  // line numbers fit in the same frames
    const std::vector<std::string> refused{"error:message too large", "prompt"};

    // The side with a ratchet step due sends; each answer makes a step due again.
    MachineProcess& sender = a().machine->currentSession()->isDHRatchetPending() ? a() : b();
    MachineProcess& receiver = &sender == &a() ? b() : a();
    for (int i = 0; i < 4; ++i) {
        // Cover records may take the due header first.
        if (sender.machine->currentSession()->isDHRatchetPending()) {
            EXPECT_EQ(shownFor(sender, std::string(longest + 1, 'r')), refused);
        }
        EXPECT_EQ(shownFor(sender, std::string(protocol::maxChatLineBytes + 1, 'r')), refused);
        ASSERT_TRUE(crosses(sender, receiver, std::string(longest, static_cast<char>('a' + i))));
        ASSERT_TRUE(crosses(receiver, sender, "ok " + std::to_string(i)));
    }
    // After a line of its own no header is due, so up to 48379 bytes fit.
    ASSERT_TRUE(crosses(sender, receiver, "first"));
    ASSERT_FALSE(sender.machine->currentSession()->isDHRatchetPending());
    EXPECT_EQ(shownFor(sender, std::string(48380, 'w')), refused);
    ASSERT_TRUE(crosses(sender, receiver, std::string(48379, 'w')));
    EXPECT_TRUE(a().isActive() && b().isActive());
    EXPECT_FALSE(receiver.display.contains("error:session expired — restarting..."));
}

TEST_F(ClientChat, QuitSaysGoodbyeThroughTheTunnelAndTheNextStartMeetsAgain) {
    // A quits as soon as it shows B's line: only the goodbye can confirm it.
    ASSERT_TRUE(crosses(b(), a(), "last word"));
    ASSERT_FALSE(b().machine->outbox().empty());
    const auto framesBefore = pair.relay.deliveredTo(1).size();
    const auto bLinesBefore = b().display.lines.size();
    a().quit();
    ASSERT_TRUE(pair.runUntil([&] { return a().exitStatus.has_value(); }, 5.0));
    EXPECT_EQ(*a().exitStatus, 0);
    EXPECT_EQ(a().display.lines.back(), "peer:disconnected: quit");
    ASSERT_TRUE(pair.runUntil([&] { return b().state() == Kind::waitingForPeer; }, 5.0));
    pair.runFor(1.0);
    // Exactly one tunnel frame (the goodbye), then the relay's notice, which B ignores.
    const auto& toB = pair.relay.deliveredTo(1);
    std::vector<std::string> after(toB.begin() + static_cast<long>(framesBefore), toB.end());
    std::erase_if(after, [&](const std::string& f) { return f.front() != '{' && &f != &after.front(); });
    ASSERT_GE(after.size(), 2u);
    EXPECT_NE(after[0].front(), '{');
    EXPECT_EQ(after[1], protocol::encodePeerDisconnected());
    EXPECT_EQ(b().display.since(bLinesBefore), std::vector<std::string>{"status:waiting for peer..."});
    EXPECT_TRUE(b().machine->outbox().empty());

    // The client starts again; a line typed before its handshake waits and goes first.
    pair.launch(0).type("too early");
    ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 15.0));
    ASSERT_TRUE(crosses(a(), b(), "back again"));
    EXPECT_EQ(a().display.count("queued:too early"), 1u);
    EXPECT_EQ(a().display.count("status:sending 1 line queued"), 1u);
    const auto& shown = b().display.lines;
    EXPECT_EQ(std::count(shown.begin(), shown.end(), "received:too early"), 1);
    EXPECT_LT(std::find(shown.begin(), shown.end(), "received:too early"),
              std::find(shown.begin(), shown.end(), "received:back again"));
}

// With the peer gone, lines wait in the queue up to its bound; the next is refused, none is
// dropped, and quitting lists what the peer never confirmed.
TEST_F(ClientChat, TheQueueRefusesALinePastItsBoundAndTheExitListsTheUnconfirmed) {
    pair.kill(1);
    ASSERT_TRUE(pair.runUntil([&] { return a().state() == Kind::waitingForPeer; }, 10.0));
    for (std::size_t i = 0; i < cli::Outbox::maxLines; ++i) a().type("line " + std::to_string(i) + " ✓ " + std::string(60, 'x'));
    pair.runFor(0.001);
    const std::string full = "error:line not sent: the queue of lines waiting for the peer is full";
    EXPECT_FALSE(a().display.contains(full));
    EXPECT_EQ(shownFor(a(), "one too many"), std::vector<std::string>{full});  // no prompt while not active
    EXPECT_EQ(a().display.count("queued:line 999 ✓ " + std::string(60, 'x')), 1u);

    const auto before = a().display.lines.size();
    a().quit();
    ASSERT_TRUE(pair.runUntil([&] { return a().exitStatus.has_value(); }, 5.0));
    EXPECT_EQ(*a().exitStatus, 0);
    const std::string shortened = " ✓ " + std::string(40 - 9, 'x') + "…";
    EXPECT_EQ(a().display.since(before),
              (std::vector<std::string>{"peer:disconnected: quit", "error:1000 lines were not confirmed by the peer:",
                                        "status:  line 0" + shortened, "status:  line 1" + shortened,
                                        "status:  line 2" + shortened, "status:  line 3" + shortened,
                                        "status:  line 4" + shortened, "status:  … and 995 more"}));
}

}  // namespace
}  // namespace duoquill::test
