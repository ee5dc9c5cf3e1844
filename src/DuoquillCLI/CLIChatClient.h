#pragma once
// CLIChatClient: chat mode. It owns one relay connection and one secure session at a time,
// runs the hello / kex2 / ready handshake, sends the lines typed by the user and cover records,
// and recovers from failures with automatic retries and fresh sessions.
//
// Everything runs on one executor, the main actor: operations are coroutines, and the client
// changes state only at their suspension points. Every task the client starts (receive loop,
// the one `handshakeTimer` slot, `retryTask`, the cover loop `dummyTask`) holds it weakly and
// checks its cancel flag after every sleep. Standard input is read on a thread of its own that
// hands each line over and waits for it to be handled.
//
// Recovery converges. Each session sends one hello, and a session can complete its handshake
// with one peer hello only, so both sides must pick each other's current hello. The client
// therefore remembers the peer's latest hello; a hello that arrives while a session is in use
// starts a fresh session (after a 5-second grace when active). Of the two identities, the one
// whose compressed public key sorts first "leads": a fresh session it starts completes at once
// with the peer's latest hello unless that hello is known to be used up, while the other side's
// fresh sessions always wait for a new hello. The leader's answer to a fresh hello is therefore
// always a hello made for it, and the two sides cannot keep crossing stale hellos. A peer
// announces in its "ready" that it follows this rule; one that has not (a peer that never
// adopts a hello) is answered as the leader would answer it, whichever key sorts first. A
// fresh hello while a session is in use means the peer has a new session: it is answered
// at once, with a session that adopts it.
//
// No typed line is lost. With a peer that announced a line stream, lines are numbered,
// confirmed inside the tunnel and kept in the Outbox until confirmed; each new session sends
// the unconfirmed ones again and the peer shows each number once (LineDelivery.h). Lines
// typed while no session is active wait in the same outbox, with any peer.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Duoquill/Platform/System/Clock.h"
#include "Duoquill/Platform/KeyStorage/KeyStore.h"
#include "Duoquill/Platform/Primitives/P256.h"
#include "Duoquill/Platform/SecureBytes.h"
#include "DuoquillCLI/ChatDisplay.h"
#include "DuoquillCLI/ChatIdentitySource.h"
#include "DuoquillCLI/ChatTasks.h"
#include "DuoquillCLI/ChatTransport.h"
#include "DuoquillCLI/LineDelivery.h"
#include "Duoquill/Protocol/RelayMessages.h"

namespace duoquill {
class PFSChatSession;
}

namespace duoquill::cli {

class CLIChatClient;

// Makes the secure session for a connection attempt. The program uses the session's
// system defaults; tests substitute key stores and clocks.
using ChatSessionFactory = std::function<std::unique_ptr<PFSChatSession>(
    std::shared_ptr<const P256KeyAgreementKey> localStaticKey, const p256::PublicKey& peerStaticKey,
    const std::string& roomCode)>;

// Starts the reader of the user's lines; it hands each line to the client and waits.
using ChatInputStarter = std::function<void(std::weak_ptr<CLIChatClient>, std::shared_ptr<TaskHandle>)>;

// Everything the client reaches outside itself. All references must outlive the client.
struct ChatEnvironment {
    boost::asio::any_io_executor executor;
    ChatTimers& timers;
    ChatDisplay& display;
    ChatIdentitySource& identity;
    ChatTransportFactory makeTransport;
    // Empty: PFSChatSession with the system defaults.
    ChatSessionFactory makeSession;
    // Wall clock: the UTC day of the room token.
    const Clock& clock = Clock::system();
    // Seconds before the next cover record; empty: uniform in [2, 5] from the secure source.
    std::function<double()> coverDelay;
    // A draw in [0, 1) that spreads the wait after a failed handshake; empty: the secure source.
    std::function<double()> backoffJitter;
    // Ends the process with the status. The program's never returns; a test's may, and the
    // client then stops doing anything.
    std::function<void(int)> exitProcess;
    // Empty: nothing reads standard input (tests call sendMessage and quit themselves).
    ChatInputStarter startInputReader;
    // Behave as a client of the base protocol only: announce nothing in "ready", number and
    // resend nothing, never adopt a remembered hello, ignore hellos while active, and drop a
    // line typed while no session is active. For testing compatibility with such peers.
    bool baseProtocolOnly = false;
    // The first number of this process's line stream; empty: drawn at random.
    std::optional<std::uint64_t> lineStreamStart;
};

class CLIChatClient : public std::enable_shared_from_this<CLIChatClient> {
public:
    class State {
    public:
        enum class Kind { idle, connecting, waitingForPeer, handshaking, active, reconnecting, disconnected, error };
        State(Kind kind = Kind::idle, std::string text = {}) : kind_(kind), text_(std::move(text)) {}
        static State disconnected(std::string reason) { return {Kind::disconnected, std::move(reason)}; }
        static State error(std::string message) { return {Kind::error, std::move(message)}; }
        Kind kind() const noexcept { return kind_; }
        const std::string& text() const noexcept { return text_; }
        bool operator==(const State&) const = default;

