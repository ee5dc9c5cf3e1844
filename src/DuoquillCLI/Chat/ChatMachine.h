#pragma once
// ChatMachine: every decision of the chat client, with no I/O inside.
//
// It takes events (started, text received, a send done or failed, the connection lost, a line
// typed, a timer fired, quit), each with the time, and returns the actions they cause (open,
// read or close a relay connection, send a text, arm a timer, write or remove the
// room's epoch file, show a line, start reading input, exit). Neither it nor its session reads
// a clock, awaits, or touches a socket, a file or the terminal; randomness comes only from the
// draws it is handed. The secure session and
// the message codec are called from here; CLIChatClient carries the actions out.
//
// The state is one variant; what a state needs lives in its struct and goes with it. Each event
// goes to the handler of the state it arrives in (`on(State&, Event&)`, ChatMachine.cpp); a
// state with no handler for it drops it, and a timer armed in a state that has been left fires
// in vain:
//
//   Idle ──started──▶ Waiting ──usable hello──▶ Handshaking ──ready both ways──▶ Active
//     (a new relay connection's Waiting is shown as connecting until our hello has gone out)
//     Waiting / Handshaking / Active ──connection lost, a failed send of our hello, kex2 or
//       ready, a session that cannot be made──▶ Reconnecting (Idle and Reconnecting have no
//       connection to lose)
//     Idle / Reconnecting ──a session that cannot be made──▶ Reconnecting
//     Waiting ──no peer, records of a left session that keep coming──▶ Reconnecting
//     Reconnecting ──retry timer──▶ Waiting (a new relay connection)
//     Waiting ──handshake back-off over──▶ Waiting (a fresh session on the same connection)
//     Handshaking / Active ──new peer hello, timeout or grace over, session error, peer's
//       bye──▶ Waiting (a fresh session on the same connection)
//     any ──quit, key confirmation failed, invalid relay URL──▶ Ended
//
// The code calls one way: the event handlers call recovery (ChatMachineRecovery.cpp) and the
// handshake (ChatMachineHandshake.cpp), recovery calls the handshake, and both use what
// ChatMachineOutput.cpp holds. A handshake or line traffic step that cannot go on returns
// `SessionFate::replace`, and its caller starts the fresh session.
//
// Recovery converges. Each session sends one hello, and a session completes its handshake with
// one peer hello only, so both sides must pick each other's current hello. The machine
// remembers the peer's latest hello; a hello that arrives while a session is in use starts a
// fresh session (after a 5-second grace when active). Of the two identities, the one whose
// compressed public key sorts first "leads": a fresh session it starts completes at once with
// the peer's latest hello unless that hello is known to be used up, while the other side's
// fresh sessions wait for a new hello. A peer announces in its "ready" that it follows this
// rule; one that has not is answered as the leader would answer it.
//
// No typed line is lost. With a peer that announced a line stream, lines are numbered,
// confirmed inside the tunnel and kept in the Outbox until confirmed; each new session sends
// the unconfirmed ones again and the peer shows each number once (LineDelivery.h). Lines
// typed while no session is active wait in the same outbox, with any peer.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Duoquill/Base/SecureBytes.h"
#include "Duoquill/Protocol/RelayMessages.h"
#include "Duoquill/Session/Instant.h"
#include "DuoquillCLI/Chat/ChatActions.h"
#include "DuoquillCLI/Chat/LineTraffic.h"
#include "DuoquillCLI/Chat/PeerHellos.h"

namespace duoquill {
class PFSChatSession;
}

