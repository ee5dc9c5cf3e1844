#pragma once
// The two pipelines between relay message text and the frames on the wire, over one session.
//
// Out: the message JSON, tunnelSeal, standard base64. A "msg" is built in one go, without a
// suspension point: ratchet header, record seal, JSON, tunnel seal, so the record and tunnel
// counters of successive messages follow the order in which they are handed to the transport.
// In: base64, tunnelOpen, JSON; or, when that fails, the frame as plain JSON.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Protocol/RelayMessages.h"

namespace duoquill::protocol {

// Outgoing: tunnelSeal of the JSON text, standard base64 of the frame (errors propagate).
std::string sealTunnelText(PFSChatSession& session, std::string_view jsonText, Instant now);
// Outgoing "msg": the pending ratchet header, seal of the line (or sealDummy), the msg JSON,
// tunnel seal, base64. Errors propagate; a failed tunnel seal leaves the record chain moved.
// `numbers` go out as the "s" and "a" members when given, `part` as "p" and "pn".
std::string sealChatLine(PFSChatSession& session, Instant now, BytesView line,
                         std::optional<LineNumbers> numbers = std::nullopt, std::optional<LinePart> part = std::nullopt);
std::string sealCoverRecord(PFSChatSession& session, Instant now, std::optional<LineNumbers> numbers = std::nullopt);
// Incoming: base64, tunnelOpen, parse; nothing when any step fails (the caller then tries the
// frame as a plain message).
std::optional<RelayMessage> openTunnelText(PFSChatSession& session, std::string_view frameText, Instant now);
// Incoming plain frame: nothing unless it begins with '{' and parses as a relay message.
std::optional<RelayMessage> parsePlainFrame(std::string_view frameText);

// ---- the size of a "msg" ----

// Longest chat line, in UTF-8 bytes.
inline constexpr std::size_t maxChatLineBytes = 49152;
// A "msg" text must not be longer: it is one tunnel payload.
inline constexpr std::size_t maxTunnelPayload = PFSChatSession::tunnelMaxPayload;
inline constexpr std::size_t ratchetHeaderMaxBytes = PFSChatSession::ratchetHeaderWithCiphertextSize;
// The longest "msg" text a line of `lineBytes` bytes can give: the largest record padding, a
// counter of the most digits, the largest ratchet header when one may be pending, and line
// numbers of the most digits when they are carried.
std::size_t largestMsgTextLength(std::size_t lineBytes, bool ratchetHeaderPending, bool lineNumbers = false);
// Lines whose "msg" lands in the tunnel buckets a cover record's would. Up to one record
// bucket, a line pads exactly as a cover record does: always. Up to two buckets, its "msg"
// (with line numbers and part members) still fits the one tunnel bucket of a cover record
// without a ratchet header, and the four of one beside a full header; only beside a keys-only
// header, where the record's padding decides between two and three, would it show.
inline constexpr std::size_t coverSizedLineBytes = PFSChatSession::recordBucket - 5;
inline constexpr std::size_t linePartBytes = 2 * PFSChatSession::recordBucket - 5;
bool fitsCoverFrame(const PFSChatSession& session, std::size_t lineBytes);
// A longer line goes in parts of linePartBytes; how many.
inline constexpr std::size_t partsOfLine(std::size_t lineBytes) {
    return lineBytes <= linePartBytes ? 1 : (lineBytes + linePartBytes - 1) / linePartBytes;
}
// The longest line accepted whatever the session's state: 45307 bytes, with line numbers or not.
std::size_t longestAlwaysAcceptedLine(bool lineNumbers = false);
// Whether the session may seal this line. Checked before anything moves: a "msg" that outgrew
// the tunnel would fail after the record chain had stepped past the line.
bool chatLineFits(const PFSChatSession& session, std::size_t lineBytes, bool lineNumbers = false);

}  // namespace duoquill::protocol
