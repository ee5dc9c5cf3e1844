#pragma once
// A terminal screen as the line editor's output leaves it: rows of cells, a cursor, the
// wrap at the margin, and the few sequences the editor writes (cursor up and right, erase to
// the end of the row and of the screen; colours are taken and ignored). A code point of no
// width, one after a zero-width joiner and the second of two regional indicators join the cell
// before, as in common terminals. On a resize the rows are rewrapped to the new width, as
// terminals that keep long rows do. Anything else it is sent is noted as unexpected.

#include <string>
#include <string_view>
#include <vector>

namespace duoquill::test {

class TerminalScreen {
public:
    TerminalScreen(int columns, int rows);

    void write(std::string_view bytes);
    void resize(int columns, int rows);
    // Takes the top rows away, the cursor's row with the rest: the rows below are then on top.
    void dropTopRows(int count);

    int rows() const { return rows_; }
    int cursorRow() const { return row_; }
    // How many times a line feed on the bottom row has moved the rows up.
    int scrolls() const { return scrolls_; }
    // The column the next character goes to: `columns()` when the cursor waits at the margin.
    int cursorColumn() const { return column_; }
    // The characters of a row as drawn, cell by cell, without what no character was drawn on.
    std::string rowText(int row) const;
    // What it was sent that it does not take, empty when nothing.
    const std::string& unexpected() const { return unexpected_; }

private:
    struct Cell {
        std::string bytes;
        int width = 0;             // 0 when empty
        bool rightHalf = false;    // of the wide character in the cell before
    };

    void print(char32_t codePoint, std::string_view bytes);
    void lineFeed();
    void scroll();
    void eraseRow(int row, int from);
    void put(int column, Cell cell);
    void forgetJoin();

    int columns_, rows_;
    std::vector<std::vector<Cell>> grid_;
    int row_ = 0, column_ = 0;
    int lastRow_ = -1, lastColumn_ = -1;  // the cell a joining code point goes to
    bool afterJoiner_ = false, loneIndicator_ = false;
    int scrolls_ = 0;
    std::string unexpected_;
};

}  // namespace duoquill::test
