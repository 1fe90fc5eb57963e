// The board of a decoding: what `decode` keeps besides its lines, brought up to date with every
// event. It draws the board on a terminal (in place of the lines), serves it (--serve: /board.json
// and each of its versions on /events, every race so far on /results.json), gives each lane the
// swimmer the start lists name (--start-lists), and hands each race's results out as the race ends:
// a table on the console, a row per lane in the results file.
//
// The signal: "live" while bytes arrive, "stale" once none has come for STALE_AFTER or while the
// port is away, "ended" after the last byte of the files. Called from the decoding's one thread
// only; the server, the console and the files are written without ever waiting for a reader.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "board/board.h"
#include "decode/cts_stream.h"

namespace kelp {

struct WebServer;
struct StartListFolder;
struct ResultsFile;

using BoardClock = std::chrono::steady_clock;

inline constexpr std::chrono::milliseconds STALE_AFTER{3000};
// How often the start lists' folder is read again: a re-export shows within two of these.
inline constexpr std::chrono::milliseconds START_LISTS_EVERY{1000};

struct DecodeBoardSettings {
  bool console_board = false;  // draw the board on the terminal (console.h)
  std::function<void(std::string)> print;  // each race's results table; none: not printed
  std::function<void(std::string)> warn;   // warnings about the start lists and results file
  unsigned lanes = BOARD_LANES;
  WebServer* server = nullptr;         // publish to it
  StartListFolder* folder = nullptr;   // read names from it
  ResultsFile* results = nullptr;      // append each race to it
};

struct DecodeBoard {
  DecodeBoardSettings settings;
  Board board;
  std::string last_warning;
  BoardClock::time_point last_byte{};
  BoardClock::time_point next_scan{};
};

// Reads the start lists (warnings to stderr) and shows the first board.
DecodeBoard start_decode_board(const DecodeBoardSettings& settings, BoardClock::time_point now);

// Takes one event of the decoder; `time` as for change_line.
void decode_board_event(DecodeBoard& board, const CtsEvent& event, std::string_view time);

// The swimmer the board names for a lane channel now (after its event was taken); nothing for
// another channel or a lane without one.
const StartEntry* decode_board_swimmer(const DecodeBoard& board, unsigned channel);

// Bytes arrived (the signal is live again), time passed (stale, the start lists read again),
// the port went away (stale until it is back), a warning was printed (the console board's last
// line).
void decode_board_bytes(DecodeBoard& board, BoardClock::time_point now);
void decode_board_tick(DecodeBoard& board, BoardClock::time_point now);
void decode_board_away(DecodeBoard& board);
void decode_board_warning(DecodeBoard& board, std::string_view warning);

// The input ended at `time` ("" when not known) after `offset` bytes: the race on ends. With
// `ended`, the signal says that nothing more will come. The console board stays on the screen
// and what is printed next goes below it.
void decode_board_finish(DecodeBoard& board, std::string_view time, std::uint64_t offset,
                         bool ended);

}  // namespace kelp
