#pragma once
// Text from outside the program (a peer's message, command-line arguments) made safe to put
// on a terminal, and the width of text in user-perceived characters.

#include <cstddef>
#include <string>
#include <string_view>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::cli::TerminalText {

// The text with everything that could steer a terminal replaced by a visible stand-in, so
// that it can colour, move, erase or reorder nothing:
//   - C0 controls other than TAB (ESC, CR, LF, BS, ...) and DEL in caret notation ("^[", "^M",
//     "^?");
//   - C1 controls (U+0080..U+009F) and the bidirectional embeddings, overrides and isolates
//     (U+202A..U+202E, U+2066..U+2069) as U+FFFD;
//   - every maximal invalid UTF-8 subsequence (stray bytes, overlong forms, surrogates,
//     truncated sequences) as one U+FFFD.
// Valid UTF-8 without such code points comes back byte for byte. A received line comes out
// as SecureText, so no unwiped copy of it is left behind.
template <class Text = std::string>
Text neutralised(std::string_view text);
extern template std::string neutralised<std::string>(std::string_view);
extern template SecureText neutralised<SecureText>(std::string_view);

// Extended grapheme clusters in the text; an invalid UTF-8 subsequence counts as one U+FFFD.
std::size_t characterCount(std::string_view text);

}  // namespace duoquill::cli::TerminalText
