// The machine's local wall-clock time, to the millisecond (truncated, never rounded).
#pragma once

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

}  // namespace kelp
