// The board and its results as JSON, for /board.json, every event of /events and /results.json.
//
// board_json: one line (no line end), keys in this order:
//   event, heat            channel 12 (numbers as its digits show them; null when dark/unknown)
//   results_event, results_heat   channel 20, the same way
//   clock                  channel 0 as shown ("0.0", ".0", "21.3", "1:01.6"); null when dark
//   time_of_day            channel 22 as shown ("9:49"); null when dark
//   lengths                channel 11 cells 0-1; null when dark
//   signal                 "live", "stale" or "ended"
//   racing                 a race is on (board.h)
//   changes                Board::changes
//   lanes_shown            Board::lanes_shown (1-10)
//   lanes                  always 10 objects, lane 1 first: lane, place (number or null), time
//                          (text as shown, null when dark or running), running, text (the 8
//                          cells as `decode --json` gives them), lit, name, team (from the start
//                          lists for the race the line belongs to, board.h; null when none)
//   last_race              the race that ended last, as race_json gives it; null until one has
//   and, added after these:
//   names_event, names_heat  the race whose names are shown (null when not known)
//   description            its start list's description ("GIRLS 8&U 25 FREE"), null when none
//
// race_json: event, heat, after_the_fact, started (time of day or null), ended (or null),
// results (rows in place order: lane, place, time, seconds (a number: 27.25, 79.5; null when
// the time does not read as one), name, team, seen (time of day or null), offset), then added:
// started_offset (null after the fact), ended_offset.
//
// results_json: {"races":[...]}, every race so far, oldest first, each as race_json.
//
// Names and teams are written as they are (UTF-8, with `<`, `&`, `"`, accents); JSON escapes
// only what it must, and a page sets them as text.
#pragma once

#include <string>

#include "board/board.h"
#include "board/race.h"

namespace kelp {

std::string board_json(const Board& board);
std::string race_json(const RaceResult& race);
std::string results_json(const Board& board);

}  // namespace kelp
