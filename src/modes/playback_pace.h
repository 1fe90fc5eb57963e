// Playing recordings back at the pace they were recorded (`decode FILE... --serve`): the stream
// time of each byte, and when it is due.
//
// The stream time starts at 0 with the first byte and only ever moves forward:
//   - a log record's bytes move it to their time of day (their estimated arrival), by the time
//     since the byte before in the same file; a step back of more than 12 hours is midnight, a
//     smaller one (a clock set back) costs no time;
//   - the first byte of each file follows the byte before at once (the time between two files is
//     not known);
//   - a raw recording's bytes follow each other at the line's byte time.
// A byte is due `stream time / speed` after playing began. Pure: the caller keeps the clock.
#pragma once

#include <cstdint>
#include <optional>

namespace kelp {

struct PlaybackPace {
  double speed = 1;        // > 0
  double stream_ms = 0;    // the stream time of the last byte placed
  bool started = false;    // a byte has been placed
  std::optional<std::uint32_t> last_of_day;  // the time of day of the last log byte of this file
};

// A new file begins: its first byte follows the last one at once.
void pace_new_file(PlaybackPace& pace);

// Places a byte that arrived at `ms_of_day` (a log's record), or `byte_ms` after the last byte (a
// raw recording), and gives when it is due: milliseconds after playing began.
double pace_log_byte(PlaybackPace& pace, std::uint32_t ms_of_day);
double pace_raw_byte(PlaybackPace& pace, double byte_ms);

// A line's byte time: a start bit, 8 data bits, the parity bit if any, a stop bit.
double line_byte_ms(std::uint32_t baud, bool parity_bit);

}  // namespace kelp
