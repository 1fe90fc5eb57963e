// Start lists and the board on any bytes: no crash; a file read whole or refused whole, never a
// part; every text that comes out valid UTF-8 with no control character in it; the same reading
// for CR LF and LF line ends. The same bytes, fed as a console's stream, drive a board holding
// the list (when it was one): its JSON, results and console texts stay valid UTF-8, and the
// console's lines stay within 80 columns with no control character a terminal would act on.
#include <cstdint>
#include <string>

#include "board/board.h"
#include "board/board_console.h"
#include "board/board_json.h"
#include "board/results_text.h"
#include "board/start_list.h"
#include "decode/cts_stream.h"
#include "fuzz_check.h"
#include "text/unicode.h"

namespace {

std::size_t columns(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size();) {
    kelp::next_code_point(text, at);
    ++count;
  }
  return count;
}

bool has_c1(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const char32_t c = kelp::next_code_point(text, at);
    if (c >= 0x80 && c <= 0x9F) return true;
  }
  return false;
}

void check_text(const std::string& text, std::size_t most) {
  KELP_CHECK(kelp::is_valid_utf8(text));
  KELP_CHECK(!kelp::fuzz::has_terminal_control(text, false));
  KELP_CHECK(text.find('\t') == std::string::npos);
  KELP_CHECK(!has_c1(text));
  KELP_CHECK(text.empty() || text.back() != ' ');
  KELP_CHECK(columns(text) <= most);
}

void check_list(const kelp::StartList& list) {
  KELP_CHECK(!list.event_word.empty());
  for (const char c : list.event_word) {
    KELP_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
               c == '_');
  }
  check_text(list.description, SIZE_MAX);
  KELP_CHECK(!list.heats.empty());
  for (const kelp::StartHeat& heat : list.heats) {
    for (const kelp::StartEntry& entry : heat) {
      check_text(entry.name, kelp::START_LIST_NAME_WIDTH);
      check_text(entry.team, kelp::START_LIST_TEAM_WIDTH);
      KELP_CHECK(!entry.name.empty() || entry.team.empty());
    }
  }
}

// The same file with every LF made CR LF (a CR LF stays one).
std::string with_crlf(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = kelp::fuzz::as_text(data, size);
  const auto list = kelp::parse_start_list(kelp::fuzz::as_bytes(text));
  if (list) {
    check_list(*list);
    KELP_CHECK(kelp::parse_start_list(kelp::fuzz::as_bytes(with_crlf(text))) == list);
  } else {
    KELP_CHECK(kelp::is_valid_utf8(list.error()));
    KELP_CHECK(!kelp::fuzz::has_terminal_control(list.error(), false));
  }

  // A failed reload keeps what the set had.
  kelp::StartLists lists;
  const auto warning = kelp::take_start_list(lists, "E1.scb", "E1.scb", kelp::fuzz::as_bytes(text));
  KELP_CHECK(warning.has_value() == !list.has_value());
  if (list) KELP_CHECK(lists.at("E1.scb") == *list);

  kelp::Board board;
  board.lanes_shown = static_cast<unsigned>(size % 12);  // out of range too
  board.start_lists = lists;
  kelp::CtsDecoder decoder;
  std::size_t races = 0;
  const kelp::CtsSink sink = [&](const kelp::CtsEvent& event) {
    const kelp::BoardStep step = kelp::board_apply(board, event, "");
    if (step.ended) {
      ++races;
      KELP_CHECK(!step.ended->rows.empty());
      KELP_CHECK(kelp::is_valid_utf8(kelp::race_csv_rows(*step.ended)));
      const std::string table = kelp::race_table_text(*step.ended);
      KELP_CHECK(!kelp::fuzz::has_terminal_control(table, true));
    }
  };
  kelp::cts_feed(decoder, kelp::fuzz::as_bytes(text), 0, sink);
  kelp::cts_finish(decoder, sink);
  if (kelp::board_finish(board, "", decoder.offset).ended) ++races;
  KELP_CHECK(board.races.size() == races);
  KELP_CHECK(board.changes <= decoder.offset / 2 + 1);  // an event takes two bytes or more
  const std::string json = kelp::board_json(board);
  KELP_CHECK(kelp::is_valid_utf8(json) && json.find('\n') == std::string::npos);
  KELP_CHECK(kelp::is_valid_utf8(kelp::results_json(board)));
  for (const std::string& line : kelp::board_console_lines(board, text)) {
    KELP_CHECK(kelp::is_valid_utf8(line));
    KELP_CHECK(!kelp::fuzz::has_terminal_control(line, false));
    KELP_CHECK(columns(line) <= kelp::CONSOLE_BOARD_COLUMNS);
  }
  return 0;
}
