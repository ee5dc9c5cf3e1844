#pragma once
// A peer built from the project's own session that speaks the relay protocol step by step,
// as the test says, so that it can misbehave on demand: a hello with a short ML-KEM key or
// another identity, a wrong key confirmation, tampered, replayed or skipped records.

#include <boost/asio/io_context.hpp>
#include <boost/json/object.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Crypto/SessionEnvironment.h"
#include "DuoquillCLI/ChatTasks.h"
#include "SimulatedRelay.h"
#include "Support/Paths.h"

namespace duoquill::test {

class ScriptedPeer {
public:
    // Identity `key`, talking to the holder of `peerPublicKey` through the relay as `owner`.
    ScriptedPeer(cli::ManualTimeline& timeline, SimulatedRelay& relay, int owner, const p256::PrivateKey& key,
                 const p256::PublicKey& peerPublicKey);
    ~ScriptedPeer();

    void connect();
    void send(std::string text);
    void sendTunneled(const boost::json::object& message);
    // The next frame received, running simulated time up to `seconds`.
    std::optional<std::string> next(double seconds = 5.0);
    // The next plain message of type `type`, skipping others.
    std::optional<boost::json::object> nextPlain(const std::string& type, double seconds = 5.0);
    std::optional<boost::json::object> nextTunneled(const std::string& type, double seconds = 5.0);

    boost::json::object hello() const;
    // Runs the whole handshake with the client's hello; `kcOverride` replaces our "kc".
    bool handshake(const boost::json::object& clientHello, std::optional<std::string> kcOverride = std::nullopt);
    // A "msg" frame (tunnelled, base64) for a line, without sending it.
    std::string msgFrame(const std::string& line);

    PFSChatSession& session() { return *session_; }

private:
    cli::ManualTimeline& timeline_;
    SimulatedRelay& relay_;
    int owner_;
    p256::PrivateKey key_;
    p256::PublicKey peerPublicKey_;
    std::string roomToken_;
    TempDir epochDirectory_;
    std::unique_ptr<SessionEnvironment> environment_;
    std::unique_ptr<PFSChatSession> session_;
    std::unique_ptr<boost::asio::io_context> io_;
    std::shared_ptr<cli::ChatTransport> transport_;
    std::deque<std::string> inbox_;
    std::size_t pollerKey_ = 0;
};

}  // namespace duoquill::test