    private:
        Kind kind_;
        std::string text_;
    };

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
    static constexpr double minCoverDelaySeconds = 2.0;
    static constexpr double maxCoverDelaySeconds = 5.0;

    // Finds the local identity, derives the room and shows the banner. On failure shows
    // "[error] ..." and ends the process with status 1 (returning nothing if that returns).
    static std::shared_ptr<CLIChatClient> create(ChatEnvironment environment, std::string peerPubKeyBase64URL,
                                                 std::string relayBaseURL);
    ~CLIChatClient();

    CLIChatClient(const CLIChatClient&) = delete;
    CLIChatClient& operator=(const CLIChatClient&) = delete;

    // Connects, then starts the reader of standard input.
    boost::asio::awaitable<void> run();
    // Drops the old session and connection, opens new ones and sends the hello.
    boost::asio::awaitable<void> connect();
    // One line typed by the user, without its terminator.
    boost::asio::awaitable<void> sendMessage(SecureText line);
    // Says goodbye through the tunnel, closes the connection, wipes the session and ends the
    // process with status 0.
    boost::asio::awaitable<void> quit();

    // ---- observation, for tests ----
    const State& state() const noexcept { return state_; }
    const std::string& roomCode() const noexcept { return roomCode_; }
    bool leadsRecovery() const noexcept { return leadsRecovery_; }
    std::int64_t retryCount() const noexcept { return retryCount_; }
    PFSChatSession* currentSession() const noexcept { return session_.get(); }
    const Outbox& outbox() const noexcept { return outbox_; }

private:
    struct PeerHello {
        Bytes ct, ek, mlk;
        Bytes fingerprint;  // SHA-256 of the three values: tells hellos apart
    };
    enum class TimerKind { none, noPeer, handshake, grace, reconnectNoPeer, handshakeBackoff };
    struct Private {};

public:
    CLIChatClient(Private, ChatEnvironment environment, std::string peerPubKeyBase64URL, std::string relayBaseURL);

private:
    // Creation steps; each failure ends the process.
    bool setUp();
    void fatal(std::string_view message);
    void endProcess(int status);

    // ---- connection (CLIChatClientConnection.cpp) ----
    std::unique_ptr<PFSChatSession> createPFSSession();
    std::optional<std::string> relayURL() const;
    // The steps connect() and reconnectForPeer() share. A failure is reported as
    // `errorPrefix` and the error, and schedules a retry; an invalid relay URL ends the process.
    bool startSession(std::string_view errorPrefix);
    bool openTransport();
    boost::asio::awaitable<bool> sendHello(std::string_view errorPrefix);
    void startReceiveLoop();
    void handleTransportError();
    void setState(State state);
    void stateDidChange(const State& to);
    void status(std::string_view text);
    void armTimer(TimerKind kind);
    void disconnectInBackground(std::shared_ptr<ChatTransport> transport);
    // Drops the relay connection and retries after the usual delay.
    void leaveRelayConnection();
    using TaskBody = std::function<boost::asio::awaitable<void>(std::weak_ptr<CLIChatClient>, std::shared_ptr<TaskHandle>)>;
    std::shared_ptr<TaskHandle> spawn(TaskBody body);
    // Sleeps without keeping the client alive; afterwards the client, or nothing when the task
    // was cancelled or the client is gone or has ended.
    static boost::asio::awaitable<std::shared_ptr<CLIChatClient>> sleepThenRelock(std::weak_ptr<CLIChatClient> weak,
                                                                                 std::shared_ptr<TaskHandle> task,
                                                                                 double seconds);
    static boost::asio::awaitable<void> staleWatchBody(std::weak_ptr<CLIChatClient> weak,
                                                       std::shared_ptr<TaskHandle> task, std::uint64_t generation);
    static boost::asio::awaitable<void> timerTask(std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task,
                                                  TimerKind kind, double seconds);

