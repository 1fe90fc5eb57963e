// The times of a log's records: the date comes from the log's file name, the time of day from
// each record.
//
// A log is named after the local time its run started ("udp_20261206_231705.log", "_2" and so on
// after it when the name was taken). Records carry only the time of day ("23:17:05.042"), so the
// day of each record is counted from that start: a time more than an hour earlier than the one
// before it means the next day. A smaller step back stays on the same day: the two directions of
// the proxy can finish frames within the same moment and write them in either order, and a clock
// that is set back (summer time ending, a time server's correction) steps back an hour at most.
//
// The local dates and times become instants by the time zone's rules. Where the clocks go back (the
// autumn change), an hour of local times comes twice: the records of a log that runs through it
// step back by about an hour, and that step is the change, not a reordering. The records before it
// are taken in the first meaning of their time, those after it in the second, so the repeated hour
// keeps its order and its spacing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kelp {

inline constexpr std::uint32_t MS_PER_DAY = 24 * 60 * 60 * 1000;

struct CivilDate {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31

  bool operator==(const CivilDate&) const = default;
};

// "HH:MM:SS.mmm" (the seconds may read 60, as a leap second does) as milliseconds since midnight;
// nothing for any other text.
std::optional<std::uint32_t> parse_event_time(std::string_view text);

struct RunStamp {
  CivilDate date;
  std::uint32_t time_of_day_ms = 0;
};

// The last "YYYYMMDD_HHMMSS" in a file name (the directories before it are not looked at) that is
// a real date and time; nothing when there is none.
std::optional<RunStamp> run_stamp_from_file_name(std::string_view path);

// For each time of day, in order, the number of days after the day of `start_ms` it falls on.
std::vector<std::uint32_t> day_numbers(std::uint32_t start_ms,
                                       std::span<const std::uint32_t> times);

// The day of the first record of a log whose name holds no date, counted back from when the file
// was last written: just after its last record was.
CivilDate first_day_before(const CivilDate& modified_date, std::uint32_t modified_ms,
                           std::span<const std::uint32_t> times);

// The time zone's offset from UTC at an instant (seconds, both): the machine's `utc_offset_at`, or
// a zone of a test's own.
using UtcOffsetAt = std::optional<std::int32_t> (*)(std::int64_t unix_seconds);

// When each record was taken, in milliseconds since 1970-01-01 00:00 UTC: record i fell on
// `first_day` + days[i] at the local time of day times[i]. A time the zone cannot convert is taken
// as UTC; one the clocks skipped (the spring change) as if they had not moved yet.
std::vector<std::int64_t> record_instants_ms(const CivilDate& first_day,
                                             std::span<const std::uint32_t> days,
                                             std::span<const std::uint32_t> times,
                                             UtcOffsetAt offset_at);

// Days since 1970-01-01 and back (proleptic Gregorian calendar).
std::int64_t days_from_civil(const CivilDate& date);
CivilDate civil_from_days(std::int64_t days);

}  // namespace kelp
