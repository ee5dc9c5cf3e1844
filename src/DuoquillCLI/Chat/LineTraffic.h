#pragma once
// LineTraffic: the lines of a chat, out and in. Typed lines, the outbox kept for a confirming
// peer, cover records and received "msg" records go through here; each call returns the
// actions it causes and leaves the state of the connection to the machine. What goes out at
// a cover tick is decided here too.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "Duoquill/Base/SecureBytes.h"
#include "Duoquill/Protocol/RelayMessages.h"
#include "Duoquill/Session/Instant.h"
#include "DuoquillCLI/Chat/ChatActions.h"
#include "DuoquillCLI/Chat/LineDelivery.h"

namespace duoquill {
class PFSChatSession;
}

namespace duoquill::cli {

class LineTraffic {
public:
    // The session lines are sealed under or opened with, and the peer's line stream announced
    // in its "ready" (nothing for a peer that does not confirm).
    struct Session {
        PFSChatSession& session;
        std::uint64_t generation;
        std::optional<std::uint64_t> peerLineStream;
        bool peerConfirms() const noexcept { return peerLineStream.has_value(); }
    };
    // What a call caused; `restart`: the session cannot go on and a fresh one must take its place.
    struct Step {
        chat::Actions actions;
        bool restart = false;
    };

    // `coverDraw`: uniform in [0, 1), the delay of each cover record.
    LineTraffic(std::uint64_t lineStreamStart, bool baseProtocolOnly, std::function<double()> coverDraw);

    // A cover record goes out this long after the last one, drawn uniformly.
    static constexpr double minCoverDelaySeconds = 2.0;
    static constexpr double maxCoverDelaySeconds = 5.0;
    // The longest line taken, in UTF-8 bytes (ChatMachine::longestLine).
    static std::size_t longestLine();

    // `active`: the session in use, if active and ready.
    Step lineTyped(SecureText line, const Session* active, Instant now);
    // A session has become active: what waits in the outbox, said before "connected" ...
    chat::Actions pendingLines(const Session& active) const;
    // ... and sent after it.
    Step sendWaiting(const Session& active, Instant now);
    // The cover timer has fired: one cover record, then what the record's ratchet header held back.
    Step coverTick(const Session& active, Instant now);
    // A "msg" record in the tunnel.
    Step received(const protocol::RelayMessage& message, const Session& session, Instant now);
    // The peer confirmed lines up to `number`.
    chat::Actions confirm(std::uint64_t number);

    double nextCoverDelay();
    // The highest number shown of the peer's stream, for our "bye".
    std::optional<std::uint64_t> highestShown(std::optional<std::uint64_t> peerStream) const;
    chat::UnconfirmedAtExit unconfirmedAtExit() const;
    // The lines the peer never confirmed, said at exit.
    chat::Actions unconfirmedLines() const;

    std::uint64_t streamStart() const noexcept { return outbox_.streamStart(); }
    const Outbox& outbox() const noexcept { return outbox_; }

private:
    Step sendOutbox(const Session& active, Instant now, std::optional<std::uint64_t> typed = std::nullopt);
    // A typed line that stays in the outbox (held back by a ratchet header) is shown as queued.
    chat::Actions heldBack(const Session& active, std::uint64_t typed) const;
    Step sendUnnumbered(SecureText line, const Session& active, Instant now);
    std::optional<protocol::LineNumbers> lineNumbers(const Session& session, std::uint64_t number) const;

    bool baseProtocolOnly_;
    std::function<double()> coverDraw_;
    Outbox outbox_;
    ReceivedLines receivedLines_;
};

}  // namespace duoquill::cli
