#pragma once
// LineTraffic: the lines of a chat, out and in. Typed lines, the outbox kept for a confirming
// peer, cover records and received "msg" records go through here; each call returns the
// actions it causes and leaves the state of the connection to the machine. What goes out at
// a cover tick is decided here too.
//
// Steady: once active, exactly one "msg" goes out per cover tick: the next waiting line, or a
// part of it, in place of the cover record, else the cover record. A line longer than a frame
// of cover size holds goes in parts to a peer that joins them, and whole, its size seen, to one
// that does not.

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
    // The session lines are sealed under or opened with, and what the peer announced in its
    // "ready": its line stream (nothing for a peer that does not confirm), whether it joins
    // parts and whether it is steady.
    struct Session {
        PFSChatSession& session;
        std::uint64_t generation;
        std::optional<std::uint64_t> peerLineStream;
        bool peerJoinsParts = false;
        bool peerSteady = false;
        bool peerConfirms() const noexcept { return peerLineStream.has_value(); }
    };
    // What a call caused; `restart`: the session cannot go on and a fresh one must take its place.
    struct Step {
        chat::Actions actions;
        bool restart = false;
    };

    // `coverDraw`: uniform in [0, 1), the delay of each cover record.
    LineTraffic(std::uint64_t lineStreamStart, bool baseProtocolOnly, std::function<double()> coverDraw,
                bool steady = false);

    // A cover record goes out this long after the last one, drawn uniformly.
    static constexpr double minCoverDelaySeconds = 2.0;
    static constexpr double maxCoverDelaySeconds = 5.0;
    // The longest line taken, in UTF-8 bytes (ChatMachine::longestLine).
    static std::size_t longestLine();

    // `active`: the session in use, if active and ready.
    Step lineTyped(SecureText line, const Session* active, Instant now);
    // A session has become active: what waits in the outbox, said before "connected" ...
    chat::Actions pendingLines(const Session& active) const;
    // ... and sent after it (steady: at the ticks).
    Step sendWaiting(const Session& active, Instant now);
    // Steady: whether the peer is steady too, said once active.
    chat::Actions steadyNote(const Session& active) const;
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

private:
    Step sendOutbox(const Session& active, Instant now, std::optional<std::uint64_t> typed = std::nullopt);
    // A typed line that stays in the outbox (held back by a ratchet header) is shown as queued.
    chat::Actions heldBack(const Session& active, std::uint64_t typed) const;
    Step sendUnnumbered(SecureText line, const Session& active, Instant now);
    Step sendCover(const Session& active, Instant now);
    // Steady: what of the outbox goes at this tick, if anything fits its frame.
    struct Piece {
        Outbox::Entry* entry;
        std::size_t index;  // of `parts`
        std::size_t parts;
        BytesView bytes;
        bool sizeVisible;  // a whole line longer than a part, to a peer that does not join parts
    };
    std::optional<Piece> nextPiece(const Session& active);
    // Steady: the tick's one frame.
    Step steadyTick(const Session& active, Instant now);
    Step queueSteady(SecureText line, bool active);
    // A part received: the whole line once its last part is in; nothing before, or when the
    // parts do not follow each other.
    std::optional<SecureBytes> joinPart(protocol::LinePart part, const protocol::Msg& msg, SecureBytes piece,
                                        std::uint64_t session);
    std::optional<protocol::LineNumbers> lineNumbers(const Session& session, std::uint64_t number) const;

    bool baseProtocolOnly_;
    bool steady_;
    std::function<double()> coverDraw_;
    Outbox outbox_;
    ReceivedLines receivedLines_;
    // The line going out in parts: its number, the session, the next part.
    struct Outgoing {
        std::uint64_t number;
        std::uint64_t session;
        std::size_t nextPart;
    };
    std::optional<Outgoing> outgoing_;
    // The line coming in parts, so far.
    struct Incoming {
        std::uint64_t session;
        std::optional<std::uint64_t> number;
        std::uint64_t count;
        std::uint64_t next;
        SecureBytes bytes;
    };
    std::optional<Incoming> incoming_;
};

}  // namespace duoquill::cli
