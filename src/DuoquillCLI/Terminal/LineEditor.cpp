#include "DuoquillCLI/Terminal/LineEditor.h"

#include <utf8proc.h>

#include <algorithm>
#include <string>

namespace duoquill::cli {
namespace {

// CLIUI's prompt, in its two cells.
constexpr std::string_view kPromptMark = "\x1B[1m\x1B[32m>\x1B[0m";
constexpr std::string_view kPromptSpace = " ";
constexpr std::string_view kDottedCircle = "\u25CC";
constexpr std::string_view kReplacement = "\uFFFD";
constexpr std::string_view kEraseRowRest = "\x1B[K";
constexpr std::string_view kEraseBelow = "\x1B[J";
constexpr int kTabStop = 8;
constexpr char32_t kJoiner = 0x200D;

std::size_t encode(char32_t c, char* out) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// The code points of valid UTF-8 (the editor's own bytes).
std::u32string decode(std::string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int more = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        char32_t c = more == 0 ? lead : lead & (0x3F >> more);
        for (int k = 1; k <= more && i + k < text.size(); ++k) c = (c << 6) | (text[i + k] & 0x3F);
        out += c;
        i += static_cast<std::size_t>(more) + 1;
    }
    return out;
}

std::string decimal(int n) { return std::to_string(n); }

}  // namespace

int LineEditor::codePointWidth(char32_t c) {
    if ((c >= 0x1160 && c <= 0x11FF) || (c >= 0xD7B0 && c <= 0xD7FF)) return 0;
    return std::max(0, utf8proc_charwidth(static_cast<utf8proc_int32_t>(c)));
}

int LineEditor::characterWidth(std::u32string_view codePoints) {
    int width = 0;
    bool afterJoiner = false, loneIndicator = false;
    for (std::size_t i = 0; i < codePoints.size(); ++i) {
        const char32_t c = codePoints[i];
        const bool indicator = c >= 0x1F1E6 && c <= 0x1F1FF;
        if (afterJoiner) {
            afterJoiner = c == kJoiner;
        } else if (indicator && loneIndicator) {
            width += 1;
            loneIndicator = false;
        } else {
            const int w = codePointWidth(c);
            if (i == 0 && w == 0) width += 1;  // the dotted circle
            width += w;
            loneIndicator = indicator;
            afterJoiner = c == kJoiner;
        }
    }
    return std::max(width, 1);
}

