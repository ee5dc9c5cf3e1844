#pragma once
// Strict UTF-8 decoding (no overlong forms, no surrogates, nothing above U+10FFFF).

#include <cstddef>
#include <string>
#include <string_view>

namespace duoquill {

struct DecodedCodePoint {
    char32_t codePoint;
    std::string_view bytes;  // the bytes it was decoded from
    bool valid;
};

// Walks UTF-8 text one code point at a time. A maximal invalid subsequence (the longest start
// of a well-formed sequence, or one stray byte) yields U+FFFD with valid == false.
class Utf8Decoder {
public:
    explicit Utf8Decoder(std::string_view text) noexcept : text_(text) {}
    bool atEnd() const noexcept { return position_ >= text_.size(); }
    DecodedCodePoint next() noexcept;

private:
    std::string_view text_;
    std::size_t position_ = 0;
};

bool isValidUtf8(std::string_view text) noexcept;

// The text with every maximal invalid subsequence replaced by U+FFFD (the Unicode
// recommendation); valid text comes back unchanged. Typed lines pass through it (as
// SecureText), so the peer always receives UTF-8.
template <class Text = std::string>
Text withUtf8Replacements(std::string_view text) {
    Text out;
    out.reserve(text.size());
    Utf8Decoder decoder(text);
    while (!decoder.atEnd()) {
        const DecodedCodePoint decoded = decoder.next();
        out += decoded.valid ? decoded.bytes : std::string_view("\xEF\xBF\xBD");
    }
    return out;
}

}  // namespace duoquill