    // ---- handshake (CLIChatClientHandshake.cpp) ----
    std::string helloText() const;
    boost::asio::awaitable<void> handlePlainHello(const protocol::RelayMessage& message);
    boost::asio::awaitable<void> handleHello(const protocol::RelayMessage& message);
    boost::asio::awaitable<void> acceptHello(PeerHello hello, bool adopted);
    boost::asio::awaitable<void> handleKex2(const protocol::RelayMessage& message);
    void handleReady(const protocol::RelayMessage& message);
    void transitionToActive();
    // Whether the peer of the current session numbers and confirms lines.
    bool peerConfirms() const noexcept { return peerLineStream_.has_value(); }
    // Whether a fresh session adopts the peer's latest hello at once.
    bool adoptsLatestHello();
    // What our "ready" says beside the key confirmation.
    protocol::Announcement announcement() const;
    // Counts handshakes that ended without a session; the third in a row is said once, since
    // retrying alone looks like a peer that never comes.
    void noteFailedHandshake();
    // A hello that could not be completed with: said, counted, and the next hello of a fresh
    // session waits the back-off. The session stays and still takes a good hello meanwhile.
    void handshakeRefused(std::string line);
    double handshakeBackoffDelay();
    static boost::asio::awaitable<void> youngHandshakeBody(std::weak_ptr<CLIChatClient> weak,
                                                           std::shared_ptr<TaskHandle> task, std::uint64_t generation);
    // A bracketed error line; the same one again is counted, and said with its count when
    // another comes or a session becomes active.
    void sayError(std::string line);
    void sayRepeats();
    static PeerHello peerHello(protocol::HelloDecoding decoded);  // needs a usable "mlk"
    std::optional<PeerHello> parsePeerHello(const protocol::RelayMessage& message) const;
    // Why a decoded hello is refused (no usable "mlk", or another identity's "pkid"), or
    // nothing when it is usable or our own hello sent back. Checked before anything in it is
    // authenticated, so a refusal is shown, at most once per session, and never ends the chat.
    std::optional<std::string_view> helloRefusal(const protocol::HelloDecoding& decoded) const;
    void showHelloRefusal(std::string_view reason);
    std::string expectedPeerKeyID() const;
    void rememberPeerHello(const PeerHello& hello);
    bool hasSeenHello(const Bytes& fingerprint) const;

    // ---- traffic: every frame in, every tunnelled message out (CLIChatClientTraffic.cpp) ----
    static boost::asio::awaitable<void> receiveLoop(std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task);
    boost::asio::awaitable<void> handleMessage(std::string text);
    boost::asio::awaitable<void> handleDecryptedFrame(const protocol::RelayMessage& message);
    boost::asio::awaitable<void> handleMsg(const protocol::RelayMessage& message);
    // Seals the JSON text into a tunnel frame and sends it.
    boost::asio::awaitable<void> sendTunneled(std::string json);
    // Sends a sealed frame; without a transport nothing is sent, and that counts as success.
    boost::asio::awaitable<void> sendFrame(std::string frame);
    void startTrafficLoop();
    // The numbers a "msg" of this session carries, or nothing for a peer without a stream.
    std::optional<protocol::LineNumbers> lineNumbers(std::uint64_t number) const;
    // Sends, in order, every line of the outbox this session has not sent yet (sent before
    // and unconfirmed ones only to a peer that confirms), as far as each fits now. The line
    // numbered `typed` is shown as sent, or as queued when it could not go yet.
    boost::asio::awaitable<void> sendOutbox(std::optional<std::uint64_t> typed = std::nullopt);
    // A line typed while active, to a peer that does not confirm: sealed, sent, shown as sent.
    boost::asio::awaitable<void> sendUnnumbered(SecureText line);
    void showPendingLines();
    void showUnconfirmedLines();
    static boost::asio::awaitable<void> coverLoop(std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task);
    double nextCoverDelay();

