#include "modes/log_input.h"

#include <cstdio>

#include "capture/log_time.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/local_time.h"
#include "platform/system_error.h"

namespace kelp {
namespace {

std::string date_text(const CivilDate& date) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.year, date.month, date.day);
  return text;
}

}  // namespace

std::expected<LoadedLog, InputError> load_log(const std::string& path) {
  auto content = read_whole_file(path, interrupted);
  if (interrupted()) end_as_interrupted();
  if (!content) {
    return std::unexpected(InputError{
        "ERROR: cannot read " + path + ": " + io_error_text(content.error()) + "\n", false});
  }
  if (content->empty()) return std::unexpected(InputError{empty_input_error(path), true});
  LoadedLog log{path, read_log(*content, interrupted)};
  if (log.reading.stopped) end_as_interrupted();
  if (log.reading.kind == LogKind::Unknown) {
    return std::unexpected(InputError{"ERROR: " + path + " is not a log of kelp-capture\n", false});
  }
  write_log_warnings(log);
  return log;
}

std::string empty_input_error(const std::string& path) { return "ERROR: " + path + " is empty\n"; }

std::string skipped_input_warning(std::string_view error_line) {
  constexpr std::string_view ERROR_START = "ERROR: ";
  if (error_line.starts_with(ERROR_START)) error_line.remove_prefix(ERROR_START.size());
  if (error_line.ends_with('\n')) error_line.remove_suffix(1);
  return "Warning: " + std::string(error_line) + ", skipped\n";
}

std::string nothing_left_error(std::string_view command, std::size_t files) {
  return "ERROR: nothing to " + std::string(command) + ": none of the " + std::to_string(files) +
         " files given holds anything to read\n";
}

void write_log_warnings(const LoadedLog& log) {
  std::string warnings;
  for (const LogWarning& warning : log.reading.warnings) {
    warnings +=
        "Warning: " + log.path + ":" + std::to_string(warning.line) + ": " + warning.what + "\n";
  }
  if (!warnings.empty()) write_stderr(warnings);
}

std::string no_records_error(const LoadedLog& log) {
  if (log.reading.kind == LogKind::Probe && log.reading.warnings.empty()) {
    return "ERROR: " + log.path + ": the probe got no response, so its log holds no bytes\n";
  }
  return "ERROR: " + log.path + ": no readable record in this " +
         std::string(log_kind_name(log.reading.kind)) + " log\n";
}

std::vector<std::int64_t> record_instants(const LoadedLog& log, std::string* undated) {
  std::vector<std::uint32_t> times;
  for (const LogRecord& record : log.reading.records) times.push_back(record.time_of_day_ms);
  if (times.empty()) return {};
  if (const auto stamp = run_stamp_from_file_name(log.path)) {
    return record_instants_ms(stamp->date, day_numbers(stamp->time_of_day_ms, times), times,
                              utc_offset_at);
  }
  // A renamed log: dated from when the file was last written, which a copy that did not keep
  // that time gets wrong, hence the warning.
  CivilDate first_day;
  std::string warning = "Warning: " + log.path + ": no date in the file name (YYYYMMDD_HHMMSS)";
  if (const auto modified = file_modified_time(log.path)) {
    const auto modified_ms = static_cast<std::uint32_t>(
        ((modified->hour * 60 + modified->minute) * 60 + modified->second) * 1000);
    first_day =
        first_day_before({modified->year, modified->month, modified->day}, modified_ms, times);
    warning += ": dated from the file's last change, first record on " + date_text(first_day);
  } else {
    warning += " and none from the file: dated 1970-01-01";
  }
  if (undated != nullptr) *undated = warning + "\n";
  return record_instants_ms(first_day, day_numbers(times.front(), times), times, utc_offset_at);
}

}  // namespace kelp
