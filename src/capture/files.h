// The capture directory and what is written into it.
//
// Everything goes under `captures` in the current directory. A recording mode opens one log file
// per run ("<mode>_<run_timestamp>.log"); the UDP, serial and probe modes append one record per
// datagram or chunk with `write_record` and write the raw bytes with `save_bin`
// ("<prefix>_<seq, at least 4 digits>_<HHMMSS>.bin").
//
// No run ever overwrites an earlier run's file: files are created exclusively, and when a name is
// taken "_2", "_3", ... is put before the extension. Writes are unbuffered, so every record that
// has been written is complete on disk. Write failures are dropped: a capture never stops because
// a file could not be written.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace kelp {

inline constexpr std::string_view CAPTURES_DIR = "captures";

// The path of a file in the capture directory, with the platform's separator
// (captures/udp_20261206_231705.log, captures\udp_... on Windows).
std::string capture_path(std::string_view file_name);

// Creates `captures` (and missing parents). On failure gives the OS error code.
std::expected<void, int> create_captures_dir();

struct LogFile {
  FileHandle file;
  std::string path;
};

// Creates the run's log file for a mode word ("udp", "serial", "probe", "scan", "proxy"). On
// failure gives the OS error code.
std::expected<LogFile, int> open_log_file(std::string_view mode_word);

// The same, for a mode about to start: when the file cannot be created, the program stops with
// the fatal "Failed to create log file: <system text>" (status 101) before anything is printed.
LogFile open_log_file_or_stop(std::string_view mode_word);

// Creates `captures/<stem><extension>`, or `<stem>_2<extension>`, `_3`, ... when taken.
std::expected<LogFile, int> create_unique_file(std::string_view stem, std::string_view extension);

// The same naming rule for a file anywhere: `<path_stem><extension>`, else `<path_stem>_2...`.
std::expected<LogFile, int> create_unique_path(std::string_view path_stem,
                                               std::string_view extension);

// The lines of one record as `write_record` writes them:
//   "--- #3 at 23:17:05.042 from udp/192.168.1.20:50123 (5 bytes) ---\n"
//   "RAW_TEXT: " + decode_text(payload) + "\n"
//   "RAW_HEX: " + hex_string(payload) + "\n"
//   "\n"
struct RecordLines {
  std::string header;
  std::string text;
  std::string hex;
};

RecordLines format_record(std::uint64_t seq, std::string_view time, std::string_view source,
                          std::span<const std::uint8_t> payload);

// The whole record, its four lines joined.
std::string record_text(const RecordLines& lines);

// A port name as a record's source holds it ("serial/" + this + "@9600"): its control characters
// spelled out as `escape_text` does, so that a name holding a line break (a link named so on
// Linux) cannot split the header line; every usual name comes out as it is.
std::string port_for_record(std::string_view port);

// One proxy frame as its log holds it, given the frame's decoded text and hex line:
//   "[23:17:05.042 MM->CTS6] 9 bytes\n  TEXT: <text, control characters as they are>\n"
//   "  HEX:  <hex>\n\n"
std::string format_frame_record(std::string_view time, std::string_view label,
                                std::size_t byte_count, std::string_view text,
                                std::string_view hex);

// Appends one record: header line, RAW_TEXT, RAW_HEX and an empty line, each handed to the system
// as soon as it is formatted.
void write_record(LogFile& log, std::uint64_t seq, std::string_view time, std::string_view source,
                  std::span<const std::uint8_t> payload);

// Appends text as it is (the scan's and the proxy's own lines). Failures are ignored.
void write_log_text(LogFile& log, std::string_view text);

// Writes one raw capture file holding exactly the payload bytes.
void save_bin(std::string_view prefix, std::uint64_t seq, std::span<const std::uint8_t> payload);

// The file name of a raw capture before any "_2" suffix: prefix_0007_231705.bin
std::string bin_file_stem(std::string_view prefix, std::uint64_t seq, std::string_view bin_time);

}  // namespace kelp
