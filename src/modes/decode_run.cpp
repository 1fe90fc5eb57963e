#include "modes/decode_run.h"

#include "decode/cts_board.h"
#include "modes/board_server.h"
#include "modes/decode_view.h"
#include "platform/console.h"
#include "platform/network_addresses.h"

namespace kelp {

void warn_about(Changes& changes, std::string text) {
  if (changes.board) decode_board_warning(*changes.board, text);
  changes.warn(std::move(text));
}

void show_event(Changes& changes, const CtsEvent& event) {
  if (event.damaged) {
    if (++changes.damaged <= DAMAGE_LISTED) {
      warn_about(changes, damaged_frame_warning(event, changes.time_of(event), changes.gap));
    }
    return;
  }
  std::string time = changes.time_of(event);
  if (changes.board) decode_board_event(*changes.board, event, time);
  if (changes.lines) {
    std::optional<const StartEntry*> swimmer;
    if (changes.names && cts_role(event.channel) == CtsRole::Lane) {
      swimmer = changes.board ? decode_board_swimmer(*changes.board, event.channel) : nullptr;
    }
    std::string text =
        changes.json ? change_json(event, time, swimmer) : change_line(event, time, swimmer);
    if (!text.empty()) changes.show(std::move(text));
  }
  changes.last_time = std::move(time);
}

std::string closing_warnings(const CtsDecoder& decoder, std::uint64_t damaged) {
  std::string text;
  if (damaged > DAMAGE_LISTED) {
    text += "Warning: " + std::to_string(damaged - DAMAGE_LISTED) +
            " more damaged frames skipped, not listed one by one (" + std::to_string(damaged) +
            " in all)\n";
  }
  const std::string bytes = std::to_string(decoder.offset);
  if (decoder.offset > 0 && decoder.skipped_bytes == decoder.offset) {
    text += "Warning: no control byte (0x80 and up) in these " + bytes +
            " bytes: they hold no frame of a CTS scoreboard stream\n";
  } else if (decoder.layout_bytes * 10 < (decoder.offset - decoder.skipped_bytes) * 9) {
    // A console's stream is all frames; random bytes (a wrong baud rate) are about half frames.
    // Data bytes outside a frame (at the start, after a gap) are the rest of a frame not seen.
    const std::uint64_t framed = decoder.offset - decoder.skipped_bytes;
    text += "Warning: only " + std::to_string(decoder.layout_bytes * 100 / framed) +
            " % of these " + bytes +
            " bytes are frames of a CTS scoreboard stream (a control byte and up to 8 data "
            "bytes, each for a cell of its own): probably another kind of file, or a line read "
            "at the wrong baud rate or parity\n";
  }
  return text;
}

std::optional<std::string> open_board_parts(const DecodeSettings& settings, BoardParts& parts) {
  if (settings.start_lists) {
    auto folder = open_start_list_folder(*settings.start_lists);
    if (!folder) return folder.error();
    parts.folder.emplace(std::move(*folder));
  }
  if (settings.serve) {
    auto server = start_board_server(*settings.serve);
    if (!server) return server.error();
    parts.server.emplace(std::move(*server));
  }
  return std::nullopt;
}

void start_board(const DecodeSettings& settings, BoardParts& parts, Changes& changes,
                 std::function<void(std::string)> print) {
  const bool console_board = !settings.json && console_board_possible();
  if (!console_board && !parts.server && !parts.folder) return;
  DecodeBoardSettings board;
  board.console_board = console_board;
  if (console_board || (parts.folder && !settings.json)) board.print = std::move(print);
  board.warn = changes.warn;
  board.lanes = settings.lanes;
  board.server = parts.server ? &*parts.server : nullptr;
  board.folder = parts.folder ? &*parts.folder : nullptr;
  board.results = parts.results ? &*parts.results : nullptr;
  parts.board.emplace(start_decode_board(board, BoardClock::now()));
  changes.board = &*parts.board;
  changes.lines = !console_board;
  changes.names = parts.folder.has_value();
}

bool keeps_results(const DecodeSettings& settings) {
  return settings.serve || settings.start_lists;
}

std::string serve_banner(const DecodeSettings& settings, const BoardParts& parts) {
  if (!parts.server) return "";
  return board_server_banner(*settings.serve, web_server_port(*parts.server),
                             network_addresses());
}

}  // namespace kelp
