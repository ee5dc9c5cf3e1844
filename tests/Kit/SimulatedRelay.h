#pragma once
// The relay's own rooms (RoomRegistry) behind in-process transports on simulated time: two
// members per room paired by path, frames forwarded unchanged and in order, what a lone member
// sends kept for the member that joins, a newcomer displacing the member heard from longest
// ago, {"t":"peer-disconnected"} to the member that stays. Each hop takes a random latency;
// order per direction is kept.
//
// Faults on demand: a process that dies, a connection the relay cuts, a relay restart, a lost
// tunnel frame, an old hello delivered again, and a hostile spell in which about one frame in
// six is dropped, doubled, cut short, bit-flipped (plain hellos too: a refused hello ends
// nothing), held back past later ones, or joined by a frame of its own (one seen earlier, a
// bye or a peer-disconnected).
//
// A client reaches it through a Connection of plain callbacks (connect, send, receive,
// disconnect, drop): a bare machine directly (MachineChat.h), the driver through a ChatTransport
// made of them (InProcessChat.cpp). A SimulatedPeer is a member the test drives itself.

#include <boost/json/object.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Session/SessionEnvironment.h"
#include "DuoquillRelay/RoomRegistry.h"
#include "Kit/ManualTimeline.h"
#include "Kit/Paths.h"

namespace duoquill::test {

class SimulatedRelay {
public:
    SimulatedRelay(ManualTimeline& timeline, std::uint64_t seed);
    ~SimulatedRelay();

    struct Connection;
    using ConnectionPtr = std::shared_ptr<Connection>;
    // A connection of the process `owner` to the room named by the URL's last segment.
    ConnectionPtr connect(int owner, const std::string& url);
    // Hands the text to the relay; the reason when the connection cannot take it.
    std::optional<std::string> send(const ConnectionPtr& c, std::string text);
    // Calls `receiver` once, with the next text, or with nothing once the connection has ended.
    // A later call replaces a receiver not yet called.
    void receive(const ConnectionPtr& c, std::function<void(std::optional<std::string>)> receiver);
    // Closes with code 1000: the connection leaves after what was sent on it.
    void disconnect(const ConnectionPtr& c);
    // Lets the connection go without a close, as dropping a socket does.
    void drop(const ConnectionPtr& c);

    // The process ended: its connections drop without a close, nothing more is posted to it.
    void processDied(int owner);
    // The relay cuts the owner's connection; its client sees the receive fail.
    void cutConnectionOf(int owner);
    // Every connection cut, every room forgotten.
    void restart();
    // The next tunnel (non-JSON) frame the owner sends is lost.
    void loseNextTunnelFrameFrom(int owner) { loseNext_[owner] = true; }
    bool hasLossPending() const;
    void cancelPendingLosses() { loseNext_.clear(); }
    double lastLossTime() const noexcept { return lastLoss_; }
    // Delivers once more, to the other member, a hello the owner sent before its latest one.
    void replayOldHello(int owner);
    void setHostile(bool hostile) noexcept { hostile_ = hostile; }
    // While set, every plain hello is forwarded with one base64 character of its "ct" altered.
    void setSpoilingHellos(bool spoiling) noexcept { spoilingHellos_ = spoiling; }

    // Every frame forwarded to the owner's client so far, in order.
    const std::vector<std::string>& deliveredTo(int owner) { return delivered_[owner]; }

private:
    friend class SimulatedPeer;
    ConnectionPtr open(int owner, const std::string& path);
    double latency() { return std::uniform_real_distribution<double>(0.005, 0.08)(random_); }
    void schedule(double& last, std::function<void()> action);
    void join(const ConnectionPtr& c);
    void receiveFrame(const ConnectionPtr& c, const std::string& text);
    void leave(const ConnectionPtr& c);
    void deliver(const ConnectionPtr& c, std::string text);
    void push(const ConnectionPtr& c, std::string text, double extraDelay = 0);
    std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }
    void cut(const ConnectionPtr& c);
    void closeLater(const ConnectionPtr& c);

    ManualTimeline& timeline_;
    std::mt19937_64 random_;
    std::unique_ptr<relay::RoomRegistry> rooms_;
    std::vector<ConnectionPtr> connections_;
    std::map<int, bool> loseNext_;
    std::map<int, std::vector<std::string>> hellos_;
    std::map<int, std::vector<std::string>> delivered_;
    double lastLoss_ = 0;
    std::vector<std::string> seen_;  // what members sent: a hostile relay replays it
    bool hostile_ = false;
    bool spoilingHellos_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// A member of the relay the test drives itself, speaking the protocol of identity `owner` with
// the client of the other identity one step at a time, so that it can misbehave on demand: a
// hello with a short ML-KEM key or another identity, a wrong key confirmation, tampered,
// replayed or skipped records, hostile text. Waiting for a frame runs the timeline.
class SimulatedPeer {
public:
    // `dayClock` picks the day the room token is derived for (the client's clock). Sessions
    // draw on `environment` when given (it must outlive the peer), else on the system with an
    // epoch directory of their own.
    SimulatedPeer(SimulatedRelay& relay, int owner, const Clock& dayClock, const SessionEnvironment* environment);
    ~SimulatedPeer();
    SimulatedPeer(const SimulatedPeer&) = delete;
    SimulatedPeer& operator=(const SimulatedPeer&) = delete;

    // One text frame to the relay.
    void send(std::string text);
    // The next frame received, waiting up to `seconds`; nothing when none came.
    std::optional<std::string> next(double seconds);
    // The message text sealed in the tunnel of the current session.
    void sendTunneled(std::string_view jsonText);
    // The next plain message of type `type`, skipping every other frame.
    std::optional<boost::json::object> nextPlain(const std::string& type, double seconds = 5.0);

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

private:
    // With `tunneled`, a message that opens under the current session (tunnel frames on the way
    // are opened, so consumed).
    std::optional<boost::json::object> nextOfType(const std::string& type, double seconds, bool tunneled);

    SimulatedRelay& relay_;
    p256::PrivateKey key_;
    p256::PublicKey peerPublicKey_;
    std::string roomCode_;
    TempDir epochDirectory_;
    SessionEnvironment environment_;
    std::unique_ptr<PFSChatSession> session_;
    std::shared_ptr<SimulatedRelay::Connection> connection_;
};

}  // namespace duoquill::test
