#include "modes/decode_times.h"

#include <algorithm>
#include <cmath>

#include "capture/clock.h"
#include "capture/log_time.h"
#include "modes/serial_source.h"

namespace kelp {
namespace {

constexpr std::int64_t HOUR_MS = 60 * 60 * 1000;

}  // namespace

double byte_time_ms(std::string_view source) {
  const auto serial = parse_serial_source(source);
  if (!serial || serial->baud == 0) return 0;
  return CTS_BITS_PER_BYTE * 1000.0 / serial->baud;
}

std::uint32_t byte_arrival_ms(const RecordTiming& record, std::size_t index) {
  const auto time = static_cast<std::int64_t>(record.time_ms);
  if (record.byte_ms <= 0 || index >= record.size) return record.time_ms;
  const double later_bytes = static_cast<double>(record.size - 1 - index);
  auto arrival = time - static_cast<std::int64_t>(std::llround(later_bytes * record.byte_ms));
  if (record.previous_ms) {
    auto previous = static_cast<std::int64_t>(*record.previous_ms);
    if (previous > time + HOUR_MS) previous -= MS_PER_DAY;  // this record is past midnight
    if (previous <= time) arrival = std::max(arrival, previous);
  }
  arrival %= MS_PER_DAY;
  if (arrival < 0) arrival += MS_PER_DAY;
  return static_cast<std::uint32_t>(arrival);
}

std::string time_of_day_text(std::uint32_t ms) {
  LocalTime t;
  t.hour = static_cast<int>(ms / 3600000);
  t.minute = static_cast<int>(ms / 60000 % 60);
  t.second = static_cast<int>(ms / 1000 % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  return format_event_time(t);
}

}  // namespace kelp
