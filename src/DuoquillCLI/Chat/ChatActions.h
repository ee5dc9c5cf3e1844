#pragma once
// The chat machine's vocabulary: the events it takes, the actions it returns (among them what
// it tells the person, as types the displays word), and what a sent text was, so that the
// outcome of its send can be told.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::cli {

namespace chat {

// What a state is called on the screen and in tests.
enum class Phase : std::uint8_t {
    idle, connecting, waitingForPeer, handshaking, active, reconnecting, disconnected, error
};

// ---- timers: one slot each; arming a slot replaces what it held. A timer carries the stamp
// of the state it was armed in, and fires in vain once that state has been left. ----
enum class Timer : std::uint8_t {
    retry,           // Reconnecting: the back-off before a new relay connection
    connection,      // no peer, handshake time-out, grace, reconnect no peer, handshake back-off
    cover,           // Active: the next cover record
    staleWatch,      // Waiting: records of an old session keep coming
    youngHandshake,  // Handshaking: a hello this early is remembered, not answered
};
inline constexpr int timerCount = 5;

// ---- what a sent text was, so that its outcome can be told ----
struct SendTag {
    enum class Kind : std::uint8_t { connectHello, reconnectHello, extraHello, kex2, initiatorReady, responderReady,
                                     line, unnumberedLine, cover, bye };
    SendTag(Kind kind, std::uint64_t session, bool kept = false, std::optional<SecureText> shown = std::nullopt)
        : kind(kind), session(session), kept(kept), shown(std::move(shown)) {}
    Kind kind;
    std::uint64_t session;  // the session generation it was sealed under
    // line: whether the outbox keeps it (for a confirming peer) if the send fails.
    bool kept;
    // The typed line, when its send completes the "sent" line on the screen.
    std::optional<SecureText> shown;
    // It was shown queued first: other lines may stand below it by the time it goes.
    bool shownQueued = false;
};

// ---- events ----
struct Started {};
struct TextReceived {
    std::string text;
};
struct SendDone {
    SendTag tag;
};
struct SendFailed {
    SendTag tag;
    std::string reason;
};
// The current relay connection failed to receive (or was closed by the relay).
struct ConnectionLost {};
struct LineTyped {
    SecureText line;
};
struct TimerFired {
    Timer timer;
    std::uint64_t stamp = 0;  // as armed
};
struct QuitRequested {};
using Event = std::variant<Started, TextReceived, SendDone, SendFailed, ConnectionLost, LineTyped, TimerFired,
                           QuitRequested>;

// ---- actions ----
// Opens a new relay connection; texts are sent on the newest one opened.
struct OpenConnection {
    std::string url;
};
// Starts delivering the connection's received texts (after its first send went out).
struct StartReceiving {};
// Lets the current connection go: with `disconnect`, closes it (code 1000) once the texts
// queued before are sent; otherwise it is dropped as it is (it has already failed).
struct CloseConnection {
    bool disconnect = true;
};
struct SendText {
    std::string text;
    SendTag tag;
};
struct ArmTimer {
    Timer timer;
    double seconds;
    std::uint64_t stamp;  // echoed when it fires
};
// ---- what the person is told: each display says it in its own way (ChatDisplay.h) ----
// Connecting, waiting for the peer, handshaking, reconnecting, or active ("connected").
struct PhaseChanged {
    Phase phase;
};
// A typed line went out. `afterQueued`: it was shown queued first, so it goes on a line of its
// own rather than in place of the line just typed.
struct LineSent {
    SecureText line;
    bool afterQueued = false;
};
// A typed line waits for a session to take it.
struct LineQueued {
    SecureText line;
};
struct LineReceived {
    SecureText line;
};
// A typed line that was not taken.
struct LineRefused {
    enum class Reason : std::uint8_t { tooLarge, queueFull };
    Reason reason;
};
// A line whose send failed; one kept for a confirming peer goes out again with the next session.
struct LineNotSent {
    std::string reason;  // the transport's or the session's own words
    bool willBeSentAgain = false;
};
// A session begins with lines still to send: those the peer did not confirm, sent again, and
// those typed while none was up.
struct PendingLines {
    std::size_t again = 0;
    std::size_t queued = 0;
};
struct PeerEvent {
    // `quit`: our own leaving, shown as the peer's would be.
    enum class Kind : std::uint8_t { reconnecting, left, quit };
    Kind kind;
};
// The chat gives up on what it was doing and starts again.
struct Recovering {
    enum class Why : std::uint8_t { noPeer, sessionExpired, handshakesFailing };
    Why why;
};
// Connecting or a handshake step failed (said once, then with its count as it repeats), or a
// record did not open.
struct ErrorLine {
    enum class What : std::uint8_t { connect, reconnect, handshake, kex2, decrypt };
    What what;
    std::string detail;  // the transport's or the session's own words
    int repeats = 1;
};
// A peer's hello that is never completed with; said once per session.
struct HelloRefused {
    enum class Why : std::uint8_t { noPostQuantumKey, otherIdentity };
    Why why;
};
// The chat cannot go on; the process ends with status 1.
struct FatalError {
    enum class Why : std::uint8_t { invalidRelayURL, keyConfirmationFailed };
    Why why;
};
// Quitting with lines the peer has not confirmed, oldest first.
struct UnconfirmedLines {
    std::vector<SecureText> lines;
};
// The input prompt is due again.
struct Prompt {};
// Steady mode, on becoming active: whether the peer sends at its own ticks too.
struct SteadyPeer {
    bool steady;
};
// Steady mode: a line sent whole to a peer that does not join parts, so its size showed.
struct LineSizeVisible {};
using Output = std::variant<PhaseChanged, LineSent, LineQueued, LineReceived, LineRefused, LineNotSent, PendingLines,
                            PeerEvent, Recovering, ErrorLine, HelloRefused, FatalError, UnconfirmedLines, Prompt,
                            SteadyPeer, LineSizeVisible>;

// A typed line has been taken: numbered (kept until the peer confirms it), or, for a peer
// that does not confirm, sent once with no number. A refused line gets an error line instead.
struct LineTaken {
    std::optional<std::uint64_t> number;
};
// The peer confirmed these lines (LineDelivery.h); they have left the outbox.
struct Confirmed {
    std::vector<std::uint64_t> numbers;
};
// The room's epoch file: written with the time a session's keys were made, removed when the
// session goes.
struct WriteSessionEpoch {
    double wallSeconds;
};
struct ClearSessionEpoch {};
// Quitting: the numbers of the lines the peer has not confirmed, oldest first. Comes first of
// what quitting does, so that a program asking to quit is answered before the goodbye.
struct UnconfirmedAtExit {
    std::vector<std::uint64_t> numbers;
};
struct StartInput {};
// Ends the process; `afterWrites`: once every queued text and close has gone out.
struct Exit {
    int status;
    bool afterWrites = false;
};
using Action = std::variant<OpenConnection, StartReceiving, CloseConnection, SendText, ArmTimer, Output,
                            StartInput, Exit, LineTaken, Confirmed, WriteSessionEpoch, ClearSessionEpoch,
                            UnconfirmedAtExit>;
using Actions = std::vector<Action>;

}  // namespace chat

}  // namespace duoquill::cli
