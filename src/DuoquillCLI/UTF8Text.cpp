#include "DuoquillCLI/UTF8Text.h"

#include <cstdint>

namespace duoquill::cli::UTF8Text {

namespace {

// Length of the well-formed sequence starting at `i`, or of the maximal ill-formed subpart
// there (negated). Never 0.
int sequenceAt(std::string_view text, std::size_t i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t lead = byte(i);
    if (lead < 0x80) return 1;
    int length = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return -1;
    }
    for (int k = 1; k < length; ++k) {
        if (i + k >= text.size()) return -k;
        const std::uint8_t b = byte(i + k);
        const bool ok = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
        if (!ok) return -k;
    }
    return length;
}

}  // namespace

bool isValid(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        const int n = sequenceAt(text, i);
        if (n < 0) return false;
        i += static_cast<std::size_t>(n);
    }
    return true;
}

std::string withReplacements(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const int n = sequenceAt(text, i);
        if (n > 0) {
            out.append(text.substr(i, static_cast<std::size_t>(n)));
            i += static_cast<std::size_t>(n);
        } else {
            out.append("\xEF\xBF\xBD");
            i += static_cast<std::size_t>(-n);
        }
    }
    return out;
}

}  // namespace duoquill::cli::UTF8Text
