// Opening one of the tool's logs for `export` and `replay`.
//
// `load_log` reads the file and its records, and writes the reader's warnings for a damaged record
// or stray text to the error stream, one line each:
// "Warning: <path>:<line>: <what is wrong>". It gives the reading, or the "ERROR: ..." line to
// print when the file cannot be read or is no log of this tool (no warning is written for such a
// file: every line of it would be one). A log whose kind is known but that has no readable record
// is given back as it is; `no_records_error` words the error for it. Ctrl+C while the log is read
// ends the program there.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "capture/log_reader.h"

namespace kelp {

struct LoadedLog {
  std::string path;
  LogReading reading;
};

std::expected<LoadedLog, std::string> load_log(const std::string& path);

// The reader's warnings about a log, to the error stream, one line each.
void write_log_warnings(const LoadedLog& log);

// "ERROR: <path>: no readable record in this udp log\n" and the like.
std::string no_records_error(const LoadedLog& log);

// When each record was taken, in milliseconds since 1970-01-01 00:00 UTC, by this machine's time
// zone. The date comes from the run stamp in the log's name; a log whose name holds none is dated
// from the file's last change, and `undated`, when given, receives the warning line that says so.
std::vector<std::int64_t> record_instants(const LoadedLog& log, std::string* undated);

}  // namespace kelp
