#include "capture/log_time.h"

#include <cstddef>

namespace kelp {
namespace {

constexpr std::uint32_t DAY_CHANGE_MS = 60 * 60 * 1000;

std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t count) {
  if (pos + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : DAYS[month - 1];
}

std::optional<RunStamp> stamp_at(std::string_view name, std::size_t pos) {
  if (name[pos + 8] != '_') return std::nullopt;
  const auto year = digits(name, pos, 4);
  const auto month = digits(name, pos + 4, 2);
  const auto day = digits(name, pos + 6, 2);
  const auto hour = digits(name, pos + 9, 2);
  const auto minute = digits(name, pos + 11, 2);
  const auto second = digits(name, pos + 13, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (*year < 1970 || *month < 1 || *month > 12 || *day < 1 ||
      *day > days_in_month(*year, *month) || *hour > 23 || *minute > 59 || *second > 60) {
    return std::nullopt;
  }
  return RunStamp{{*year, *month, *day},
                  static_cast<std::uint32_t>(((*hour * 60 + *minute) * 60 + *second) * 1000)};
}

}  // namespace

std::optional<std::uint32_t> parse_event_time(std::string_view text) {
  if (text.size() != 12 || text[2] != ':' || text[5] != ':' || text[8] != '.') {
    return std::nullopt;
  }
  const auto hour = digits(text, 0, 2);
  const auto minute = digits(text, 3, 2);
  const auto second = digits(text, 6, 2);
  const auto milli = digits(text, 9, 3);
  if (!hour || !minute || !second || !milli || *hour > 23 || *minute > 59 || *second > 60) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(((*hour * 60 + *minute) * 60 + *second) * 1000 + *milli);
}

std::optional<RunStamp> run_stamp_from_file_name(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  constexpr std::size_t STAMP_LENGTH = 15;
  for (std::size_t pos = name.size(); pos-- > 0;) {
    if (pos + STAMP_LENGTH > name.size()) continue;
    // A longer run of digits is some other number, not a stamp.
    if (pos > 0 && name[pos - 1] >= '0' && name[pos - 1] <= '9') continue;
    if (pos + STAMP_LENGTH < name.size() && name[pos + STAMP_LENGTH] >= '0' &&
        name[pos + STAMP_LENGTH] <= '9') {
      continue;
    }
    if (auto stamp = stamp_at(name, pos)) return stamp;
  }
  return std::nullopt;
}

std::vector<std::uint32_t> day_numbers(std::uint32_t start_ms,
                                       std::span<const std::uint32_t> times) {
  std::vector<std::uint32_t> days;
  days.reserve(times.size());
  std::uint32_t day = 0;
  std::uint32_t previous = start_ms;
  for (const std::uint32_t time : times) {
    if (time + DAY_CHANGE_MS < previous) ++day;
    days.push_back(day);
    previous = time;
  }
  return days;
}

CivilDate first_day_before(const CivilDate& modified_date, std::uint32_t modified_ms,
                           std::span<const std::uint32_t> times) {
  if (times.empty()) return modified_date;
  const std::vector<std::uint32_t> days = day_numbers(times.front(), times);
  // The last record came before the file was written; a last record later in the day than that
  // (by the same hour's margin) was written the day before, just before midnight.
  std::int64_t last_day = days_from_civil(modified_date);
  if (times.back() > modified_ms + DAY_CHANGE_MS) --last_day;
  return civil_from_days(last_day - days.back());
}

// The well-known conversion between civil dates and a day count (era of 400 years, March-based
// years so that the leap day comes last).
std::int64_t days_from_civil(const CivilDate& date) {
  const std::int64_t y = date.year - (date.month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t year_of_era = y - era * 400;
  const std::int64_t m = date.month;
  const std::int64_t day_of_year = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + date.day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

CivilDate civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t day_of_era = days - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t mp = (5 * day_of_year + 2) / 153;
  const std::int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  return CivilDate{static_cast<int>(year), static_cast<int>(month), static_cast<int>(day)};
}

}  // namespace kelp
