#include "Kit/TerminalScreen.h"

#include <algorithm>

#include "Duoquill/Base/Utf8.h"
#include "DuoquillCLI/Terminal/LineEditor.h"

namespace duoquill::test {
namespace {

constexpr char32_t kJoiner = 0x200D;

bool indicator(char32_t c) { return c >= 0x1F1E6 && c <= 0x1F1FF; }

}  // namespace

TerminalScreen::TerminalScreen(int columns, int rows)
    : columns_(columns), rows_(rows), grid_(static_cast<std::size_t>(rows), std::vector<Cell>(static_cast<std::size_t>(columns))) {}

void TerminalScreen::forgetJoin() {
    lastRow_ = lastColumn_ = -1;
    afterJoiner_ = loneIndicator_ = false;
}

void TerminalScreen::lineFeed() {
    if (row_ + 1 < rows_) {
        ++row_;
    } else {
        scroll();
        ++scrolls_;
    }
}

void TerminalScreen::scroll() {
    grid_.erase(grid_.begin());
    grid_.emplace_back(static_cast<std::size_t>(columns_));
    forgetJoin();
}

void TerminalScreen::dropTopRows(int count) {
    for (int i = 0; i < count; ++i) scroll();
    row_ = std::max(0, row_ - count);
}

void TerminalScreen::eraseRow(int row, int from) {
    auto& cells = grid_[static_cast<std::size_t>(row)];
    const auto first = cells.begin() + from;
    // The left half of a wide character whose right half goes is gone with it.
    if (from > 0 && from < columns_ && first->rightHalf) *(first - 1) = Cell{};
    std::fill(first, cells.end(), Cell{});
}

// A character in a cell of the cursor's row; the halves of wide characters it covers go.
void TerminalScreen::put(int column, Cell cell) {
    auto& cells = grid_[static_cast<std::size_t>(row_)];
    const auto at = [&](int c) -> Cell& { return cells[static_cast<std::size_t>(c)]; };
    for (int c = column; c < column + std::max(cell.width, 1) && c < columns_; ++c) {
        if (at(c).rightHalf && c > 0) at(c - 1) = Cell{};
        if (at(c).width == 2 && c + 1 < columns_) at(c + 1) = Cell{};
        at(c) = Cell{};
    }
    if (cell.width == 2 && column + 1 < columns_) at(column + 1) = Cell{{}, 0, true};
    at(column) = std::move(cell);
}

void TerminalScreen::print(char32_t c, std::string_view bytes) {
    const int width = cli::LineEditor::codePointWidth(c);
    const bool pairs = indicator(c) && loneIndicator_;
    if (width == 0 || afterJoiner_ || pairs) {
        if (lastRow_ < 0) {
            unexpected_ += "a code point of no width with no cell before it; ";
            return;
        }
        Cell& cell = grid_[static_cast<std::size_t>(lastRow_)][static_cast<std::size_t>(lastColumn_)];
        cell.bytes += bytes;
        if (pairs) {
            // The flag takes the column after the first indicator, where the cursor already is.
            if (lastRow_ == row_ && column_ == lastColumn_ + 1 && column_ < columns_) {
                grid_[static_cast<std::size_t>(row_)][static_cast<std::size_t>(column_)] = Cell{{}, 0, true};
                cell.width = 2;
                ++column_;
            }
            loneIndicator_ = false;
        }
        afterJoiner_ = c == kJoiner;
        return;
    }
    if (column_ + width > columns_) {
        // At the margin: the character goes to the start of the next row.
        column_ = 0;
        lineFeed();
    }
    put(column_, Cell{std::string(bytes), width, false});
    lastRow_ = row_;
    lastColumn_ = column_;
    column_ += width;
    afterJoiner_ = c == kJoiner;
    loneIndicator_ = indicator(c);
}

void TerminalScreen::write(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\r' || byte == '\n' || byte == '\a') {
            if (byte == '\r') column_ = 0;
            if (byte == '\n') lineFeed();
            if (byte != '\a') forgetJoin();
            ++i;
        } else if (byte == 0x1B) {
            if (i + 1 >= bytes.size() || bytes[i + 1] != '[') {
                unexpected_ += "an escape that is no CSI; ";
                return;
            }
            std::size_t j = i + 2;
            int number = 0;
            bool any = false;
            while (j < bytes.size() && ((bytes[j] >= '0' && bytes[j] <= '9') || bytes[j] == ';')) {
                if (bytes[j] != ';') number = std::min(number * 10 + (bytes[j] - '0'), 100000);
                any = true;
                ++j;
            }
            if (j >= bytes.size()) {
                unexpected_ += "a cut-off CSI; ";
                return;
            }
            const int count = any ? std::max(number, 1) : 1;
            const int column = std::min(column_, columns_ - 1);
            switch (bytes[j]) {
                case 'A': row_ = std::max(0, row_ - count); column_ = column; break;
                case 'C': column_ = std::min(columns_ - 1, column + count); break;
                case 'K': eraseRow(row_, column); break;
                case 'J':
                    eraseRow(row_, column);
                    for (int r = row_ + 1; r < rows_; ++r) eraseRow(r, 0);
                    break;
                case 'm': break;
                default: unexpected_ += std::string("CSI ") + bytes[j] + "; "; break;
            }
            forgetJoin();
            i = j + 1;
        } else if (byte < 0x20 || byte == 0x7F) {
            unexpected_ += "control byte " + std::to_string(byte) + "; ";
            ++i;
        } else {
            std::size_t j = i;
            while (j < bytes.size() && static_cast<unsigned char>(bytes[j]) >= 0x20 && bytes[j] != 0x7F) ++j;
            Utf8Decoder decoder(bytes.substr(i, j - i));
            while (!decoder.atEnd()) {
                const DecodedCodePoint d = decoder.next();
                if (!d.valid) unexpected_ += "invalid UTF-8; ";
                print(d.codePoint, d.bytes);
            }
            i = j;
        }
    }
}

