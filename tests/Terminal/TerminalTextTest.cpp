// Neutralising outside text for the terminal, and counting user-perceived characters.

#include <gtest/gtest.h>

#include "DuoquillCLI/Terminal/TerminalText.h"

namespace duoquill::test {
namespace {

using cli::TerminalText::characterCount;
using cli::TerminalText::neutralised;

const std::string kFFFD = "\xEF\xBF\xBD";

// (text, what the terminal is given); clean text passes unchanged.
TEST(TerminalText, ControlsBidiAndInvalidUtf8AreNeutralisedAndCleanTextIsUnchanged) {
    std::string c0;
    for (int c = 0; c < 0x20; ++c) c0 += static_cast<char>(c);
    c0 += '\x7F';
    std::vector<std::pair<std::string, std::string>> cases{
        {c0, "^@^A^B^C^D^E^F^G^H\t^J^K^L^M^N^O^P^Q^R^S^T^U^V^W^X^Y^Z^[^\\^]^^^_^?"},
        // The example of the Unicode standard's "U+FFFD substitution of maximal subparts".
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         "a" + kFFFD + kFFFD + kFFFD + "b" + kFFFD + "c" + kFFFD + kFFFD + "d"},
        {"\xC0\x9B", kFFFD + kFFFD},                                // overlong ESC-ish
        {"\xE0\x80\x9B", kFFFD + kFFFD + kFFFD},                   // overlong CSI
        {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},                   // surrogate
        {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},      // above U+10FFFF
        {"\xF0\x9F\x91", kFFFD},                                   // cut short at the end
        {"\xFF\xFE", kFFFD + kFFFD},
        {"\xE2\x82\x1B", kFFFD + "^["},                            // a control ends the sequence
    };
    for (char32_t c = 0x80; c <= 0x9F; ++c) cases.push_back({{static_cast<char>(0xC2), static_cast<char>(c)}, kFFFD});
    for (const char* bidi : {"\xE2\x80\xAA", "\xE2\x80\xAB", "\xE2\x80\xAC", "\xE2\x80\xAD", "\xE2\x80\xAE",
                             "\xE2\x81\xA6", "\xE2\x81\xA7", "\xE2\x81\xA8", "\xE2\x81\xA9"}) {
        cases.push_back({std::string("a") + bidi + "b", "a" + kFFFD + "b"});
    }
    for (const char* clean : {"", "plain ASCII ~!@#$%^&*()", "tab\tkept", "\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC",
                              "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9 \xE2\x9D\xA4\xEF\xB8\x8F",
                              "\xC2\xA0\xC2\xA9 U+00A0 and U+00A9 follow the C1 block", "\xF4\x8F\xBF\xBF",
                              "\xE2\x80\x8F\xE2\x80\x8E marks stay"}) {
        cases.push_back({clean, clean});
    }
    for (const auto& [text, shown] : cases) EXPECT_EQ(neutralised(text), shown) << testing::PrintToString(text);
}

// The cluster rules are utf8proc's; ours is to count the first code point, carry its state
// across sequences longer than two, and decode what reaches it.
TEST(TerminalText, CountsExtendedGraphemeClusters) {
    const std::pair<const char*, std::size_t> cases[] = {
        {"", 0},
        {"abc", 3},
        {"\xCC\x81", 1},                                            // a lone combining mark
        {"e\xCC\x81\xCC\xA3", 1},                                   // e + two combining marks
        {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6", 1},
        {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9", 2},    // FR + lone D
        {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 2},
        {"\xFF\xCC\x81", 1},                                        // U+FFFD for the bad byte, extended
    };
    for (const auto& [text, count] : cases) EXPECT_EQ(characterCount(text), count) << text;
}

}  // namespace
}  // namespace duoquill::test