bool LineEditor::takes(char32_t c) {
    if (c == '\t') return true;
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
    if ((c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) return false;
    return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
}

LineEditor::LineEditor(Size size) : size_(size) {
    size_.columns = std::max(size_.columns, 1);
    size_.rows = std::max(size_.rows, 1);
}

std::size_t LineEditor::feed(std::string_view input) {
    std::size_t taken = 0;
    while (taken < input.size() && !entered_) {
        const KeyDecoder::Keys keys = keys_.add(static_cast<unsigned char>(input[taken++]));
        for (std::size_t i = 0; i < keys.count && !entered_; ++i) apply(keys.keys[i]);
    }
    if (changed_) render();
    if (bell_) out_ += '\a';
    bell_ = false;
    return taken;
}

void LineEditor::giveUpKey() {
    const KeyDecoder::Keys keys = keys_.giveUp();
    for (std::size_t i = 0; i < keys.count; ++i) apply(keys.keys[i]);
    if (changed_) render();
}

std::vector<std::string_view> LineEditor::characters() const {
    std::vector<std::string_view> out;
    std::size_t offset = 0;
    for (const Character& c : characters_) {
        out.emplace_back(bytes_.data() + offset, c.bytes);
        offset += c.bytes;
    }
    return out;
}

std::optional<LineEditor::Entered> LineEditor::takeEntered() {
    std::optional<Entered> entered = std::move(entered_);
    entered_.reset();
    return entered;
}

SecureText LineEditor::takeOutput() {
    SecureText out = std::move(out_);
    out_ = SecureText();
    return out;
}

void LineEditor::apply(Key key) {
    switch (key.kind) {
        case KeyKind::character:
            if (takes(key.character)) insert(key.character);
            break;
        case KeyKind::enter: enter(Ending::line); break;
        case KeyKind::backspace:
            if (cursor_ > 0) erase(cursor_ - 1, cursor_);
            break;
        case KeyKind::deleteForward:
            if (cursor_ < characters_.size()) erase(cursor_, cursor_ + 1);
            break;
        case KeyKind::endOfFile:
            if (characters_.empty()) {
                enter(Ending::endOfInput);
            } else if (cursor_ < characters_.size()) {
                erase(cursor_, cursor_ + 1);
            }
            break;
        case KeyKind::interrupt: enter(Ending::interrupt); break;
        case KeyKind::left:
            if (cursor_ > 0) moveTo(cursor_ - 1);
            break;
        case KeyKind::right:
            if (cursor_ < characters_.size()) moveTo(cursor_ + 1);
            break;
        case KeyKind::home: moveTo(0); break;
        case KeyKind::end: moveTo(characters_.size()); break;
        case KeyKind::killToEnd: erase(cursor_, characters_.size()); break;
        case KeyKind::killLine: erase(0, characters_.size()); break;
        case KeyKind::killWord: {
            // Back over blanks, then over the word before them.
            std::size_t from = cursor_, offset = cursorByte_;
            const auto blankBefore = [&] {
                return characters_[from - 1].tab || (characters_[from - 1].bytes == 1 && bytes_[offset - 1] == ' ');
            };
            while (from > 0 && blankBefore()) offset -= characters_[--from].bytes;
            while (from > 0 && !blankBefore()) offset -= characters_[--from].bytes;
            erase(from, cursor_);
            break;
        }
        case KeyKind::up:
            if (historyIndex_ > 0) {
                if (historyIndex_ == history_.size()) draft_.emplace(line());
                recall(historyIndex_ - 1);
            }
            break;
        case KeyKind::down:
            if (historyIndex_ < history_.size()) recall(historyIndex_ + 1);
            break;
        case KeyKind::redraw:
            hide();
            changed_ = true;
            break;
    }
}

void LineEditor::insert(char32_t c) {
    char encoded[4];
    const std::size_t size = encode(c, encoded);
    if (bytes_.size() + size > maxLineBytes) {
        bell_ = true;
        return;
    }
    bool joins = false;
    std::u32string joined;
    if (c != '\t' && cursor_ > 0) {
        const Character& before = characters_[cursor_ - 1];
        if (!before.tab && before.codePoints < maxCodePointsPerCharacter) {
            joined = decode(std::string_view(bytes_.data() + cursorByte_ - before.bytes, before.bytes));
            utf8proc_int32_t state = 0;
            for (std::size_t i = 1; i < joined.size(); ++i) {
                utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(joined[i - 1]),
                                                 static_cast<utf8proc_int32_t>(joined[i]), &state);
            }
            joins = !utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(joined.back()),
                                                      static_cast<utf8proc_int32_t>(c), &state);
        }
    }
    bytes_.insert(bytes_.begin() + static_cast<std::ptrdiff_t>(cursorByte_), encoded, encoded + size);
    cursorByte_ += size;
    if (joins) {
        joined += c;
        Character& before = characters_[cursor_ - 1];
        before.bytes = static_cast<std::uint8_t>(before.bytes + size);
        ++before.codePoints;
        before.width = static_cast<std::uint8_t>(characterWidth(joined));
        secureWipe(joined.data(), joined.size() * sizeof(char32_t));
    } else {
        if (!joined.empty()) secureWipe(joined.data(), joined.size() * sizeof(char32_t));
        const char32_t one[] = {c};
        Character added{static_cast<std::uint8_t>(size), 1,
                        static_cast<std::uint8_t>(characterWidth(std::u32string_view(one, 1))), c == '\t'};
        characters_.insert(characters_.begin() + static_cast<std::ptrdiff_t>(cursor_), added);
        ++cursor_;
    }
    changed_ = true;
}

void LineEditor::erase(std::size_t from, std::size_t to) {
    if (from >= to) return;
    const std::size_t start = characterOffset(from);
    std::size_t end = start;
    for (std::size_t i = from; i < to; ++i) end += characters_[i].bytes;
    bytes_.erase(bytes_.begin() + static_cast<std::ptrdiff_t>(start), bytes_.begin() + static_cast<std::ptrdiff_t>(end));
    characters_.erase(characters_.begin() + static_cast<std::ptrdiff_t>(from),
                      characters_.begin() + static_cast<std::ptrdiff_t>(to));
    // The cursor was at `from`, inside, or at `to`; it ends at `from`, or keeps its place after.
    if (cursor_ >= to) {
        cursor_ -= to - from;
        cursorByte_ -= end - start;
    } else if (cursor_ > from) {
        cursor_ = from;
        cursorByte_ = start;
    }
    changed_ = true;
}

void LineEditor::moveTo(std::size_t character) {
    if (character == cursor_) return;
    if (character == 0) {
        cursorByte_ = 0;
    } else if (character == characters_.size()) {
        cursorByte_ = bytes_.size();
    } else if (character + 1 == cursor_) {
        cursorByte_ -= characters_[character].bytes;
    } else if (character == cursor_ + 1) {
        cursorByte_ += characters_[cursor_].bytes;
    } else {
        cursorByte_ = characterOffset(character);
    }
    cursor_ = character;
    changed_ = true;
}

