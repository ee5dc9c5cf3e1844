// The terminal's line editor without a terminal: keys in, the line and the screen it draws out
// (through the kit's model of a screen).

#include <gtest/gtest.h>

#include <functional>

#include "DuoquillCLI/Terminal/LineEditor.h"
#include "Kit/TerminalScreen.h"

namespace duoquill::test {
namespace {

using cli::LineEditor;
using Rows = std::vector<std::string>;
using Cell = std::pair<int, int>;

const std::string kFFFD = "\xEF\xBF\xBD";
const std::string left = "\x1b[D", right = "\x1b[C", up = "\x1b[A", down = "\x1b[B", home = "\x1b[H", del = "\x1b[3~";

// An editor and the screen its output lands on.
struct Typing {
    explicit Typing(int columns = 80, int rows = 24) : editor({columns, rows}), screen(columns, rows) {}

    // Feeds the keys as the terminal shell does, past entered lines, which are collected.
    void keys(std::string_view bytes) {
        while (!bytes.empty()) {
            bytes.remove_prefix(editor.feed(bytes));
            if (auto e = editor.takeEntered()) entered.push_back(std::move(*e));
            draw();
        }
    }
    void draw() { screen.write(editor.takeOutput().view()); }
    std::vector<std::string> rows(int n) const {
        std::vector<std::string> out;
        for (int r = 0; r < n; ++r) out.push_back(screen.rowText(r));
        return out;
    }
    std::pair<int, int> cursor() const { return {screen.cursorRow(), screen.cursorColumn()}; }

