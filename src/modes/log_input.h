// Opening one of the tool's logs for `export` and `replay`, and the words shared by the commands
// that read several files (`export`, `decode`) for a file that holds nothing to read.
//
// `load_log` reads the file and its records, and writes the reader's warnings for a damaged record
// or stray text to the error stream, one line each:
// "Warning: <path>:<line>: <what is wrong>". It gives the reading, or the "ERROR: ..." line to
// print when the file cannot be read, is empty or is no log of this tool (no warning is written
// for such a file: every line of it would be one). A log whose kind is known but that has no
// readable record is given back as it is; `no_records_error` words the error for it. Ctrl+C while
// the log is read ends the program there.
//
// Among several files, one that holds nothing to read (an empty file, a log without a readable
// record: a run whose port failed leaves one) is no reason to give up the others: it costs the
// warning `skipped_input_warning` makes of its error line, and only when no file at all was left
// is the command an error.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "capture/log_reader.h"

namespace kelp {

struct LoadedLog {
  std::string path;
  LogReading reading;
};

struct InputError {
  std::string line;            // "ERROR: ...\n"
  bool holds_nothing = false;  // the file is empty: among several, skipped with a warning
};

std::expected<LoadedLog, InputError> load_log(const std::string& path);

// "ERROR: <path> is empty\n".
std::string empty_input_error(const std::string& path);

// The warning for a file skipped among several, from the error line it would give alone:
// "ERROR: <what>\n" becomes "Warning: <what>, skipped\n".
std::string skipped_input_warning(std::string_view error_line);

// When every one of several files was skipped: "ERROR: nothing to <command>: none of the <files>
// files given holds anything to read\n".
std::string nothing_left_error(std::string_view command, std::size_t files);

// The reader's warnings about a log, to the error stream, one line each.
void write_log_warnings(const LoadedLog& log);

// "ERROR: <path>: no readable record in this udp log\n" and the like.
std::string no_records_error(const LoadedLog& log);

// When each record was taken, in milliseconds since 1970-01-01 00:00 UTC, by this machine's time
// zone. The date comes from the run stamp in the log's name; a log whose name holds none is dated
// from the file's last change, and `undated`, when given, receives the warning line that says so.
std::vector<std::int64_t> record_instants(const LoadedLog& log, std::string* undated);

}  // namespace kelp
