// The terminal's line editor, fed key sequences, pastes of up to 200,000 bytes (valid and
// invalid UTF-8, wide and combining characters, controls) and window sizes from 1 to 300
// columns, resized in between, with lines printed above the typed one. Its output drives a
// model of the screen (Kit/TerminalScreen).
//
// Input: two bytes for the first size (columns, rows), then operations (see the switch).
//
// Invariants: the screen shows exactly the prompt and the line (the rows around the cursor
// when it is taller than the screen), laid out row by row, with the cursor on the character it
// stands before, and nothing but what the editor means to write; the cursor stays in the line
// at a character's start; a paste of characters alone makes the line those characters (invalid
// UTF-8 as U+FFFD, what the editor refuses left out, no more than its limit); an entered line
// is UTF-8 with no control but tab, and Up brings it back.

#include <algorithm>
#include <string>

#include "Duoquill/Base/Utf8.h"
#include "DuoquillCLI/Terminal/LineEditor.h"
#include "FuzzTarget.h"
#include "Kit/TerminalScreen.h"

using namespace duoquill;
using cli::LineEditor;
using fuzz::require;

namespace {

constexpr std::size_t kMaxPaste = 200000;
constexpr std::size_t kTerminalRead = 4096;  // what one read of the terminal gives at most

// The prompt and the line laid out as the screen should show them, on its own terms: the rows
// near the cursor's (as many as the screen has, each way) as text, the others left empty.
struct Expected {
    std::vector<std::string> rows;
    int cursorRow = 0, cursorColumn = 0;
};

Expected expectedLayout(const LineEditor& editor, int height) {
    const int columns = editor.size().columns;
    struct Element {
        std::string_view bytes;  // empty for the prompt's two cells
        int row, column, width;
        char32_t first;
        bool replaced;  // too wide for a row: drawn as U+FFFD
    };
    std::vector<Element> elements;
    const std::vector<std::string_view> characters = editor.characters();
    elements.reserve(characters.size() + 2);
    int row = 0, column = 0;
    const auto place = [&](std::string_view bytes, int width, char32_t first, bool tab) {
        if (column >= columns) {
            ++row;
            column = 0;
        }
        if (tab) width = std::min((column / 8 + 1) * 8, columns) - column;
        const bool replaced = width > columns;
        if (replaced) width = 1;
        if (column + width > columns) {
            ++row;
            column = 0;
        }
        elements.push_back({bytes, row, column, width, first, replaced});
        column += width;
    };
    if (editor.promptShown()) {
        place({}, 1, '>', false);
        place({}, 1, ' ', false);
    }
    Expected out;
    out.cursorRow = -1;
    std::size_t offset = 0;
    for (const std::string_view character : characters) {
        std::array<char32_t, LineEditor::maxCodePointsPerCharacter> points{};
        std::size_t count = 0;
        Utf8Decoder decoder(character);
        while (!decoder.atEnd() && count < points.size()) points[count++] = decoder.next().codePoint;
        place(character, LineEditor::characterWidth({points.data(), count}), points[0], character == "\t");
        if (offset == editor.cursorByte()) {
            out.cursorRow = elements.back().row;
            out.cursorColumn = elements.back().column;
        }
        offset += character.size();
    }
    if (column >= columns) {
        ++row;
        column = 0;
    }
    if (out.cursorRow < 0) {
        out.cursorRow = row;
        out.cursorColumn = column;
    }
    out.rows.resize(static_cast<std::size_t>(row) + 1);
    for (const Element& e : elements) {
        if (e.row < out.cursorRow - height || e.row > out.cursorRow + height) continue;
        std::string& text = out.rows[static_cast<std::size_t>(e.row)];
        if (e.bytes.empty()) {
            text += static_cast<char>(e.first);
        } else if (e.bytes == "\t") {
            text.append(static_cast<std::size_t>(e.width), ' ');
        } else if (e.replaced) {
            text += "\uFFFD";
        } else {
            std::string_view drawn = e.bytes;
            if (LineEditor::codePointWidth(e.first) == 0) text += "\u25CC";
            while (drawn.ends_with("\u200D")) drawn.remove_suffix(3);
            text += drawn;
        }
    }
    return out;
}

void checkCursor(const LineEditor& editor) {
    std::size_t offset = 0;
    bool atStart = editor.cursorByte() == 0;
    for (const std::string_view character : editor.characters()) {
        offset += character.size();
        atStart = atStart || offset == editor.cursorByte();
    }
    require(offset == editor.line().size(), "the characters make the line");
    require(editor.cursorByte() <= editor.line().size() && atStart, "the cursor is at a character's start in the line");
}

// The screen shows the line from its top row; when it is not shown, nothing from the cursor down.
void checkScreen(const LineEditor& editor, const test::TerminalScreen& screen, bool shown = true) {
    require(screen.unexpected().empty(), "the editor writes only what the screen takes");
    if (!shown) {
        for (int r = screen.cursorRow(); r < screen.rows(); ++r) require(screen.rowText(r).empty(), "a hidden line is gone");
        require(screen.cursorColumn() == 0, "a hidden line leaves the cursor at the row's start");
        return;
    }
    const Expected expected = expectedLayout(editor, screen.rows());
    const int rows = static_cast<int>(expected.rows.size());
    const int height = screen.rows();
    // The rows shown start where the cursor's row, less its place among them, says.
    const int top = expected.cursorRow - screen.cursorRow();
    if (top < 0 || top > std::max(0, rows - height)) {
        require(false, "the rows shown hold the cursor: the cursor is on row " + std::to_string(screen.cursorRow()) +
                           ", its character on row " + std::to_string(expected.cursorRow) + " of " + std::to_string(rows));
    }
    require(rows <= height ? top == 0 : true, "a line that fits is shown whole");
    for (int r = 0; r < height; ++r) {
        const std::string want = top + r < rows ? expected.rows[static_cast<std::size_t>(top + r)] : std::string();
        if (screen.rowText(r) != want) {
            require(false, "each row shows its part of the prompt and the line: row " + std::to_string(r) + " shows \"" +
                               screen.rowText(r) + "\", not \"" + want + "\"");
        }
    }
    if (screen.cursorColumn() != expected.cursorColumn) {
        require(false, "the cursor is on its character: column " + std::to_string(screen.cursorColumn()) + ", not " +
                           std::to_string(expected.cursorColumn));
    }
}

bool onlyCharacters(std::string_view bytes) {
    return std::none_of(bytes.begin(), bytes.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return (b < 0x20 && b != '\t') || b == 0x7F;
    });
}

