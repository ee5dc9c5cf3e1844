#pragma once
// The server's side of WebSocket framing, with no socket inside: `FrameReader` takes what a
// client sent, as it arrives, and says what it means (a whole text message, a ping, a pong, a
// close, the start of a binary message, or a fault to close the connection for); the functions
// below lay out what the server sends. Client frames must be masked; the server's are not and
// are never fragmented. No extension is ever negotiated, so any reserved bit is a fault.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace duoquill::relay {

enum class Opcode : std::uint8_t { continuation = 0, text = 1, binary = 2, close = 8, ping = 9, pong = 10 };

namespace closeCode {
inline constexpr std::uint16_t normal = 1000;
inline constexpr std::uint16_t goingAway = 1001;
inline constexpr std::uint16_t protocolError = 1002;
inline constexpr std::uint16_t unknownData = 1003;
inline constexpr std::uint16_t none = 1005;  // a close frame without a code
inline constexpr std::uint16_t badPayload = 1007;
inline constexpr std::uint16_t tooBig = 1009;
inline constexpr std::uint16_t tryAgainLater = 1013;
}  // namespace closeCode

class FrameReader {
public:
    struct Event {
        enum class Kind {
            needMore,  // all input used
            text,      // a whole text message: takeMessage()
            binary,    // a binary message began; its bytes are skipped
            ping,      // `payload` is the ping's
            pong,
            close,     // `code` is the client's (closeCode::none without one), `payload` its reason
            fault,     // the connection must be closed with `code`; nothing more is read
        };
        Kind kind = Kind::needMore;
        std::uint16_t code = 0;
        std::string_view payload;  // valid until the next call
    };

    // Messages (the sum of their frames) over `maxMessageBytes` are a fault (1009).
    explicit FrameReader(std::size_t maxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

    // Reads from the front of `input` up to the next event, removing what it used.
    Event next(std::string_view& input);

    std::string takeMessage();
    // A text message has begun and is not whole yet.
    bool inMessage() const { return inMessage_ && !skipping_; }
    // The memory an unfinished message holds on to.
    std::size_t heldBytes() const {
        return inMessage() && message_.capacity() > std::string().capacity() ? message_.capacity() : 0;
    }
    // From now on text messages are parsed but not kept (a connection that is closing).
    void discardMessages();

private:
    Event fault(std::uint16_t code);
    bool parseHeader(Event& faultOut);
    void grow(std::size_t needed, std::size_t frameEnd);
    // Unmasks `size` bytes; true when one of them is not ASCII.
    bool unmaskInto(char* to, const char* from, std::size_t size);

    const std::size_t maxMessageBytes_;
    std::array<std::uint8_t, 14> header_{};
    std::size_t headerHave_ = 0;
    bool inFrame_ = false;  // the header is read; the payload is coming
    bool fin_ = false;
    Opcode opcode_ = Opcode::continuation;
    std::uint64_t remaining_ = 0;  // payload bytes of the frame still to come
    std::array<std::uint8_t, 4> mask_{};
    std::size_t maskAt_ = 0;  // the payload's offset within the frame, for the mask
    bool inMessage_ = false;  // a data message has begun
    bool messageIsText_ = false;
    bool messageIsAscii_ = true;  // no byte of the message so far had its high bit set
    bool skipping_ = false;  // the message's bytes are not kept
    bool discard_ = false;
    bool failed_ = false;
    std::uint64_t messageBytes_ = 0;
    std::string message_;
    std::array<char, 125> control_{};
    std::size_t controlHave_ = 0;
};

// The header of an unmasked, final server frame of `size` payload bytes; returns its length.
std::size_t frameHeader(Opcode opcode, std::uint64_t size, std::array<std::uint8_t, 10>& out);

// A whole close frame: the code and a reason (at most 123 bytes).
std::string closeFrame(std::uint16_t code, std::string_view reason);
// A whole ping or pong with a payload of at most 125 bytes.
std::string controlFrame(Opcode opcode, std::string_view payload);

}  // namespace duoquill::relay
