#include "capture/files.h"

#include <cstdio>
#include <string>
#include <utility>

#include "capture/clock.h"
#include "platform/process.h"
#include "platform/system_error.h"
#include "text/byte_text.h"
#include "text/hex.h"

namespace kelp {
namespace {

// Enough for every run started within one second, however many there are.
constexpr int MAX_NAME_ATTEMPTS = 100000;

}  // namespace

std::string capture_path(std::string_view file_name) {
  std::string path(CAPTURES_DIR);
  path += PATH_SEPARATOR;
  path += file_name;
  return path;
}

std::expected<void, int> create_captures_dir() {
  return make_directories(std::string(CAPTURES_DIR));
}

std::expected<LogFile, int> create_unique_file(std::string_view stem, std::string_view extension) {
  return create_unique_path(capture_path(stem), extension);
}

std::expected<LogFile, int> create_unique_path(std::string_view path_stem,
                                               std::string_view extension) {
  for (int attempt = 1; attempt <= MAX_NAME_ATTEMPTS; ++attempt) {
    std::string path(path_stem);
    if (attempt > 1) path += "_" + std::to_string(attempt);
    path += extension;
    LogFile result{FileHandle(), std::move(path)};
    int error = 0;
    switch (create_new_file(result.path, result.file, error)) {
      case CreateResult::Created:
        return result;
      case CreateResult::AlreadyExists:
        continue;
      case CreateResult::Failed:
        return std::unexpected(error);
    }
  }
  return std::unexpected(0);
}

std::expected<LogFile, int> open_log_file(std::string_view mode_word) {
  return create_unique_file(std::string(mode_word) + "_" + run_timestamp(), ".log");
}

LogFile open_log_file_or_stop(std::string_view mode_word) {
  auto log = open_log_file(mode_word);
  if (!log) fatal_stop("Failed to create log file", io_error_text(log.error()));
  return std::move(*log);
}

RecordLines format_record(std::uint64_t seq, std::string_view time, std::string_view source,
                          std::span<const std::uint8_t> payload) {
  RecordLines lines;
  lines.header = "--- #" + std::to_string(seq) + " at " + std::string(time) + " from " +
                 std::string(source) + " (" + std::to_string(payload.size()) + " bytes) ---\n";
  lines.text = "RAW_TEXT: " + decode_text(payload) + "\n";
  lines.hex = "RAW_HEX: " + hex_string(payload) + "\n";
  return lines;
}

std::string record_text(const RecordLines& lines) {
  return lines.header + lines.text + lines.hex + "\n";
}

std::string port_for_record(std::string_view port) { return escape_text(port); }

std::string format_frame_record(std::string_view time, std::string_view label,
                                std::size_t byte_count, std::string_view text,
                                std::string_view hex) {
  const std::string count = std::to_string(byte_count);
  std::string record;
  record.reserve(32 + label.size() + text.size() + hex.size());
  record += '[';
  record += time;
  record += ' ';
  record += label;
  record += "] ";
  record += count;
  record += " bytes\n  TEXT: ";
  record += text;
  record += "\n  HEX:  ";
  record += hex;
  record += "\n\n";
  return record;
}

void write_record(LogFile& log, std::uint64_t seq, std::string_view time, std::string_view source,
                  std::span<const std::uint8_t> payload) {
  // The record's lines go to the system together as soon as they are formatted, so a record
  // costs one system call; a line that fails to be written does not stop the lines after it.
  const RecordLines lines = format_record(seq, time, source, payload);
  const std::string_view pieces[] = {lines.header, lines.text, lines.hex, "\n"};
  write_pieces(log.file, pieces);
}

void write_log_text(LogFile& log, std::string_view text) { (void)write_file(log.file, text); }

std::string bin_file_stem(std::string_view prefix, std::uint64_t seq, std::string_view time) {
  char number[32];
  std::snprintf(number, sizeof number, "%04llu", static_cast<unsigned long long>(seq));
  return std::string(prefix) + "_" + number + "_" + std::string(time);
}

void save_bin(std::string_view prefix, std::uint64_t seq, std::span<const std::uint8_t> payload) {
  auto file = create_unique_file(bin_file_stem(prefix, seq, bin_time()), ".bin");
  if (!file) return;
  (void)write_file(file->file, payload);
}

}  // namespace kelp
