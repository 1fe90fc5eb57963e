#include <windows.h>

#include "platform/local_time.h"

namespace kelp {

LocalTime local_time_now() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                   now.wMinute, now.wSecond, now.wMilliseconds};
}

std::optional<std::int32_t> utc_offset_at(std::int64_t unix_seconds) {
  // FILETIME counts 100 ns steps since 1601-01-01.
  constexpr std::int64_t STEPS_PER_SECOND = 10000000;
  constexpr std::int64_t SECONDS_1601_TO_1970 = 11644473600;
  const auto to_file_time = [](std::int64_t seconds) {
    const auto steps =
        static_cast<std::uint64_t>((seconds + SECONDS_1601_TO_1970) * STEPS_PER_SECOND);
    return FILETIME{static_cast<DWORD>(steps & 0xFFFFFFFF), static_cast<DWORD>(steps >> 32)};
  };
  const FILETIME utc_file = to_file_time(unix_seconds);
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  FILETIME local_file{};
  // The local date and time are read back as if they were UTC: the difference is the offset.
  if (!FileTimeToSystemTime(&utc_file, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
      !SystemTimeToFileTime(&local, &local_file)) {
    return std::nullopt;
  }
  const auto steps_of = [](const FILETIME& time) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                     time.dwLowDateTime);
  };
  return static_cast<std::int32_t>((steps_of(local_file) - steps_of(utc_file)) / STEPS_PER_SECOND);
}

}  // namespace kelp