    LineEditor editor;
    TerminalScreen screen;
    std::vector<LineEditor::Entered> entered;
};

// (keys, the line, where the cursor is in it); each case on an empty line.
TEST(LineEditor, KeysEditTheLineByWholeCharacters) {
    const std::string acute = "e\xCC\x81", han = "\xE6\xBC\xA2", family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";
    const std::vector<std::tuple<std::string, std::string, std::size_t>> cases{
        {"abcd" + left + left + "\x7f", "acd", 1},
        {"abcd" + left + left + "\x08", "acd", 1},
        {"wxyz" + left + left + del, "wxz", 2},
        {"xy" + home + "\x04", "y", 0},  // Ctrl-D in a line deletes, it does not end anything
        {"xy\x04", "xy", 2},
        {"a\tb", "a\tb", 3},  // Tab types a tab: there is no completion
        {"mid\x01<\x05>", "<mid>", 5},
        {"mid" + left + home + "<" + "\x1b[F>", "<mid>", 5},
        {"keepcut" + left + left + left + "\x0b", "keep", 4},
        {"drop it" + left + "\x15", "", 0},
        {"one two\t three" + left + left + left + left + left + "\x17", "one three", 4},
        {"one two  " + std::string("\x17"), "one ", 4},
        // A character with its marks, a wide one and an emoji sequence are one step each.
        {"x" + acute + han + family + left + left + "\x7f", "x" + han + family, 1},
        {acute + left + "\x7f" + right + "!", acute + "!", acute.size() + 1},
        {"\x1b[1;5D" + std::string("ab") + "\x1b[1~-\x1b[4~+\x1bOD\x1bOH^", "^-ab+", 1},
        // Keys the editor does not use take nothing and type nothing.
        {"a\x1b[2~\x1b[15~\x1b[200~b\x1bx\x07\x1a\x1b[201~", "ab", 2},
        // Controls, C1 and bidi controls are not typed; invalid UTF-8 is U+FFFD.
        {"a\xC2\x85\xE2\x80\xAE\xC2\x9B" "b", "ab", 2},
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         "a" + kFFFD + kFFFD + kFFFD + "b" + kFFFD + "c" + kFFFD + kFFFD + "d", 22},
    };
    for (const auto& [keys, line, cursor] : cases) {
        Typing t;
        t.keys(keys);
        EXPECT_EQ(std::pair(t.editor.line(), t.editor.cursorByte()), std::pair(std::string_view(line), cursor))
            << testing::PrintToString(keys);
        EXPECT_TRUE(t.entered.empty());
    }
}

TEST(LineEditor, EnterCtrlDAndCtrlCEndInOrderAPasteGoesLineByLineAndHistoryRecallsLines) {
    Typing t;
    t.keys("one\rtwo\n\r\x1b[A\x1b[A\r\x04");
    using Ended = std::vector<std::pair<LineEditor::Ending, std::string>>;
    Ended ended;
    for (const auto& e : t.entered) ended.emplace_back(e.ending, e.line.view());
    using enum LineEditor::Ending;
    EXPECT_EQ(ended, (Ended{{line, "one"}, {line, "two"}, {line, ""}, {line, "one"}, {endOfInput, ""}}));

    // One line at a time: the bytes after an entered line wait for the next call.
    LineEditor editor({80, 24});
    EXPECT_EQ(editor.feed("ab\rcd"), 3u);
    ASSERT_TRUE(editor.takeEntered());
    EXPECT_EQ(editor.feed("half\x03rest"), 5u);
    EXPECT_EQ(editor.takeEntered()->ending, LineEditor::Ending::interrupt);

    // The history recalls entered lines and keeps the one being typed.
    Typing h;
    h.keys("first\rsecond\rdraft" + up + up + up);
    EXPECT_EQ(h.editor.line(), "first");
    h.keys("!" + down);  // an edited entry is not kept
    EXPECT_EQ(h.editor.line(), "second");
    h.keys(down);
    EXPECT_EQ(h.editor.line(), "draft");
    h.keys(down + "\x15" + up + "\r" + up + up);
    EXPECT_EQ(h.editor.line(), "second");
    ASSERT_EQ(h.entered.size(), 3u);
    EXPECT_EQ(h.entered[2].line.view(), "second");
}

TEST(LineEditor, ALineTakesNoMoreThanItsLimitAndSaysSo) {
    LineEditor editor({80, 24});
    editor.feed(std::string(LineEditor::maxLineBytes - 1, 'a'));
    EXPECT_EQ(editor.takeOutput().view().find('\a'), std::string_view::npos);
    editor.feed("\xE6\xBC\xA2" "b" "c");  // the wide one does not fit, the rest does as far as it goes
    EXPECT_NE(editor.takeOutput().view().find('\a'), std::string_view::npos);
    EXPECT_EQ(editor.line(), std::string(LineEditor::maxLineBytes - 1, 'a') + "b");
}

// The exact bytes of the commonest steps: typing at the prompt, a line printed above, Enter.
TEST(LineEditor, DrawsThePromptTheLineAndPrintsAboveIt) {
    const std::string prompt = "\x1b[1m\x1b[32m>\x1b[0m ";
    LineEditor editor({80, 24});
    const std::pair<std::function<void()>, std::string> steps[] = {
        {[&] { editor.showPrompt(); }, prompt},
        {[&] { editor.feed("hi"); }, "\r" + prompt + "hi"},
        {[&] { editor.feed(left); }, "\r" + prompt + "hi\r\x1b[3C"},
        {[&] { editor.feed("\x7f"); }, "\r" + prompt + "i\x1b[J\r\x1b[2C"},
        {[&] { editor.hide(); }, "\r\x1b[J"},
        {[&] { editor.redraw(); }, prompt + "i\r\x1b[2C"},
        {[&] { editor.feed("\r"); }, "\r\x1b[J" + prompt + "i\r\n" + prompt},
    };
    for (const auto& [step, drawn] : steps) {
        step();
        EXPECT_EQ(editor.takeOutput().view(), drawn);
    }
    // An empty line is sent nowhere, so no sent line would replace a row left for it: Enter on
    // it leaves the one prompt where it is.
    ASSERT_TRUE(editor.takeEntered());
    editor.feed("\r");
    EXPECT_EQ(editor.takeOutput().view(), "");
    EXPECT_EQ(editor.takeEntered()->line.view(), "");
}

// Long lines in narrow terminals: each row ends where the next character no longer fits, the
// cursor is where its character is, and a line taller than the screen shows the cursor's rows.
TEST(LineEditor, WrapsWideCharactersShowsTheRowsAroundTheCursorAndRewrapsOnAResize) {
    const std::string han = "\xE6\xBC\xA2";
    Typing t(5, 3);
    t.editor.showPrompt();
    t.keys("ab" + han + "c" + han + han);  // "> ab" then the wide one goes to the next row
    t.draw();
    EXPECT_EQ(t.rows(3), (Rows{"> ab", han + "c" + han, han}));
    EXPECT_EQ(t.cursor(), Cell(2, 2));

    // Twelve more rows: the screen shows the last three, with the cursor; Home shows the first.
    t.keys(std::string(60, 'x'));
    EXPECT_EQ(t.rows(3), (Rows{"xxxxx", "xxxxx", "xx"}));
    EXPECT_EQ(t.cursor(), Cell(2, 2));
    t.keys("\x01");
    EXPECT_EQ(t.rows(3), (Rows{"> ab", han + "c" + han, han + "xxx"}));
    EXPECT_EQ(t.cursor(), Cell(0, 2));

    // A line exactly as wide as the rows leaves the cursor at the start of a row of its own.
    Typing exact(4, 5);
    exact.keys("abcdefgh");
    EXPECT_EQ(exact.rows(3), (Rows{"abcd", "efgh", ""}));
    EXPECT_EQ(exact.cursor(), Cell(2, 0));
    // Marks without a base sit on a dotted circle rather than on the cell before; one column
    // is too narrow for a wide character, which shows as U+FFFD.
    Typing narrow(1, 8);
    narrow.keys("\xCC\x81" + han + "\t");
    EXPECT_EQ(narrow.rows(3), (Rows{"\xE2\x97\x8C\xCC\x81", kFFFD, " "}));
    EXPECT_EQ(narrow.screen.cursorRow(), 3);
    EXPECT_TRUE(narrow.screen.unexpected().empty()) << narrow.screen.unexpected();

    // A redraw after a resize replaces the rewrapped line.
    Typing resized(10, 10);
    resized.editor.showPrompt();
    resized.keys(std::string(25, 'y') + left + left);
    resized.screen.resize(4, 10);
    resized.editor.resize({4, 10});
    resized.draw();
    EXPECT_EQ(resized.rows(8), (Rows{"> yy", "yyyy", "yyyy", "yyyy", "yyyy", "yyyy", "yyy", ""}));
    EXPECT_EQ(resized.cursor(), Cell(6, 1));
    resized.screen.resize(30, 10);
    resized.editor.resize({30, 10});
    resized.draw();
    EXPECT_EQ(resized.rows(2), (Rows{"> " + std::string(25, 'y'), ""}));
    EXPECT_EQ(resized.cursor(), Cell(0, 25));
    EXPECT_TRUE(resized.screen.unexpected().empty()) << resized.screen.unexpected();
}

}  // namespace
}  // namespace duoquill::test
