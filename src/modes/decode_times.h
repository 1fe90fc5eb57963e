// When each byte of a serial log's records arrived, as far as the log tells it.
//
// A record's time is when its chunk was cut off, and a CTS console keeps the line full, so byte k
// of a record of n bytes (counted from 1) arrived about n - k byte times before it. A byte time
// comes from the baud rate in the record's source ("serial/COM3@9600") and 11 bits a byte: the
// log does not say the parity, and the console's own framing, 8-E-1, takes a start bit, 8 data
// bits, a parity bit and a stop bit (8-N-1, 10 bits, would put a byte 10 % later). The estimate
// is never before the time of the record before it in the same log (its bytes came after that
// chunk was cut off), unless the clock stepped back between the two; a step back of more than an
// hour is midnight. Records without a baud rate (probe logs) keep their own time for every byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelp {

inline constexpr unsigned CTS_BITS_PER_BYTE = 11;

struct RecordTiming {
  std::uint32_t time_ms = 0;                 // the record's time of day
  std::optional<std::uint32_t> previous_ms;  // that of the record before it in the same log
  std::size_t size = 0;                      // its bytes
  double byte_ms = 0;                        // 0: no estimate
};

// The time one byte takes on a line of this serial record's source; 0 when it has no baud rate.
double byte_time_ms(std::string_view source);

// The time of day byte `index` (from 0) of the record arrived, in milliseconds.
std::uint32_t byte_arrival_ms(const RecordTiming& record, std::size_t index);

// "HH:MM:SS.mmm".
std::string time_of_day_text(std::uint32_t ms);

}  // namespace kelp
