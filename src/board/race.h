// A race's results as the board showed them: what `Board` (board.h) hands out when a race ends,
// and what the results file, /results.json and the console's results table are written from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelp {

// Which race: an event/heat as the console's digits show them (either may be dark).
struct RaceId {
  std::optional<unsigned> event;
  std::optional<unsigned> heat;
  bool operator==(const RaceId&) const = default;
};

// One lane that swam: its last line in the race.
struct RaceRow {
  unsigned lane = 0;                        // 1-10
  std::optional<unsigned> place;            // nothing when the place cell was dark
  std::string time;                         // as shown: "27.25", "1:19.50"
  std::optional<std::uint64_t> hundredths;  // the time in hundredths of a second, when it reads
                                            // as one (see time_in_hundredths)
  std::optional<std::string> name;          // from the start lists, when they have the lane
  std::optional<std::string> team;
  std::string seen;          // time of day the line first appeared ("12:00:31.112"), "" when the
                             // input gives none (a raw recording)
  std::uint64_t offset = 0;  // byte offset in the decoded stream where it first appeared
  bool operator==(const RaceRow&) const = default;
};

struct RaceResult {
  RaceId id;
  bool after_the_fact = false;  // the input never showed this race's start: its lines are
                                // reported because channel 20 said which race they were
  std::string started;          // time of day of the clock's start, "" when not known
  std::optional<std::uint64_t> started_offset;  // nothing after the fact
  std::string ended;                            // when the board moved on, "" when not known
  std::uint64_t ended_offset = 0;
  std::vector<RaceRow> rows;  // place order; lanes without a place last, by lane
  bool operator==(const RaceResult&) const = default;
};

// "27.25" -> 2725, "1:19.50" -> 7950, "59.5" -> 5950 (tenths only), "59" -> 5900; nothing for a
// text that holds anything but digits there (a cell of 10-14, shown as A-E).
std::optional<std::uint64_t> time_in_hundredths(std::string_view time);

// 2725 -> "27.25", 7950 -> "79.50": the seconds as a decimal text.
std::string seconds_text(std::uint64_t hundredths);

}  // namespace kelp