// What a paste of characters alone leaves in an empty line.
std::string typedLine(std::string_view bytes) {
    std::string out;
    Utf8Decoder decoder(bytes);
    while (!decoder.atEnd()) {
        const DecodedCodePoint d = decoder.next();
        const std::string_view piece = d.valid ? d.bytes : std::string_view("\uFFFD");
        if (d.valid && !LineEditor::takes(d.codePoint)) continue;
        if (out.size() + piece.size() > LineEditor::maxLineBytes) continue;
        out += piece;
    }
    return out;
}

std::vector<Bytes> seeds() {
    const auto text = [](std::initializer_list<std::string_view> parts) {
        Bytes out;
        for (const auto p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const auto keys = [](std::string_view bytes) {
        std::string op(1, '\0');
        op += static_cast<char>(bytes.size());
        op += bytes;
        return op;
    };
    // A paste of about `length` bytes: scaled by 2^7/4, so a multiple of 32.
    const auto paste = [](std::uint32_t length, std::string_view pattern) {
        const auto quarterLength = static_cast<std::uint16_t>(length / 32);
        std::string op(1, '\1');
        op += '\7';
        op += static_cast<char>(quarterLength >> 8);
        op += static_cast<char>(quarterLength & 0xFF);
        op += static_cast<char>(pattern.size() - 1);
        op += pattern;
        return op;
    };
    return {
        text({"\x78\x18", "\x04", keys("hello\x1B[D\x1B[Dwide \xE6\xBC\xA2\xE5\xAD\x97 e\xCC\x81\r")}),
        text({"\x78\x18", "\x04", paste(6016, "a"), keys("\r"), "\x07"}),
        text({"\x50\x18", paste(102400, "\xE6\xBC\xA2"), "\x02\x00\x28\x0A", "\x03", paste(200000, "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9")}),
        text({"\x01\x05", "\x04", paste(1216, "x\xCC\x81\xFF\t\xF0\x9F\x87\xA9"), "\x02\x2C\x01\x0A", keys("\x01\x0B\x15\x17")}),
        text({"\x0A\x03", "\x04", keys("ab\x1B[H\x04\x04\x09\r"), "\x07", keys("\x1B[A")}),
    };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::writeSeedsIfAsked(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    LineEditor::Size first{input.u8() % 300 + 1, input.u8() % 60 + 1};
    LineEditor editor(first);
    test::TerminalScreen screen(editor.size().columns, editor.size().rows);
    std::optional<SecureText> lastEntered;
    bool justEntered = false;  // nothing typed since the last line entered

    const auto drain = [&] {
        const SecureText out = editor.takeOutput();
        screen.write(out.view());
    };
    // Feeds as the terminal shell does: a read at a time, and past an entered line.
    const auto feed = [&](std::string_view bytes) {
        if (!bytes.empty()) justEntered = false;
        for (std::size_t at = 0; at < bytes.size();) {
            const std::string_view chunk = bytes.substr(at, std::min(kTerminalRead, bytes.size() - at));
            const int scrolls = screen.scrolls();
            const std::size_t taken = editor.feed(chunk);
            require(taken > 0 && taken <= chunk.size(), "the editor takes what it is given, up to a line");
            at += taken;
            drain();
            if (auto entered = editor.takeEntered()) {
                if (entered->ending == LineEditor::Ending::line) {
                    require(isValidUtf8(entered->line.view()), "an entered line is UTF-8");
                    require(entered->line.size() <= LineEditor::maxLineBytes, "an entered line is within the limit");
                    require(std::none_of(entered->line.view().begin(), entered->line.view().end(),
                                         [](char c) { return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F; }),
                            "an entered line holds no control but tab");
                    require(editor.line().empty() && editor.cursorByte() == 0, "after Enter the line is empty");
                    // A line entered keeps a row above the new one; an empty one leaves the prompt as it was.
                    if (!entered->line.empty()) {
                        screen.dropTopRows(std::max(0, 1 - (screen.scrolls() - scrolls)));
                        lastEntered = std::move(entered->line);
                    }
                    justEntered = at == bytes.size();
                }
            }
        }
        checkCursor(editor);
        checkScreen(editor, screen);
    };

    while (input.remaining() > 0) {
        switch (input.u8() % 8) {
            case 0: {  // keys
                const BytesView keys = input.take(input.u8());
                feed(std::string_view(reinterpret_cast<const char*>(keys.data()), keys.size()));
                break;
            }
            case 1: {  // a paste: a pattern repeated
                // Mostly short, now and then up to the longest: a check costs the line's length.
                const std::size_t scale = input.u8() % 8;
                const std::size_t length = std::min<std::size_t>((std::size_t{input.u16()} << scale) >> 2, kMaxPaste);
                const BytesView pattern = input.take(input.u8() % 16 + 1);
                if (pattern.empty()) break;
                std::string paste;
                paste.reserve(length);
                while (paste.size() < length) paste.append(reinterpret_cast<const char*>(pattern.data()), pattern.size());
                paste.resize(length);
                const bool plain = onlyCharacters(paste) && editor.line().empty() && !editor.keyPending();
                feed(paste);
                if (plain && !editor.keyPending()) require(editor.line() == typedLine(paste), "a paste of characters is the line");
                break;
            }
            case 2: {  // the window changes size
                const LineEditor::Size size{input.u16() % 300 + 1, input.u8() % 60 + 1};
                screen.resize(size.columns, size.rows);
                editor.resize(size);
                drain();
                checkScreen(editor, screen);
                break;
            }
            case 3: {  // a line printed above the typed one
                editor.hide();
                drain();
                checkScreen(editor, screen, false);
                const int before = screen.cursorRow(), scrolls = screen.scrolls();
                screen.write("x\r\n");
                editor.redraw();
                drain();
                screen.dropTopRows(std::max(0, before + 1 - (screen.scrolls() - scrolls)));
                checkScreen(editor, screen);
                break;
            }
            case 4:
                editor.showPrompt();
                drain();
                checkScreen(editor, screen);
                break;
            case 5:
                editor.giveUpKey();
                drain();
                checkCursor(editor);
                checkScreen(editor, screen);
                break;
            case 6:  // Up brings back the last line entered, Down the empty line again
                if (justEntered && lastEntered && !editor.keyPending()) {
                    feed("\x1B[A");
                    require(editor.line() == lastEntered->view(), "Up brings back the line entered last");
                    feed("\x1B[B");
                    require(editor.line().empty(), "Down goes back to the empty line");
                }
                break;
            default: {  // a few key bytes
                const BytesView keys = input.take(input.u8() % 8 + 1);
                feed(std::string_view(reinterpret_cast<const char*>(keys.data()), keys.size()));
                break;
            }
        }
    }
    editor.wipe();
    require(editor.line().empty(), "wipe empties the line");
    return 0;
}
