// The board fed from the real recording of a race (event 27 heat 1) through the decoder: what it
// shows, each race's results and whose names go with them; then the rules on made-up streams.
// What the recording's results should be is read here from the bytes by the stream's own rules
// (frames begin at bytes of 0x80 and up, each digit frame sets the cells it sends).
#include "board/board.h"

#include <gtest/gtest.h>

#include <map>

#include "board/board_console.h"
#include "board/board_json.h"
#include "board/results_text.h"
#include "read_file.h"

namespace kelp {
namespace {

const std::string FIXTURES = KELP_TEST_FIXTURES;

struct Line {
  std::string cells;  // 8 characters, a space for blank
  bool running;
  std::size_t offset;  // of the digit frame that showed it first
};

// Every change of each channel's digit cells or running flag; the clock's first ".0"; when
// channel 12 changed after it.
struct Reading {
  std::map<int, std::vector<Line>> lines;
  std::size_t start = 0, moved_on = 0;

  std::string at(int channel, std::size_t before) const {
    std::string cells(8, ' ');
    for (const Line& line : lines.at(channel)) cells = line.offset < before ? line.cells : cells;
    return cells;
  }
};

Reading read_stream(const std::string& data) {
  Reading r;
  std::map<int, std::string> cells;
  std::size_t at = 0;
  for (; at < data.size() && static_cast<unsigned char>(data[at]) < 0x80;) ++at;
  while (at < data.size()) {
    const auto control = static_cast<unsigned char>(data[at]);
    std::size_t end = at + 1;
    while (end < data.size() && static_cast<unsigned char>(data[end]) < 0x80) ++end;
    if (end == data.size() && end - at < 9) break;  // may have been cut by the end
    const int channel = ((control >> 1) & 0x1F) ^ 0x1F;
    if (!(control & 1)) {
      std::string& line = cells.try_emplace(channel, 8, ' ').first->second;
      for (std::size_t i = at + 1; i < end; ++i) {
        const int value = (data[i] & 15) ^ 15;
        line[static_cast<std::size_t>(data[i] >> 4)] = value <= 9 ? char('0' + value) : ' ';
      }
      auto& seen = r.lines[channel];
      const bool running = control & 0x40;
      if (seen.empty() || seen.back().cells != line || seen.back().running != running) {
        seen.push_back({line, running, at});
      }
      if (channel == 0 && line.substr(2) == "    0 " && !r.start) r.start = at;
      if (channel == 12 && r.start && !r.moved_on && seen.size() > 1) r.moved_on = at;
    }
    at = end;
  }
  return r;
}

unsigned number(std::string text) {
  std::erase(text, ' ');
  return static_cast<unsigned>(std::stoul(text));
}

// What a lane showed last before `before`, as a row: lane, place, time, where it first showed.
std::optional<std::tuple<unsigned, unsigned, std::string, std::size_t>> row_read(
    const Reading& r, int lane, std::size_t before) {
  const std::string cells = r.at(lane, before);
  if (cells.find_first_not_of(' ', 2) == std::string::npos) return std::nullopt;
  std::size_t first = 0;
  for (const Line& line : r.lines.at(lane)) {
    if (line.offset >= before) break;
    first = !line.running && line.cells == cells ? (first ? first : line.offset) : 0;
  }
  auto two = [&](std::size_t i) { return cells.substr(i, 2).erase(0, cells[i] == ' '); };
  const std::string time = (cells[3] == ' ' ? "" : two(2) + ":") + two(4) + "." + two(6);
  return std::tuple{static_cast<unsigned>(lane), number(cells.substr(1, 1)), time, first};
}

struct Fed {
  Board board;
  std::vector<RaceResult> ended;  // as the steps handed them out
};

Fed feed(const std::string& data, std::size_t piece, bool timed) {
  Fed fed;
  for (const char* name : {"E027.scb", "E028.scb"}) {
    auto list = parse_start_list(bytes_of(slurp(FIXTURES + "/start-lists/" + name)));
    fed.board.start_lists[name] = *list;
  }
  const auto time_of = [timed](std::uint64_t offset) {
    return timed ? "12:00:" + std::to_string(10 + offset / 1000) + ".000" : std::string();
  };
  CtsDecoder decoder;
  const CtsSink sink = [&](const CtsEvent& event) {
    if (auto ended = board_apply(fed.board, event, time_of(event.offset)).ended) {
      fed.ended.push_back(*ended);
    }
  };
  for (std::size_t at = 0; at < data.size(); at += piece) {
    cts_feed(decoder, bytes_of(data).subspan(at, std::min(piece, data.size() - at)), 0, sink);
  }
  cts_finish(decoder, sink);
  if (auto ended = board_finish(fed.board, "", decoder.offset).ended) fed.ended.push_back(*ended);
  return fed;
}

const std::string RECORDING = slurp(FIXTURES + "/console-streams/cts-scoreboard-meet.bin");

TEST(Board, TheRecordedRaceItsResultsAndTheRaceBeforeIt) {
  const Reading r = read_stream(RECORDING);
  ASSERT_TRUE(r.start && r.moved_on > r.start);
  const Fed fed = feed(RECORDING, 4096, false);
  ASSERT_EQ(fed.ended, fed.board.races);
  ASSERT_EQ(fed.ended.size(), 2u);

  // Each race's rows as read from the bytes: the last line of each lane that shows a time, in
  // place order. The race before (its lines up when reading began) is named by channel 20 and
  // seen only after the fact; the recorded race is channel 12's at the start.
  const std::string water = r.at(12, r.start), results = r.at(20, r.start);
  const RaceId ids[] = {{number(results.substr(0, 3)), number(results.substr(5))},
                        {number(water.substr(0, 3)), number(water.substr(5))}};
  const std::size_t ends[] = {r.start, r.moved_on};
  const StartHeat& heat = fed.board.start_lists.at("E027.scb").heats[*ids[1].heat - 1];
  for (int race = 0; race < 2; ++race) {
    const RaceResult& got = fed.ended[race];
    EXPECT_EQ((std::tuple{got.id, got.after_the_fact, got.ended_offset}),
              (std::tuple{ids[race], race == 0, ends[race]}));
    std::vector<std::tuple<unsigned, unsigned, std::string, std::size_t>> want;
    for (int lane = 1; lane <= 10; ++lane) {
      if (auto row = row_read(r, lane, ends[race])) want.push_back(*row);
    }
    std::sort(want.begin(), want.end(),
              [](const auto& a, const auto& b) { return std::get<1>(a) < std::get<1>(b); });
    ASSERT_EQ(got.rows.size(), 6u);
    ASSERT_EQ(want.size(), 6u);
    for (std::size_t i = 0; i < want.size(); ++i) {
      const RaceRow& row = got.rows[i];
      EXPECT_EQ((std::tuple{row.lane, *row.place, row.time, row.offset}), want[i]);
      EXPECT_EQ(row.name, race ? std::optional(heat[row.lane - 1].name) : std::nullopt);
      EXPECT_EQ(row.team, race ? std::optional(heat[row.lane - 1].team) : std::nullopt);
      // No row of the recorded race carries what its lane showed before the start.
      if (race) {
        EXPECT_NE(row.time, std::get<2>(*row_read(r, row.lane, r.start)));
      }
    }
  }
  EXPECT_EQ(fed.ended[1].started_offset, r.start);
  ASSERT_NE(ids[0], ids[1]);

  // The same however the stream is cut into reads; times of day where the input has them.
  const Fed bytewise = feed(RECORDING, 1, false);
  EXPECT_EQ((std::tuple{bytewise.board.races, bytewise.board.changes}),
            (std::tuple{fed.board.races, fed.board.changes}));
  const Fed timed = feed(RECORDING, 777, true);
  for (const RaceRow& row : timed.board.races.at(1).rows) {
    EXPECT_EQ(row.seen, "12:00:" + std::to_string(10 + row.offset / 1000) + ".000");
  }
  EXPECT_EQ(timed.board.races[1].started, "12:00:" + std::to_string(10 + r.start / 1000) + ".000");

  // The board at the end: channel 12 moved on, the lanes keep the results and their names.
  const std::string json = board_json(fed.board);
  const std::string lane1 = r.at(1, RECORDING.size());
  EXPECT_EQ(json.substr(0, json.find(",\"changes\":")),
            "{\"event\":" + std::to_string(number(r.at(12, RECORDING.size()).substr(0, 3))) +
                ",\"heat\":1,\"results_event\":" + std::to_string(*ids[1].event) +
                ",\"results_heat\":1,\"clock\":\"0.0\",\"time_of_day\":\"" +
                std::to_string(number(r.at(22, RECORDING.size()).substr(3, 1))) + ":" +
                r.at(22, RECORDING.size()).substr(4, 2) +
                "\",\"lengths\":null,\"signal\":\"live\",\"racing\":false");
  EXPECT_NE(json.find(",\"lanes_shown\":10,\"lanes\":[{\"lane\":1,\"place\":" + lane1.substr(1, 1) +
                      ",\"time\":\"" + std::get<2>(*row_read(r, 1, r.moved_on)) +
                      "\",\"running\":false,\"text\":\"" + lane1 + "\",\"lit\":true,\"name\":\"" +
                      heat[0].name + "\",\"team\":\"" + heat[0].team + "\"},"),
            std::string::npos);
  EXPECT_NE(json.find("{\"lane\":10,\"place\":null,\"time\":null,\"running\":false,\"text\":\""
                      "        \",\"lit\":false,\"name\":null,\"team\":null}],\"last_race\":" +
                      race_json(fed.board.races[1]) +
                      ",\"names_event\":27,\"names_heat\":1,"
                      "\"description\":\"GIRLS 8&U 25 FREE\"}"),
            std::string::npos);
}

// A made-up stream, event by event: a channel's cells as text ("31  2725"), offsets 10, 20, ...
struct Script {
  Board board;
  std::vector<std::string> rows;  // "27/1 lane 2 30.70 @100" ("!" after the fact)
  std::uint64_t offset = 0;

