#include "DuoquillRelay/WebSocketFrames.h"

#include <algorithm>
#include <cstring>

#include "Duoquill/Base/Utf8.h"

namespace duoquill::relay {
namespace {

using Kind = FrameReader::Event::Kind;

bool isControl(Opcode opcode) { return static_cast<std::uint8_t>(opcode) >= 8; }

bool isKnown(std::uint8_t opcode) { return opcode <= 2 || (opcode >= 8 && opcode <= 10); }

// Codes a peer may send: the registered ones in use, and the ranges for libraries and
// applications. 1005 and 1006 only ever describe a close, they are never sent.
bool isValidCloseCode(std::uint16_t code) {
    if (code >= 1000 && code <= 1003) return true;
    if (code >= 1007 && code <= 1013) return true;
    return code >= 3000 && code <= 4999;
}

std::uint64_t bigEndian(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

}  // namespace

FrameReader::Event FrameReader::fault(std::uint16_t code) {
    failed_ = true;
    inMessage_ = false;
    std::string().swap(message_);
    Event event;
    event.kind = Kind::fault;
    event.code = code;
    return event;
}

// Checks what is known of the header so far; false with `faultOut` set when it is a fault.
bool FrameReader::parseHeader(Event& faultOut) {
    const std::uint8_t first = header_[0];
    const std::uint8_t second = header_[1];
    const std::uint8_t opcode = first & 0x0F;
    if ((first & 0x70) != 0 || !isKnown(opcode) || (second & 0x80) == 0) {
        faultOut = fault(closeCode::protocolError);
        return false;
    }
    opcode_ = static_cast<Opcode>(opcode);
    fin_ = (first & 0x80) != 0;
    const std::uint8_t length = second & 0x7F;
    if (isControl(opcode_)) {
        if (!fin_ || length > 125) {
            faultOut = fault(closeCode::protocolError);
            return false;
        }
    } else if ((opcode_ == Opcode::continuation) != inMessage_) {
        // A continuation with no message begun, or a new message inside one.
        faultOut = fault(closeCode::protocolError);
        return false;
    }
    return true;
}

FrameReader::Event FrameReader::next(std::string_view& input) {
    Event event;
    if (failed_) {
        input = {};
        return event;
    }
    for (;;) {
        if (!inFrame_) {
            if (input.empty()) return event;
            while (headerHave_ < 2 && !input.empty()) {
                header_[headerHave_++] = static_cast<std::uint8_t>(input.front());
                input.remove_prefix(1);
            }
            if (headerHave_ < 2) return event;
            if (headerHave_ == 2 && !parseHeader(event)) return event;
            const std::uint8_t length = header_[1] & 0x7F;
            const std::size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
            const std::size_t total = 2 + extended + 4;
            const std::size_t take = std::min(total - headerHave_, input.size());
            std::memcpy(header_.data() + headerHave_, input.data(), take);
            headerHave_ += take;
            input.remove_prefix(take);
            if (headerHave_ < total) return event;

            std::uint64_t size = length;
            if (extended != 0) {
                size = bigEndian(header_.data() + 2, extended);
                // Lengths in their shortest form only, and never with the top bit set.
                const bool shortest = extended == 2 ? size >= 126 : size >= 65536 && (size >> 63) == 0;
                if (!shortest) return fault(closeCode::protocolError);
            }
            std::memcpy(mask_.data(), header_.data() + 2 + extended, 4);
            headerHave_ = 0;
            inFrame_ = true;
            remaining_ = size;
            maskAt_ = 0;
            controlHave_ = 0;
            if (!isControl(opcode_)) {
                const std::uint64_t before = opcode_ == Opcode::continuation ? messageBytes_ : 0;
                if (size > maxMessageBytes_ - before) return fault(closeCode::tooBig);
                messageBytes_ = before + size;
                if (opcode_ != Opcode::continuation) {
                    inMessage_ = true;
                    messageIsText_ = opcode_ == Opcode::text;
                    messageIsAscii_ = true;
                    skipping_ = !messageIsText_ || discard_;
                    if (!messageIsText_) {
                        event.kind = Kind::binary;
                        return event;
                    }
                }
            }
        }

        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, input.size()));
        if (isControl(opcode_)) {
            unmaskInto(control_.data() + controlHave_, input.data(), n);
            controlHave_ += n;
        } else if (!skipping_) {
            const std::size_t at = message_.size();
            if (at + n > message_.capacity()) grow(at + n, at + static_cast<std::size_t>(remaining_));
            message_.resize(at + n);
            if (unmaskInto(message_.data() + at, input.data(), n)) messageIsAscii_ = false;
        }
        input.remove_prefix(n);
        remaining_ -= n;
        maskAt_ += n;
        if (remaining_ != 0) return event;
        inFrame_ = false;

