// A race's results as text: rows of the results file (CSV) and the short table the console
// prints when a race ends.
//
// CSV: UTF-8, one line per row, each ending in LF (as every line the tool writes); a field is
// quoted as RFC 4180 says, only when it holds a `"` (doubled inside the quotes), a `,`, a CR or
// an LF. Columns, in this order:
//   event,heat,lane,place,time,seconds,name,team,seen,offset,after_the_fact
// event, heat and place are empty when dark; seconds is the time in seconds with its hundredths
// ("27.25", "79.50"), empty when the time does not read as one; name and team are empty when no
// start list has the lane; seen is the time of day the line first appeared ("" for a raw
// recording) and offset the byte offset where it did; after_the_fact is "true" or "false".
// The header is written once, when the file is created; rows are appended as each race ends.
//
// The table: a title line, a column line and one line per row, each with its LF, within 80
// columns:
//   Results: event 27 heat 1
//     Place  Lane  Time      Name                  Team
//         1     3  27.25     LINDQVIST, MAE        GULL
// (the title says "(seen only after the fact)" for such a race). Names and teams are shown as
// console_safe makes them, a name always followed by two spaces at least.
#pragma once

#include <string>

#include "board/race.h"

namespace kelp {

std::string results_csv_header();
std::string race_csv_rows(const RaceResult& race);

std::string race_table_text(const RaceResult& race);

// A field quoted for CSV when it must be (see above).
std::string csv_field(std::string_view text);

// Pads `text` with spaces to `columns` characters (code points); longer texts are left whole.
std::string padded(std::string_view text, std::size_t columns);

// A text for a terminal: valid UTF-8, each control character (C0, DEL, C1) made U+FFFD.
std::string console_safe(std::string_view text);

}  // namespace kelp
