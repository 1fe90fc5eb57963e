// Start lists and the board on any bytes: no crash; a file read whole or refused whole; every
// name, team and description valid UTF-8 without a control character, within its width; the
// same reading with CR LF line ends; a failed reload keeps what the set had. The same bytes, fed
// as a console's stream, drive a board holding the list: its JSON and texts stay valid UTF-8,
// its console lines within 80 columns with nothing a terminal would act on.
#include <cstdint>
#include <string>

#include "board/board_console.h"
#include "board/board_json.h"
#include "board/results_text.h"
#include "fuzz_check.h"
#include "text/unicode.h"

namespace {

// Valid, no control character (C0, DEL, C1), no trailing space; the number of characters.
std::size_t checked_text(std::string_view text) {
  KELP_CHECK(kelp::is_valid_utf8(text));
  KELP_CHECK(text.empty() || text.back() != ' ');
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size(); ++count) {
    const char32_t c = kelp::next_code_point(text, at);
    KELP_CHECK(c >= 0x20 && !(c >= 0x7F && c <= 0x9F));
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = kelp::fuzz::as_text(data, size);
  kelp::StartLists lists;
  const auto warning = kelp::take_start_list(lists, "E1.scb", "E1.scb", kelp::fuzz::as_bytes(text));
  const auto list = kelp::parse_start_list(kelp::fuzz::as_bytes(text));
  KELP_CHECK(warning.has_value() == !list.has_value() && lists.size() == list.has_value());
  if (list) {
    KELP_CHECK(lists.at("E1.scb") == *list && !list->heats.empty());
    KELP_CHECK(list->event_word.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                  "abcdefghijklmnopqrstuvwxyz_") ==
               std::string::npos);
    checked_text(list->description);
    for (const kelp::StartHeat& heat : list->heats) {
      for (const kelp::StartEntry& entry : heat) {
        KELP_CHECK(checked_text(entry.name) <= kelp::START_LIST_NAME_WIDTH);
        KELP_CHECK(checked_text(entry.team) <= kelp::START_LIST_TEAM_WIDTH);
        KELP_CHECK(!entry.name.empty() || entry.team.empty());
      }
    }
    std::string crlf;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) crlf += '\r';
      crlf += text[i];
    }
    KELP_CHECK(kelp::parse_start_list(kelp::fuzz::as_bytes(crlf)) == list);
  } else {
    KELP_CHECK(kelp::is_valid_utf8(*warning) && warning->back() == '\n');
    KELP_CHECK(!kelp::fuzz::has_terminal_control(warning->substr(0, warning->size() - 1), false));
  }

  kelp::Board board;
  board.lanes_shown = static_cast<unsigned>(size % 12);  // out of range too
  board.start_lists = lists;
  kelp::CtsDecoder decoder;
  const kelp::CtsSink sink = [&](const kelp::CtsEvent& event) {
    if (const auto ended = kelp::board_apply(board, event, "").ended) {
      KELP_CHECK(!ended->rows.empty() && ended->rows.size() <= kelp::BOARD_LANES);
      KELP_CHECK(kelp::is_valid_utf8(kelp::race_csv_rows(*ended)));
      KELP_CHECK(!kelp::fuzz::has_terminal_control(kelp::race_table_text(*ended), true));
    }
  };
  kelp::cts_feed(decoder, kelp::fuzz::as_bytes(text), 0, sink);
  kelp::cts_finish(decoder, sink);
  kelp::board_finish(board, "", decoder.offset);
  KELP_CHECK(board.changes <= decoder.offset / 2 + 1);  // an event takes two bytes or more
  const std::string json = kelp::board_json(board);
  KELP_CHECK(kelp::is_valid_utf8(json) && json.find('\n') == std::string::npos);
  KELP_CHECK(kelp::is_valid_utf8(kelp::results_json(board)));
  const auto lines = kelp::board_console_lines(board, text);
  KELP_CHECK(lines.size() == 5 + std::clamp(board.lanes_shown, 1u, kelp::BOARD_LANES));
  for (const std::string& line : lines) {
    KELP_CHECK(kelp::is_valid_utf8(line) && !kelp::fuzz::has_terminal_control(line, false));
    std::size_t columns = 0;
    for (std::size_t at = 0; at < line.size(); ++columns) kelp::next_code_point(line, at);
    KELP_CHECK(columns <= kelp::CONSOLE_BOARD_COLUMNS);
  }
  return 0;
}
