// The three local-time stamps of the capture files, each read from the clock when asked for.
//
//   run_timestamp  "20261206_231705"   log file names
//   event_time     "23:17:05.042"      records and console lines (milliseconds truncated)
//   bin_time       "231705"            raw .bin file names
#pragma once

#include <string>

#include "platform/local_time.h"

namespace kelp {

std::string run_timestamp();
std::string event_time();
std::string bin_time();

std::string format_run_timestamp(const LocalTime& t);
std::string format_event_time(const LocalTime& t);
std::string format_bin_time(const LocalTime& t);

}  // namespace kelp
