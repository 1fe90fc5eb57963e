// The board fed from the real recording of a race (event 27 heat 1) through the decoder: what it
// shows, the race's results and whose names go with them. What the results should be is read
// here from the bytes by the stream's own rules (frames begin at bytes of 0x80 and up, each
// digit frame sets the cells it sends), not from the board's code.
#include "board/board.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "board/board_console.h"
#include "board/board_json.h"
#include "board/results_text.h"
#include "board/start_list.h"
#include "decode/cts_stream.h"
#include "read_file.h"

namespace kelp {
namespace {

const std::string FIXTURES = KELP_TEST_FIXTURES;
const std::string RECORDING = FIXTURES + "/console-streams/cts-scoreboard-meet.bin";

// ---- An independent reading of the bytes ----

struct Line {
  std::string cells;  // 8 characters: digit or space
  bool running = false;
  std::size_t offset = 0;  // of the digit frame that first showed it
};

struct Reading {
  std::size_t start = 0;                     // the clock's first ".0"
  std::size_t moved_on = 0;                  // channel 12 changes after the start
  std::map<int, std::vector<Line>> lines;    // per channel: each change of its digit cells
  std::string water_before, results_before;  // channels 12 and 20 before the start
};

std::string line_at(const Reading& r, int channel, std::size_t before) {
  std::string cells(8, ' ');
  for (const Line& line : r.lines.at(channel)) {
    if (line.offset < before) cells = line.cells;
  }
  return cells;
}

Reading read_stream(const std::string& data) {
  Reading r;
  std::map<int, std::string> cells;
  std::map<int, bool> running;
  std::size_t at = 0;
  while (at < data.size() && static_cast<unsigned char>(data[at]) < 0x80) ++at;
  while (at < data.size()) {
    const auto control = static_cast<unsigned char>(data[at]);
    std::size_t end = at + 1;
    while (end < data.size() && static_cast<unsigned char>(data[end]) < 0x80) ++end;
    if (end == data.size() && end - at - 1 < 8) break;  // may have been cut by the end
    const int channel = ((control >> 1) & 0x1F) ^ 0x1F;
    if (!(control & 1)) {
      std::string& line = cells.try_emplace(channel, std::string(8, ' ')).first->second;
      for (std::size_t i = at + 1; i < end; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        const int value = (b & 15) ^ 15;
        line[b >> 4] = value <= 9 ? static_cast<char>('0' + value) : ' ';
      }
      const bool run = (control & 0x40) != 0;
      auto& seen = r.lines[channel];
      if (seen.empty() || seen.back().cells != line || running[channel] != run) {
        seen.push_back({line, run, at});
      }
      running[channel] = run;
      if (channel == 0 && line.substr(2) == "    0 " && !r.start) r.start = at;
      if (channel == 12 && r.start && !r.moved_on && seen.size() > 1) r.moved_on = at;
    }
    at = end;
  }
  r.water_before = line_at(r, 12, r.start);
  r.results_before = line_at(r, 20, r.start);
  return r;
}

std::string lane_time(const std::string& cells) {
  auto lit = [&](std::size_t i) {
    std::string s = cells.substr(i, 2);
    std::erase(s, ' ');
    return s;
  };
  return (lit(2).empty() ? "" : lit(2) + ":") + lit(4) + "." + lit(6);
}

unsigned number(const std::string& text) {
  std::string digits = text;
  std::erase(digits, ' ');
  return static_cast<unsigned>(std::stoul(digits));
}

// ---- The board fed as decode feeds it ----

struct Fed {
  Board board;
  std::vector<RaceResult> ended;  // as the steps handed them out
  std::size_t changed_steps = 0;
};

// `time_of` gives an event's time of day from its offset ("" for a raw recording).
Fed feed(const std::string& data, const StartLists& lists, std::size_t piece,
         const std::function<std::string(std::uint64_t)>& time_of) {
  Fed fed;
  fed.board.start_lists = lists;
  CtsDecoder decoder;
  const CtsSink sink = [&](const CtsEvent& event) {
    BoardStep step = board_apply(fed.board, event, time_of(event.offset));
    fed.changed_steps += step.changed;
    if (step.ended) fed.ended.push_back(*step.ended);
  };
  const ByteView bytes = bytes_of(data);
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    cts_feed(decoder, bytes.subspan(at, std::min(piece, bytes.size() - at)), 0, sink);
  }
  cts_finish(decoder, sink);
  BoardStep last = board_finish(fed.board, time_of(decoder.offset), decoder.offset);
  if (last.ended) fed.ended.push_back(*last.ended);
  return fed;
}

StartLists fixture_lists() {
  StartLists lists;
  for (const char* name : {"E027.scb", "E028.scb"}) {
    auto list = parse_start_list(bytes_of(slurp(FIXTURES + "/start-lists/" + name)));
    EXPECT_TRUE(list) << name << ": " << list.error();
    if (list) lists[name] = *list;
  }
  return lists;
}

std::string no_time(std::uint64_t) { return ""; }

TEST(Board, TheRecordedRaceItsResultsAndTheRaceBeforeIt) {
  const std::string data = slurp(RECORDING);
  const Reading r = read_stream(data);
  ASSERT_GT(r.start, 0u);
  ASSERT_GT(r.moved_on, r.start);
  const StartLists lists = fixture_lists();
  const Fed fed = feed(data, lists, 4096, no_time);

  // What the stream says the race was, and the race before it whose results were up.
  const unsigned event = number(r.water_before.substr(0, 3)),
                 heat = number(r.water_before.substr(5));
  const unsigned before_event = number(r.results_before.substr(0, 3));
  ASSERT_NE(event, before_event);

  // Each lane's final line: the last it showed before the board moved on, when it shows a time.
  struct Expected {
    unsigned lane, place;
    std::string time;
    std::size_t offset;
  };
  std::vector<Expected> race, previous;
  for (int lane = 1; lane <= 10; ++lane) {
    const std::string last = line_at(r, lane, r.moved_on);
    if (last.substr(2).find_first_not_of(' ') != std::string::npos) {
      std::size_t first = 0;
      for (const Line& line : r.lines.at(lane)) {
        if (line.offset < r.moved_on && !line.running && line.cells == last && !first) {
          first = line.offset;
        } else if (line.cells != last || line.running) {
          first = 0;
        }
      }
      race.push_back(
          {static_cast<unsigned>(lane), number(last.substr(1, 1)), lane_time(last), first});
    }
    const std::string old = line_at(r, lane, r.start);
    if (old.substr(2).find_first_not_of(' ') != std::string::npos) {
      previous.push_back({static_cast<unsigned>(lane), number(old.substr(1, 1)), lane_time(old),
                          r.lines.at(lane).front().offset});
    }
  }
  ASSERT_EQ(race.size(), 6u);
  ASSERT_EQ(previous.size(), 6u);
  auto by_place = [](const Expected& a, const Expected& b) { return a.place < b.place; };
  std::sort(race.begin(), race.end(), by_place);
  std::sort(previous.begin(), previous.end(), by_place);

  // Two races came out, in order, each as it ended: the one before (after the fact, named by
  // channel 20) at the start, and the recorded race when the board moved on.
  ASSERT_EQ(fed.ended.size(), 2u);
  EXPECT_EQ(fed.ended, fed.board.races);
  const RaceResult& before = fed.ended[0];
  const RaceResult& recorded = fed.ended[1];
  EXPECT_TRUE(before.after_the_fact);
  EXPECT_EQ(before.id.event, before_event);
  EXPECT_EQ(before.ended_offset, r.start);
  EXPECT_FALSE(before.started_offset);
  EXPECT_FALSE(recorded.after_the_fact);
  EXPECT_EQ(recorded.id, (RaceId{event, heat}));
  EXPECT_EQ(recorded.started_offset, r.start);
  EXPECT_EQ(recorded.ended_offset, r.moved_on);

  const StartList& list = lists.at("E027.scb");
  ASSERT_EQ(recorded.rows.size(), race.size());
  for (std::size_t i = 0; i < race.size(); ++i) {
    const RaceRow& row = recorded.rows[i];
    const Expected& want = race[i];
    EXPECT_EQ((std::tuple{row.lane, row.place, row.time, row.offset}),
              (std::tuple{want.lane, std::optional<unsigned>(want.place), want.time, want.offset}))
        << "row " << i;
    EXPECT_EQ(row.name, list.heats[heat - 1][want.lane - 1].name);
    EXPECT_EQ(row.team, list.heats[heat - 1][want.lane - 1].team);
    EXPECT_EQ(row.seen, "");
    // No row of this race carries what a lane showed before its start.
    for (const Expected& old : previous) {
      EXPECT_FALSE(old.lane == row.lane && old.time == row.time) << row.lane << " " << row.time;
    }
  }
  ASSERT_EQ(before.rows.size(), previous.size());
  for (std::size_t i = 0; i < previous.size(); ++i) {
    EXPECT_EQ((std::tuple{before.rows[i].lane, before.rows[i].place, before.rows[i].time,
                          before.rows[i].offset}),
              (std::tuple{previous[i].lane, std::optional<unsigned>(previous[i].place),
                          previous[i].time, previous[i].offset}));
    EXPECT_FALSE(before.rows[i].name) << "no start list for that event";
  }

  // The same results however the stream is cut into reads, and with times of day from a log.
  const Fed bytewise = feed(data, lists, 1, no_time);
  EXPECT_EQ(bytewise.board.races, fed.board.races);
  EXPECT_EQ(bytewise.board.changes, fed.board.changes);
  const Fed timed = feed(data, lists, 777, [](std::uint64_t offset) {
    return "12:00:" + std::to_string(10 + offset / 1000) + ".000";
  });
  ASSERT_EQ(timed.board.races.size(), 2u);
  for (const RaceRow& row : timed.board.races[1].rows) {
    EXPECT_EQ(row.seen, "12:00:" + std::to_string(10 + row.offset / 1000) + ".000");
  }
  EXPECT_EQ(timed.board.races[1].started, "12:00:" + std::to_string(10 + r.start / 1000) + ".000");
  EXPECT_EQ(fed.changed_steps, fed.board.changes);
}

// ---- The rules on made-up streams, event by event ----

// A channel's state from its cells as text ("31  2725"; a space is blank).
CtsEvent event_of(std::uint8_t channel, const std::string& cells, std::uint64_t offset,
                  bool running = false) {
  CtsEvent e;
  e.channel = channel;
  e.offset = offset;
  e.state.known = true;
  e.state.running = running;
  for (std::size_t i = 0; i < CTS_CELLS; ++i) {
    e.state.digits[i] = cells[i] == ' ' ? CTS_BLANK : static_cast<std::uint8_t>(cells[i] - '0');
  }
  return e;
}

struct Script {
  Board board;
  std::vector<RaceResult> ended;
  std::uint64_t offset = 0;
  bool changed = false;

