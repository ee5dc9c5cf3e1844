#include "DuoquillCLI/Terminal/GraphemeBreak.h"

#include <utf8proc.h>

namespace duoquill::cli {

void GraphemeClusterCounter::add(char32_t codePoint) noexcept {
    // Past U+10FFFF utf8proc reads no property and breaks as around any other code point.
    const auto next = static_cast<std::int32_t>(codePoint);
    if (count_ == 0 || utf8proc_grapheme_break_stateful(previous_, next, &state_)) ++count_;
    previous_ = next;
}

}  // namespace duoquill::cli