// Walks from the cursor or from the start, whichever is nearer: keys act next to the cursor.
std::size_t LineEditor::characterOffset(std::size_t character) const {
    std::size_t offset = cursorByte_;
    if (character >= cursor_) {
        for (std::size_t i = cursor_; i < character; ++i) offset += characters_[i].bytes;
    } else if (cursor_ - character <= character) {
        for (std::size_t i = character; i < cursor_; ++i) offset -= characters_[i].bytes;
    } else {
        offset = 0;
        for (std::size_t i = 0; i < character; ++i) offset += characters_[i].bytes;
    }
    return offset;
}

void LineEditor::load(std::string_view text) {
    SecureText copy(text);  // `text` may be a history entry or the draft being replaced
    erase(0, characters_.size());
    std::u32string codePoints = decode(copy.view());
    for (const char32_t c : codePoints) insert(c);
    secureWipe(codePoints.data(), codePoints.size() * sizeof(char32_t));
    changed_ = true;
}

void LineEditor::recall(std::size_t index) {
    historyIndex_ = index;
    if (index < history_.size()) {
        load(history_[index].view());
    } else {
        load(draft_ ? draft_->view() : std::string_view());
        draft_.reset();
    }
}

void LineEditor::enter(Ending ending) {
    Entered entered{ending, {}};
    if (ending == Ending::line) {
        entered.line = SecureText(line());
        // An empty line is never sent, so no sent line would take its row: the prompt stays.
        if (!entered.line.empty()) {
            if (history_.size() == maxHistory) history_.erase(history_.begin());
            history_.push_back(entered.line);
            // The line stays on screen in one row, the one the display replaces with the sent line.
            layout();
            hide();
            std::size_t offset = 0;
            const std::size_t elements = placed_.size();
            for (std::size_t e = 0; e < elements && placed_[e].row == 0; ++e) writeElement(e, offset);
            out_ += "\r\n";
            erase(0, characters_.size());
            top_ = 0;
            render();
        }
        historyIndex_ = history_.size();
        draft_.reset();
    }
    entered_ = std::move(entered);
}

// ---- drawing ----

void LineEditor::layout() {
    placed_.clear();
    const int columns = size_.columns;
    std::uint32_t row = 0;
    int column = 0;
    const auto place = [&](int width, bool tab) {
        if (column >= columns) {
            ++row;
            column = 0;
        }
        if (tab) width = std::min((column / kTabStop + 1) * kTabStop, columns) - column;
        if (width > columns) width = 1;  // drawn as U+FFFD
        if (column + width > columns) {
            ++row;
            column = 0;
        }
        placed_.push_back(Placed{row, static_cast<std::uint16_t>(column), static_cast<std::uint16_t>(width)});
        column += width;
    };
    for (int i = 0; i < promptElements(); ++i) place(1, false);
    for (const Character& c : characters_) place(c.width, c.tab);
    if (column >= columns) {
        endRow_ = row + 1;
        endColumn_ = 0;
    } else {
        endRow_ = row;
        endColumn_ = static_cast<std::uint32_t>(column);
    }
}

// Writes element `element` of the layout; `offset` is its first byte in the line (for a
// character) and is moved past it.
void LineEditor::writeElement(std::size_t element, std::size_t& offset) {
    const auto prompt = static_cast<std::size_t>(promptElements());
    if (element < prompt) {
        out_ += element == 0 ? kPromptMark : kPromptSpace;
        return;
    }
    const Character& c = characters_[element - prompt];
    const std::string_view bytes(bytes_.data() + offset, c.bytes);
    offset += c.bytes;
    const int width = placed_[element].width;
    if (c.tab) {
        for (int i = 0; i < width; ++i) out_ += ' ';
    } else if (c.width > size_.columns) {
        out_ += kReplacement;
    } else {
        // A character whose first code point takes no column would be drawn on the cell before
        // it; a joiner at its end would join the next character to it.
        std::u32string codePoints = decode(bytes);
        if (codePointWidth(codePoints.front()) == 0) out_ += kDottedCircle;
        std::string_view drawn = bytes;
        while (drawn.ends_with("\u200D")) drawn.remove_suffix(3);
        out_ += drawn;
        secureWipe(codePoints.data(), codePoints.size() * sizeof(char32_t));
    }
}

