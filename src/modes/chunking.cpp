#include "modes/chunking.h"

#include <algorithm>

namespace kelp {
namespace {

constexpr std::size_t READ_ROOM = 4096;

bool too_old(const PendingChunk& pending, const ChunkRules& rules, ChunkClock::time_point now) {
  return rules.max_age.count() > 0 && !pending.bytes.empty() &&
         now - pending.first_byte >= rules.max_age;
}

}  // namespace

ChunkRules chunk_rules(std::chrono::milliseconds silence, const ChunkOptions& options) {
  // The age is compared with clock durations, so it is capped well inside what the clock can
  // count (centuries); that long is no limit in practice.
  constexpr auto LONGEST = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(ChunkClock::duration::max()).count() /
      2);
  const auto age = static_cast<std::chrono::milliseconds::rep>(std::min(options.chunk_ms, LONGEST));
  return ChunkRules{options.end_byte, silence, std::chrono::milliseconds(age)};
}

PendingChunk start_pending(ChunkClock::time_point now) {
  PendingChunk pending;
  pending.bytes.reserve(READ_ROOM);
  pending.last_data = now;
  return pending;
}

ReadOutcome add_read(PendingChunk& pending, ByteView bytes, const ChunkRules& rules,
                     ChunkClock::time_point now) {
  if (pending.bytes.empty()) pending.first_byte = now;
  pending.bytes.insert(pending.bytes.end(), bytes.begin(), bytes.end());
  pending.last_data = now;

  ReadOutcome outcome;
  if (rules.end_byte && std::ranges::find(bytes, *rules.end_byte) != bytes.end()) {
    outcome.end = ChunkEnd::EndByte;
  } else if (too_old(pending, rules, now)) {
    outcome.end = ChunkEnd::Age;
  } else if (rules.max_age.count() == 0 && !pending.stream_warned &&
             pending.bytes.size() >= STREAM_WARNING_BYTES) {
    pending.stream_warned = true;
    outcome.warn_stream = true;
  }
  return outcome;
}

ChunkEnd check_time_out(const PendingChunk& pending, const ChunkRules& rules,
                        ChunkClock::time_point now) {
  if (pending.bytes.empty()) return ChunkEnd::None;
  if (now - pending.last_data > rules.silence) return ChunkEnd::Silence;
  if (too_old(pending, rules, now)) return ChunkEnd::Age;
  return ChunkEnd::None;
}

}  // namespace kelp
