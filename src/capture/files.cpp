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
  for (int attempt = 1; attempt <= MAX_NAME_ATTEMPTS; ++attempt) {
    std::string name(stem);
    if (attempt > 1) name += "_" + std::to_string(attempt);
    name += extension;
    LogFile result{FileHandle(), capture_path(name)};
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

void write_record(LogFile& log, std::uint64_t seq, std::string_view time, std::string_view source,
                  std::span<const std::uint8_t> payload) {
  // The record's lines go to the system together as soon as they are formatted, so a record
  // costs one system call; a line that fails to be written does not stop the lines after it.
  const std::string header = "--- #" + std::to_string(seq) + " at " + std::string(time) + " from " +
                             std::string(source) + " (" + std::to_string(payload.size()) +
                             " bytes) ---\n";
  const std::string text = "RAW_TEXT: " + decode_text(payload) + "\n";
  const std::string hex = "RAW_HEX: " + hex_string(payload) + "\n";
  const std::string_view lines[] = {header, text, hex, "\n"};
  write_pieces(log.file, lines);
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
