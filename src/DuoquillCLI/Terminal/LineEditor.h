#pragma once
// The line being typed in a terminal, with nothing of the terminal in it: bytes of keys in, the
// line and the bytes that draw it out. The line is laid out in rows of the terminal's width,
// a character in as many columns as the screen gives it; a line taller than the screen shows
// the rows around the cursor. What is printed above the line (hide, then redraw) and the
// prompt are drawn here too, so that the cursor's place on screen is known at every step.
//
// Everything typed (the line, the history, the bytes written) lives in wiped buffers.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Duoquill/Base/SecureBytes.h"
#include "DuoquillCLI/Terminal/KeyDecoder.h"

namespace duoquill::cli {

class LineEditor {
public:
    struct Size {
        int columns = 80;
        int rows = 24;
    };

    enum class Ending { line, endOfInput, interrupt };
    struct Entered {
        Ending ending = Ending::line;
        SecureText line;  // the typed line, for Ending::line
    };

    // Past this many bytes a line takes no more characters (the bell rings). It is above what
    // the chat sends, so such a line is still refused as too large rather than cut.
    static constexpr std::size_t maxLineBytes = 64 * 1024;
    static constexpr std::size_t maxHistory = 1000;
    // Code points in one character at most; more combining marks start a character of their own.
    static constexpr std::size_t maxCodePointsPerCharacter = 32;

    explicit LineEditor(Size size);

    // Takes bytes of keys until a line is entered or the end is asked for (then entered() has
    // it), and returns how many it took; the rest waits for the next call.
    std::size_t feed(std::string_view input);
    // The rest of a key sequence did not come in time.
    void giveUpKey();
    bool keyPending() const { return keys_.pending(); }
    std::optional<Entered> takeEntered();

    // The bytes for the terminal since the last call.
    SecureText takeOutput();

    void hide();
    void redraw();
    void showPrompt();
    void resize(Size size);
    // Drops the line, the history and whatever is pending, wiping them: the process is leaving.
    void wipe();

    std::string_view line() const { return {bytes_.data(), bytes_.size()}; }
    std::size_t cursorByte() const { return cursorByte_; }
    // The line's characters, as the cursor moves over them and the screen draws them.
    std::vector<std::string_view> characters() const;
    Size size() const { return size_; }
    bool promptShown() const { return promptOn_; }

    // The columns a code point takes where it starts a cell: 0 for one that goes on the cell
    // before (a combining mark, a joiner, a Hangul vowel or final consonant).
    static int codePointWidth(char32_t codePoint);
    // The columns a character takes as terminals draw it: its code points side by side, but a
    // code point after a zero-width joiner joins the cell before it, and two regional
    // indicators make one flag of two columns. A character that starts with a code point of no
    // width is drawn on a dotted circle, one column more; a tab is drawn as spaces.
    static int characterWidth(std::u32string_view codePoints);
    // The code points the editor takes into a line: not controls (but tab), not the bidi
    // embeddings, overrides and isolates.
    static bool takes(char32_t codePoint);

private:
    struct Character {
        std::uint8_t bytes = 0;
        std::uint8_t codePoints = 0;
        std::uint8_t width = 1;  // unused for a tab
        bool tab = false;
    };
    struct Placed {
        std::uint32_t row = 0;
        std::uint16_t column = 0;
        std::uint16_t width = 0;
    };

    void apply(Key key);
    void insert(char32_t codePoint);
    void erase(std::size_t from, std::size_t to);  // characters [from, to)
    void moveTo(std::size_t character);
    void load(std::string_view text);
    void recall(std::size_t index);
    void enter(Ending ending);

    bool somethingToShow() const { return promptOn_ || !characters_.empty(); }
    int promptElements() const { return promptOn_ ? 2 : 0; }
    std::size_t characterOffset(std::size_t character) const;
    void layout();
    void writeElement(std::size_t element, std::size_t& offset);
    void writeRows(std::uint32_t top, std::uint32_t last);
    void render();
    void up(int rows);

    Size size_;
    KeyDecoder keys_;
    std::vector<char, ZeroizingAllocator<char>> bytes_;
    std::vector<Character> characters_;
    std::size_t cursor_ = 0;  // in characters
    std::size_t cursorByte_ = 0;
    bool promptOn_ = false;
    bool changed_ = false;
    bool bell_ = false;
    std::optional<Entered> entered_;

    std::vector<SecureText> history_;
    std::size_t historyIndex_ = 0;
    std::optional<SecureText> draft_;

    // The layout of the prompt and the line, from the last layout().
    std::vector<Placed> placed_;
    std::uint32_t endRow_ = 0, endColumn_ = 0;
    // What is on screen: whether the line is drawn, the first row of it shown, and where the
    // cursor stands relative to the first shown row; the width used in each shown row.
    bool shown_ = false;
    std::uint32_t top_ = 0;
    int cursorRow_ = 0, cursorColumn_ = 0;
    std::vector<int> shownRowWidths_;
    SecureText out_;
};

}  // namespace duoquill::cli