namespace duoquill::cli {

struct SessionStepFailure;


// Makes the secure session of a connection attempt, handing it the room's epoch as the file
// holds it now (nothing: no file); throws when it cannot.
using ChatSessionMaker = std::function<std::unique_ptr<PFSChatSession>(std::optional<double> roomEpoch)>;

struct ChatMachineConfig {
    std::string relayBaseURL;
    // The room derivation's input: the static-static shared secret.
    SecureBytes roomKeyData;
    std::string localPubKeyCompressed;  // base64url
    std::string peerPubKeyBase64URL;    // as given on the command line
    // Whether the local key sorts first of the two (it then leads recovery).
    bool leads = false;
    ChatSessionMaker makeSession;
    // The room's epoch file as read before the first session; the machine keeps track of it
    // from then on through the epoch actions it returns.
    std::optional<double> roomEpoch;
    // Uniform draws in [0, 1): the cover record's delay and the handshake back-off's jitter.
    std::function<double()> coverDraw;
    std::function<double()> jitterDraw;
    // A client of the base protocol only: announces nothing in "ready", numbers and resends
    // nothing, never adopts a remembered hello, ignores hellos while active, and drops a line
    // typed while no session is active.
    bool baseProtocolOnly = false;
    std::uint64_t lineStreamStart = 0;
    // Once active, one "msg" at each cover tick, a waiting line (or part of one) in place of
    // the cover record: the relay learns nothing of when lines are typed.
    bool steady = false;
};

class ChatMachine {
public:
    // ---- timing ----
    static constexpr double noPeerTimeoutSeconds = 30.0;
    static constexpr double handshakeTimeoutSeconds = 5.0;
    static constexpr double peerReconnectGraceSeconds = 5.0;
    static constexpr double reconnectNoPeerTimeoutSeconds = 8.0;
    // Records of an old session that keep coming this long after our hello on a new relay
    // connection (two of them: cover comes every 2 to 5 s) mean the peer is not answering it.
    static constexpr double staleWatchDelaySeconds = 6.0;
    static constexpr int staleFramesBeforeLeaving = 2;
    static constexpr double firstRetryDelaySeconds = 0.3;
    static constexpr double maxRetryDelaySeconds = 30.0;
    // After a failed handshake the next hello waits the retry delay, at most this long and
    // jittered down to half, so that two clients fed altered hellos do not answer each other
    // at once, and meet within a few seconds once the hellos come through whole.
    static constexpr double maxHandshakeBackoffSeconds = 2.0;
    // A hello arriving this soon after the handshake began is remembered, not answered: it was
    // under way before the peer had ours, and answering it would restart both handshakes.
    static constexpr double youngHandshakeSeconds = 2.0;
    static constexpr double minCoverDelaySeconds = LineTraffic::minCoverDelaySeconds;
    static constexpr double maxCoverDelaySeconds = LineTraffic::maxCoverDelaySeconds;

    // The longest line taken, in UTF-8 bytes, whether or not a session is up: the longest whose
    // "msg" fits one tunnel frame with a ratchet header beside it, which any session may need.
    static std::size_t longestLine();
    // Whether a relay URL (base, "/", room token) can be connected to: it parses, has a host, a
    // port (if given) that is a number from 1 to 65535, and no query or fragment that the room's
    // name would land in.
    static bool isUsableRelayURL(std::string_view url);

    explicit ChatMachine(ChatMachineConfig config);
    ~ChatMachine();
    ChatMachine(const ChatMachine&) = delete;
    ChatMachine& operator=(const ChatMachine&) = delete;

    // `now`: the time of the event (the room token follows its UTC day).
    chat::Actions handle(chat::Event event, Instant now);

    // ---- observation ----
    chat::Phase phase() const noexcept;
    bool ended() const noexcept;
    bool leadsRecovery() const noexcept { return config_.leads; }
    std::int64_t retryCount() const noexcept { return retryCount_; }
    PFSChatSession* currentSession() const noexcept;
    static double retryDelay(std::int64_t retryCount);

private:
    using PeerHello = PeerHellos::Hello;
    // One secure session and what belongs to it alone; a state with a link always has its session.
    struct Link {
        std::unique_ptr<PFSChatSession> session;
        std::uint64_t generation = 0;
        bool refusalShown = false;  // a refused hello is said once per session
    };
    // The peer hello a session completed with.
    struct TakenHello {
        Bytes fingerprint;
        bool adopted = false;  // remembered, not received while waiting
    };
    // What a step of the handshake or of the line traffic leaves the session in use with: it
    // goes on, or it cannot and a fresh session on the same connection takes its place.
    enum class SessionFate : std::uint8_t { keep, replace };