void TerminalScreen::resize(int columns, int rows) {
    // Each row, rewrapped: what passes the new margin goes on in rows of its own below it. The
    // cursor keeps its place in its row's text.
    std::vector<std::vector<Cell>> rewrapped;
    int cursorRow = 0, cursorColumn = 0;
    for (int r = 0; r < rows_; ++r) {
        const auto& cells = grid_[static_cast<std::size_t>(r)];
        int used = 0;
        for (int c = 0; c < columns_; ++c) {
            if (cells[static_cast<std::size_t>(c)].width > 0) used = c + cells[static_cast<std::size_t>(c)].width;
        }
        const std::size_t first = rewrapped.size();
        const int count = std::max(1, (used + columns - 1) / columns);
        rewrapped.resize(first + static_cast<std::size_t>(count), std::vector<Cell>(static_cast<std::size_t>(columns)));
        for (int c = 0; c < used; ++c) {
            Cell cell = cells[static_cast<std::size_t>(c)];
            if (cell.width == 2 && (c % columns) + 1 >= columns) cell = Cell{"?", 1, false};  // split at the margin
            if (cell.rightHalf && c % columns == 0) cell = Cell{};
            rewrapped[first + static_cast<std::size_t>(c / columns)][static_cast<std::size_t>(c % columns)] = cell;
        }
        if (r == row_) {
            const int column = std::min(column_, columns_ - 1);
            cursorRow = static_cast<int>(first) + column / columns;
            cursorColumn = column % columns;
            rewrapped.resize(std::max(rewrapped.size(), static_cast<std::size_t>(cursorRow) + 1),
                             std::vector<Cell>(static_cast<std::size_t>(columns)));
        }
    }
    // Empty rows below the cursor's go first; then the screen keeps its bottom rows.
    while (static_cast<int>(rewrapped.size()) > cursorRow + 1) {
        if (std::ranges::any_of(rewrapped.back(), [](const Cell& cell) { return cell.width > 0 || cell.rightHalf; })) break;
        rewrapped.pop_back();
    }
    const int excess = std::max(0, static_cast<int>(rewrapped.size()) - rows);
    rewrapped.erase(rewrapped.begin(), rewrapped.begin() + excess);
    cursorRow = std::max(0, cursorRow - excess);
    rewrapped.resize(static_cast<std::size_t>(rows), std::vector<Cell>(static_cast<std::size_t>(columns)));
    grid_ = std::move(rewrapped);
    columns_ = columns;
    rows_ = rows;
    row_ = cursorRow;
    column_ = cursorColumn;
    forgetJoin();
}

std::string TerminalScreen::rowText(int row) const {
    std::string text;
    for (const Cell& cell : grid_[static_cast<std::size_t>(row)]) text += cell.bytes;
    return text;
}

}  // namespace duoquill::test
