// The machine's local wall-clock time, to the millisecond (truncated, never rounded), and the
// offset of the machine's time zone from UTC at any instant, by the zone's own rules.
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

// How far the local time is ahead of UTC at an instant given in seconds since 1970-01-01 00:00
// UTC, in seconds (-18000 for New York in winter, -14400 in summer); nothing when the system
// cannot tell.
std::optional<std::int32_t> utc_offset_at(std::int64_t unix_seconds);

}  // namespace kelp
