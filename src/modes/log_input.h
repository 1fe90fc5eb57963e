// Opening one of the tool's logs for `export` and `replay`.
//
// `load_log` reads the file and its records, and writes the reader's warnings for a damaged record
// or stray text to the error stream, one line each:
// "Warning: <path>:<line>: <what is wrong>". It gives the reading, or the "ERROR: ..." line to
// print when the file cannot be read or is no log of this tool (no warning is written for such a
// file: every line of it would be one). A log whose kind is known but that has no readable record
// is given back as it is; `no_records_error` words the error for it.
#pragma once

#include <expected>
#include <string>

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

}  // namespace kelp
