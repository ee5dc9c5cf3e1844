#pragma once
// The relay messages: one flat JSON object per text frame, its type in the string member "t".
//
// Encoders write compact JSON with the members in a fixed order; decoders accept any order and
// ignore unknown members. Byte strings are standard padded base64, except "pkid" and "kc",
// which are unpadded base64url. A decoder returning nothing means "ignore the message"; where
// a defect is fatal instead, the decoding says so in its own field.

#include <boost/json/object.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::protocol {

enum class MessageType { hello, kex2, ready, msg, bye, peerDisconnected, unknown };

// A flat JSON object with a string "t" (any member order; unknown members kept, ignored).
struct RelayMessage {
    MessageType type;
    std::string typeName;
    boost::json::object object;
};
// Nothing when the text is not JSON, not an object, or has no string "t". With `secret`, every
// buffer the parse uses (and the message keeps) is wiped when freed: for what arrived inside
// the tunnel, such as a key confirmation.
std::optional<RelayMessage> parseRelayMessage(std::string_view jsonText, bool secret = false);

struct Hello {
    std::string pkid;  // base64url text, sent as given
    Bytes ct;
    Bytes ek;
    Bytes mlk;
};
struct Kex2 {
    Bytes mc;
};
// What a client announces beside its key confirmation, inside the tunnel. A peer that sends
// neither member is taken to do neither: its lines are not numbered or confirmed, and it
// may not follow the recovery leader rule.
struct Announcement {
    // "ls": the first number of the sender's line stream. Present: the sender numbers its
    // lines, confirms the peer's, and shows a resent line once only.
    std::optional<std::uint64_t> lineStream;
    // "lead": "sorted-key": the sender's fresh sessions adopt the peer's latest hello only when
    // its compressed identity key sorts first.
    bool followsLeaderRule = false;
    // "parts": true: the sender joins a line sent in numbered parts ("p", "pn" of "msg").
    bool joinsParts = false;
    // "steady": true: the sender sends one "msg" per cover tick, lines in place of cover records.
    bool steady = false;
};
struct Ready {
    BytesView kc;  // a secret the caller keeps in wiped storage; encode() leaves no copy
    Announcement announcement;
};
// The numbers a "msg" carries between peers that both announced a line stream: "s", the
// line's number in the sender's stream (for a cover record the next unused one), and "a",
// the highest number the sender has received in order from the peer's stream.
struct LineNumbers {
    std::uint64_t s = 0;
    std::uint64_t a = 0;
};
// One part of a line too long for a cover record's padding, to a peer that joins parts: "p",
// the part's index from 0, and "pn", how many parts the line has (2 or more). The record holds
// the part's bytes; the parts of one line follow each other, cover records between them.
struct LinePart {
    std::uint64_t index = 0;
    std::uint64_t count = 0;
};
struct Msg {
    std::uint64_t n = 0;
    Bytes d;
    std::optional<Bytes> rk;
    std::optional<LineNumbers> numbers;
};

std::string encode(const Hello&);  // {"t":"hello","pkid":…,"ct":…,"ek":…,"mlk":…}
std::string encode(const Kex2&);   // {"t":"kex2","mc":…}
// {"t":"ready","kc":…[,"ls":L][,"lead":"sorted-key"][,"parts":true][,"steady":true]}
std::string encode(const Ready&);
// {"t":"msg","n":N,"d":…[,"rk":…][,"s":S,"a":A][,"p":P,"pn":PN]}
std::string encode(const Msg&, std::optional<LinePart> part = std::nullopt);
// `confirmed`: to a peer whose lines we confirm, the highest of its numbers shown in order.
std::string encodeBye(std::optional<std::uint64_t> confirmed = std::nullopt);  // {"t":"bye"[,"a":A]}
std::string encodePeerDisconnected();  // {"t":"peer-disconnected"}

// mlk is nothing when it is missing, not a string, not base64 or not 1568 bytes: the caller
// treats that as fatal.
struct HelloDecoding {
    std::string pkid;
    Bytes ct;
    Bytes ek;
    std::optional<Bytes> mlk;
};
// Nothing: "pkid", "ct" or "ek" missing or not a string, "ct" or "ek" not base64.
std::optional<HelloDecoding> decodeHello(const RelayMessage&);
// Nothing: "mc" missing, not a string or not base64.
std::optional<Kex2> decodeKex2(const RelayMessage&);
// Nothing: "kc" missing, not a string or not base64url (fatal for the caller). Padded and
// standard-alphabet forms are accepted.
std::optional<SecureBytes> decodeReadyConfirmation(const RelayMessage&);
// Members that are missing or of another type announce nothing.
Announcement decodeReadyAnnouncement(const RelayMessage&);
// Nothing: "n" missing, not an integer or negative; "d" missing, not a string or not base64.
// An "rk" that is not a base64 string leaves rk empty, and "s" and "a" that are not both
// counters leave numbers empty; the message still decodes.
std::optional<Msg> decodeMsg(const RelayMessage&);
// The part a "msg" carries: "p" and "pn" are one only as counters with 2 <= pn and p < pn.
// `malformed`: either is there, yet they are no part; the record then holds no line.
struct PartDecoding {
    std::optional<LinePart> part;
    bool malformed = false;
};
PartDecoding decodeMsgPart(const RelayMessage&);
// The "a" of a bye, when it is a counter.
std::optional<std::uint64_t> decodeByeConfirmation(const RelayMessage&);

}  // namespace duoquill::protocol
