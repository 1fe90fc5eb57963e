// The console's board pinned below the output, as a terminal shows it: the painter's bytes are
// fed to a small model of a terminal (printable text a column per code point with the wrap of a
// VT terminal, CR, LF that scrolls, cursor up, erase to the end of the line and of the screen),
// and what it shows, with the lines scrolled off its top, is read back.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console_board_paint.h"
#include "text/unicode.h"

namespace kelp {
namespace {

std::vector<std::string> code_points(std::string_view text) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    next_code_point(text, at);
    if (at == start) at = text.size();
    out.emplace_back(text.substr(start, at - start));
  }
  return out;
}

// A terminal as the tool's output reaches it through a tty, which turns each LF into CR LF.
struct Terminal {
  std::size_t width;
  std::size_t height;
  std::vector<std::u32string> rows;  // a code point per cell, U+0020 for a blank one
  std::vector<std::string> scrolled_off;
  std::size_t row = 0;
  std::size_t column = 0;
  bool wrap_next = false;  // the last column was written: the next character wraps first
  std::string escape;      // an escape sequence begun

  Terminal(std::size_t w, std::size_t h) : width(w), height(h), rows(h, blank_row()) {}

  std::u32string blank_row() const { return std::u32string(width, U' '); }

  void line_feed() {
    wrap_next = false;
    column = 0;
    if (row + 1 < height) {
      ++row;
      return;
    }
    scrolled_off.push_back(text_of(rows.front()));
    rows.erase(rows.begin());
    rows.push_back(blank_row());
  }

  void feed(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t start = at;
      const char32_t c = next_code_point(bytes, at);
      if (at == start) at = bytes.size();
      if (c == U'\r') {
        column = 0;
        wrap_next = false;
      } else if (c == U'\n') {
        line_feed();
      } else if (c == 0x1B) {
        escape = "\x1b";
      } else if (!escape.empty()) {
        escape += static_cast<char>(c);
        if (escape.size() > 2 && c >= U'@' && c <= U'~') run_escape();
      } else {
        ASSERT_FALSE(c < 0x20 || c == 0x7F) << static_cast<unsigned>(c);
        if (wrap_next) line_feed();
        rows[row][column] = c;
        if (column + 1 < width) {
          ++column;
        } else {
          wrap_next = true;
        }
      }
    }
  }

  void run_escape() {
    const std::string sequence = escape;
    escape.clear();
    ASSERT_EQ(sequence.substr(0, 2), "\x1b[");
    const std::string argument = sequence.substr(2, sequence.size() - 3);
    const char final = sequence.back();
    wrap_next = false;
    if (final == 'A') {
      const std::size_t n = argument.empty() ? 1 : std::stoul(argument);
      row = n > row ? 0 : row - n;
    } else if (final == 'K' && argument.empty()) {
      for (std::size_t c = column; c < width; ++c) rows[row][c] = U' ';
    } else if (final == 'J' && argument.empty()) {
      for (std::size_t c = column; c < width; ++c) rows[row][c] = U' ';
      for (std::size_t r = row + 1; r < height; ++r) rows[r] = blank_row();
    } else {
      FAIL() << "a sequence the model does not take: ESC" << sequence.substr(1);
    }
  }

  static std::string text_of(const std::u32string& cells) {
    std::string text;
    for (const char32_t c : cells) append_utf8(text, c);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  }

  // Everything shown so far, down to the cursor's row: the rows scrolled off, then the screen's.
  std::vector<std::string> transcript() const {
    std::vector<std::string> all = scrolled_off;
    for (std::size_t r = 0; r <= row; ++r) all.push_back(text_of(rows[r]));
    return all;
  }
};

// The tool's output with a board pinned, the way the console's writer sends it.
struct PinnedOutput {
  Terminal terminal;
  std::size_t board_rows = 0;

