// Where a stream is cut into chunks: the end byte, the silence, the age, and the warning about a
// stream that nothing cuts.
#include "modes/chunking.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace kelp {
namespace {

using namespace std::chrono_literals;

ByteView text(std::string_view s) { return bytes_of(s); }

TEST(Chunking, EndsAtTheEndByteAfterSilenceAndAtTheAge) {
  const ChunkClock::time_point t0{};
  struct Step {
    std::chrono::milliseconds at;
    std::string_view read;  // empty: the read timed out
    ChunkEnd end;
  };
  struct Case {
    const char* name;
    ChunkOptions options;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"ETX ends the chunk with the read that brought it",
       {},
       {{0ms,
         "A\x03"
         "B",
         ChunkEnd::EndByte}}},
      {"another end byte; ETX is then a byte like any other",
       {0x17, 0},
       {{0ms, "A\x03", ChunkEnd::None}, {10ms, "B\x17", ChunkEnd::EndByte}}},
      {"no end byte at all", {std::nullopt, 0}, {{0ms, "A\x03\x17", ChunkEnd::None}}},
      {"silence: strictly more than 200 ms after the last byte",
       {},
       {{0ms, "A", ChunkEnd::None},
        {150ms, "B", ChunkEnd::None},
        {350ms, "", ChunkEnd::None},
        {351ms, "", ChunkEnd::Silence}}},
      {"a time-out with nothing pending ends nothing", {}, {{5000ms, "", ChunkEnd::None}}},
      {"the age counts from the first byte, after reads and time-outs",
       {ETX, 1000},
       {{100ms, "A", ChunkEnd::None},
        {1000ms, "B", ChunkEnd::None},
        {1099ms, "", ChunkEnd::None},
        {1100ms, "C", ChunkEnd::Age}}},
      {"a time-out finds the age",
       {ETX, 300},
       {{0ms, "A", ChunkEnd::None}, {150ms, "B", ChunkEnd::None}, {300ms, "", ChunkEnd::Age}}},
      {"a time-out that finds both the silence and the age gives the silence",
       {ETX, 200},
       {{0ms, "A", ChunkEnd::None}, {201ms, "", ChunkEnd::Silence}}},
      {"the end byte beats the age",
       {ETX, 100},
       {{0ms, "A", ChunkEnd::None}, {500ms, "\x03", ChunkEnd::EndByte}}},
  };
  for (const Case& c : cases) {
    const ChunkRules rules = chunk_rules(200ms, c.options);
    PendingChunk pending = start_pending(t0);
    for (const Step& step : c.steps) {
      const ChunkEnd end = step.read.empty()
                               ? check_time_out(pending, rules, t0 + step.at)
                               : add_read(pending, text(step.read), rules, t0 + step.at).end;
      EXPECT_EQ(end, step.end) << c.name << ", at " << step.at.count() << " ms";
    }
  }
}

TEST(Chunking, WarnsOnceWhenNothingCutsAStream) {
  const ChunkClock::time_point t0{};
  const std::vector<std::uint8_t> block(16384, 'x');
  const auto feed = [&](PendingChunk& pending, const ChunkRules& rules, int blocks) {
    int warnings = 0;
    for (int i = 0; i < blocks; ++i) {
      const ReadOutcome got = add_read(pending, block, rules, t0 + std::chrono::milliseconds(i));
      if (got.warn_stream) {
        ++warnings;
        EXPECT_EQ(pending.bytes.size(), STREAM_WARNING_BYTES);
      }
    }
    return warnings;
  };
  PendingChunk pending = start_pending(t0);
  EXPECT_EQ(feed(pending, chunk_rules(200ms, {}), 10), 1);
  // Once per stream, even after the chunk was recorded and a new one grew as large.
  pending.bytes.clear();
  EXPECT_EQ(feed(pending, chunk_rules(200ms, {}), 10), 0);
  // With an age limit the stream is recorded as it goes: no warning.
  PendingChunk aged = start_pending(t0);
  EXPECT_EQ(feed(aged, chunk_rules(200ms, {ETX, 3600000}), 10), 0);
}

}  // namespace
}  // namespace kelp
