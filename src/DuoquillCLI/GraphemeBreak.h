#pragma once
// The Grapheme_Cluster_Break property of a code point (Unicode 14), with Extended_Pictographic
// folded in as one more value, and the extended grapheme cluster rules built on it. Used to
// count what a terminal shows as one character.

#include <cstddef>
#include <string_view>

namespace duoquill::cli {

enum class GraphemeBreak : unsigned char {
    Other,
    CR,
    LF,
    Control,
    Extend,
    ZWJ,
    RegionalIndicator,
    Prepend,
    SpacingMark,
    L,
    V,
    T,
    LV,
    LVT,
    ExtendedPictographic,  // Grapheme_Cluster_Break=Other, Extended_Pictographic=Yes
};

GraphemeBreak graphemeBreakOf(char32_t codePoint) noexcept;

// Counts the extended grapheme clusters of a sequence of code points. Feed the code points in
// order; count() is the number of clusters seen so far.
class GraphemeClusterCounter {
public:
    void add(char32_t codePoint) noexcept;
    std::size_t count() const noexcept { return count_; }

private:
    bool breaksBefore(GraphemeBreak next) const noexcept;

    std::size_t count_ = 0;
    GraphemeBreak previous_ = GraphemeBreak::Other;
    // An emoji that may still join the next one: Extended_Pictographic Extend* (then ZWJ).
    bool inPictographicSequence_ = false;
    // Regional indicators seen in a row; an odd count pairs with the next one.
    std::size_t regionalIndicatorRun_ = 0;
};

}  // namespace duoquill::cli
