// A real `duoquill-cli chat` against a peer that misbehaves on demand (the project's own
// session behind a test WebSocket client) through the real relay over TLS.

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>
#include <algorithm>
#include <cctype>
#include <csignal>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Primitives/Sha2.h"
#include "Duoquill/Utilities/KeyHelpers.h"
#include "Kit/ChatCliProcess.h"
#include "Kit/ProtocolPeer.h"
#include "Kit/RelayProcess.h"
#include "Kit/TestCertificates.h"
#include "Kit/WebSocketTestClient.h"

namespace duoquill::test {
namespace {

namespace json = boost::json;

// A peer of the client whose public key text is `clientPublicKey`, in its room on the relay.
class RelayPeer final : public ProtocolPeer {
public:
    RelayPeer(const std::string& clientPublicKey, std::uint16_t relayPort)
        : ProtocolPeer(p256::PrivateKey::generate(), KeyHelpers::p256PublicKey(clientPublicKey), Clock::system()),
          socket_({.caFile = TestCertificates::shared().caFile()}) {
        if (socket_.open(relayPort, "/" + roomToken()) != 101) throw std::runtime_error("the relay refused the peer");
    }
    // Leaves as a client does, so that the relay tells the other member at once.
    ~RelayPeer() override { socket_.close(); }
    void send(std::string text) override { socket_.sendText(text); }
    std::optional<std::string> next(double seconds) override {
        auto event = socket_.read(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
        if (event.kind != WebSocketEvent::Kind::text) return std::nullopt;
        return std::move(event.data);
    }

private:
    double now() const override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    WebSocketTestClient socket_;
};

// The plain lines a client showed, each time stamp "HH:MM:SS" as "T"; the last one holds what
// follows the last line break.
std::vector<std::string> linesOf(const ChatCliProcess& client) {
    const std::string text = plainText(client.standardError());
    const auto isStamp = [&](std::size_t at) {
        if (at + 8 > text.size()) return false;
        for (std::size_t i = 0; i < 8; ++i) {
            if (i % 3 == 2 ? text[at + i] != ':' : !std::isdigit(static_cast<unsigned char>(text[at + i]))) return false;
        }
        return true;
    };
    std::string shown;
    for (std::size_t at = 0; at < text.size();) {
        if (isStamp(at)) {
            shown += 'T';
            at += 8;
        } else {
            shown += text[at++];
        }
    }
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = shown.find('\n', start);
        lines.push_back(shown.substr(start, end - start));
    }
    return lines;
}

// The lines shown after the first line that holds `marker`.
std::vector<std::string> linesAfter(const ChatCliProcess& client, std::string_view marker) {
    const auto lines = linesOf(client);
    const auto at = std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return l.find(marker) != l.npos; });
    if (at == lines.end()) return {"<" + std::string(marker) + " not shown>"};
    return {at + 1, lines.end()};
}

class HostilePeer : public ::testing::Test {
protected:
    // Everything the peers did leaves the relay able to close down cleanly (and, in a sanitizer
    // build, with nothing to report).
    void TearDown() override {
        client_.reset();
        peer_.reset();
        EXPECT_EQ(relay_.stop(SIGTERM), 0) << relay_.log();
        for (const std::string_view report : {"Sanitizer", "runtime error"}) {
            EXPECT_EQ(relay_.log().find(report), std::string::npos) << relay_.log();
        }
    }

    // A fresh peer identity per client gives each a room of its own.
    void startClient() {
        peer_ = std::make_unique<RelayPeer>(user_.publicKey(), relay_.port());
        client_ = std::make_unique<ChatCliProcess>(user_, peer_->publicKeyText(), relay_.url());
        auto hello = peer_->nextPlain("hello", 10.0);
        ASSERT_TRUE(hello) << client_->standardError();
        clientHello_ = std::move(*hello);
    }

    void show(const std::string& line) {
        peer_->send(peer_->msgFrame(line));
        ASSERT_TRUE(client_->waitFor("peer > " + line + "\n> ", 10s)) << client_->standardError();
    }

    ChatUser user_{"hostile"};
    RelayProcess relay_;
    std::unique_ptr<RelayPeer> peer_;
    std::unique_ptr<ChatCliProcess> client_;
    json::object clientHello_;
};

// A hello is unauthenticated: one that asks for no post-quantum key or names another identity
// is refused with an error line, once per session, and the chat goes on with the real peer.
TEST_F(HostilePeer, RefusedHellosAreSaidOnceAndTheRealPeerStillGetsIn) {
    const std::string stranger = base64URLString(p256::PrivateKey::generate().publicKey().compressed());
    const std::vector<std::tuple<std::string, std::string, std::string>> defects{
        {"mlk", base64String(Bytes(1567, 7)), "Post-quantum key exchange required"},
        {"pkid", base64URLString(sha512(asBytes(stranger))), "Peer identity mismatch"},
    };
    for (const auto& [field, value, message] : defects) {
        SCOPED_TRACE(message);
        ASSERT_NO_FATAL_FAILURE(startClient());
        auto hello = peer_->hello();
        hello[field] = value;
        peer_->send(json::serialize(hello));
        peer_->send(json::serialize(hello));
        ASSERT_TRUE(client_->waitFor(message, 10s)) << client_->standardError();
        peer_->send(json::serialize(peer_->hello()));
        ASSERT_TRUE(peer_->handshake(clientHello_)) << client_->standardError();
        show("still talking");
        EXPECT_EQ(linesAfter(*client_, "waiting for peer..."),
                  (std::vector<std::string>{"T " + message, "T handshaking...", "T connected — PQ handshake complete",
                                            "", "> T peer > still talking", "> "}));
    }
}

