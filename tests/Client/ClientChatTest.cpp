// Two clients through the simulated relay: the start sequence, chat both ways, the line-size
// limits, quitting.

#include <gtest/gtest.h>

#include "ChatTestSupport.h"
#include "Duoquill/Crypto/PFSChatSession.h"

namespace duoquill::test {
namespace {

using Kind = cli::CLIChatClient::State::Kind;
using cli::CLIChatClient;

class ClientChat : public ::testing::Test {
protected:
    void SetUp() override {
        pair.launch(0);
        pair.launch(1);
        ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 10.0));
    }
    ChatProcess& a() { return pair.process(0); }
    ChatProcess& b() { return pair.process(1); }

    // Types on `from` and waits until `to` shows it.
    bool crosses(ChatProcess& from, ChatProcess& to, const std::string& line) {
        from.type(line);
        return pair.runUntil([&] { return to.display.contains("received:" + line); }, 5.0);
    }

    ChatPair pair;
};

TEST_F(ClientChat, FirstConnectionShowsTheStartSequence) {
    for (auto* p : {&a(), &b()}) {
        const std::vector<std::string> expected{"banner", "status:connecting...", "status:waiting for peer...",
                                                "status:handshaking...", "connected", "prompt"};
        EXPECT_EQ(p->display.lines, expected);
    }
    EXPECT_NE(a().client->leadsRecovery(), b().client->leadsRecovery());
    EXPECT_EQ(a().client->roomToken(), b().client->roomToken());
    EXPECT_EQ(a().client->roomCode(), b().client->roomCode());
}

TEST_F(ClientChat, LinesCrossBothWaysInOrder) {
    const std::vector<std::string> lines{"x", "hello there", std::string(2000, 'q'), "gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x91\x8B",
                                         " "};
    for (const auto& line : lines) {
        a().type(line);
        b().type(line + "!");
    }
    ASSERT_TRUE(pair.runUntil([&] { return b().display.contains("received:" + lines.back()) &&
                                           a().display.contains("received:" + lines.back() + "!"); },
                              10.0));
    std::vector<std::string> gotByB, gotByA, sentByA;
    for (const auto& l : b().display.lines) if (l.starts_with("received:")) gotByB.push_back(l.substr(9));
    for (const auto& l : a().display.lines) if (l.starts_with("received:")) gotByA.push_back(l.substr(9));
    for (const auto& l : a().display.lines) if (l.starts_with("sent:")) sentByA.push_back(l.substr(5));
    EXPECT_EQ(gotByB, lines);
    EXPECT_EQ(sentByA, lines);
    ASSERT_EQ(gotByA.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(gotByA[i], lines[i] + "!");
    // Chat goes on across many turns of the ratchet.
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(crosses(a(), b(), "ping " + std::to_string(i)));
        ASSERT_TRUE(crosses(b(), a(), "pong " + std::to_string(i)));
    }
}

TEST_F(ClientChat, EmptyLineShowsOnlyThePrompt) {
    const auto before = a().display.lines.size();
    const auto framesBefore = pair.relay.deliveredTo(1).size();
    a().type("");
    pair.runFor(0.001);
    EXPECT_EQ(a().display.since(before), std::vector<std::string>{"prompt"});
    EXPECT_EQ(pair.relay.deliveredTo(1).size(), framesBefore);
}

TEST_F(ClientChat, LongestAlwaysAcceptedLineCrossesAndLongerLinesAreRefused) {
    const std::size_t longest = CLIChatClient::longestAlwaysAcceptedLine();
    EXPECT_EQ(longest, 45307u);
    EXPECT_LE(CLIChatClient::largestMsgTextLength(longest, true), CLIChatClient::maxTunnelPayload);
    EXPECT_GT(CLIChatClient::largestMsgTextLength(longest + 1, true), CLIChatClient::maxTunnelPayload);

    // The side with a ratchet step due sends; each answer makes a step due again.
    ChatProcess& sender = a().client->currentSession()->isDHRatchetPending() ? a() : b();
    ChatProcess& receiver = &sender == &a() ? b() : a();
    const auto refused = [&](ChatProcess& p, std::size_t size) {
        const auto before = p.display.lines.size();
        p.type(std::string(size, 'r'));
        pair.runFor(0.001);
        return p.display.since(before) == std::vector<std::string>{"error:message too large", "prompt"};
    };
    for (int i = 0; i < 4; ++i) {
        // Cover records may take the due header first.
        if (sender.client->currentSession()->isDHRatchetPending()) {
            EXPECT_TRUE(refused(sender, longest + 1));
        }
        EXPECT_TRUE(refused(sender, CLIChatClient::maxLineBytes + 1));
        ASSERT_TRUE(crosses(sender, receiver, std::string(longest, static_cast<char>('a' + i))));
        ASSERT_TRUE(crosses(receiver, sender, "ok"));
    }
    EXPECT_EQ(a().state(), Kind::active);
    EXPECT_EQ(b().state(), Kind::active);
    EXPECT_FALSE(receiver.display.contains("error:session expired — restarting..."));
}

TEST_F(ClientChat, LineOfFullSizeWithoutPendingHeaderIsSent) {
    // After a line of its own no header is due, so up to 48379 bytes fit.
    ASSERT_TRUE(crosses(a(), b(), "first"));
    ASSERT_FALSE(a().client->currentSession()->isDHRatchetPending());
    EXPECT_EQ(CLIChatClient::largestMsgTextLength(48379, false), 65244u);
    EXPECT_LE(CLIChatClient::largestMsgTextLength(48379, false), CLIChatClient::maxTunnelPayload);
    EXPECT_GT(CLIChatClient::largestMsgTextLength(48380, false), CLIChatClient::maxTunnelPayload);
    ASSERT_TRUE(crosses(a(), b(), std::string(48379, 'w')));
}

TEST_F(ClientChat, QuitSaysGoodbyeThroughTheTunnelAndThePeerWaitsForANewSession) {
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
    EXPECT_EQ(after[1], R"({"t":"peer-disconnected"})");
    EXPECT_EQ(b().display.since(bLinesBefore), std::vector<std::string>{"status:waiting for peer..."});

    // The quitting client starts again and the two meet.
    pair.launch(0);
    ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 10.0));
    ASSERT_TRUE(crosses(pair.process(0), b(), "back again"));
}

TEST_F(ClientChat, LinesTypedBeforeTheHandshakeAreDropped) {
    pair.kill(0);
    pair.launch(0);
    a().type("too early");
    ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 15.0));
    pair.runFor(1.0);
    EXPECT_FALSE(b().display.contains("received:too early"));
    EXPECT_FALSE(a().display.contains("sent:too early"));
}

}  // namespace
}  // namespace duoquill::test
