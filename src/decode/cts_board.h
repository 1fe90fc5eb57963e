// What a person reads off the channels of a CTS scoreboard stream in swimming.
//
//   channel 0      the running time: cells 2-3 minutes, 4-5 seconds, 6 tenths, 7 hundredths
//   channels 1-10  lane n: cell 0 lane, 1 place, 2-3 minutes, 4-5 seconds, 6-7 hundredths
//   channel 11     cells 0-1: lengths completed by the leader
//   channel 12     cells 0-2 event, 5-7 heat (the console's current race)
//   channel 22     the time of day: cells 2-3 hour, 4-5 minute
// Other channels have no known meaning and are shown by their cells.
//
// Each cell shows as one character: its digit, a space for blank (15) and for a cell the stream
// never sent, and the values 10-14, which no console has been seen to send, as "A" to "E" so
// that no value is ever hidden. Times are written as the board's cells group them ("1:01.6",
// "56.36", ".0"), blanks left out; no punctuation is taken from the format frames, since where a
// board lights its colon and point depends on its wiring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "decode/cts_stream.h"

namespace kelp {

enum class CtsRole { Clock, Lane, Lengths, EventHeat, TimeOfDay, Other };

CtsRole cts_role(std::uint8_t channel);

// "0"-"9", " " (blank or never sent), "A"-"E" for 10-14.
char cts_glyph(std::uint8_t value);

// The 8 cells, cell 0 first.
std::string cts_text(const CtsCells& cells);

// Cells 2-3, 4-5 and 6-7 as "M:SS.ff": the minutes and their colon only when shown, the point
// only before a shown fraction; "" when all six are dark.
std::string cts_time_text(const CtsCells& cells);

// The number the cells [first, last] show, blanks left out; nothing when none is lit or one shows
// a value above 9. A single cell may also read 10-14 (a lane or place of 10 and up).
std::optional<unsigned> cts_number(const CtsCells& cells, std::size_t first, std::size_t last);

}  // namespace kelp
