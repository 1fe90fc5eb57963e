// The machine's local wall-clock time, to the millisecond (truncated, never rounded), and its
// conversion to the time since 1970-01-01 00:00 UTC by the machine's own time zone rules.
#pragma once

#include <cstdint>
#include <optional>

namespace kelp {

struct LocalTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;  // 0..999
};

LocalTime local_time_now();

// The seconds since 1970-01-01 00:00 UTC of a local date and time (milliseconds ignored), by this
// machine's time zone. A time that a clock change repeats is taken in either of its two meanings;
// nothing when the system cannot convert it.
std::optional<std::int64_t> unix_seconds_from_local(const LocalTime& t);

}  // namespace kelp
