// The scoreboard as one state: the decoded channels of a CTS console's stream read as a swim
// board, with names from the start lists, and each race's results as the board showed them.
//
// Feeding: hand `board_apply` every event the decoder reports (cts_stream.h), in order, with the
// time of day of the bytes that held its control byte ("12:00:03.102" from a log record or a live
// read, "" for a raw recording, whose events are placed by their byte offset alone). Each event
// is a whole state of one channel, and the board takes it whole: it only ever shows states the
// stream had, never half of an update. Damaged frames change nothing. At the end of the input
// call `board_finish`. The signal, the start lists and the lanes shown are the caller's to set.
//
// What the board reads:
//   channel 12  event (cells 0-2) and heat (5-7) in the water; channel 20 the same cells: the
//               race whose results are up
//   channel 0   the clock as shown; channel 22 the time of day; channel 11 lengths (cells 0-1)
//   channels 1-10  lane n: place (cell 1), time as shown (cells 2-7, none while running), the
//               running flag, the cells as text, and `lit`: some cell of it has been lit since
//               reading began (a lane the console never used stays dark: `lit` false)
//
// A race is what the stream shows from the clock's start (channel 0 turning to ".0"-".9", its
// seconds still dark, from anything else) until the board moves on: the next start, channel 12
// changing from one event/heat to another, or the end of the input. Its event/heat is channel
// 12's at the start (or its first value in the race, if unknown then). Each lane's result is the
// last line showing a time (not running, time cells lit) that it showed in the race; a line
// showing the time the lane held at the start is taken only once the lane has shown something
// else (a running frame sends only lane and place, so a lane's cells keep the previous race's
// time until the console clears them). A running or dark line after a time does not take it
// back. Lanes without such a line get no row, and a race without rows is not reported.
// Lines on the board before the input's first start (the race before, whose start reading never
// saw) are reported at that start or at the end of the input only if channel 20 named a race
// while they were up (the first it named), as that race, after the fact; otherwise not at all.
//
// Which race a lane's line, and so its name, belongs to:
//   during a race                the race in the water (channel 12 / the race's event/heat);
//   not racing, some lane shows a time (results are up)
//                                the race whose results are up: channel 20, or, when the
//                                stream has not sent channel 20, the race that ended last;
//                                none (no names) when neither is known;
//   not racing, no lane shows a time (the board is cleared for the next race)
//                                channel 12: the swimmers of the next race.
// In the shared recording channel 12 moves on to the next event as soon as the race is over
// while the lanes keep its results and channel 20 keeps naming it; channel 20 changed to the new
// race about half a second after its start.
//
// A race's rows take their names from the start lists as they are when it ends.
//
// `changes` counts changes of what board_json shows (the counter itself aside); each operation
// says whether it changed anything, so that a caller pushes a new state only then.
//
// Wiring it into a decoding (each step below is pure; the caller does the I/O):
//   each event      step = board_apply(board, event, time);
//                   step.changed: hand board_json(board) (board_json.h) to the server, redraw
//                   board_console_lines(board, last_warning) (board_console.h);
//                   step.ended: append race_csv_rows(*step.ended) to the results file (with
//                   results_csv_header() first when it creates the file), print
//                   race_table_text(*step.ended) (results_text.h), serve results_json(board)
//   end of input    the same with board_finish(board, time, decoder offset)
//   start lists     per file: take_start_list(board.start_lists, name, path, bytes) (print the
//                   warning it gives); erase the entries of files that are gone; then
//                   board_refresh(board), and push the board if it changed
//   signal          board_set_signal(board, BoardSignal::Stale / Live / Ended)
//
// Pure: no I/O, no globals; everything lives in the Board value, which is copied like any value
// and used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/race.h"
#include "board/start_list.h"
#include "decode/cts_stream.h"

namespace kelp {

inline constexpr unsigned BOARD_LANES = 10;

enum class BoardSignal : std::uint8_t { Live, Stale, Ended };

// "live", "stale", "ended".
const char* board_signal_name(BoardSignal signal);

// One lane as the board shows it.
struct LaneShown {
  unsigned lane = 0;
  std::optional<unsigned> place;
  std::string time;  // "" when dark or running
  bool running = false;
  std::string text;  // the 8 cells as decode --json gives them; 8 spaces when unknown
  bool lit = false;
  std::optional<StartEntry> swimmer;
  bool operator==(const LaneShown&) const = default;
};

// Everything board_json shows but the change counter.
struct BoardShown {
  RaceId in_water;          // channel 12
  RaceId results_up;        // channel 20
  std::string clock;        // "" when dark or never sent
  std::string time_of_day;  // "" when dark
  std::optional<unsigned> lengths;
  BoardSignal signal = BoardSignal::Live;
  bool racing = false;
  unsigned lanes_shown = BOARD_LANES;
  std::array<LaneShown, BOARD_LANES> lanes;
  std::size_t races = 0;           // races ended so far (the last is last_race)
  std::optional<RaceId> names_of;  // the race whose names are shown, when known
  std::string description;         // its start list's description, "" when none
  bool operator==(const BoardShown&) const = default;
};

// The race being watched (internal to the board, kept here so that Board stays a plain value).
struct LaneFinal {
  CtsCells digits;
  std::string seen;
  std::uint64_t offset = 0;
};
struct RaceWatch {
  bool open = true;             // lines are being collected
  bool after_the_fact = true;   // for lines from before the input's first start
  RaceId id;                    // a started race's event/heat
  std::optional<RaceId> named;  // after the fact: the first race channel 20 named
  std::string started;
  std::optional<std::uint64_t> started_offset;
  std::array<CtsCells, BOARD_LANES> at_start{};  // each lane's cells when the race started
  std::array<bool, BOARD_LANES> moved{};         // the lane has shown other cells since
  std::array<std::optional<LaneFinal>, BOARD_LANES> finals;
};

struct Board {
  // Set by the caller.
  unsigned lanes_shown = BOARD_LANES;  // --lanes N (1-10): shown in the JSON and on the console
  BoardSignal signal = BoardSignal::Live;
  StartLists start_lists;  // edit in place (take_start_list), then call board_refresh

  // Read by the caller, kept by the board.
  std::array<CtsChannel, CTS_CHANNELS> channels{};  // each channel's last reported state
  std::array<bool, BOARD_LANES> lit{};
  std::vector<RaceResult> races;  // every race ended so far, oldest first
  std::uint64_t changes = 0;
  std::optional<BoardShown> shown;  // as last counted (from the first operation on)
  RaceWatch watch;
};

// What an operation did: whether the board's JSON changed, and the race it ended, if any.
struct BoardStep {
  bool changed = false;
  std::optional<RaceResult> ended;  // also appended to Board::races
};

BoardStep board_apply(Board& board, const CtsEvent& event, std::string_view time);

// The input has ended (the last byte of the files, or the end of a live run) at `time` ("" when
// not known) and `offset` (the bytes decoded): the race on ends, and with it the watch. Later
// events start watching again at the next start.
BoardStep board_finish(Board& board, std::string_view time, std::uint64_t offset);

// Returns whether the board changed.
bool board_set_signal(Board& board, BoardSignal signal);
// After the caller changed start_lists or lanes_shown: recounts. Returns whether it changed.
bool board_refresh(Board& board);

// What the board shows now (computed, not the stored `shown`).
BoardShown board_shown(const Board& board);

bool board_racing(const Board& board);

}  // namespace kelp