  Script& at(std::uint8_t channel, const std::string& cells, bool running = false) {
    const CtsEvent e = event_of(channel, cells, offset += 10, running);
    const BoardStep step = board_apply(board, e, "t" + std::to_string(offset));
    changed = step.changed;
    if (step.ended) ended.push_back(*step.ended);
    return *this;
  }
  Script& start() { return at(0, "      0 "); }
  Script& finish() {
    const BoardStep step = board_finish(board, "end", offset += 10);
    if (step.ended) ended.push_back(*step.ended);
    return *this;
  }
  std::vector<std::string> rows() const {
    std::vector<std::string> out;
    for (const RaceResult& race : ended) {
      for (const RaceRow& row : race.rows) {
        out.push_back(std::to_string(race.id.event.value_or(0)) + "/" +
                      std::to_string(race.id.heat.value_or(0)) + (race.after_the_fact ? "!" : "") +
                      " lane " + std::to_string(row.lane) + " " + row.time + " @" +
                      std::to_string(row.offset));
      }
    }
    return out;
  }
  std::optional<RaceId> names() const { return board_shown(board).names_of; }
};

TEST(Board, WhatARaceIsAndWhichLinesAreItsResults) {
  {
    // Lines up before the first start, no channel 20: not reported; the race is.
    Script s;
    s.at(12, " 27    1").at(1, "12  5636").at(2, "26 12878").start();  // lines @20 @30, start @40
    s.at(1, "1   5636", true).at(2, "2  12878", true);                 // @50 @60: running
    s.at(0, "   1016 ").at(1, "16  5758").at(2, "22  3069").at(2, "22  3070");  // @80 @90 @100
    s.at(12, " 28    1");                                                       // @110: moved on
    EXPECT_EQ(s.rows(),
              (std::vector<std::string>{"27/1 lane 2 30.70 @100", "27/1 lane 1 57.58 @80"}));
    EXPECT_EQ(s.ended.at(0).started, "t40");
    EXPECT_EQ(s.ended.at(0).ended, "t110");
    s.at(1, "16  5759").finish();  // after the board moved on: nobody's result
    EXPECT_EQ(s.ended.size(), 1u);
  }
  {
    // A lane that drops its running flag with the previous race's time still in its cells has
    // no result from it; once it showed something else, that same time counts.
    Script s;
    s.at(12, " 27    1").at(20, " 26    1").at(3, "31  5143").at(4, "42  5000").start();
    EXPECT_FALSE(s.ended.empty());  // the race before, after the fact
    s.ended.clear();
    s.at(3, "3   5143", true).at(3, "3   5143").at(4, "4   5000", true).at(4, "4       ");
    s.at(4, "41  5000");                    // @100
    s.at(0, "     00 ").at(0, "      0 ");  // the clock reset, and a new start: a re-swim
    EXPECT_EQ(s.rows(), (std::vector<std::string>{"27/1 lane 4 50.00 @100"}));
    s.finish();  // a race with no finisher is not reported
    EXPECT_EQ(s.ended.size(), 1u);
  }
  {
    // Reading began after the race: its lines named by channel 20, reported at the end.
    Script s;
    s.at(1, "12  5636").at(12, " 28    1").at(20, " 27    1").at(20, " 29    1").finish();
    EXPECT_EQ(s.rows(), (std::vector<std::string>{"27/1! lane 1 56.36 @10"}));
    EXPECT_EQ(s.ended.at(0).started_offset, std::nullopt);
    EXPECT_EQ(s.ended.at(0).ended_offset, 50u);
  }
  {
    // Event/heat unknown at the start: the first value in the race; a time shown then running
    // again does not take it back; the end of the input ends the race.
    Script s;
    s.start().at(12, " 31    2").at(5, "5   3228").at(5, "5   3228", true).finish();
    EXPECT_EQ(s.rows(), (std::vector<std::string>{"31/2 lane 5 32.28 @30"}));
  }
}

TEST(Board, WhoseNamesTheLanesShow) {
  StartLists lists;
  for (const auto& [event, first] : {std::pair{"26", "OLD"}, {"27", "NOW"}, {"28", "NEXT"}}) {
    std::string text = std::string("#") + event + " X\n";
    for (int lane = 1; lane <= 10; ++lane) {
      std::string name = first + std::to_string(lane);
      name.resize(20, ' ');
      text += name + "--" + std::string(16, ' ') + "\n";
    }
    lists[std::string("E0") + event + ".scb"] = *parse_start_list(bytes_of(text));
  }
  const RaceId e26{26, 1}, e27{27, 1}, e28{28, 1};
  Script s;
  s.board.start_lists = lists;
  s.at(12, " 27    1");
  EXPECT_EQ(s.names(), e27);  // a clear board: the next race's swimmers
  s.at(1, "12  5636");
  EXPECT_EQ(s.names(), std::nullopt);  // results up, not known whose
  s.at(20, " 26    1");
  EXPECT_EQ(s.names(), e26);
  EXPECT_EQ(board_shown(s.board).lanes[0].swimmer->name, "OLD1");
  s.start();
  EXPECT_EQ(s.names(), e27);  // in the water
  s.at(1, "1   5636", true).at(1, "16  5758").at(20, " 27    1");
  EXPECT_EQ(s.names(), e27);
  s.at(12, " 28    1");
  EXPECT_EQ(s.names(), e27);  // the results stay with their names
  EXPECT_EQ(board_shown(s.board).lanes[0].swimmer->name, "NOW1");
  EXPECT_EQ(s.ended.back().rows.at(0).name, "NOW1");
  s.at(1, "        ");
  EXPECT_EQ(s.names(), e28);  // cleared for the next race

  // Without channel 20: the race that ended last.
  Script t;
  t.board.start_lists = lists;
  t.at(12, " 27    1").start().at(2, "21  3000").at(12, " 28    1");
  EXPECT_EQ(t.names(), e27);
  EXPECT_EQ(board_shown(t.board).lanes[1].swimmer->name, "NOW2");
}

TEST(Board, ChangesCountWhatTheJsonShows) {
  Script s;
  s.at(12, " 27    1");
  const std::uint64_t first = s.board.changes;
  EXPECT_TRUE(s.changed);
  CtsEvent format = event_of(12, " 27    1", 500);
  format.kind = CtsFrameKind::Format;
  format.state.format[0] = 2;
  EXPECT_FALSE(board_apply(s.board, format, "").changed);  // not shown
  CtsEvent damaged = event_of(12, " 99    9", 510);
  damaged.damaged = true;
  EXPECT_FALSE(board_apply(s.board, damaged, "").changed);
  EXPECT_EQ(s.board.changes, first);
  EXPECT_TRUE(board_set_signal(s.board, BoardSignal::Stale));
  EXPECT_FALSE(board_set_signal(s.board, BoardSignal::Stale));
  EXPECT_EQ(s.board.changes, first + 1);
  std::string list = "#27 X\nA                   --B               \n";
  for (int lane = 2; lane <= 10; ++lane)
    list += std::string(20, ' ') + "--" + std::string(16, ' ') + "\n";
  s.board.start_lists["E027.scb"] = *parse_start_list(bytes_of(list));
  EXPECT_TRUE(board_refresh(s.board));  // lane 1 has a name now
  EXPECT_FALSE(board_refresh(s.board));
  EXPECT_EQ(s.board.changes, first + 2);
  EXPECT_NE(board_json(s.board).find("\"changes\":" + std::to_string(first + 2) + ","),
            std::string::npos);
}

TEST(Board, TextsOfTheBoardAndItsResults) {
  RaceResult race;
  race.id = {27, 1};
  race.started = "12:00:03.102";
  race.started_offset = 2382;
  race.ended_offset = 59124;
  race.rows = {
      {3, 1, "27.25", 2725, "\"DOC\" <i>O'NEIL</i> & \u00C9LAN", "A,B", "12:00:31.112", 26967},
      {2, std::nullopt, "1:19.50", 7950, "LINE\nBREAK\r\nNAME", "", "", 5},
      {4, 2, "5A.00", std::nullopt, std::nullopt, std::nullopt, "", 7},
  };
  EXPECT_EQ(race_csv_rows(race),
            "27,1,3,1,27.25,27.25,\"\"\"DOC\"\" <i>O'NEIL</i> & \u00C9LAN\",\"A,B\","
            "12:00:31.112,26967,false\n"
            "27,1,2,,1:19.50,79.50,\"LINE\nBREAK\r\nNAME\",,,5,false\n"
            "27,1,4,2,5A.00,,,,,7,false\n");
  EXPECT_EQ(results_csv_header(),
            "event,heat,lane,place,time,seconds,name,team,seen,offset,after_the_fact\n");
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

  // The recorded race's board on the console: a fixed number of lines within 80 columns.
  const std::string data = slurp(RECORDING);
  Fed fed = feed(data, fixture_lists(), 4096, no_time);
  for (const unsigned lanes : {10u, 6u, 1u}) {
    fed.board.lanes_shown = lanes;
    const auto lines = board_console_lines(fed.board, std::string(200, 'w') + "\n");
    ASSERT_EQ(lines.size(), 5 + lanes);
    for (const std::string& line : lines) {
      std::size_t columns = 0;
      for (const char c : line) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      EXPECT_LE(columns, CONSOLE_BOARD_COLUMNS) << line;
      EXPECT_EQ(line.find('\n'), std::string::npos);
    }
    EXPECT_EQ(lines.back(), std::string(79, 'w') + "\u2026");
    EXPECT_EQ(lines[3], "Lane Place  Time      Name                  Team");
    EXPECT_EQ(lines[4].substr(0, 22), "   1     6  57.58     ");
  }
  EXPECT_NE(board_json(fed.board).find(",\"lanes_shown\":1,\"lanes\":[{\"lane\":1,"),
            std::string::npos);
}

}  // namespace
}  // namespace kelp
