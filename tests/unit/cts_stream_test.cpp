// The byte rules of the CTS scoreboard stream: control bytes, cells, blanks, when an update is
// complete, the cut frame, a lost control byte and a gap; how a change is shown; and where
// `decode` finds the gaps and the byte times in the files it reads.
#include "decode/cts_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "capture/log_time.h"
#include "decode/cts_board.h"
#include "modes/decode_gaps.h"
#include "modes/decode_times.h"
#include "modes/decode_view.h"
#include "modes/playback_pace.h"
#include "text/hex.h"

namespace kelp {
namespace {

// The table that the dissector's test reads too.
constexpr std::string_view BYTE_CASES =
#include "cts_byte_cases.inc"
    ;

const char* damage_name(CtsDamage damage) {
  switch (damage) {
    case CtsDamage::TooManyBytes:
      return "bytes";
    case CtsDamage::RepeatedCell:
      return "cell";
    case CtsDamage::Gap:
      return "gap";
    case CtsDamage::None:
      break;
  }
  return "none";
}

// "1D@9 [12  5636]" (R when running), "!4F@9 bytes" for a damaged frame.
std::string summary(const CtsEvent& e) {
  std::string s = (e.damaged ? "!" : "") + std::to_string(e.channel) +
                  (e.kind == CtsFrameKind::Digits ? "D@" : "F@") + std::to_string(e.offset);
  if (e.damaged) return s + " " + damage_name(e.damage);
  s += " [" + cts_text(e.kind == CtsFrameKind::Digits ? e.state.digits : e.state.format) + "]";
  const bool running = e.kind == CtsFrameKind::Digits ? e.state.running : e.state.format_running;
  return running ? s + " R" : s;
}

struct ByteCase {
  std::string name;
  std::vector<std::string> steps;  // hex pieces, "gap" and "end"
  std::vector<std::string> events;
};

std::vector<ByteCase> byte_cases() {
  std::vector<ByteCase> cases;
  std::size_t at = 0;
  while (at < BYTE_CASES.size()) {
    std::size_t end = BYTE_CASES.find('\n', at);
    if (end == std::string_view::npos) end = BYTE_CASES.size();
    const std::string line(BYTE_CASES.substr(at, end - at));
    at = end + 1;
    if (line.starts_with("= ")) {
      cases.push_back({line.substr(2), {}, {}});
    } else if (line.starts_with("> ")) {
      cases.back().events.push_back(line.substr(2));
    } else if (!line.empty()) {
      cases.back().steps.push_back(line);
    }
  }
  return cases;
}

std::vector<std::string> decode(const std::vector<std::string>& steps) {
  std::vector<std::string> seen;
  CtsDecoder decoder;
  const CtsSink sink = [&seen](const CtsEvent& e) { seen.push_back(summary(e)); };
  for (const std::string& step : steps) {
    if (step == "gap") {
      cts_gap(decoder, sink);
    } else if (step == "end") {
      cts_finish(decoder, sink);
    } else {
      const auto bytes = bytes_from_hex_string(step);
      EXPECT_TRUE(bytes) << step;
      if (bytes) cts_feed(decoder, *bytes, 0, sink);
    }
  }
  return seen;
}

TEST(CtsStream, ByteRules) {
  const std::vector<ByteCase> cases = byte_cases();
  EXPECT_GE(cases.size(), 30u);
  for (const ByteCase& c : cases) {
    EXPECT_EQ(decode(c.steps), c.events) << c.name;
    // However the pieces are cut into reads, the same (a gap or an end stays where it is).
    std::vector<std::string> bytewise;
    for (const std::string& step : c.steps) {
      if (step == "gap" || step == "end") {
        bytewise.push_back(step);
        continue;
      }
      for (std::size_t i = 0; i < step.size(); i += 3) bytewise.push_back(step.substr(i, 2));
    }
    EXPECT_EQ(decode(bytewise), c.events) << c.name << " (a byte a read)";
  }
}

// What the real recording does not show (the e2e case reads it): a running lane, a change of the
// format alone, and a value above 9.
TEST(CtsStream, ChangesAsLinesAndJson) {
  CtsEvent lane;
  lane.channel = 1;
  lane.before.known = lane.state.known = true;
  lane.before.digits = {1, 6, 15, 15, 5, 7, 5, 8};
  // Running: the lane's own time cells are not read; the cells stay in the text as sent.
  lane.state.digits = {1, 15, 15, 15, 5, 7, 5, 8};
  lane.state.running = true;
  EXPECT_EQ(change_line(lane, "12:00:53.000"), "12:00:53.000  lane 1  running  [1   5758]\n");
  EXPECT_NE(change_json(lane, "").find("\"text\":\"1   5758\",\"running\":true,"),
            std::string::npos);
  EXPECT_NE(change_json(lane, "").find("\"place\":null,\"lane_time\":null}"), std::string::npos);
  lane.before = lane.state;
  lane.state.format[0] = 2;
  EXPECT_EQ(change_line(lane, ""), "");
  EXPECT_NE(change_json(lane, "").find("\"format\":[2,null,"), std::string::npos);
  lane.state.digits = {10, 13, 15, 15, 5, 7, 5, 8};
  lane.state.running = false;
  EXPECT_EQ(change_line(lane, ""), "lane 1  place 13  57.58  [AD  5758]\n");
}

TEST(DecodeInputs, RawFilesFollowOnOnlyAsOneCapturesChunks) {
  struct Case {
    const char* before;
    const char* next;
    bool follows;
  };
  const Case cases[] = {
      {"captures/serial_0012_101500.bin", "captures/serial_0013_101500.bin", true},
      {"serial_9999_101500.bin", "serial_10000_111500.bin", true},
      {"c\\serial_0001_235959.bin", "c\\serial_0002_000001.bin", true},  // past midnight
      {"serial_0002_103000.bin", "serial_0003_100001.bin", false},       // back: another run
      {"serial_0001_120000.bin", "serial_0002_000001.bin", false},       // 12 h on: another day
      {"serial_0012_101500.bin", "serial_0014_101501.bin", false},       // one missing
      {"a/serial_0012_101500.bin", "b/serial_0013_101501.bin", false},
      {"serial_0012_101500.bin", "probe_0013_101501.bin", false},
      {"serial_0012_101500.bin", "serial_0013_101501_2.bin", false},  // a name two runs wanted
      {"serial_0012_101500.bin", "serial_00013_101501.bin", false},   // not the tool's padding
      {"serial_0012_101500.bin", "serial_0013_246000.bin", false},
      {"meet.bin", "meet2.bin", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(continues_chunk_file(c.before, c.next), c.follows) << c.before << " " << c.next;
  }
}

TEST(DecodeInputs, GapsInALog) {
  LogReading reading;
  for (const auto& [number, line, source] : std::vector<std::tuple<int, int, std::string>>{
           {1, 1, "serial/COM3@9600"},
           {2, 5, "serial/COM3@9600"},                 // follows on
           {4, 9, "serial/COM3@9600"},                 // #3 lost
           {5, 17, "serial/COM3@9600"},                // something skipped at line 13
           {6, 21, "serial/COM3@9600 [reconnected]"},  // the port came back
           {7, 25, "serial/COM@9600@9600"}}) {
    LogRecord record;
    record.number = static_cast<std::uint64_t>(number);
    record.line = static_cast<std::size_t>(line);
    record.source = source;
    reading.records.push_back(record);
  }
  reading.warnings = {{29, "stray text"}, {13, "damaged record"}, {1, "at a record"}};
  const RecordGaps gaps = record_gaps("x.log", reading);
  EXPECT_EQ(gaps.before,
            (std::vector<std::string>{"", "", "x.log: record #4 follows #2",
                                      "x.log: something was skipped before record #5",
                                      "x.log: the port was away before record #6", ""}));
  EXPECT_EQ(gaps.after_last, "x.log: something was skipped after record #7");
}

TEST(DecodeInputs, WhenEachByteOfARecordArrived) {
  EXPECT_DOUBLE_EQ(byte_time_ms("serial/tty@x@2400 [reconnected]"), 11000.0 / 2400);
  EXPECT_EQ(byte_time_ms("probe/COM3@9600-N-8-1 [preset=enq]"), 0);
  EXPECT_EQ(byte_time_ms("serial/COM3@0"), 0);
  const std::uint32_t noon = 12 * 3600000;
  RecordTiming record{noon, std::nullopt, 12, byte_time_ms("serial/COM3@9600")};
  EXPECT_EQ(byte_arrival_ms(record, 11), noon);      // the last byte: the record's time
  EXPECT_EQ(byte_arrival_ms(record, 0), noon - 13);  // 11 byte times before
  record.previous_ms = noon - 5;                     // never before the record before it
  EXPECT_EQ(byte_arrival_ms(record, 0), noon - 5);
  record.previous_ms = noon + 10 * 60000;  // the clock stepped back: the bytes' own estimate
  EXPECT_EQ(byte_arrival_ms(record, 0), noon - 13);
  // Past midnight, the record before was the day before.
  const RecordTiming after_midnight{100, MS_PER_DAY - 100, 873, 11000.0 / 9600};
  EXPECT_EQ(byte_arrival_ms(after_midnight, 0), MS_PER_DAY - 100);
  EXPECT_EQ(time_of_day_text(noon - 13), "11:59:59.987");
}

// Played back with --serve: a byte is due at its stream time over the speed; the stream time only
// moves forward, over midnight too, and a new file follows the one before at once.
TEST(DecodeInputs, WhenEachByteIsPlayedBack) {
  EXPECT_NEAR(line_byte_ms(9600, true), 1000.0 / 872.7, 1e-4);  // 872.7 bytes a second at 8-E-1
  EXPECT_DOUBLE_EQ(line_byte_ms(9600, false), 10000.0 / 9600);
  PlaybackPace pace;
  pace.speed = 2.0;
  EXPECT_EQ(pace_raw_byte(pace, 10), 0);  // the first byte: at once
  EXPECT_EQ(pace_raw_byte(pace, 10), 5);  // twice as fast
  pace_new_file(pace);
  EXPECT_EQ(pace_log_byte(pace, 1000), 5);  // a new file: no time between the two
  EXPECT_EQ(pace_log_byte(pace, 1400), 205);
  EXPECT_EQ(pace_log_byte(pace, 1300), 205);  // a clock set back costs nothing
  EXPECT_EQ(pace_log_byte(pace, 1500), 305);
  PlaybackPace midnight;
  pace_log_byte(midnight, MS_PER_DAY - 100);
  EXPECT_EQ(pace_log_byte(midnight, 150), 250);
}

}  // namespace
}  // namespace kelp
