#pragma once
// UTF-8 checks for text that crosses the chat: typed lines are made valid before they are
// sent, received text is shown only when valid.

#include <string>
#include <string_view>

namespace duoquill::cli::UTF8Text {

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValid(std::string_view text) noexcept;

// The text with every ill-formed sequence replaced by U+FFFD, one per maximal ill-formed
// subpart (the Unicode recommendation); valid text comes back unchanged.
std::string withReplacements(std::string_view text);

}  // namespace duoquill::cli::UTF8Text
