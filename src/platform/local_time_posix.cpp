#include <time.h>

#include "platform/local_time.h"

namespace kelp {

LocalTime local_time_now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  time_t seconds = now.tv_sec;
  ::localtime_r(&seconds, &parts);
  return LocalTime{parts.tm_year + 1900,
                   parts.tm_mon + 1,
                   parts.tm_mday,
                   parts.tm_hour,
                   parts.tm_min,
                   parts.tm_sec,
                   static_cast<int>(now.tv_nsec / 1000000)};
}

std::optional<std::int64_t> unix_seconds_from_local(const LocalTime& t) {
  tm parts{};
  parts.tm_year = t.year - 1900;
  parts.tm_mon = t.month - 1;
  parts.tm_mday = t.day;
  parts.tm_hour = t.hour;
  parts.tm_min = t.minute;
  parts.tm_sec = t.second;
  parts.tm_isdst = -1;  // let the zone's rules say whether summer time applies
  const time_t seconds = ::mktime(&parts);
  // -1 is also one second before 1970, which no log date can be.
  if (seconds == static_cast<time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(seconds);
}

}  // namespace kelp