void LineEditor::up(int rows) {
    if (rows > 0) out_ += "\x1B[" + decimal(rows) + "A";
}

void LineEditor::render() {
    changed_ = false;
    layout();
    const std::size_t cursorElement = static_cast<std::size_t>(promptElements()) + cursor_;
    const std::uint32_t cursorRow = cursorElement < placed_.size() ? placed_[cursorElement].row : endRow_;
    const std::uint32_t cursorColumn = cursorElement < placed_.size() ? placed_[cursorElement].column : endColumn_;
    const std::uint32_t rows = endRow_ + 1;
    const auto height = static_cast<std::uint32_t>(size_.rows);
    if (rows <= height) {
        top_ = 0;
    } else if (cursorRow < top_) {
        top_ = cursorRow;
    } else if (cursorRow >= top_ + height) {
        top_ = cursorRow - height + 1;
    }
    top_ = std::min(top_, rows > height ? rows - height : 0);
    const std::uint32_t last = std::min(rows, top_ + height) - 1;

    // What was drawn before and reaches past what is drawn now is erased.
    const bool wasShown = shown_;
    const std::size_t rowsBefore = shownRowWidths_.size();
    const int lastWidthBefore = rowsBefore > 0 ? shownRowWidths_.back() : 0;
    if (shown_) {
        up(cursorRow_);
        out_ += '\r';
    }
    writeRows(top_, last);
    const int lastWidth = shownRowWidths_.back();
    const bool longerBefore = rowsBefore > shownRowWidths_.size() ||
                              (rowsBefore == shownRowWidths_.size() && lastWidthBefore > lastWidth);
    if (wasShown && longerBefore && lastWidth < size_.columns) out_ += kEraseBelow;

    // From the end of the last row to the cursor.
    int row = static_cast<int>(last - top_), column = lastWidth;
    if (column >= size_.columns) {
        out_ += '\r';
        column = 0;
    }
    const int targetRow = static_cast<int>(cursorRow - top_), targetColumn = static_cast<int>(cursorColumn);
    up(row - targetRow);
    if (targetColumn != column) {
        out_ += '\r';
        if (targetColumn > 0) out_ += "\x1B[" + decimal(targetColumn) + "C";
    }
    shown_ = true;
    cursorRow_ = targetRow;
    cursorColumn_ = targetColumn;
}

// Draws layout rows [top, last], each but the last ended with a line feed of our own: the
// terminal's own wrapping at the margin differs between terminals for wide characters.
void LineEditor::writeRows(std::uint32_t top, std::uint32_t last) {
    shownRowWidths_.assign(last - top + 1, 0);
    std::size_t element = 0, offset = 0;
    const std::size_t prompt = static_cast<std::size_t>(promptElements());
    // Skip to the first element shown, keeping the byte offset.
    while (element < placed_.size() && placed_[element].row < top) {
        if (element >= prompt) offset += characters_[element - prompt].bytes;
        ++element;
    }
    for (std::uint32_t row = top; row <= last; ++row) {
        int used = 0;
        for (; element < placed_.size() && placed_[element].row == row; ++element) {
            writeElement(element, offset);
            used = placed_[element].column + placed_[element].width;
        }
        shownRowWidths_[row - top] = used;
        if (row < last) {
            if (used < size_.columns) out_ += kEraseRowRest;
            out_ += "\r\n";
        }
    }
}

void LineEditor::hide() {
    if (!shown_) return;
    up(cursorRow_);
    out_ += '\r';
    out_ += kEraseBelow;
    shown_ = false;
}

void LineEditor::redraw() {
    if (somethingToShow() || shown_) render();
}

void LineEditor::showPrompt() {
    if (promptOn_) return;
    promptOn_ = true;
    render();
}

void LineEditor::resize(Size size) {
    size.columns = std::max(size.columns, 1);
    size.rows = std::max(size.rows, 1);
    if (shown_) {
        // A terminal that rewraps its rows to the new width moves the rows above the cursor
        // apart; count them as it does.
        int above = 0;
        for (int row = 0; row < cursorRow_; ++row) {
            above += std::max(1, (shownRowWidths_[static_cast<std::size_t>(row)] + size.columns - 1) / size.columns);
        }
        above += cursorColumn_ / size.columns;
        up(above);
        out_ += '\r';
        out_ += kEraseBelow;
        shown_ = false;
    }
    size_ = size;
    if (somethingToShow()) render();
}

void LineEditor::wipe() {
    erase(0, characters_.size());
    history_.clear();
    historyIndex_ = 0;
    draft_.reset();
    entered_.reset();
    out_ = SecureText();
    changed_ = false;
}

}  // namespace duoquill::cli
