#include "modes/decode_gaps.h"

#include <algorithm>

#include "modes/serial_source.h"

namespace kelp {
namespace {

constexpr std::uint32_t SECONDS_PER_DAY = 24 * 60 * 60;
constexpr std::uint32_t HALF_DAY = SECONDS_PER_DAY / 2;
constexpr std::string_view BIN_EXTENSION = ".bin";

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

unsigned two_digits(std::string_view text, std::size_t at) {
  return static_cast<unsigned>((text[at] - '0') * 10 + (text[at + 1] - '0'));
}

}  // namespace

std::optional<ChunkFileName> chunk_file_name(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  std::string_view name = path.substr(start);
  if (!name.ends_with(BIN_EXTENSION)) return std::nullopt;
  name.remove_suffix(BIN_EXTENSION.size());

  ChunkFileName parsed;
  parsed.folder = path.substr(0, start);
  const std::size_t first = name.find('_');
  if (first == std::string_view::npos || first == 0) return std::nullopt;
  parsed.prefix = name.substr(0, first);
  std::string_view rest = name.substr(first + 1);
  const std::size_t second = rest.find('_');
  if (second == std::string_view::npos) return std::nullopt;
  const std::string_view number = rest.substr(0, second);
  rest.remove_prefix(second + 1);
  // The number has at least 4 digits, zero-padded to 4 and no more.
  if (!all_digits(number) || number.size() < 4 || number.size() > 19) return std::nullopt;
  if (number.size() > 4 && number[0] == '0') return std::nullopt;
  for (const char c : number) parsed.number = parsed.number * 10 + static_cast<unsigned>(c - '0');

  const std::string_view time = rest.substr(0, 6);
  if (time.size() != 6 || !all_digits(time)) return std::nullopt;
  const unsigned hour = two_digits(time, 0), minute = two_digits(time, 2),
                 second_of_minute = two_digits(time, 4);
  if (hour > 23 || minute > 59 || second_of_minute > 60) return std::nullopt;
  parsed.second_of_day = (hour * 60 + minute) * 60 + second_of_minute;
  rest.remove_prefix(6);
  if (!rest.empty()) {
    if (rest[0] != '_' || !all_digits(rest.substr(1))) return std::nullopt;
    parsed.made_unique = true;
  }
  return parsed;
}

bool continues_chunk_file(std::string_view before, std::string_view next) {
  const auto a = chunk_file_name(before);
  const auto b = chunk_file_name(next);
  if (!a || !b || a->made_unique || b->made_unique) return false;
  if (a->folder != b->folder || a->prefix != b->prefix || b->number != a->number + 1) return false;
  const std::uint32_t step =
      (b->second_of_day + SECONDS_PER_DAY - a->second_of_day % SECONDS_PER_DAY) % SECONDS_PER_DAY;
  return step < HALF_DAY;
}

RecordGaps record_gaps(std::string_view path, const LogReading& reading) {
  const std::vector<LogRecord>& records = reading.records;
  RecordGaps result;
  std::vector<std::string>& gaps = result.before;
  gaps.resize(records.size());
  const std::string where(path);
  std::vector<std::size_t> warned_lines;
  for (const LogWarning& warning : reading.warnings) warned_lines.push_back(warning.line);
  std::sort(warned_lines.begin(), warned_lines.end());
  std::size_t next_warning = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const LogRecord& record = records[i];
    // Warnings about lines before this record and after the one before it.
    bool warned = false;
    while (next_warning < warned_lines.size() && warned_lines[next_warning] < record.line) {
      warned = warned || (i > 0 && warned_lines[next_warning] > records[i - 1].line);
      ++next_warning;
    }
    if (i == 0) continue;
    const std::string number = "#" + std::to_string(record.number);
    const auto source = parse_serial_source(record.source);
    if (source && source->after_outage) {
      gaps[i] = where + ": the port was away before record " + number;
    } else if (record.number != records[i - 1].number + 1) {
      gaps[i] = where + ": record " + number + " follows #" + std::to_string(records[i - 1].number);
    } else if (warned) {
      gaps[i] = where + ": something was skipped before record " + number;
    }
  }
  if (!records.empty() && !warned_lines.empty() && warned_lines.back() > records.back().line) {
    result.after_last =
        where + ": something was skipped after record #" + std::to_string(records.back().number);
  }
  return result;
}

}  // namespace kelp
