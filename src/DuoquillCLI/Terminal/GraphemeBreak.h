#pragma once
// Counts what a terminal shows as one character: the extended grapheme clusters of a sequence
// of code points, by the rules and the Unicode version of the system's utf8proc.

#include <cstddef>
#include <cstdint>

namespace duoquill::cli {

// Feed the code points in order; count() is the number of clusters seen so far.
class GraphemeClusterCounter {
public:
    void add(char32_t codePoint) noexcept;
    std::size_t count() const noexcept { return count_; }

private:
    std::size_t count_ = 0;
    std::int32_t previous_ = 0;
    // Carried between calls by utf8proc: emoji sequences and regional indicator pairs span
    // more than two code points.
    std::int32_t state_ = 0;
};

}  // namespace duoquill::cli
