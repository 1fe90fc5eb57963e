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

std::optional<std::int32_t> utc_offset_at(std::int64_t unix_seconds) {
  const time_t seconds = static_cast<time_t>(unix_seconds);
  tm parts{};
  if (::localtime_r(&seconds, &parts) == nullptr) return std::nullopt;
  return static_cast<std::int32_t>(parts.tm_gmtoff);
}

}  // namespace kelp
