#include "platform/console_board_paint.h"

#include <algorithm>

#include "text/unicode.h"

namespace kelp {
namespace {

constexpr std::string_view ERASE_LINE = "\x1b[K";
constexpr std::string_view ERASE_BELOW = "\x1b[J";
// The painter's own line ends: a CR too, so that the board starts at column 0 even where the
// terminal does not turn LF into CR LF itself.
constexpr std::string_view LINE_END = "\r\n";
constexpr std::string_view ELLIPSIS = "\u2026";

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

}  // namespace

std::string board_line_cut(std::string_view line, std::size_t columns) {
  if (columns == 0) return "";
  std::string out;
  std::size_t used = 0;
  std::size_t last = 0;  // where the last character kept begins in `out`
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t start = at;
    const char32_t c = next_code_point(line, at);
    if (at == start) at = line.size();  // a sequence cut short at the end
    if (is_control(c)) continue;
    if (used == columns) {
      // Cut short: its last column says so.
      out.resize(last);
      out += ELLIPSIS;
      break;
    }
    last = out.size();
    const std::string_view bytes = line.substr(start, at - start);
    // A terminal's own reading of an ill-formed sequence might take more columns than one.
    if (c == 0xFFFD && bytes != "\xEF\xBF\xBD") {
      append_utf8(out, c);
    } else {
      out += bytes;
    }
    ++used;
  }
  return out;
}

BoardPaint paint_board(std::size_t board_rows, std::string_view above, std::string_view board,
                       TerminalSize size) {
  const std::size_t columns = std::max<std::size_t>(size.columns, 2) - 1;
  const std::size_t rows = std::max<std::size_t>(size.rows, 2) - 1;
  BoardPaint paint;
  std::string& out = paint.bytes;
  if (board_rows > 0) {
    out += '\r';
    if (board_rows > 1) out += "\x1b[" + std::to_string(board_rows - 1) + "A";
  }
  if (!above.empty()) {
    out += ERASE_BELOW;
    out += above;
    if (above.back() != '\n') out += LINE_END;
  }
  // The old board is written over line by line (no blank screen between two boards, no
  // flicker); what is left of its longer lines and of its rows below goes.
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = std::min(board.find('\n', at), board.size());
    if (paint.board_rows > 0) {
      out += ERASE_LINE;
      out += LINE_END;
    }
    out += board_line_cut(board.substr(at, end - at), columns);
    ++paint.board_rows;
    if (end == board.size() || paint.board_rows == rows) break;
    at = end + 1;
  }
  out += ERASE_BELOW;
  return paint;
}

std::string end_board(std::size_t board_rows) {
  return board_rows > 0 ? std::string(LINE_END) : std::string();
}

}  // namespace kelp
