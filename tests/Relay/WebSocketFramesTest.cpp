// The relay's WebSocket frame reader on the bytes a client may send, however they are split,
// and the server frames it lays out.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "DuoquillRelay/WebSocketFrames.h"

namespace duoquill::relay {
namespace {

using Kind = FrameReader::Event::Kind;

constexpr std::size_t kMax = 100000;

// A client frame: `first` is FIN, RSV and opcode; the length is written in the form asked
// for (0: shortest, 2 or 8: that many extended bytes) with the mask bit as given.
std::string clientFrame(std::uint8_t first, std::string_view payload, bool masked = true, int lengthForm = 0) {
    std::string out(1, static_cast<char>(first));
    const std::uint8_t maskBit = masked ? 0x80 : 0;
    const std::uint64_t size = payload.size();
    const int form = lengthForm != 0 ? lengthForm : size < 126 ? 0 : size <= 0xFFFF ? 2 : 8;
    out.push_back(static_cast<char>(maskBit | (form == 0 ? size : form == 2 ? 126 : 127)));
    for (int i = form - 1; i >= 0; --i) out.push_back(static_cast<char>(size >> (8 * i)));
    const char mask[4] = {'\x37', '\xfa', '\x21', '\x3d'};
    if (masked) out.append(mask, 4);
    for (std::size_t i = 0; i < payload.size(); ++i) out.push_back(masked ? static_cast<char>(payload[i] ^ mask[i % 4]) : payload[i]);
    return out;
}

std::string text(std::string_view payload) { return clientFrame(0x81, payload); }

// What the reader saw: the event's kind, its code and its payload (a text message's whole).
using Seen = std::tuple<Kind, std::uint16_t, std::string>;

// Feeds `bytes` in pieces of the sizes `split` gives, until a fault.
template <class Split>
std::vector<Seen> readAll(std::string_view bytes, Split split, FrameReader& reader) {
    std::vector<Seen> seen;
    while (!bytes.empty()) {
        std::string_view piece = bytes.substr(0, split());
        bytes.remove_prefix(piece.size());
        for (;;) {
            const FrameReader::Event event = reader.next(piece);
            if (event.kind == Kind::needMore) break;
            seen.push_back({event.kind, event.code,
                            event.kind == Kind::text ? reader.takeMessage() : std::string(event.payload)});
            if (event.kind == Kind::fault) return seen;
        }
        EXPECT_TRUE(piece.empty());
    }
    return seen;
}

TEST(WebSocketFrames, EveryKindOfFrameReadsTheSameHoweverTheBytesAreSplitAndDiscardedMessagesAreNotKept) {
    const std::string medium(300, 'm');
    std::string large(70000, 'L');
    large[69999] = 'z';
    // Long enough for whole vector steps on both sides of the split below, which cuts the é. The
    // largest message, a character cut between fragments, and the codes a client may close with.
    const std::string accented = std::string(40, 'a') + "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80" + std::string(20, 'b');
    const std::string stream = text("hi") + text(medium) + clientFrame(0x89, "are you there") +
                               clientFrame(0x01, accented.substr(0, 44)) + clientFrame(0x00, "") +
                               clientFrame(0x8A, "") + clientFrame(0x80, accented.substr(44)) + text("") +
                               clientFrame(0x82, "binary is skipped") + text(large) + text(std::string(kMax, 'x')) +
                               clientFrame(0x01, "\xf0\x9f") + clientFrame(0x80, "\x98\x80") +
                               clientFrame(0x88, std::string("\x03\xe8", 2) + "bye") + clientFrame(0x88, "\x03\xf5") +
                               clientFrame(0x88, "\x0b\xb8") + clientFrame(0x88, "\x13\x87") + clientFrame(0x88, "");
    const std::vector<Seen> expected = {
        {Kind::text, 0, "hi"},         {Kind::text, 0, medium},        {Kind::ping, 0, "are you there"},
        {Kind::pong, 0, ""},           {Kind::text, 0, accented},      {Kind::text, 0, ""},
        {Kind::binary, 0, ""},         {Kind::text, 0, large},         {Kind::text, 0, std::string(kMax, 'x')},
        {Kind::text, 0, "\xf0\x9f\x98\x80"}, {Kind::close, 1000, "bye"}, {Kind::close, 1013, ""},
        {Kind::close, 3000, ""},       {Kind::close, 4999, ""},        {Kind::close, closeCode::none, ""},
    };
    // Whole, a byte at a time, and in random pieces.
    std::mt19937 random(7);
    for (int round = 0; round < 22; ++round) {
        FrameReader reader(kMax);
        const auto split = [&] { return round == 0 ? stream.size() : round == 1 ? std::size_t{1} : 1 + random() % 40; };
        EXPECT_EQ(readAll(stream, split, reader), expected) << round;
    }
    // A header claims no memory; a message is held at most at twice what has arrived, and
    // one that arrives whole at exactly its size.
    FrameReader reader(kMax);
    const std::string frame = text(large);
    std::string_view piece = std::string_view(frame).substr(0, 14);
    EXPECT_EQ(reader.next(piece).kind, Kind::needMore);
    EXPECT_TRUE(reader.inMessage());
    EXPECT_EQ(reader.heldBytes(), 0u);
    for (std::size_t at = 14; at < frame.size(); at += 16384) {
        piece = std::string_view(frame).substr(at, 16384);
        const auto event = reader.next(piece);
        if (event.kind == Kind::text) {
            EXPECT_EQ(reader.takeMessage().capacity(), large.size());
        } else {
            EXPECT_LE(reader.heldBytes(), 2 * (at + 16384 - 14));
        }
    }
    const std::string whole = text(medium);
    piece = whole;
    ASSERT_EQ(reader.next(piece).kind, Kind::text);
    EXPECT_EQ(reader.takeMessage().capacity(), medium.size());

    // Discarded messages are read but not kept, and control frames still count.
    const std::string first = clientFrame(0x01, "begun");
    piece = first;
    EXPECT_EQ(reader.next(piece).kind, Kind::needMore);
    reader.discardMessages();
    EXPECT_FALSE(reader.inMessage());
    EXPECT_EQ(reader.heldBytes(), 0u);
    const std::string rest = clientFrame(0x80, "ended") + text("dropped") + clientFrame(0x88, "\x03\xe8");
    EXPECT_EQ(readAll(rest, [&] { return rest.size(); }, reader), (std::vector<Seen>{{Kind::close, 1000, ""}}));
}

TEST(WebSocketFrames, HostileFramesAreFaultsWithTheirCloseCode) {
    const std::string begun = clientFrame(0x01, "part");
    using namespace closeCode;
    const struct { const char* what; std::string bytes; std::uint16_t code; } cases[] = {
        {"unmasked", clientFrame(0x81, "x", false), protocolError}, {"reserved bit", clientFrame(0xC1, "x"), protocolError},
        {"unknown opcode", clientFrame(0x83, "x"), protocolError}, {"unknown control opcode", clientFrame(0x8B, "x"), protocolError},
        {"fragmented ping", clientFrame(0x09, "x"), protocolError}, {"long ping", clientFrame(0x89, std::string(126, 'p')), protocolError},
        {"continuation first", clientFrame(0x80, "x"), protocolError}, {"new message inside one", begun + text("x"), protocolError},
        {"16-bit length for 100 bytes", clientFrame(0x81, std::string(100, 'a'), true, 2), protocolError},
        {"64-bit length for 300 bytes", clientFrame(0x81, std::string(300, 'a'), true, 8), protocolError},
        {"64-bit length with its top bit", std::string("\x81\xff\x80\0\0\0\0\0\0\0", 10), protocolError},
        {"one byte too many", text(std::string(kMax + 1, 'a')), tooBig},
        {"fragments past the limit", clientFrame(0x01, std::string(kMax, 'a')) + clientFrame(0x80, "a"), tooBig},
        {"overlong", text("\xc0\x80"), badPayload}, {"surrogate", text("\xed\xa0\x80"), badPayload},
        {"past U+10FFFF", text("\xf4\x90\x80\x80"), badPayload}, {"not a lead byte", text("\xf5\x80\x80\x80"), badPayload},
        {"cut at the message's end", clientFrame(0x01, "ok") + clientFrame(0x80, "\xe2\x82"), badPayload},
        {"bad byte deep in a later fragment",
         clientFrame(0x01, std::string(40, 'a')) + clientFrame(0x80, std::string(21, 'b') + "\xff" + std::string(20, 'c')), badPayload},
        {"one-byte close", clientFrame(0x88, "\x03"), protocolError}, {"close code 1005", clientFrame(0x88, "\x03\xed"), protocolError},
        {"close code 999", clientFrame(0x88, "\x03\xe7"), protocolError}, {"close code 2000", clientFrame(0x88, "\x07\xd0"), protocolError},
        {"close reason not UTF-8", clientFrame(0x88, "\x03\xe8\xff"), badPayload},
    };
    for (const auto& c : cases) {
        FrameReader reader(kMax);
        const std::string bytes = c.bytes + text("after");
        const auto seen = readAll(bytes, [] { return std::size_t{3}; }, reader);
        ASSERT_FALSE(seen.empty()) << c.what;
        EXPECT_EQ(seen.back(), (Seen{Kind::fault, c.code, ""})) << c.what;
        EXPECT_FALSE(reader.inMessage()) << c.what;
        // Nothing more is read after a fault.
        std::string_view more = bytes;
        EXPECT_EQ(reader.next(more).kind, Kind::needMore) << c.what;
        EXPECT_TRUE(more.empty()) << c.what;
    }
    // A close reason is cut to fit a control frame.
    EXPECT_EQ(closeFrame(1000, std::string(200, 'r')).size(), 2u + 125u);
}

}  // namespace
}  // namespace duoquill::relay
