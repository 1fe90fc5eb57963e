// What the two ways of decoding (decode_files.cpp, decode_port.cpp) share: where the changes go,
// the lines that close a decoding, and the board's parts that the options ask for.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "decode/cts_stream.h"
#include "modes/decode_board.h"
#include "modes/modes.h"
#include "modes/results_file.h"
#include "modes/start_list_folder.h"
#include "web/web_server.h"

namespace kelp {

// Damaged frames warned about one by one; the rest are counted.
inline constexpr std::uint64_t DAMAGE_LISTED = 5;

// Where the changes go, and the time of the bytes that opened an event's frame.
struct Changes {
  bool json = false;
  bool lines = true;   // false while the console board stands in for them
  bool names = false;  // --start-lists: lane lines name the swimmer
  std::function<void(std::string)> show;
  std::function<void(std::string)> warn;
  std::function<std::string(const CtsEvent&)> time_of;
  std::string gap;  // where the latest gap is, for the warning about a frame it cut off
  std::uint64_t damaged = 0;
  DecodeBoard* board = nullptr;
  std::string last_time;  // of the latest event
};

void warn_about(Changes& changes, std::string text);

// Shows one event: a line (or JSON object) and the board; a damaged frame as a warning.
void show_event(Changes& changes, const CtsEvent& event);

// The lines that close a decoding: the damage not listed, and bytes that are no CTS stream.
std::string closing_warnings(const CtsDecoder& decoder, std::uint64_t damaged);

// The board's parts that the options ask for, opened before anything is created: a start lists
// folder that cannot be read, or an address that cannot be served, stops the run first.
struct BoardParts {
  std::optional<StartListFolder> folder;
  std::optional<WebServer> server;
  std::optional<ResultsFile> results;
  std::optional<DecodeBoard> board;
};

// The error line that stops the run, or nothing.
std::optional<std::string> open_board_parts(const DecodeSettings& settings, BoardParts& parts);

// The board, when anything shows it: a terminal, the server, or names and results. Results
// tables go to `print`.
void start_board(const DecodeSettings& settings, BoardParts& parts, Changes& changes,
                 std::function<void(std::string)> print);

// Results are kept when the run shows the board beyond the console.
bool keeps_results(const DecodeSettings& settings);

// The lines of the banner that name the pages ("" without --serve).
std::string serve_banner(const DecodeSettings& settings, const BoardParts& parts);

int decode_files(const DecodeSettings& settings);
int decode_port(const DecodeSettings& settings);

}  // namespace kelp