  Script& at(std::uint8_t channel, const std::string& cells, bool running = false) {
    CtsEvent e;
    e.channel = channel;
    e.offset = offset += 10;
    e.state.known = true;
    e.state.running = running;
    for (std::size_t i = 0; i < CTS_CELLS; ++i) {
      e.state.digits[i] = cells[i] == ' ' ? CTS_BLANK : std::uint8_t(cells[i] - '0');
    }
    return took(board_apply(board, e, "t" + std::to_string(offset)));
  }
  Script& start() { return at(0, "     00 ").at(0, "      0 "); }  // reset, then ".0"
  Script& finish() { return took(board_finish(board, "", offset += 10)); }
  Script& took(const BoardStep& step) {
    for (const RaceRow& row : step.ended ? step.ended->rows : std::vector<RaceRow>{}) {
      rows.push_back(std::to_string(*step.ended->id.event) + "/" +
                     std::to_string(*step.ended->id.heat) +
                     (step.ended->after_the_fact ? "!" : "") + " lane " + std::to_string(row.lane) +
                     " " + row.time + " @" + std::to_string(row.offset));
    }
    return *this;
  }
  std::string names() const {
    const auto id = board_shown(board).names_of;
    return id ? std::to_string(*id->event) : "none";
  }
};

TEST(Board, WhatARaceIsAndWhoseNamesTheLanesShow) {
  using Rows = std::vector<std::string>;
  // Lines up before the first start without channel 20: not reported; the race is, each lane's
  // last time; a line after the board moved on is nobody's.
  Script s;
  s.at(12, " 27    1").at(1, "12  5636").at(2, "26 12878").start();
  s.at(1, "1   5636", true).at(2, "2  12878", true).at(1, "16  5758").at(2, "22  3069");
  s.at(2, "22  3070").at(12, " 28    1").at(1, "16  5759").finish();
  EXPECT_EQ(s.rows, (Rows{"27/1 lane 2 30.70 @100", "27/1 lane 1 57.58 @80"}));

  // A lane that drops its running flag with the previous race's time still in its cells has no
  // result from it, until it has shown something else; a restart ends the race; a race with no
  // finisher is not reported; lines before the start named by channel 20 are, after the fact.
  Script t;
  t.at(12, " 27    1").at(20, " 26    1").at(3, "31  5143").at(4, "42  5000").start();
  t.at(3, "3   5143", true).at(3, "3   5143").at(4, "4       ").at(4, "41  5000").start();
  t.finish();
  EXPECT_EQ(t.rows,
            (Rows{"26/1! lane 3 51.43 @30", "26/1! lane 4 50.00 @40", "27/1 lane 4 50.00 @100"}));

  // Reading began after a race: its lines are the race channel 20 named first, at the end; the
  // event/heat of a race whose start came first is channel 12's first value in it; a time
  // shown, then running again, stands.
  Script u;
  u.at(1, "12  5636").at(20, " 25    1").at(20, " 29    1").finish();
  u.start().at(12, " 31    2").at(5, "5   3228").at(5, "5   3228", true).finish();
  EXPECT_EQ(u.rows, (Rows{"25/1! lane 1 56.36 @10", "31/2 lane 5 32.28 @80"}));

  // Names: a clear board shows the next race's (12); results up, channel 20's; in the water,
  // the race's; after it, still its own while its results are up; then the next race's.
  Script n;
  const std::string expected[] = {"27", "none", "26", "27", "27", "27", "28"};
  std::vector<std::string> names;
  n.at(12, " 27    1"), names.push_back(n.names());
  n.at(1, "12  5636"), names.push_back(n.names());
  n.at(20, " 26    1"), names.push_back(n.names());
  n.start().at(1, "1   5636", true), names.push_back(n.names());
  n.at(1, "16  5758").at(20, " 27    1"), names.push_back(n.names());
  n.at(12, " 28    1"), names.push_back(n.names());
  n.at(1, "        "), names.push_back(n.names());
  EXPECT_EQ(names, std::vector(std::begin(expected), std::end(expected)));
  // Without channel 20, the race that ended last.
  Script m;
  m.at(12, " 27    1").start().at(2, "21  3000").at(12, " 28    1");
  EXPECT_EQ(m.names(), "27");

  // Changes count what the JSON shows: not a format frame, a damaged one or a second "stale".
  const std::uint64_t before = m.board.changes;
  CtsEvent format;
  format.channel = 12;
  format.kind = CtsFrameKind::Format;
  format.state = m.board.channels[12];
  format.state.format[0] = 2;
  EXPECT_FALSE(board_apply(m.board, format, "").changed);
  format.damaged = true;
  EXPECT_FALSE(board_apply(m.board, format, "").changed);
  EXPECT_TRUE(board_set_signal(m.board, BoardSignal::Stale));
  EXPECT_FALSE(board_set_signal(m.board, BoardSignal::Stale));
  std::string list = "#27\n";
  for (int lane = 1; lane <= 10; ++lane) {
    list += (lane == 2 ? "B" + std::string(19, ' ') : std::string(20, ' ')) + "--" +
            std::string(16, ' ') + "\n";
  }
  m.board.start_lists["E027.scb"] = *parse_start_list(bytes_of(list));
  EXPECT_TRUE(board_refresh(m.board));  // lane 2 has a name now
  EXPECT_FALSE(board_refresh(m.board));
  EXPECT_EQ(m.board.changes, before + 2);
}

TEST(Board, TextsOfTheResultsAndTheConsoleBoard) {
  RaceResult race{{27, 1}, false, "12:00:03.102", 2382, "", 59124, {}};
  race.rows = {
      {3, 1, "27.25", 2725, "\"DOC\" <i>O'NEIL</i> & \u00C9LAN", "A,B", "12:00:31.112", 26967},
      {2, std::nullopt, "1:19.50", 7950, "LINE\nBREAK\r\nNAME", "", "", 5},
      {4, 2, "5A.00", std::nullopt, std::nullopt, std::nullopt, "", 7}};
  EXPECT_EQ(results_csv_header() + race_csv_rows(race),
            "event,heat,lane,place,time,seconds,name,team,seen,offset,after_the_fact\n"
            "27,1,3,1,27.25,27.25,\"\"\"DOC\"\" <i>O'NEIL</i> & \u00C9LAN\",\"A,B\","
            "12:00:31.112,26967,false\n"
            "27,1,2,,1:19.50,79.50,\"LINE\nBREAK\r\nNAME\",,,5,false\n"
            "27,1,4,2,5A.00,,,,,7,false\n");
  EXPECT_EQ(race_json(race),
            "{\"event\":27,\"heat\":1,\"after_the_fact\":false,\"started\":\"12:00:03.102\","
            "\"ended\":null,\"results\":[{\"lane\":3,\"place\":1,\"time\":\"27.25\",\"seconds\":"
            "27.25,\"name\":\"\\\"DOC\\\" <i>O'NEIL</i> & \u00C9LAN\",\"team\":\"A,B\",\"seen\":"
            "\"12:00:31.112\",\"offset\":26967},{\"lane\":2,\"place\":null,\"time\":\"1:19.50\","
            "\"seconds\":79.5,\"name\":\"LINE\\nBREAK\\r\\nNAME\",\"team\":\"\",\"seen\":null,"
            "\"offset\":5},{\"lane\":4,\"place\":2,\"time\":\"5A.00\",\"seconds\":null,\"name\":"
            "null,\"team\":null,\"seen\":null,\"offset\":7}],\"started_offset\":2382,"
            "\"ended_offset\":59124}");
  EXPECT_EQ(race_table_text(race),
            "Results: event 27 heat 1\n"
            "  Place  Lane  Time      Name                  Team\n"
            "      1     3  27.25     \"DOC\" <i>O'NEIL</i> & \u00C9LAN  A,B\n"
            "            2  1:19.50   LINE\uFFFDBREAK\uFFFD\uFFFDNAME\n"
            "      2     4  5A.00\n");

  // The recorded race's board on the console: 5 + N lines, none past 80 columns.
  Fed fed = feed(RECORDING, 4096, false);
  const auto [lane, place, time, offset] = *row_read(read_stream(RECORDING), 1, RECORDING.size());
  for (const unsigned lanes : {10u, 1u}) {
    fed.board.lanes_shown = lanes;
    const auto lines = board_console_lines(fed.board, std::string(200, 'w') + "\n");
    ASSERT_EQ(lines.size(), 5 + lanes);
    EXPECT_EQ(lines[3], "Lane Place  Time      Name                  Team");
    EXPECT_EQ(lines[4], "   1     " + std::to_string(place) + "  " + time +
                            std::string(10 - time.size(), ' ') + "HARBOR, NELL          TIDE");
    EXPECT_EQ(lines.back(), std::string(79, 'w') + "\u2026");
    for (const std::string& line : lines) {
      EXPECT_LE(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }),
                80)
          << line;
    }
  }
}

}  // namespace
}  // namespace kelp
