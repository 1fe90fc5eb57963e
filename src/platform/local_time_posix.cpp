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

}  // namespace kelp
