#include "capture/clock.h"

#include <cstdio>

namespace kelp {

std::string format_run_timestamp(const LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d_%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

std::string format_event_time(const LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", t.hour, t.minute, t.second,
                t.millisecond);
  return text;
}

std::string format_bin_time(const LocalTime& t) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d%02d%02d", t.hour, t.minute, t.second);
  return text;
}

std::string run_timestamp() { return format_run_timestamp(local_time_now()); }
std::string event_time() { return format_event_time(local_time_now()); }
std::string bin_time() { return format_bin_time(local_time_now()); }

}  // namespace kelp
