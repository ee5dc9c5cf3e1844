#pragma once
// A chat client in a box, for the fuzz targets: the real CLIChatClient on simulated time, a
// transport whose incoming frames the target supplies, a display that records every line,
// and a peer made of the project's own session that can answer the client's hello, finish
// the handshake and send genuine records, so that the client can be driven into each phase
// with real keys before the fuzzed frames arrive.
//
// Everything is reproducible: identities are fixed, and the client's and the peer's sessions
// draw their keys and random choices from seeded streams (FuzzWorld.h).

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/object.hpp>

#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Duoquill/Crypto/PFSChatSession.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "DuoquillCLI/ChatTasks.h"
#include "FuzzWorld.h"

namespace duoquill::fuzz {

// One relay connection of the client. The rig pushes what arrives; the client's sends are
// collected for the rig.
class FuzzTransport final : public cli::ChatTransport {
public:
    explicit FuzzTransport(boost::asio::any_io_executor executor);
    void connect(const std::string& url) override;
    boost::asio::awaitable<void> send(std::string text) override;
    boost::asio::awaitable<std::string> receive() override;
    boost::asio::awaitable<void> disconnect() override;

    void push(std::string text);
    void fail();  // the connection drops: receive() throws
    std::vector<std::string> takeSent();
    bool closed() const noexcept { return closed_; }
    // Every frame the client has taken, in order, across the rig's connections.
    std::shared_ptr<std::vector<std::string>> taken;

private:
    boost::asio::steady_timer wake_;
    std::deque<std::string> inbox_;
    std::vector<std::string> sent_;
    bool failed_ = false;
    bool closed_ = false;
};

// Every line the client shows, as "kind:text".
class RecordingDisplay final : public cli::ChatDisplay {
public:
    void banner(std::string_view, std::string_view, std::string_view) override { lines.push_back("banner"); }
    void startupError(std::string_view m) override { add("startup", m); }
    void status(std::string_view t) override { add("status", t); }
    void peerEvent(std::string_view t) override { add("peer", t); }
    void error(std::string_view t) override { add("error", t); }
    void connected() override { lines.push_back("connected"); }
    void sent(std::string_view t) override { add("sent", t); }
    void received(std::string_view t) override { add("received", t); }
    void prompt() override {}

    std::vector<std::string> lines;

private:
    void add(std::string_view kind, std::string_view text) {
        lines.push_back(std::string(kind) + ":" + std::string(text));
    }
};

// An identity held in memory.
class MemoryIdentity final : public cli::ChatIdentitySource {
public:
    explicit MemoryIdentity(p256::PrivateKey key) : key_(std::move(key)) {}
    std::optional<std::string> existingKeyIdentifier() override { return "fuzz-identity"; }
    p256::PublicKey retrievePublicKey(const std::string&) override { return key_.publicKey(); }
    std::unique_ptr<P256KeyAgreementKey> retrievePrivateKey(const std::string&) override {
        return SoftwareKeyStore::wrap(key_);
    }

private:
    p256::PrivateKey key_;
};

// The client, its world and a scripted peer.
class ChatRig {
public:
    // `clientSeed` picks the client's stream, and with it which side initiates.
    explicit ChatRig(std::uint64_t clientSeed);
    ~ChatRig();
    ChatRig(const ChatRig&) = delete;
    ChatRig& operator=(const ChatRig&) = delete;

    // Runs handlers and timers up to `seconds` of simulated time from now, passing what the
    // client sends to the peer.
    void run(double seconds = 0);
    // Runs the handlers that are ready, without passing anything to the peer.
    void settle();

    // ---- the peer ----
    // Answers the client's latest hello with a fresh peer session: its own hello, then kex2 and
    // ready as its role asks. With `complete` false, only the hello.
    void peerHandshake(bool complete = true);
    // A genuine "msg" with the line, tunnelled; remembered as a line the peer typed.
    void peerSays(std::string_view line);
    // Arbitrary bytes sealed as a tunnel payload by the peer's current session.
    void peerTunnels(BytesView payload);
    bool peerTunnelReady() const { return peer_ && peer_->isTunnelReady(); }

    // ---- the relay side ----
    void deliver(std::string text);  // a frame to the client's current connection
    void dropConnection();
    // Frames the client has taken so far: delivering one again is a replay.
    const std::vector<std::string>& taken() const { return *taken_; }

    // ---- the user ----
    void type(std::string line);

    cli::CLIChatClient& client() { return *client_; }
    RecordingDisplay display;
    std::optional<int> exitStatus;
    // Lines the peer sent in genuine records, each once.
    std::multiset<std::string> peerLines;

private:
    std::string peerHelloText() const;
    void consumeClientFrame(const std::string& text);
    void sendPeerTunneled(const boost::json::object& message);

    cli::ManualTimeline timeline_;
    boost::asio::io_context io_;
    std::unique_ptr<cli::ManualChatTimers> timers_;
    MemoryIdentity identity_;
    FuzzWorld clientWorld_;
    FuzzWorld peerWorld_;
    ManualClock wallClock_;
    std::shared_ptr<FuzzTransport> transport_;
    std::shared_ptr<cli::CLIChatClient> client_;
    std::unique_ptr<PFSChatSession> peer_;
    std::optional<boost::json::object> clientHello_;
    std::shared_ptr<std::vector<std::string>> taken_ = std::make_shared<std::vector<std::string>>();
    std::uint64_t peerSessions_ = 0;
    bool answerKex2_ = true;
};

}  // namespace duoquill::fuzz
