// The client against a peer that misbehaves on demand (ScriptedPeer: the project's own
// session, speaking the relay protocol step by step).

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include "ChatTestSupport.h"
#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Sha2.h"
#include "ScriptedPeer.h"

namespace duoquill::test {
namespace {

using Kind = cli::CLIChatClient::State::Kind;

class ClientProtocol : public ::testing::Test {
protected:
    ClientProtocol()
        : client(pair.launch(0)),
          peer(pair.timeline, pair.relay, 1, ChatPair::identityKey(1), ChatPair::identityKey(0).publicKey()) {
        peer.connect();
        clientHello = *peer.nextPlain("hello");
    }

    void expectFatal(const std::string& message) {
        ASSERT_TRUE(pair.runUntil([&] { return client.exitStatus.has_value(); }, 5.0));
        EXPECT_EQ(*client.exitStatus, 1);
        EXPECT_EQ(client.display.lines.back(), "error:" + message);
    }

    void becomeActive() {
        peer.send(boost::json::serialize(peer.hello()));
        ASSERT_TRUE(peer.handshake(clientHello));
        ASSERT_TRUE(pair.runUntil([&] { return client.isActive(); }, 5.0));
        ASSERT_TRUE(peer.nextTunneled("ready").has_value() || peer.session().isReady());
    }

    ChatPair pair;
    ChatProcess& client;
    ScriptedPeer peer;
    boost::json::object clientHello;
};

TEST_F(ClientProtocol, HelloWithoutAFullMLKEMKeyEndsTheProgram) {
    auto hello = peer.hello();
    hello["mlk"] = base64String(Bytes(1567, 7));
    peer.send(boost::json::serialize(hello));
    expectFatal("Post-quantum key exchange required");
}

TEST_F(ClientProtocol, HelloOfAnotherIdentityEndsTheProgram) {
    auto hello = peer.hello();
    // Neither party's key (the client's own comes back only from a misbehaving relay, and is ignored).
    hello["pkid"] = base64URLString(sha512(asBytes(std::string_view("a third identity"))));
    peer.send(boost::json::serialize(hello));
    expectFatal("Peer identity mismatch");
}

TEST_F(ClientProtocol, HelloWithUndecodableMembersIsIgnored) {
    auto hello = peer.hello();
    hello["ct"] = "not base64!";
    peer.send(boost::json::serialize(hello));
    peer.send("{not json");
    peer.send(R"({"t":"unknown"})");
    pair.runFor(1.0);
    EXPECT_EQ(client.state(), Kind::waitingForPeer);
    EXPECT_FALSE(client.exitStatus.has_value());
}

TEST_F(ClientProtocol, WrongKeyConfirmationEndsTheProgram) {
    peer.send(boost::json::serialize(peer.hello()));
    ASSERT_TRUE(peer.handshake(clientHello, base64URLString(Bytes(32, 0x42))));
    expectFatal("Key confirmation failed");
}

TEST_F(ClientProtocol, TamperedAndReplayedFramesAreDroppedSilently) {
    becomeActive();
    const std::string first = peer.msgFrame("first");
    peer.send(first);
    ASSERT_TRUE(pair.runUntil([&] { return client.display.contains("received:first"); }, 2.0));
    const auto linesBefore = client.display.lines.size();

    peer.send(first);  // replayed
    const std::string third = peer.msgFrame("third");
    std::string tampered = third;
    tampered[40] = tampered[40] == 'A' ? 'B' : 'A';
    peer.send(tampered);
    pair.runFor(1.0);
    EXPECT_EQ(client.display.lines.size(), linesBefore);
    EXPECT_EQ(client.state(), Kind::active);

    // The tampered frame never moved the client: the genuine one still opens.
    peer.send(third);
    ASSERT_TRUE(pair.runUntil([&] { return client.display.contains("received:third"); }, 2.0)) << "lines after tamper";
}

TEST_F(ClientProtocol, SkippedRecordRestartsTheSession) {
    becomeActive();
    (void)peer.msgFrame("never sent");
    peer.send(peer.msgFrame("after a gap"));
    ASSERT_TRUE(pair.runUntil([&] { return client.state() == Kind::waitingForPeer; }, 2.0));
    EXPECT_TRUE(client.display.contains("error:session expired — restarting..."));
    EXPECT_FALSE(client.display.contains("received:after a gap"));
    // A new session announces itself with a new hello.
    EXPECT_TRUE(peer.nextPlain("hello").has_value());
}

TEST_F(ClientProtocol, HostileTextReachesTheDisplayOnlyThroughIt) {
    becomeActive();
    const std::string hostile = "\x1b]52;c;ZXZpbA==\x07\x1b[2J\rfake\x08\xC2\x9B";
    peer.send(peer.msgFrame(hostile));
    ASSERT_TRUE(pair.runUntil([&] { return client.display.contains("received:" + hostile); }, 2.0));
    // Content that is not UTF-8 is consumed without output.
    const auto before = client.display.lines.size();
    peer.send(peer.msgFrame("\xFF\xFE"));
    peer.send(peer.msgFrame("next"));
    ASSERT_TRUE(pair.runUntil([&] { return client.display.contains("received:next"); }, 2.0));
    EXPECT_EQ(client.display.since(before), (std::vector<std::string>{"received:next", "prompt"}));
}

}  // namespace
}  // namespace duoquill::test
