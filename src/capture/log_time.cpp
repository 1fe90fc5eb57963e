#include "capture/log_time.h"

#include <algorithm>
#include <cstddef>
#include <unordered_map>

namespace kelp {
namespace {

constexpr std::uint32_t DAY_CHANGE_MS = 60 * 60 * 1000;
constexpr std::int64_t SECONDS_PER_DAY = 24 * 60 * 60;
// A step back this large within the repeated hour is the clocks going back; the two directions of
// a proxy writing their frames in either order step back by far less.
constexpr std::int64_t FOLD_STEP_MS = 60 * 1000;

// The instants (seconds since 1970 UTC) that a local time stands for: two where the clocks went
// back, the same one twice elsewhere. `wall` is the local date and time counted as if it were UTC.
struct Meanings {
  std::int64_t earlier = 0;
  std::int64_t later = 0;
};

Meanings meanings_of(std::int64_t wall, UtcOffsetAt offset_at) {
  // The offsets on either side of any change near this time; each gives a meaning when the zone
  // has that offset at the instant it gives.
  const auto before = offset_at(wall - SECONDS_PER_DAY);
  const auto after = offset_at(wall + SECONDS_PER_DAY);
  if (!before || !after) return {wall, wall};
  std::int64_t found[2];
  int count = 0;
  for (const std::int32_t offset : {*before, *after}) {
    const std::int64_t instant = wall - offset;
    if (offset_at(instant) == offset) found[count++] = instant;
  }
  if (count == 0) return {wall - *before, wall - *before};  // skipped by the clocks
  if (count == 1) return {found[0], found[0]};
  return {std::min(found[0], found[1]), std::max(found[0], found[1])};
}

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

std::vector<std::int64_t> record_instants_ms(const CivilDate& first_day,
                                             std::span<const std::uint32_t> days,
                                             std::span<const std::uint32_t> times,
                                             UtcOffsetAt offset_at) {
  const std::size_t n = times.size();
  const std::int64_t first = days_from_civil(first_day);
  std::vector<std::int64_t> wall_ms(n);
  std::vector<Meanings> meanings(n);
  // A day far from any change has one offset all through: asked once per day, not per record.
  std::unordered_map<std::int64_t, std::optional<std::int32_t>> steady;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t day = first + days[i];
    wall_ms[i] = day * MS_PER_DAY + times[i];
    const std::int64_t wall = day * SECONDS_PER_DAY + times[i] / 1000;
    auto known = steady.find(day);
    if (known == steady.end()) {
      const std::int64_t start = day * SECONDS_PER_DAY;
      const auto a = offset_at(start - SECONDS_PER_DAY);
      const auto b = offset_at(start + 2 * SECONDS_PER_DAY);
      known = steady.emplace(day, a && a == b ? a : std::nullopt).first;
    }
    meanings[i] = known->second ? Meanings{wall - *known->second, wall - *known->second}
                                : meanings_of(wall, offset_at);
  }

  std::vector<std::int64_t> instants(n);
  for (std::size_t i = 0; i < n;) {
    // A stretch of records whose times the clocks going back repeat: the largest step back
    // within it, if large enough, is where the clocks went back.
    std::size_t end = i + 1;
    std::size_t fold = n;
    if (meanings[i].earlier != meanings[i].later) {
      std::int64_t largest = FOLD_STEP_MS;
      for (; end < n && meanings[end].earlier != meanings[end].later; ++end) {
        if (wall_ms[end - 1] - wall_ms[end] > largest) {
          largest = wall_ms[end - 1] - wall_ms[end];
          fold = end;
        }
      }
    }
    for (std::size_t j = i; j < end; ++j) {
      const std::int64_t seconds = j >= fold ? meanings[j].later : meanings[j].earlier;
      instants[j] = seconds * 1000 + times[j] % 1000;
    }
    i = end;
  }
  return instants;
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
