#include "DuoquillCLI/Terminal/TerminalText.h"

#include "Duoquill/Base/Utf8.h"
#include "DuoquillCLI/Terminal/GraphemeBreak.h"

namespace duoquill::cli::TerminalText {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

bool isBidiControl(char32_t c) noexcept {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

template <class Text>
Text neutralised(std::string_view text) {
    Text out;
    out.reserve(text.size());
    Utf8Decoder decoder(text);
    while (!decoder.atEnd()) {
        const DecodedCodePoint d = decoder.next();
        const char32_t c = d.codePoint;
        if (!d.valid || (c >= 0x80 && c <= 0x9F) || isBidiControl(c)) {
            out += kReplacementUtf8;
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            out += '^';
            out += static_cast<char>(c == 0x7F ? '?' : c + 0x40);
        } else {
            out += d.bytes;
        }
    }
    return out;
}

template std::string neutralised<std::string>(std::string_view);
template SecureText neutralised<SecureText>(std::string_view);

std::size_t characterCount(std::string_view text) {
    GraphemeClusterCounter counter;
    Utf8Decoder decoder(text);
    while (!decoder.atEnd()) counter.add(decoder.next().codePoint);
    return counter.count();
}

}  // namespace duoquill::cli::TerminalText