        if (isControl(opcode_)) {
            const std::string_view payload(control_.data(), controlHave_);
            switch (opcode_) {
                case Opcode::ping:
                    event.kind = Kind::ping;
                    event.payload = payload;
                    return event;
                case Opcode::pong:
                    event.kind = Kind::pong;
                    return event;
                default:
                    break;
            }
            event.kind = Kind::close;
            event.code = closeCode::none;
            if (payload.size() == 1) return fault(closeCode::protocolError);
            if (payload.size() >= 2) {
                event.code = static_cast<std::uint16_t>(bigEndian(reinterpret_cast<const std::uint8_t*>(payload.data()), 2));
                if (!isValidCloseCode(event.code)) return fault(closeCode::protocolError);
                event.payload = payload.substr(2);
                if (!isValidUtf8(event.payload)) return fault(closeCode::badPayload);
            }
            return event;
        }
        if (!fin_) continue;
        inMessage_ = false;
        if (skipping_) continue;
        // The whole message: its frames may split a character. ASCII needs no second look.
        if (!messageIsAscii_ && !isValidUtf8(message_)) return fault(closeCode::badPayload);
        event.kind = Kind::text;
        return event;
    }
}

std::string FrameReader::takeMessage() {
    std::string message = std::move(message_);
    message_ = std::string();
    return message;
}

void FrameReader::discardMessages() {
    discard_ = true;
    skipping_ = true;
    std::string().swap(message_);
}

// Room for `needed` bytes, doubling as the bytes arrive but never past the end the frame
// declared: a header alone claims no memory, and a message that arrives whole is held at
// exactly its size.
void FrameReader::grow(std::size_t needed, std::size_t frameEnd) {
    const std::size_t target = std::max(needed, std::min(frameEnd, 2 * message_.capacity()));
    std::string grown;
    grown.reserve(target);  // from empty: exactly `target`
    grown.append(message_);
    message_.swap(grown);
}

bool FrameReader::unmaskInto(char* to, const char* from, std::size_t size) {
    // Sixteen bytes a step in a vector register; the mask repeats every four, so one pattern
    // serves every step.
    using Block = std::uint8_t __attribute__((vector_size(16)));
    std::array<std::uint8_t, 16> pattern{};
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = mask_[(maskAt_ + i) & 3];
    Block key;
    std::memcpy(&key, pattern.data(), sizeof key);
    Block seen{};
    std::size_t i = 0;
    for (; i + sizeof(Block) <= size; i += sizeof(Block)) {
        Block block;
        std::memcpy(&block, from + i, sizeof block);
        block ^= key;
        seen |= block;
        std::memcpy(to + i, &block, sizeof block);
    }
    std::uint8_t high = 0;
    for (; i < size; ++i) {
        const auto byte = static_cast<std::uint8_t>(static_cast<std::uint8_t>(from[i]) ^ pattern[i & 15]);
        to[i] = static_cast<char>(byte);
        high |= byte;
    }
    for (std::size_t k = 0; k < sizeof(Block); ++k) high |= seen[k];
    return (high & 0x80) != 0;
}

std::size_t frameHeader(Opcode opcode, std::uint64_t size, std::array<std::uint8_t, 10>& out) {
    out[0] = static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(opcode));
    std::size_t extended = 0;
    if (size < 126) {
        out[1] = static_cast<std::uint8_t>(size);
    } else if (size <= 0xFFFF) {
        out[1] = 126;
        extended = 2;
    } else {
        out[1] = 127;
        extended = 8;
    }
    for (std::size_t i = 0; i < extended; ++i) out[2 + i] = static_cast<std::uint8_t>(size >> (8 * (extended - 1 - i)));
    return 2 + extended;
}

std::string controlFrame(Opcode opcode, std::string_view payload) {
    payload = payload.substr(0, std::min<std::size_t>(payload.size(), 125));
    std::array<std::uint8_t, 10> header{};
    const std::size_t size = frameHeader(opcode, payload.size(), header);
    std::string frame(reinterpret_cast<const char*>(header.data()), size);
    frame.append(payload);
    return frame;
}

std::string closeFrame(std::uint16_t code, std::string_view reason) {
    std::string payload;
    payload.push_back(static_cast<char>(code >> 8));
    payload.push_back(static_cast<char>(code & 0xFF));
    payload.append(reason.substr(0, std::min<std::size_t>(reason.size(), 123)));
    return controlFrame(Opcode::close, payload);
}

}  // namespace duoquill::relay