    // ---- states ----
    struct Idle {};
    struct Reconnecting {};  // no connection, no session
    struct Waiting {
        Link link;
        // Our hello has gone out on the relay connection: it is open, and the peer awaited.
        bool connectionOpen = true;
        // What the connection timer ends: no peer came, or the handshake back-off.
        enum class Timer : std::uint8_t { none, noPeer, reconnectNoPeer, backoff } timer = Timer::none;
        bool staleWatchArmed = false;  // this wait has lasted staleWatchDelaySeconds
        int staleFrames = 0;           // undecryptable frames since
    };
    // What the peer's "ready" announced; nothing for a peer of the base protocol.
    struct PeerReady {
        std::optional<std::uint64_t> lineStream;
        bool joinsParts = false;  // it joins a line sent in parts
        bool steady = false;      // it sends one frame per cover tick
    };
    struct Handshaking {
        Link link;
        TakenHello hello;
        bool young = true;
        bool localReady = false;
        bool peerReady = false;
        PeerReady peer;
    };
    struct Active {
        Link link;
        TakenHello hello;
        PeerReady peer;
        bool peerLeft = false;  // the relay said so: the grace runs
    };
    struct Ended {
        chat::Phase shown;  // disconnected or error
    };
    using State = std::variant<Idle, Reconnecting, Waiting, Handshaking, Active, Ended>;

    static Link* linkOf(Waiting& state) noexcept { return &state.link; }
    static Link* linkOf(Handshaking& state) noexcept { return &state.link; }
    static Link* linkOf(Active& state) noexcept { return &state.link; }
    static Link* linkOf(auto&) noexcept { return nullptr; }
    // The peer's line stream, announced in this session's "ready"; nothing for a peer without one.
    static std::optional<std::uint64_t> peerLineStreamOf(const Handshaking& state) { return state.peer.lineStream; }
    static std::optional<std::uint64_t> peerLineStreamOf(const Active& state) { return state.peer.lineStream; }
    static std::optional<std::uint64_t> peerLineStreamOf(const auto&) { return std::nullopt; }

    // ---- events, each handled by the state it arrives in (ChatMachine.cpp); an event a state
    // has no handler for is dropped ----
    template <class S, class E>
    void on(S&, E&) {}
    void on(Idle&, chat::Started&);
    void on(Waiting& waiting, chat::TextReceived& event);
    void on(Handshaking& handshaking, chat::TextReceived& event);
    void on(Active& active, chat::TextReceived& event);
    void on(Waiting& waiting, chat::SendDone& event);
    template <class S>
    void on(S&, chat::SendDone& event);
    template <class S>
    void on(S& state, chat::SendFailed& event);
    template <class S>
    void on(S& state, chat::ConnectionLost&);
    void on(Active& active, chat::LineTyped& event);
    template <class S>
    void on(S&, chat::LineTyped& event);
    template <class S>
    void on(S& state, chat::TimerFired& event);
    template <class S>
    void on(S& state, chat::QuitRequested&);
    // A timer of the current state, by state.
    void onTimer(Reconnecting&, chat::Timer timer);
    void onTimer(Waiting& waiting, chat::Timer timer);
    void onTimer(Handshaking& handshaking, chat::Timer timer);
    void onTimer(Active& active, chat::Timer timer);
    void onTimer(Idle&, chat::Timer) {}
    void onTimer(Ended&, chat::Timer) {}
    // A frame opened under the session's tunnel keys.
    [[nodiscard]] SessionFate tunnelFrame(Handshaking& handshaking, const protocol::RelayMessage& message);
    [[nodiscard]] SessionFate tunnelFrame(Active& active, const protocol::RelayMessage& message);
    // A "msg" or "bye" in the tunnel, in either state that has one.
    [[nodiscard]] SessionFate lineFrame(Link& link, const PeerReady& peer,
                                        const protocol::RelayMessage& message);
    void lineSendDone(const chat::SendTag& tag);
    // A failed send of the current session's hello, kex2 or ready; of a typed line.
    void sessionSendFailed(const chat::SendTag& tag, const std::string& reason);
    void lineSendFailed(const chat::SendTag& tag, const std::string& reason);
    void lineTyped(SecureText line, const LineTraffic::Session* active);
    void quit(Link* link, std::optional<std::uint64_t> peerLineStream);
    void confirm(std::uint64_t number);

