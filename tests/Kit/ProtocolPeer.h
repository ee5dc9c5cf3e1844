#pragma once
// The other side of a chat, built from the project's own session and the relay-message codec,
// that speaks the relay protocol one step at a time as a test dictates, so that it can
// misbehave on demand: a hello with a short ML-KEM key or another identity, a wrong key
// confirmation, tampered, replayed or skipped records, hostile text.
//
// Subclasses carry the frames (an in-process relay on simulated time, or a real relay over
// TLS) and say what a second is; everything about messages and the session lives here.

#include <boost/json/object.hpp>
#include <memory>
#include <optional>
#include <string>

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Crypto/SessionEnvironment.h"
#include "Duoquill/Platform/Primitives/P256.h"
#include "Duoquill/Platform/System/Clock.h"
#include "Kit/Paths.h"

namespace duoquill::test {

class ProtocolPeer {
public:
    // Identity `key`, talking to the holder of `peerPublicKey`; `dayClock` picks the day the
    // room token is derived for (the client's clock). Sessions draw on `environment` when
    // given (it must outlive the peer), else on the system with an epoch directory of their own.
    ProtocolPeer(const p256::PrivateKey& key, const p256::PublicKey& peerPublicKey, const Clock& dayClock,
                 const SessionEnvironment* environment = nullptr);
    virtual ~ProtocolPeer();
    ProtocolPeer(const ProtocolPeer&) = delete;
    ProtocolPeer& operator=(const ProtocolPeer&) = delete;

    // One text frame to the relay.
    virtual void send(std::string text) = 0;
    // The next frame received, waiting up to `seconds`; nothing when none came.
    virtual std::optional<std::string> next(double seconds) = 0;

    // The message text sealed in the tunnel of the current session.
    void sendTunneled(std::string_view jsonText);
    // The next plain message of type `type`, skipping every other frame.
    std::optional<boost::json::object> nextPlain(const std::string& type, double seconds = 5.0);
    // The next tunnelled message of type `type` that opens under the current session,
    // skipping every other frame (and opening, so consuming, tunnel frames on the way).
    std::optional<boost::json::object> nextTunneled(const std::string& type, double seconds = 5.0);

    boost::json::object hello() const;
    // Runs the whole handshake with the client's hello; `kcOverride` replaces our "kc" (base64url).
    // False when the client's "kex2" did not come.
    bool handshake(const boost::json::object& clientHello, std::optional<std::string> kcOverride = std::nullopt);
    // A "msg" frame (tunnelled, base64) for a line, without sending it. The record and tunnel
    // counters move on whether or not the frame is ever sent.
    std::string msgFrame(const std::string& line);
    // Throws the session away and starts a fresh one, as a restarted peer would.
    void renewSession();

    PFSChatSession& session() { return *session_; }
    const std::string& roomToken() const { return roomToken_; }
    // The identity as `pubkey` prints it: compressed, base64url.
    std::string publicKeyText() const;

protected:
    // The subclass's clock, in the unit of next()'s argument.
    virtual double now() const = 0;

private:
    std::optional<boost::json::object> nextOfType(const std::string& type, double seconds, bool tunneled);

    p256::PrivateKey key_;
    p256::PublicKey peerPublicKey_;
    std::string roomCode_;
    std::string roomToken_;
    TempDir epochDirectory_;
    SessionEnvironment environment_;
    std::unique_ptr<PFSChatSession> session_;
};

}  // namespace duoquill::test
