// The byte rules of the CTS scoreboard stream: control bytes, cells, blanks, when an update is
// complete, the cut frame and a lost control byte; and how a change is shown.
#include "decode/cts_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/cts_board.h"
#include "modes/decode_view.h"
#include "text/hex.h"

namespace kelp {
namespace {

// "1D@9 [12  5636]" (R when running), "!4F@9" for a damaged frame.
std::string summary(const CtsEvent& e) {
  std::string s = (e.damaged ? "!" : "") + std::to_string(e.channel) +
                  (e.kind == CtsFrameKind::Digits ? "D@" : "F@") + std::to_string(e.offset);
  if (e.damaged) return s;
  s += " [" + cts_text(e.kind == CtsFrameKind::Digits ? e.state.digits : e.state.format) + "]";
  const bool running = e.kind == CtsFrameKind::Digits ? e.state.running : e.state.format_running;
  return running ? s + " R" : s;
}

std::vector<std::string> decode(const std::vector<std::string>& pieces, bool finish) {
  std::vector<std::string> seen;
  CtsDecoder decoder;
  const CtsSink sink = [&seen](const CtsEvent& e) { seen.push_back(summary(e)); };
  for (const std::string& piece : pieces) {
    const auto bytes = bytes_from_hex_string(piece);
    EXPECT_TRUE(bytes) << piece;
    cts_feed(decoder, *bytes, 0, sink);
  }
  if (finish) cts_finish(decoder, sink);
  return seen;
}

// Lane 1, place 2, 56.36: "12  5636".
constexpr const char* LANE1 = "bc 0e 1d 20 30 4a 59 6c 79";

TEST(CtsStream, ByteRules) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    bool finish;
    std::vector<std::string> events;
  };
  const std::string lane1 = LANE1;
  const Case cases[] = {
      {"a frame counts once the next control byte ends it", {lane1}, false, {}},
      {"control byte: channel in bits 1-5 inverted, digits, then cells by their high nibble",
       {lane1 + " be"},
       false,
       {"1D@0 [12  5636]"}},
      {"the 8th data byte completes the last frame of a stream",
       {lane1},
       true,
       {"1D@0 [12  5636]"}},
      {"a shorter last frame may have been cut by the end", {"bc 0e 1d"}, true, {}},
      {"bit 6 is the running flag; bit 0 a format frame; 0x80 is channel 31",
       {"fc 0e 1d fd 0d 4d 80 0e 81 3f 7c"},
       true,
       {"1D@0 [12      ] R", "1F@3 [2   2   ] R", "31D@6 [1       ]"}},
      {"data bytes before the first control byte are skipped",
       {"0e 1d 20 " + lane1 + " be"},
       false,
       {"1D@3 [12  5636]"}},
      {"a format frame before the first digit frame shows with it",
       {"bd 0d 4d " + lane1 + " be"},
       false,
       {"1D@3 [12  5636]"}},
      {"a cell not sent keeps its value; unsent cells are blank in the text",
       {lane1 + " bc 6f 7e be 70 6e be"},
       false,
       {"1D@0 [12  5636]", "1D@9 [12  5601]", "0D@12 [      1 ]"}},
      {"the same content again is no change",
       {lane1 + " " + lane1 + " be"},
       false,
       {"1D@0 [12  5636]"}},
      {"running with the same cells is a change",
       {lane1 + " fc 0e 1d ba"},
       false,
       {"1D@0 [12  5636]", "1D@9 [12  5636] R"}},
      {"a frame cut by a channel-0 frame and resumed is one update (A 0 A)",
       {"bc 0e 1d 20 be 70 6e bc 30 4a 59 6c 79 ba"},
       false,
       {"0D@4 [      1 ]", "1D@7 [12  5636]"}},
      {"the second part may send again what the first sent",
       {"bc 0e 1d 20 be 70 6e " + lane1 + " ba"},
       false,
       {"0D@4 [      1 ]", "1D@7 [12  5636]"}},
      {"the cut frame's control byte may arrive in another read",
       {"bc 0e 1d be 6e", "bc 20 b8"},
       false,
       {"0D@3 [      1 ]", "1D@5 [12      ]"}},
      {"a short frame, a channel-0 frame, another channel: all three whole (A 0 B)",
       {"fc 0e 1d be 6e fd 0d 4d bc"},
       false,
       {"1D@0 [12      ] R", "0D@3 [      1 ]", "1F@5 [2   2   ] R"}},
      {"a held frame whose channel-0 frame has not ended yet is not reported at the end",
       {"bc 0e 1d be 6e"},
       true,
       {}},
      {"a lost control byte: more than 8 data bytes damage the frame; the next ones read",
       {lane1 + " 0e 1d " + lane1 + " be"},
       false,
       {"!1D@0", "1D@11 [12  5636]"}},
      {"a lost control byte: a cell sent twice damages the frame",
       {"bc 0e 1d 0e 1d " + lane1 + " be"},
       false,
       {"!1D@0", "1D@5 [12  5636]"}},
      {"a frame without data bytes changes nothing",
       {"fc " + lane1 + " be"},
       false,
       {"1D@1 [12  5636]"}},
      {"values 10-14 show as A-E, 15 as blank",
       {"bc 05 14 23 32 41 50 6f 7f be"},
       false,
       {"1D@0 [ABCDE 00]"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode(c.pieces, c.finish), c.events) << c.name;
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

}  // namespace
}  // namespace kelp
