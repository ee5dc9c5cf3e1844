#include "Duoquill/Base/Utf8.h"

#include <cstdint>
#include <cstring>

namespace duoquill {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

DecodedCodePoint Utf8Decoder::next() noexcept {
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text_[i]); };
    const std::size_t start = position_;
    const unsigned char lead = byteAt(start);
    if (lead < 0x80) {
        ++position_;
        return {lead, text_.substr(start, 1), true};
    }

    std::size_t length = 0;
    char32_t value = 0;
    // The allowed range of the first continuation byte rules out overlong forms, surrogates
    // and values above U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        ++position_;
        return {kReplacement, text_.substr(start, 1), false};
    }

    std::size_t i = 1;
    for (; i < length && start + i < text_.size(); ++i) {
        const unsigned char b = byteAt(start + i);
        if (b < low || b > high) break;
        value = (value << 6) | (b & 0x3F);
        low = 0x80, high = 0xBF;
    }
    position_ = start + i;
    if (i < length) return {kReplacement, text_.substr(start, i), false};
    return {value, text_.substr(start, length), true};
}

bool isValidUtf8(std::string_view text) noexcept {
    std::size_t at = 0;
    while (at < text.size()) {
        // Most text is ASCII: eight bytes at a time until a byte with its high bit set. The
        // relay checks every message it forwards with this.
        while (at + 8 <= text.size()) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + at, 8);
            if ((word & 0x8080808080808080ULL) != 0) break;
            at += 8;
        }
        if (at == text.size()) break;
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
            continue;
        }
        const DecodedCodePoint decoded = Utf8Decoder(text.substr(at)).next();
        if (!decoded.valid) return false;
        at += decoded.bytes.size();
    }
    return true;
}

}  // namespace duoquill