// The key confirmation comes inside the tunnel, from whoever completed the key exchange.
TEST_F(HostilePeer, AWrongKeyConfirmationEndsTheProgramWithItsMessageLast) {
    ASSERT_NO_FATAL_FAILURE(startClient());
    peer_->send(json::serialize(peer_->hello()));
    ASSERT_TRUE(peer_->handshake(clientHello_, base64URLString(Bytes(32, 0x42))));
    EXPECT_EQ(client_->waitForExit(10s), std::optional<int>(1)) << client_->standardError();
    ASSERT_TRUE(client_->waitForEndOfOutput(5s));
    const auto lines = linesOf(*client_);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "T Key confirmation failed");
    EXPECT_EQ(lines.back(), "");
}

// One conversation: junk before the handshake, forgeries and hostile text while active, then a
// skipped record counter, which restarts the session.
TEST_F(HostilePeer, JunkForgeriesHostileTextAndAGapAreSurvived) {
    ASSERT_NO_FATAL_FAILURE(startClient());
    auto badCiphertext = peer_->hello();
    badCiphertext["ct"] = "not base64!";
    auto noKeyId = peer_->hello();
    noKeyId.erase("pkid");
    const std::vector<std::string> junk{
        "", "{", "{}", R"({"t":5})", R"({"t":"msg","n":0,"d":"AAAA"})", R"({"t":"hello"})", R"({"t":"bye"})",
        R"({"t":"peer-disconnected"})", "[" + std::string(5000, '[') + std::string(5001, ']'),
        "{\"t\":" + std::string(5000, '[') + std::string(5000, ']') + "}", json::serialize(badCiphertext),
        json::serialize(noKeyId),
        json::serialize(clientHello_),  // its own, sent back: names the client, not a wrong peer
        base64String(Bytes(45000, 0xA5))};
    for (const auto& frame : junk) peer_->send(frame);
    peer_->send(json::serialize(peer_->hello()));
    ASSERT_TRUE(peer_->handshake(clientHello_)) << client_->standardError();
    show("still talking");
    EXPECT_EQ(linesAfter(*client_, "waiting for peer..."),
              (std::vector<std::string>{"T handshaking...", "T connected — PQ handshake complete", "",
                                        "> T peer > still talking", "> "}));

    // Replayed, tampered and undecodable frames move nothing: the genuine frame still opens.
    const std::string first = peer_->msgFrame("first");
    peer_->send(first);
    peer_->send(first);
    const std::string second = peer_->msgFrame("second");
    for (const std::size_t at : {std::size_t{12}, second.size() / 2, second.size() - 8}) {
        std::string tampered = second;
        tampered[at] = tampered[at] == 'A' ? 'B' : 'A';
        peer_->send(tampered);
    }
    peer_->send("bm90IGEgZnJhbWU=");  // base64 that is no frame
    peer_->send(second);
    ASSERT_TRUE(client_->waitFor("peer > second\n> ", 10s)) << client_->standardError();

    // An OSC clipboard write, a screen clear, a carriage return over the line, a backspace,
    // a C1 CSI, a right-to-left override and an isolate.
    const std::string hostile =
        "\x1b]52;c;ZXZpbA==\x07\x1b[2J\rfake\x08\xC2\x9B"
        "1m\xE2\x80\xAE"
        "txt.exe\xE2\x81\xA6!\x7F.";
    const std::string neutralised =
        "^[]52;c;ZXZpbA==^G^[[2J^Mfake^H\xEF\xBF\xBD"
        "1m\xEF\xBF\xBD"
        "txt.exe\xEF\xBF\xBD!^?.";
    peer_->send(peer_->msgFrame(hostile));
    // Content that is not UTF-8 is consumed without output.
    peer_->send(peer_->msgFrame("\xFF\xFE"));
    show("next");
    EXPECT_EQ(linesAfter(*client_, "peer > still talking"),
              (std::vector<std::string>{"> T peer > first", "> T peer > second", "> T peer > " + neutralised,
                                        "> T peer > next", "> "}));
    const std::string raw = client_->standardError();
    for (const std::string_view bytes : {"\x1b]", "\x1b[2J", "\x07", "\x08", "\rfake", "\xC2\x9B", "\xE2\x80\xAE",
                                         "\xE2\x81\xA6", "\x7F", "\xFF"}) {
        EXPECT_EQ(raw.find(bytes), std::string::npos) << "raw bytes reached the terminal";
    }

    // A record skipped: the session restarts, announced by a new hello, and a new handshake completes.
    (void)peer_->msgFrame("never sent");
    peer_->send(peer_->msgFrame("after a gap"));
    ASSERT_TRUE(client_->waitFor("session expired — restarting...", 10s)) << client_->standardError();
    const auto hello = peer_->nextPlain("hello", 10.0);
    ASSERT_TRUE(hello) << client_->standardError();
    EXPECT_NE(hello->at("mlk"), clientHello_.at("mlk"));
    peer_->renewSession();
    peer_->send(json::serialize(peer_->hello()));
    ASSERT_TRUE(peer_->handshake(*hello));
    ASSERT_TRUE(client_->waitFor("connected — PQ handshake complete", 10s, 2)) << client_->standardError();
    show("after the restart");
    const auto lines = linesAfter(*client_, "peer > next");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "> T session expired — restarting...");
    EXPECT_EQ(lines[1], "T waiting for peer...");
    EXPECT_EQ(plainText(client_->standardError()).find("after a gap"), std::string::npos);
}

}  // namespace
}  // namespace duoquill::test
