// Real processes: duoquill-relay over TLS on loopback (test CA trusted through SSL_CERT_FILE)
// and two `duoquill-cli chat` processes with their own HOME and key label.

#include <gtest/gtest.h>

#include <memory>

#include "Kit/ChatCliProcess.h"
#include "Kit/RelayProcess.h"

namespace duoquill::test {
namespace {

constexpr std::string_view connectedLine = "connected";

class ChatEndToEnd : public ::testing::Test {
protected:
    ChatEndToEnd() : alice_("alice"), bob_("bob") {}

    std::unique_ptr<ChatCliProcess> startAlice() {
        return std::make_unique<ChatCliProcess>(alice_, bob_.publicKey(), relay_->url());
    }
    // Bob types the relay URL with a trailing "/": the same room all the same.
    std::unique_ptr<ChatCliProcess> startBob() {
        return std::make_unique<ChatCliProcess>(bob_, alice_.publicKey(), relay_->url() + "/");
    }
    void restartRelay() {
        const auto port = relay_->port();
        relay_->stop(SIGKILL);
        relay_.reset();
        RelayProcess::Options options;
        options.arguments = {"--listen", "127.0.0.1:" + std::to_string(port)};
        relay_ = std::make_unique<RelayProcess>(options);
    }

    ChatUser alice_, bob_;
    std::unique_ptr<RelayProcess> relay_ = std::make_unique<RelayProcess>();
};

TEST_F(ChatEndToEnd, StartSequenceChatBothWaysLimitsAndQuit) {
    auto a = startAlice();
    auto b = startBob();
    // The prompt is a write of its own after the connected line.
    ASSERT_TRUE(a->waitFor(" connected — PQ handshake complete\n\n> ")) << a->standardError();
    ASSERT_TRUE(b->waitFor(connectedLine)) << b->standardError();

    // After the banner: connecting, waiting, handshaking, connected and an empty line, prompt.
    const std::string shown = plainText(a->standardError());
    const auto at = [&](std::string_view s) { return shown.find(s); };
    ASSERT_NE(at("Duoquill"), std::string::npos);
    EXPECT_LT(at("Duoquill"), at(" connecting..."));
    EXPECT_LT(at(" connecting..."), at(" waiting for peer..."));
    EXPECT_LT(at(" waiting for peer..."), at(" handshaking..."));
    EXPECT_LT(at(" handshaking..."), at(" connected — PQ handshake complete\n\n> "));
    EXPECT_NE(shown.find("> "), std::string::npos);

    const std::vector<std::string> lines{"1", std::string(2000, 'z'), "h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93", "last"};
    for (const auto& line : lines) a->type(line);
    a->type("");
    for (const auto& line : lines) b->type("re: " + line);
    ASSERT_TRUE(b->waitFor("peer > last\n")) << b->standardError();
    ASSERT_TRUE(a->waitFor("peer > re: last\n")) << a->standardError();
    const std::string atB = plainText(b->standardError());
    std::size_t from = 0;
    for (const auto& line : lines) {
        const auto found = atB.find("peer > " + line + "\n", from);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line.substr(0, 20);
        from = found;
    }

    // Too large: one byte over the largest line a message can hold without a ratchet header.
    a->type(std::string(48380, 'L'));
    ASSERT_TRUE(a->waitFor("message too large"));
    a->type("still here");
    ASSERT_TRUE(b->waitFor("still here"));

    a->type("/quit");
    EXPECT_EQ(a->waitForExit(), std::optional<int>(0));
    EXPECT_NE(plainText(a->standardError()).find("disconnected: quit"), std::string::npos);
    ASSERT_TRUE(b->waitFor("waiting for peer...", 10s, 2)) << b->standardError();

    // The user comes back; end of input then quits like /quit.
    auto again = startAlice();
    ASSERT_TRUE(again->waitFor(connectedLine)) << again->standardError();
    ASSERT_TRUE(b->waitFor(connectedLine, 20s, 2));
    again->type("back");
    ASSERT_TRUE(b->waitFor("back"));
    again->closeInput();
    EXPECT_EQ(again->waitForExit(), std::optional<int>(0));
    ASSERT_TRUE(b->waitFor("waiting for peer...", 10s, 3));
    b->closeInput();
    EXPECT_EQ(b->waitForExit(), std::optional<int>(0));
}

TEST_F(ChatEndToEnd, KilledPeerAndRestartedRelayAreRecoveredFrom) {
    auto a = startAlice();
    auto b = startBob();
    ASSERT_TRUE(a->waitFor(connectedLine));
    ASSERT_TRUE(b->waitFor(connectedLine));

    a->killGroup();
    a->waitForExit(5s);
    ASSERT_TRUE(b->waitFor("peer reconnecting...", 10s)) << b->standardError();
    a = startAlice();
    ASSERT_TRUE(a->waitFor(connectedLine, 30s)) << a->standardError();
    ASSERT_TRUE(b->waitFor(connectedLine, 30s, 2)) << b->standardError();
    a->type("after the crash");
    ASSERT_TRUE(b->waitFor("after the crash"));

    restartRelay();
    ASSERT_TRUE(a->waitFor(connectedLine, 30s, 2)) << a->standardError();
    ASSERT_TRUE(b->waitFor(connectedLine, 30s, 3)) << b->standardError();
    b->type("after the relay");
    ASSERT_TRUE(a->waitFor("after the relay"));
}

}  // namespace
}  // namespace duoquill::test