    // ---- recovery (CLIChatClientRecovery.cpp) ----
    void scheduleAutoRetry();
    // `adoptLatest`: the fresh session completes with the peer's latest hello at once.
    boost::asio::awaitable<void> reconnectForPeer(bool adoptLatest = false);
    static double retryDelay(std::int64_t retryCount);
    static boost::asio::awaitable<void> retryTaskBody(std::weak_ptr<CLIChatClient> weak,
                                                      std::shared_ptr<TaskHandle> task, double delay);

    ChatEnvironment env_;
    const std::string peerPubKeyBase64URL_;
    const std::string relayBaseURL_;
    std::string roomCode_;
    SecureBytes roomKeyData_;  // kept: the room token is derived anew for each relay connection
    std::string localKeyIdentifier_;
    std::string localPubKeyCompressed_;
    std::shared_ptr<const P256KeyAgreementKey> localKey_;  // the identity key, once read
    std::shared_ptr<ChatTransport> transport_;
    std::unique_ptr<PFSChatSession> session_;
    std::uint64_t sessionGeneration_ = 0;  // counts sessions, so a handshake can tell its own is gone
    std::shared_ptr<TaskHandle> receiveTask_;
    std::shared_ptr<TaskHandle> stdinTask_;
    std::shared_ptr<TaskHandle> dummyTask_;
    std::shared_ptr<TaskHandle> handshakeTimer_;
    std::shared_ptr<TaskHandle> retryTask_;
    std::shared_ptr<TaskHandle> staleWatchTask_;
    bool peerReady_ = false;
    bool localReady_ = false;
    bool intentionalDisconnect_ = false;
    std::int64_t retryCount_ = 0;
    State state_;

    // Recovery bookkeeping.
    TimerKind handshakeTimerKind_ = TimerKind::none;
    bool leadsRecovery_ = false;
    std::optional<PeerHello> latestPeerHello_;
    bool latestPeerHelloUsedUp_ = false;
    std::optional<Bytes> currentPeerHello_;  // fingerprint of the hello the session completed with
    bool currentHelloAdopted_ = false;       // remembered, not received while waiting
    std::deque<Bytes> seenHellos_;           // recent fingerprints, newest last
    std::optional<std::uint64_t> helloRefusalShownFor_;
    int failedHandshakesInARow_ = 0;
    // A hello failed since the last active session: something on the way may be altering
    // them, ours included, so a good hello taken is answered with ours once more.
    bool hellosMayBeAltered_ = false;
    bool handshakeYoung_ = false;
    std::string lastError_;
    int lastErrorRepeats_ = 0;
    // Whether the peer announced the leader rule in its last "ready"; nothing before one.
    std::optional<bool> peerFollowsLeaderRule_;
    bool ended_ = false;

    // Lines.
    Outbox outbox_;
    ReceivedLines receivedLines_;
    std::optional<std::uint64_t> peerLineStream_;  // announced in this session's "ready"
    int reconnectsWithoutKnownRule_ = 0;
    bool staleWatchArmed_ = false;     // this session's wait has lasted staleWatchDelaySeconds
    int staleFramesWhileWaiting_ = 0;  // undecryptable frames since
};

// The `chat` command: runs the client on the main thread until it ends the process (status 0
// after quitting, 1 after a fatal error).
[[noreturn]] void runChat(const std::string& peerPubKeyBase64URL, const std::string& relayBaseURL);

}  // namespace duoquill::cli
