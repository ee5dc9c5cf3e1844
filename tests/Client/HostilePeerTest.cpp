// The client against a peer that misbehaves on demand (the project's own session driven by the
// test) through the simulated relay: refused hellos, junk, forgeries, hostile text and a gap.

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>
#include <algorithm>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Primitives/Sha2.h"
#include "Kit/MachineChat.h"

namespace duoquill::test {
namespace {

namespace json = boost::json;

struct HostileChat {
    HostileChat() {
        auto hello = peer.nextPlain("hello", 10.0);
        EXPECT_TRUE(hello);
        if (hello) clientHello = std::move(*hello);
    }

    void show(const std::string& line) {
        peer.send(peer.msgFrame(line));
        timeline.runFor(5, [&] { return client.display.contains("received:" + line); });
        ASSERT_TRUE(client.display.contains("received:" + line)) << client.display.lines.back();
    }
    // The lines shown after the first `marker`.
    std::vector<std::string> linesAfter(std::string_view marker) const {
        const auto& lines = client.display.lines;
        const auto at = std::find(lines.begin(), lines.end(), marker);
        if (at == lines.end()) return {"<" + std::string(marker) + " not shown>"};
        return {at + 1, lines.end()};
    }

    ManualTimeline timeline;
    SimulatedRelay relay{timeline, 3};
    MachineProcess client{0, timeline, relay, 3};
    SimulatedPeer peer{relay, 1, client.world.clock, nullptr};
    json::object clientHello;
};

// A hello is unauthenticated: one that asks for no post-quantum key or names another identity
// is refused with an error line, once per session, and the chat goes on with the real peer.
TEST(HostilePeer, RefusedHellosAreSaidOnceAndTheRealPeerStillGetsIn) {
    const std::string stranger = base64URLString(p256::PrivateKey::generate().publicKey().compressed());
    const std::vector<std::tuple<std::string, std::string, std::string>> defects{
        {"mlk", base64String(Bytes(1567, 7)), "Post-quantum key exchange required"},
        {"pkid", base64URLString(sha512(asBytes(stranger))), "Peer identity mismatch"},
    };
    for (const auto& [field, value, message] : defects) {
        SCOPED_TRACE(message);
        HostileChat chat;
        auto hello = chat.peer.hello();
        hello[field] = value;
        chat.peer.send(json::serialize(hello));
        chat.peer.send(json::serialize(hello));
        chat.peer.send(json::serialize(chat.peer.hello()));
        ASSERT_TRUE(chat.peer.handshake(chat.clientHello));
        ASSERT_NO_FATAL_FAILURE(chat.show("still talking"));
        EXPECT_EQ(chat.linesAfter("status:waiting for peer..."),
                  (std::vector<std::string>{"error:" + message, "status:handshaking...", "connected", "prompt",
                                            "received:still talking", "prompt"}));
    }
}

// One conversation: junk before the handshake, forgeries and hostile text while active, then a
// skipped record counter, which restarts the session.
TEST(HostilePeer, JunkForgeriesHostileTextAndAGapAreSurvived) {
    HostileChat chat;
    auto& peer = chat.peer;
    auto badCiphertext = peer.hello();
    badCiphertext["ct"] = "not base64!";
    auto noKeyId = peer.hello();
    noKeyId.erase("pkid");
    const std::vector<std::string> junk{
        "", "{", "{}", R"({"t":5})", R"({"t":"msg","n":0,"d":"AAAA"})", R"({"t":"hello"})", R"({"t":"bye"})",
        R"({"t":"peer-disconnected"})", "[" + std::string(5000, '[') + std::string(5001, ']'),
        "{\"t\":" + std::string(5000, '[') + std::string(5000, ']') + "}", json::serialize(badCiphertext),
        json::serialize(noKeyId),
        json::serialize(chat.clientHello),  // its own, sent back: names the client, not a wrong peer
        base64String(Bytes(45000, 0xA5))};
    for (const auto& frame : junk) peer.send(frame);
    peer.send(json::serialize(peer.hello()));
    ASSERT_TRUE(peer.handshake(chat.clientHello));
    ASSERT_NO_FATAL_FAILURE(chat.show("still talking"));
    EXPECT_EQ(chat.linesAfter("status:waiting for peer..."),
              (std::vector<std::string>{"status:handshaking...", "connected", "prompt", "received:still talking",
                                        "prompt"}));

    // Replayed, tampered and undecodable frames move nothing: the genuine frame still opens.
    const std::string first = peer.msgFrame("first");
    peer.send(first);
    peer.send(first);
    const std::string second = peer.msgFrame("second");
    for (const std::size_t at : {std::size_t{12}, second.size() / 2, second.size() - 8}) {
        std::string tampered = second;
        tampered[at] = tampered[at] == 'A' ? 'B' : 'A';
        peer.send(tampered);
    }
    peer.send("bm90IGEgZnJhbWU=");  // base64 that is no frame
    peer.send(second);
    // Hostile text reaches the display as it came (the display neutralises it: tests/UI);
    // content that is not UTF-8 is consumed without output.
    const std::string hostile = "\x1b]52;c;ZXZpbA==\x07\x1b[2J\rfake\x08\xC2\x9B" "1m\xE2\x80\xAEtxt.exe\x7F.";
    peer.send(peer.msgFrame(hostile));
    peer.send(peer.msgFrame("\xFF\xFE"));
    ASSERT_NO_FATAL_FAILURE(chat.show("next"));
    EXPECT_EQ(chat.linesAfter("received:still talking"),
              (std::vector<std::string>{"prompt", "received:first", "prompt", "received:second", "prompt",
                                        "received:" + hostile, "prompt", "received:next", "prompt"}));

    // A record skipped: the session restarts, announced by a new hello, and a new handshake completes.
    (void)peer.msgFrame("never sent");
    peer.send(peer.msgFrame("after a gap"));
    const auto hello = peer.nextPlain("hello", 10.0);
    ASSERT_TRUE(hello);
    EXPECT_NE(hello->at("ek"), chat.clientHello.at("ek"));  // a new session, not the old one again
    peer.renewSession();
    peer.send(json::serialize(peer.hello()));
    ASSERT_TRUE(peer.handshake(*hello));
    ASSERT_NO_FATAL_FAILURE(chat.show("after the restart"));
    EXPECT_EQ(chat.linesAfter("received:next"),
              (std::vector<std::string>{"prompt", "error:session expired — restarting...", "status:waiting for peer...",
                                        "status:handshaking...", "connected", "prompt", "received:after the restart",
                                        "prompt"}));
}

}  // namespace
}  // namespace duoquill::test
