#pragma once
// The chat machine's vocabulary: the events it takes, the actions it returns, and what a sent
// text was, so that the outcome of its send can be told.

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
struct Show {
    enum class Kind : std::uint8_t { status, peerEvent, error, connected, sent, queued, received, prompt };
    Kind kind;
    SecureText text;
    // For a driver that reports to a program (chat --json); the terminal shows the text alone.
    std::optional<Phase> announces = std::nullopt;  // the state a status line (or "connected") announces
    bool failure = false;          // a status line telling of a failure the client recovers from
    bool quotesTypedLine = false;  // a status line that quotes a typed line
};
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
using Action = std::variant<OpenConnection, StartReceiving, CloseConnection, SendText, ArmTimer, Show,
                            StartInput, Exit, LineTaken, Confirmed, WriteSessionEpoch, ClearSessionEpoch,
                            UnconfirmedAtExit>;
using Actions = std::vector<Action>;

}  // namespace chat

}  // namespace duoquill::cli
