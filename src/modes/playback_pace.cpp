#include "modes/playback_pace.h"

namespace kelp {
namespace {

constexpr std::int64_t DAY_MS = 24LL * 60 * 60 * 1000;

double due(const PlaybackPace& pace) { return pace.stream_ms / pace.speed; }

}  // namespace

void pace_new_file(PlaybackPace& pace) { pace.last_of_day.reset(); }

double pace_log_byte(PlaybackPace& pace, std::uint32_t ms_of_day) {
  if (pace.started && pace.last_of_day) {
    std::int64_t step = std::int64_t{ms_of_day} - std::int64_t{*pace.last_of_day};
    if (step < -DAY_MS / 2) step += DAY_MS;
    if (step > 0) pace.stream_ms += static_cast<double>(step);
  }
  pace.started = true;
  pace.last_of_day = ms_of_day;
  return due(pace);
}

double pace_raw_byte(PlaybackPace& pace, double byte_ms) {
  if (pace.started) pace.stream_ms += byte_ms;
  pace.started = true;
  pace.last_of_day.reset();
  return due(pace);
}

double line_byte_ms(std::uint32_t baud, bool parity_bit) {
  if (baud == 0) return 0;
  return (parity_bit ? 11.0 : 10.0) * 1000.0 / baud;
}

}  // namespace kelp
