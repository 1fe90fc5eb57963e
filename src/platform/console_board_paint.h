// The bytes that draw a board pinned below a terminal's output: new text goes above the board,
// and the board is drawn again in place below it, for a terminal that takes CR, LF, cursor up
// (ESC [ n A), erase to the end of the line (ESC [ K) and erase to the end of the screen (ESC [ J).
// Pure: the console's writer thread sends the bytes.
//
// The board takes whole rows at the bottom of the output, with the cursor at the end of its last
// row and never past it, so that nothing scrolls until the next paint. Each of its lines is cut
// to one column less than the terminal is wide (no line wraps; the cursor never waits in the last
// column to wrap), counting a column for each code point and never splitting a UTF-8 sequence;
// and it keeps as many lines as fit in one less than the terminal's height (moving up to its first
// row always stays on the screen), its first ones. A line cut short ends in "…" in its last
// column. A control character in a board line is left
// out, and an ill-formed UTF-8 sequence shows as U+FFFD, so that no byte of a board moves the
// cursor other than as counted.
//
// The text above is the tool's own output, written as it is (an escape sequence in it included),
// starting where the board began; a line end follows it when it has none of its own, so that the
// board begins at column 0.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelp {

struct TerminalSize {
  std::size_t columns = 80;
  std::size_t rows = 24;
};

struct BoardPaint {
  std::string bytes;
  std::size_t board_rows = 0;  // the rows the board takes after these bytes
};

// `board_rows`: the rows the board now on the screen takes (as the last paint gave them), the
// cursor at the end of its last row; 0 when there is none, the cursor then at the start of a line.
// `board`: the new board's lines joined by LF, no final LF.
BoardPaint paint_board(std::size_t board_rows, std::string_view above, std::string_view board,
                       TerminalSize size);

// The bytes that leave the board on the screen and go on at the start of the line below it.
std::string end_board(std::size_t board_rows);

// A board line as the paint draws it: at most `columns` code points, the last one "…" when the
// line was longer; no control character.
std::string board_line_cut(std::string_view line, std::size_t columns);

}  // namespace kelp
