#include "board/board.h"

#include <algorithm>

#include "decode/cts_board.h"

namespace kelp {
namespace {

constexpr std::uint8_t EVENT_HEAT_CHANNEL = 12;
constexpr std::uint8_t RESULTS_CHANNEL = 20;
constexpr std::uint8_t LENGTHS_CHANNEL = 11;
constexpr std::uint8_t TIME_OF_DAY_CHANNEL = 22;

bool dark(std::uint8_t value) { return value == CTS_BLANK || value == CTS_UNSENT; }

bool any_lit(const CtsCells& cells) {
  return std::any_of(cells.begin(), cells.end(), [](std::uint8_t v) { return !dark(v); });
}

RaceId race_id_of(const CtsChannel& channel) {
  if (!channel.known) return {};
  return {cts_number(channel.digits, 0, 2), cts_number(channel.digits, 5, 7)};
}

// The clock as it reads in the first second of a race: seconds and minutes dark, tenths lit.
bool clock_in_first_second(const CtsChannel& clock) {
  if (!clock.known) return false;
  const CtsCells& c = clock.digits;
  return dark(c[2]) && dark(c[3]) && dark(c[4]) && dark(c[5]) && c[6] <= 9;
}

// A lane line that shows a result: not running, some time cell lit.
bool shows_time(const CtsChannel& lane) {
  if (!lane.known || lane.running) return false;
  return !cts_time_text(lane.digits).empty();
}

bool same_time_cells(const CtsCells& a, const CtsCells& b) {
  return std::equal(a.begin() + 2, a.end(), b.begin() + 2);
}

RaceId results_channel(const Board& board) { return race_id_of(board.channels[RESULTS_CHANNEL]); }
RaceId water_channel(const Board& board) { return race_id_of(board.channels[EVENT_HEAT_CHANNEL]); }

std::optional<StartEntry> swimmer_of(const Board& board, const RaceId& id, unsigned lane) {
  if (!id.event || !id.heat) return std::nullopt;
  const StartEntry* entry = find_swimmer(board.start_lists, *id.event, *id.heat, lane);
  return entry ? std::optional<StartEntry>(*entry) : std::nullopt;
}

std::optional<RaceId> names_race(const Board& board) {
  if (board_racing(board)) {
    return board.watch.id.event ? board.watch.id : water_channel(board);
  }
  bool results_up = false;
  for (unsigned lane = 1; lane <= BOARD_LANES; ++lane) {
    results_up = results_up || shows_time(board.channels[lane]);
  }
  if (!results_up) return water_channel(board);
  if (const RaceId up = results_channel(board); up.event) return up;
  if (!board.races.empty()) return board.races.back().id;
  return std::nullopt;
}

void open_race(Board& board, std::string_view time, std::uint64_t offset) {
  RaceWatch& watch = board.watch;
  watch = RaceWatch{};
  watch.after_the_fact = false;
  watch.id = water_channel(board);
  watch.started = std::string(time);
  watch.started_offset = offset;
  for (unsigned lane = 1; lane <= BOARD_LANES; ++lane) {
    watch.at_start[lane - 1] = board.channels[lane].digits;
  }
}

std::vector<RaceRow> rows_of(const Board& board, const RaceId& id) {
  std::vector<RaceRow> rows;
  for (unsigned lane = 1; lane <= BOARD_LANES; ++lane) {
    const auto& final_line = board.watch.finals[lane - 1];
    if (!final_line) continue;
    RaceRow row;
    row.lane = lane;
    row.place = cts_number(final_line->digits, 1, 1);
    row.time = cts_time_text(final_line->digits);
    row.hundredths = time_in_hundredths(row.time);
    if (const auto swimmer = swimmer_of(board, id, lane)) {
      row.name = swimmer->name;
      row.team = swimmer->team;
    }
    row.seen = final_line->seen;
    row.offset = final_line->offset;
    rows.push_back(std::move(row));
  }
  // Place order, lanes without a place last; lane order among equals. (std::sort: clang
  // warns on libstdc++'s stable_sort.)
  std::sort(rows.begin(), rows.end(), [](const RaceRow& a, const RaceRow& b) {
    const unsigned no_place = ~0u;
    return std::pair{a.place.value_or(no_place), a.lane} <
           std::pair{b.place.value_or(no_place), b.lane};
  });
  return rows;
}

// Ends what is watched; the race, when there is one to report.
std::optional<RaceResult> close_race(Board& board, std::string_view time, std::uint64_t offset) {
  RaceWatch& watch = board.watch;
  if (!watch.open) return std::nullopt;
  watch.open = false;
  RaceResult race;
  race.after_the_fact = watch.after_the_fact;
  if (watch.after_the_fact) {
    if (!watch.named) return std::nullopt;
    race.id = *watch.named;
  } else {
    race.id = watch.id;
    if (!race.id.event) race.id = results_channel(board);
    race.started = watch.started;
    race.started_offset = watch.started_offset;
  }
  race.ended = std::string(time);
  race.ended_offset = offset;
  race.rows = rows_of(board, race.id);
  if (race.rows.empty()) return std::nullopt;
  board.races.push_back(race);
  return race;
}

void watch_lane(Board& board, unsigned lane, const CtsEvent& event, std::string_view time) {
  RaceWatch& watch = board.watch;
  if (!watch.open) return;
  const CtsChannel& state = event.state;
  if (!watch.after_the_fact && !same_time_cells(state.digits, watch.at_start[lane - 1])) {
    watch.moved[lane - 1] = true;
  }
  if (!shows_time(state)) return;
  if (!watch.after_the_fact && !watch.moved[lane - 1]) return;  // the previous race's time
  auto& final_line = watch.finals[lane - 1];
  if (final_line && final_line->digits == state.digits) return;
  final_line = LaneFinal{state.digits, std::string(time), event.offset};
}

// What the board showed before an operation changes it.
void keep_baseline(Board& board) {
  if (!board.shown) board.shown = board_shown(board);
}

bool recount(Board& board) {
  BoardShown now = board_shown(board);
  if (board.shown && now == *board.shown) return false;
  const bool first = !board.shown;
  board.shown = std::move(now);
  if (first) return false;
  ++board.changes;
  return true;
}

}  // namespace

const char* board_signal_name(BoardSignal signal) {
  switch (signal) {
    case BoardSignal::Live:
      return "live";
    case BoardSignal::Stale:
      return "stale";
    case BoardSignal::Ended:
      return "ended";
  }
  return "live";
}

bool board_racing(const Board& board) { return board.watch.open && !board.watch.after_the_fact; }

BoardStep board_apply(Board& board, const CtsEvent& event, std::string_view time) {
  BoardStep step;
  if (event.damaged || event.channel >= CTS_CHANNELS) return step;
  keep_baseline(board);
  const CtsChannel before = board.channels[event.channel];
  const CtsChannel& state = event.state;
  board.channels[event.channel] = state;
  const bool line_changed =
      !before.known || before.digits != state.digits || before.running != state.running;

  if (event.channel == 0) {
    if (clock_in_first_second(state) && !clock_in_first_second(before)) {
      step.ended = close_race(board, time, event.offset);
      open_race(board, time, event.offset);
    }
  } else if (event.channel <= BOARD_LANES) {
    if (any_lit(state.digits)) board.lit[event.channel - 1] = true;
    if (line_changed) watch_lane(board, event.channel, event, time);
  } else if (event.channel == EVENT_HEAT_CHANNEL && board_racing(board)) {
    const RaceId was = race_id_of(before), now = race_id_of(state);
    if (!board.watch.id.event) {
      board.watch.id = now;
    } else if (was.event && now.event && was != now) {
      step.ended = close_race(board, time, event.offset);
    }
  } else if (event.channel == RESULTS_CHANNEL && board.watch.open && board.watch.after_the_fact &&
             !board.watch.named) {
    if (const RaceId named = race_id_of(state); named.event) board.watch.named = named;
  }
  // Channels the board does not read change nothing it shows.
  const bool read = event.channel <= EVENT_HEAT_CHANNEL || event.channel == RESULTS_CHANNEL ||
                    event.channel == TIME_OF_DAY_CHANNEL;
  step.changed = (read || step.ended) && recount(board);
  return step;
}

BoardStep board_finish(Board& board, std::string_view time, std::uint64_t offset) {
  keep_baseline(board);
  BoardStep step;
  step.ended = close_race(board, time, offset);
  step.changed = recount(board);
  return step;
}

bool board_set_signal(Board& board, BoardSignal signal) {
  keep_baseline(board);
  board.signal = signal;
  return recount(board);
}

bool board_refresh(Board& board) { return recount(board); }

BoardShown board_shown(const Board& board) {
  BoardShown shown;
  shown.in_water = water_channel(board);
  shown.results_up = results_channel(board);
  if (board.channels[0].known) shown.clock = cts_time_text(board.channels[0].digits);
  const CtsChannel& time_of_day = board.channels[TIME_OF_DAY_CHANNEL];
  if (time_of_day.known) shown.time_of_day = cts_time_text(time_of_day.digits);
  const CtsChannel& lengths = board.channels[LENGTHS_CHANNEL];
  if (lengths.known) shown.lengths = cts_number(lengths.digits, 0, 1);
  shown.signal = board.signal;
  shown.racing = board_racing(board);
  shown.lanes_shown = std::clamp(board.lanes_shown, 1u, BOARD_LANES);
  shown.races = board.races.size();
  shown.names_of = names_race(board);
  for (unsigned lane = 1; lane <= BOARD_LANES; ++lane) {
    const CtsChannel& channel = board.channels[lane];
    LaneShown& line = shown.lanes[lane - 1];
    line.lane = lane;
    line.place = cts_number(channel.digits, 1, 1);
    line.running = channel.running;
    if (!channel.running) line.time = cts_time_text(channel.digits);
    line.text = cts_text(channel.digits);
    line.lit = board.lit[lane - 1];
    if (shown.names_of) line.swimmer = swimmer_of(board, *shown.names_of, lane);
  }
  if (shown.names_of && shown.names_of->event) {
    if (const StartList* list = find_start_list(board.start_lists, *shown.names_of->event)) {
      shown.description = list->description;
    }
  }
  return shown;
}

}  // namespace kelp
