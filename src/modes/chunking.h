// Cutting a serial byte stream into chunks (frames in the proxy): the one rule that `serial` and
// both directions of `proxy` share.
//
// A chunk ends
//   - at the end of a read that brought the end byte (ETX, 0x03, unless the user chose another or
//     none), bytes after it in that read included;
//   - when a read times out and the line has been quiet for strictly more than the silence since
//     the last byte (200 ms in `serial`, 100 ms in the proxy);
//   - with --chunk-ms N, after a read or a time-out once the chunk's first byte arrived N ms ago
//     or more, so that a console that streams without pause is recorded as it goes.
// When a time-out finds both the silence and the age, the silence is the reason given.
//
// The caller reads, hands each read's bytes and each time-out to the rule, and when an end is
// reported records the pending `bytes` and clears them (the rest of PendingChunk carries over).
// Nothing here reads, prints or records.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "text/bytes.h"

namespace kelp {

using ChunkClock = std::chrono::steady_clock;

inline constexpr std::uint8_t ETX = 0x03;

// With no end byte, no silence and no age limit, a chunk this large earns the user a warning
// (once per stream; the proxy puts "[direction] " in front): a console that never pauses is being
// held in memory and not recorded.
inline constexpr std::size_t STREAM_WARNING_BYTES = 65536;
inline constexpr std::string_view STREAM_WARNING =
    "Warning: 65536 bytes arrived without an end byte or a pause; add --chunk-ms 1000 to record a "
    "stream that never pauses\n";

struct ChunkRules {
  std::optional<std::uint8_t> end_byte = ETX;  // nothing: only silence and age end a chunk
  std::chrono::milliseconds silence{200};
  std::chrono::milliseconds max_age{0};  // 0: no age limit
};

// What the user chose: --end-byte (ETX unless told otherwise; nothing for `none`) and --chunk-ms
// (0: chunks have no age limit).
struct ChunkOptions {
  std::optional<std::uint8_t> end_byte = ETX;
  std::uint64_t chunk_ms = 0;
};

// The rules of a mode: its own silence and the user's options.
ChunkRules chunk_rules(std::chrono::milliseconds silence, const ChunkOptions& options);

enum class ChunkEnd { None, EndByte, Silence, Age };

struct PendingChunk {
  std::vector<std::uint8_t> bytes;
  ChunkClock::time_point first_byte{};  // when the read that began this chunk returned
  ChunkClock::time_point last_data{};   // when the latest read with bytes returned
  bool stream_warned = false;
};

// A pending chunk with room for one read, whose silence counts from `now`.
PendingChunk start_pending(ChunkClock::time_point now);

struct ReadOutcome {
  ChunkEnd end = ChunkEnd::None;
  bool warn_stream = false;  // true once per PendingChunk: see STREAM_WARNING_BYTES
};

// Adds the bytes of one read (at least one byte), returned at `now`.
ReadOutcome add_read(PendingChunk& pending, ByteView bytes, const ChunkRules& rules,
                     ChunkClock::time_point now);

// A read timed out at `now`.
ChunkEnd check_time_out(const PendingChunk& pending, const ChunkRules& rules,
                        ChunkClock::time_point now);

}  // namespace kelp
