#include <windows.h>

#include "platform/local_time.h"

namespace kelp {

LocalTime local_time_now() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                   now.wMinute, now.wSecond, now.wMilliseconds};
}

std::optional<std::int64_t> unix_seconds_from_local(const LocalTime& t) {
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(t.year);
  local.wMonth = static_cast<WORD>(t.month);
  local.wDay = static_cast<WORD>(t.day);
  local.wHour = static_cast<WORD>(t.hour);
  local.wMinute = static_cast<WORD>(t.minute);
  local.wSecond = static_cast<WORD>(t.second);
  SYSTEMTIME utc{};
  FILETIME file_time{};
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) ||
      !SystemTimeToFileTime(&utc, &file_time)) {
    return std::nullopt;
  }
  // FILETIME counts 100 ns steps since 1601-01-01.
  constexpr std::int64_t STEPS_PER_SECOND = 10000000;
  constexpr std::int64_t SECONDS_1601_TO_1970 = 11644473600;
  const std::int64_t steps = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime);
  return steps / STEPS_PER_SECOND - SECONDS_1601_TO_1970;
}

}  // namespace kelp