    // ---- connection and recovery (ChatMachineRecovery.cpp; calls into the handshake, never
    // the other way) ----
    void connect();
    // A fresh session on the same connection.
    void reconnectForPeer(bool adoptLatest = false);
    // Closes the connection, if any, and waits the back-off in Reconnecting.
    void scheduleAutoRetry();
    void retryLater();
    void leaveRelayConnection();
    void connectionLost();
    std::optional<Link> startSession(chat::ErrorLine::What failure, std::optional<double> roomEpoch);

    // ---- handshake (ChatMachineHandshake.cpp): each step says what went wrong and returns
    // what the session should become; recovery is left to the caller ----
    std::string helloText(const PFSChatSession& session) const;
    std::string expectedPeerKeyID() const;
    std::optional<chat::HelloRefused> helloRefusal(const protocol::HelloDecoding& decoded) const;
    void showHelloRefusal(Link& link, chat::HelloRefused refusal);
    // A plain hello that names the peer and can be completed with; a refused one is said.
    std::optional<PeerHello> usableHello(Link& link, const protocol::RelayMessage& message);
    // A usable hello while a session is in use: whether it is one we have not had before.
    bool newPeerHello(const PeerHello& hello);
    [[nodiscard]] SessionFate acceptHello(Waiting& waiting, PeerHello hello, bool adopted);
    // The responder's keys from the initiator's kex2, and our "ready".
    [[nodiscard]] SessionFate answerKex2(Link& link, const protocol::Kex2& kex2);
    // Whether the peer's "ready" confirms the keys; a session that fails this ends the chat.
    bool peerConfirmsKeys(const Link& link, const protocol::RelayMessage& message);
    // The peer's line stream and rule, as its "ready" announces them.
    PeerReady peerAnnouncement(const protocol::RelayMessage& message);
    // Our "ready": the key confirmation and what we announce.
    void sendReady(const Link& link, chat::SendTag::Kind kind);
    [[nodiscard]] SessionFate handshakeStepFailed(chat::ErrorLine::What what, const SessionStepFailure& failure);
    [[nodiscard]] SessionFate maybeActive(Handshaking& handshaking);
    void handshakeRefused(Waiting& waiting, std::string detail);
    void noteFailedHandshake();
    protocol::Announcement announcement() const;

    // ---- shared by the sections above (ChatMachineOutput.cpp) ----
    // Enters `next`. The state left behind: its timers fire in vain from now on; a session it
    // held is wiped.
    template <class S>
    S& enter(S next) {
        leaveState();
        S& entered = state_.template emplace<S>(std::move(next));
        ++stateStamp_;
        return entered;
    }
    void leaveState();
    void fatal(chat::FatalError::Why why);
    // Wipes a session and removes the room's epoch file with it.
    void dropSession(PFSChatSession& session);
    // The session in use has made its keys: the room's epoch file takes their time.
    void keysMade();
    void sayError(chat::ErrorLine::What what, std::string detail);
    // A failed connection attempt: said at every try, a repeat with its count.
    void sayConnectError(chat::ErrorLine::What what, std::string detail);
    void sayRepeats();
    static LineTraffic::Session lineSession(Link& link, const PeerReady& peer) noexcept;
    // Takes what the line traffic did.
    [[nodiscard]] SessionFate apply(LineTraffic::Step step);
    void send(std::string text, chat::SendTag tag);
    void sendTunneled(const Link& link, std::string json, chat::SendTag tag);

    // ---- output ----
    void say(chat::Output output);
    void announce(chat::Phase phase) { say(chat::PhaseChanged{phase}); }
    void arm(chat::Timer timer, double seconds);

    Link* link() noexcept;
    const Link* link() const noexcept;

    ChatMachineConfig config_;
    State state_;
    chat::Actions out_;
    Instant now_;
    std::optional<double> roomEpoch_;
    std::uint64_t generation_ = 0;  // counts sessions
    std::uint64_t stateStamp_ = 0;  // counts states entered
    std::int64_t retryCount_ = 0;

    // What the peer has said across sessions.
    PeerHellos hellos_;

    // Trouble since the last active session.
    int failedHandshakesInARow_ = 0;
    // A hello failed: something on the way may be altering them, ours included, so a good
    // hello taken is answered with ours once more.
    bool hellosMayBeAltered_ = false;
    std::optional<chat::ErrorLine> lastError_;
    bool lastErrorCountSaid_ = false;

    LineTraffic traffic_;
};

}  // namespace duoquill::cli