  void paint(std::string_view above, std::string_view board) {
    const BoardPaint paint =
        paint_board(board_rows, above, board, TerminalSize{terminal.width, terminal.height});
    EXPECT_TRUE(is_valid_utf8(paint.bytes));
    terminal.feed(paint.bytes);
    board_rows = paint.board_rows;
  }
  void release() {
    terminal.feed(end_board(board_rows));
    board_rows = 0;
  }
};

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = text.find('\n', at);
    lines.emplace_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) return lines;
    at = end + 1;
  }
}

std::string trimmed(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The rows a text above the board takes on a terminal `width` wide (it always ends its line).
void add_text(std::vector<std::string>& rows, std::string_view text, std::size_t width) {
  if (text.empty()) return;
  if (text.back() == '\n') text.remove_suffix(1);
  for (const std::string& line : split_lines(text)) {
    const std::vector<std::string> cells = code_points(line);
    for (std::size_t at = 0; at == 0 || at < cells.size(); at += width) {
      std::string row;
      for (std::size_t c = at; c < cells.size() && c < at + width; ++c) row += cells[c];
      rows.push_back(trimmed(row));
    }
  }
}

// The board's rows: its first lines that fit, each cut to one column less than the width (the
// last one kept "…" when cut), its control characters left out.
std::vector<std::string> board_rows(std::string_view board, const Terminal& terminal) {
  std::vector<std::string> rows;
  for (const std::string& line : split_lines(board)) {
    if (rows.size() + 1 == terminal.height) break;
    std::vector<std::string> shown;
    for (const std::string& c : code_points(line)) {
      if (static_cast<unsigned char>(c[0]) >= 0x20 && c != "\x7f") shown.push_back(c);
    }
    if (shown.size() >= terminal.width) {
      shown.resize(terminal.width - 2);
      shown.push_back("…");
    }
    std::string row;
    for (const std::string& c : shown) row += c;
    rows.push_back(trimmed(row));
  }
  return rows;
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ConsoleBoard, TextGoesAboveTheBoardWhichIsRedrawnInPlace) {
  PinnedOutput out{Terminal(40, 8)};
  out.terminal.feed("=== CTS Scoreboard Decode ===\n");
  out.paint("", "Event 27  Heat 1   Clock 1.0\nLane Place  Time\n   1");
  out.paint("", "Event 27  Heat 1   Clock 1.1\nLane Place  Time\n   1");
  out.paint("Warning: offset 9: damaged frame\n",
            "Event 27  Heat 1   Clock 1.2\nLane Place  Time\n   1     1  27.25");
  EXPECT_EQ(out.terminal.transcript(),
            (std::vector<std::string>{
                "=== CTS Scoreboard Decode ===", "Warning: offset 9: damaged frame",
                "Event 27  Heat 1   Clock 1.2", "Lane Place  Time", "   1     1  27.25"}));
  // The cursor waits at the end of the board's last line: nothing has scrolled.
  EXPECT_EQ(out.terminal.row, 4u);
  EXPECT_EQ(out.terminal.column, 17u);

  // Released, the board stays; what follows comes below it.
  out.release();
  out.terminal.feed("Done.\n");
  EXPECT_EQ(out.terminal.transcript().at(4), "   1     1  27.25");
  EXPECT_EQ(out.terminal.transcript().at(5), "Done.");
}

TEST(ConsoleBoard, ABoardTallerOrWiderThanTheTerminalIsCutNeverWrapped) {
  PinnedOutput out{Terminal(12, 5)};
  // Names with accents and a cut-off name ending in "…": each code point one column.
  out.paint("Header\n", "Event 27  Heat 1\nLane Place\n   1  ÅSTRÖM, ÉLODIE\n   2  N…\n   3\n   4");
  EXPECT_EQ(
      out.terminal.transcript(),
      (std::vector<std::string>{"Header", "Event 27  …", "Lane Place", "   1  ÅSTR…", "   2  N…"}));
  EXPECT_EQ(board_line_cut("éé…", 2), "é…");
  EXPECT_EQ(board_line_cut("ÖÖ\t", 2), "ÖÖ");              // a control takes no column
  EXPECT_EQ(board_line_cut("a\tb\x1b[2Jc", 9), "ab[2Jc");  // and is never sent
  EXPECT_EQ(board_line_cut("a\xE2\x80", 5), "a\xEF\xBF\xBD");
  for (const TerminalSize size : {TerminalSize{0, 0}, TerminalSize{2, 2}}) {
    EXPECT_EQ(paint_board(0, "", "Event 27\nLane", size).bytes, "…\x1b[J");
  }
  // The tool's own escape sequences above the board pass as they are.
  const BoardPaint paint = paint_board(1, "\x1b[1mbold\x1b[0m", "b", TerminalSize{40, 6});
  EXPECT_NE(paint.bytes.find("\x1b[J\x1b[1mbold\x1b[0m\r\n"), std::string::npos);
}

// Random runs: boards of any size redrawn, texts of any lines above them (some without a final
// line end, some wrapping, some empty), boards released and new ones pinned. After every step
// the terminal has shown every line of text in order, each released board once, and the latest
// board exactly once at the bottom, the cursor at the end of its last line.
TEST(ConsoleBoard, NothingAboveIsLostAndTheLatestBoardShowsOnce) {
  const std::vector<std::string> alphabet = {"a", "Z", "7", " ", ".",  "é",
                                             "Ö", "…", "—", "ñ", "\t", "\x1b"};
  for (unsigned seed = 1; seed <= 60; ++seed) {
    std::mt19937 random(seed);
    const auto pick = [&random](std::size_t low, std::size_t high) {
      return std::uniform_int_distribution<std::size_t>(low, high)(random);
    };
    const auto line = [&](std::size_t longest, bool controls) {
      std::string text;
      for (std::size_t n = pick(0, longest); n > 0; --n) {
        text += alphabet[pick(0, alphabet.size() - (controls ? 1 : 3))];
      }
      return text;
    };
    PinnedOutput out{Terminal(pick(4, 90), pick(2, 30))};
    const std::size_t width = out.terminal.width;
    std::vector<std::string> expected;  // the rows of everything that stays
    std::string board;
    for (std::size_t step = 0; step < 40; ++step) {
      std::string above;
      if (pick(0, 2) == 0) {
        for (std::size_t n = pick(1, 6); n > 0; --n) above += line(width * 2, false) + "\n";
        if (pick(0, 2) == 0) above.pop_back();
        if (above.empty()) above = "x";
      }
      const std::size_t what = pick(0, 9);
      if (what == 0 && out.board_rows > 0) {
        out.release();
        expected = joined(expected, board_rows(board, out.terminal));
        if (!above.empty()) {
          // Without a board, text is written as it is; it ends its line here.
          if (above.back() != '\n') above += "\n";
          out.terminal.feed(above);
          add_text(expected, above, width);
        }
      } else {
        board = line(100, true);
        for (std::size_t n = pick(0, 30); n > 0; --n) board += "\n" + line(100, true);
        out.paint(above, board);
        add_text(expected, above, width);
      }
      // Without a board the cursor waits at the start of an empty row below the rest.
      const std::vector<std::string> shown = out.board_rows > 0
                                                 ? joined(expected, board_rows(board, out.terminal))
                                                 : joined(expected, {""});
      ASSERT_EQ(out.terminal.transcript(), shown) << "seed " << seed << " step " << step;
      if (out.board_rows > 0) {
        const std::vector<std::string> last = code_points(board_rows(board, out.terminal).back());
        ASSERT_GE(out.terminal.column, last.size()) << "seed " << seed;
        // No board line reaches the last column, where some terminals would wrap at once.
        for (std::size_t r = out.terminal.row + 1 - out.board_rows; r <= out.terminal.row; ++r) {
          ASSERT_EQ(out.terminal.rows[r].back(), U' ') << "seed " << seed;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kelp
