#include "modes/decode_board.h"

#include <optional>

#include "board/board_console.h"
#include "board/board_json.h"
#include "board/results_text.h"
#include "modes/results_file.h"
#include "modes/start_list_folder.h"
#include "platform/console.h"
#include "web/web_server.h"

namespace kelp {
namespace {

void draw(const DecodeBoard& board) {
  if (board.settings.console_board) {
    std::string text;
    for (const std::string& line : board_console_lines(board.board, board.last_warning)) {
      if (!text.empty()) text += '\n';
      text += line;
    }
    pin_console_board(std::move(text));
  }
}

void show(const DecodeBoard& board) {
  if (board.settings.server) {
    publish_web_document(*board.settings.server, "/board.json", board_json(board.board));
  }
  draw(board);
}

void race_ended(DecodeBoard& board, const RaceResult& race) {
  std::string table = race_table_text(race);
  if (board.settings.results) {
    ResultsAppend done = append_race(*board.settings.results, race);
    if (!done.warning.empty()) {
      decode_board_warning(board, done.warning);
      board.settings.warn(std::move(done.warning));
    }
    if (done.created) table += "Results are written to " + done.path + " as each race ends.\n";
  }
  if (board.settings.print) board.settings.print(std::move(table));
  if (board.settings.server) {
    publish_web_document(*board.settings.server, "/results.json", results_json(board.board));
  }
}

void take(DecodeBoard& board, const BoardStep& step) {
  if (step.ended) race_ended(board, *step.ended);
  if (step.changed) show(board);
}

void set_signal(DecodeBoard& board, BoardSignal signal) {
  if (board_set_signal(board.board, signal)) show(board);
}

void read_start_lists(DecodeBoard& board) {
  if (!board.settings.folder) return;
  const StartListScan scan = scan_start_list_folder(*board.settings.folder, board.board.start_lists);
  if (!scan.warnings.empty()) {
    decode_board_warning(board, scan.warnings);
    board.settings.warn(scan.warnings);
  }
  if (scan.changed && board_refresh(board.board)) show(board);
}

}  // namespace

DecodeBoard start_decode_board(const DecodeBoardSettings& settings, BoardClock::time_point now) {
  DecodeBoard board{settings, Board{}, "", now, now + START_LISTS_EVERY};
  board.board.lanes_shown = settings.lanes;
  read_start_lists(board);
  board_refresh(board.board);
  show(board);
  return board;
}

void decode_board_event(DecodeBoard& board, const CtsEvent& event, std::string_view time) {
  if (event.damaged) return;
  take(board, board_apply(board.board, event, time));
}

const StartEntry* decode_board_swimmer(const DecodeBoard& board, unsigned channel) {
  if (channel < 1 || channel > BOARD_LANES || !board.board.shown) return nullptr;
  const std::optional<StartEntry>& swimmer = board.board.shown->lanes[channel - 1].swimmer;
  return swimmer ? &*swimmer : nullptr;
}

void decode_board_bytes(DecodeBoard& board, BoardClock::time_point now) {
  board.last_byte = now;
  if (board.board.signal == BoardSignal::Stale) set_signal(board, BoardSignal::Live);
}

void decode_board_tick(DecodeBoard& board, BoardClock::time_point now) {
  if (board.board.signal == BoardSignal::Live && now - board.last_byte >= STALE_AFTER) {
    set_signal(board, BoardSignal::Stale);
  }
  if (now >= board.next_scan) {
    board.next_scan = now + START_LISTS_EVERY;
    read_start_lists(board);
  }
}

void decode_board_away(DecodeBoard& board) { set_signal(board, BoardSignal::Stale); }

void decode_board_warning(DecodeBoard& board, std::string_view warning) {
  // The last line of what may be several.
  while (!warning.empty() && warning.back() == '\n') warning.remove_suffix(1);
  const std::size_t line = warning.rfind('\n');
  board.last_warning = std::string(line == std::string_view::npos ? warning
                                                                  : warning.substr(line + 1));
  draw(board);
}

void decode_board_finish(DecodeBoard& board, std::string_view time, std::uint64_t offset,
                         bool ended) {
  take(board, board_finish(board.board, time, offset));
  if (ended) set_signal(board, BoardSignal::Ended);
  if (board.settings.console_board) {
    draw(board);
    release_console_board();
  }
}

}  // namespace kelp
