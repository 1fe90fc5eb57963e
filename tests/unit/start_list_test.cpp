// Meet Manager's start lists: the layout read from bytes (code page 1252, CR LF or LF, ten lane
// lines per heat), files refused whole, an event's digits matched, and a set that keeps a file's
// old names when its new content is broken.
#include "board/start_list.h"

#include <gtest/gtest.h>

#include "read_file.h"

namespace kelp {
namespace {

std::string lane(std::string name, std::string team = "") {
  name.resize(20, ' ');
  team.resize(16, ' ');
  return name + "--" + team + "\r\n";
}

// An event line, then the given lane lines, then empty lanes up to `lines` lane lines.
std::string file(const std::string& first, std::string lanes = "", std::size_t lines = 10) {
  for (std::size_t n = lanes.size() / 40; n < lines; ++n) lanes += lane("");
  return first + "\r\n" + lanes;
}

std::expected<StartList, std::string> parse(const std::string& text) {
  return parse_start_list(bytes_of(text));
}

TEST(StartList, TheSharedFileInBothLineEndsAndTheLayoutsRules) {
  const std::string crlf = slurp(std::string(KELP_TEST_FIXTURES) + "/start-lists/E027.scb");
  const auto list = parse(crlf);
  ASSERT_TRUE(list) << list.error();
  EXPECT_EQ((std::tuple{list->event_word, list->description, list->heats.size()}),
            (std::tuple{"27", "GIRLS 8&U 25 FREE", 2u}));
  EXPECT_EQ(list->heats[0][0], (StartEntry{"HARBOR, NELL", "TIDE"}));
  EXPECT_EQ(list->heats[0][6], StartEntry{});
  EXPECT_EQ(list->heats[1][2], (StartEntry{"MORROW, KIT", "REEF"}));
  std::string lf = crlf;
  std::erase(lf, '\r');
  for (const std::string& same : {lf, crlf.substr(0, crlf.size() - 1), crlf + "\n\r\n"}) {
    EXPECT_EQ(parse(same), list);  // LF; cut between CR and LF; empty lines at the end
  }

  struct Case {
    std::string bytes, word, description;
    StartEntry lane1, lane2;
  };
  const Case cases[] = {
      // 0x92 is ’ (not Latin-1's control), 0x80 €, 0x8A Š; Latin-1 letters as they are; the five
      // undefined bytes are U+FFFD.
      {file("#5 BOYS", lane("O\x92"
                            "BRIEN, SE\xC1N",
                            "\x80 \x8A"
                            "KOLA") +
                           lane("\x81\x8D\x8F\x90\x9D\xFF")),
       "5",
       "BOYS",
       {"O\u2019BRIEN, SE\u00C1N", "\u20AC \u0160KOLA"},
       {"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\u00FF", ""}},
      // A name of exactly 20 characters, a team of 16; an empty name is no swimmer.
      {file("#7 G", "ABCDEFGHIJKLMNOPQRST--0123456789ABCDEF\r\n" + lane("", "GHOST")),
       "7",
       "G",
       {"ABCDEFGHIJKLMNOPQRST", "0123456789ABCDEF"},
       {}},
      // As written: quotes, markup, leading spaces; trailing spaces dropped.
      {file("#9 <b>A</b> & \"B\"  ", lane("\"DOC\" <i>O'NEIL</i>", "A&B") + lane("  X", " T ")),
       "9",
       "<b>A</b> & \"B\"",
       {"\"DOC\" <i>O'NEIL</i>", "A&B"},
       {"  X", " T"}},
      // An event word with a letter; no description.
      {file("#12A", lane("A", "B")), "12A", "", {"A", "B"}, {}},
  };
  for (const Case& c : cases) {
    const auto read = parse(c.bytes);
    ASSERT_TRUE(read) << c.word << ": " << read.error();
    EXPECT_EQ(
        (std::tuple{read->event_word, read->description, read->heats[0][0], read->heats[0][1]}),
        (std::tuple{c.word, c.description, c.lane1, c.lane2}));
  }
}

TEST(StartList, FilesThatCannotBeReadWhole) {
  const std::string good = file("#27 X", lane("A", "B"), 20);
  ASSERT_TRUE(parse(good));
  const std::string not_event =
      "line 1 is not the event line (\"#\", the event, a space and its "
      "description)";
  const std::string width =
      " characters: a lane line has 38 (the name in 20, \"--\", the team "
      "in 16)";
  const std::pair<std::string, std::string> cases[] = {
      {"", "the file is empty"},
      {"\r\n\n", "the file is empty"},
      {"#27 X\r\n", "no heat follows the event line"},
      {file("27 X"), not_event},
      {file("# 27"), not_event},
      {file("#27-A"), not_event},
      // Half-written: cut at a line end, or inside a line, or still NUL bytes.
      {file("#27 X", "", 13), "heat 2 is cut short: 3 of its 10 lane lines"},
      {good.substr(0, good.size() - 5), "line 21 has 35" + width},
      {good.substr(0, good.size() - 30), "line 21 has 10" + width},
      {file("#27 X", lane("A") + "\r\n"), "line 3 has 0" + width},
      {good + std::string(400, '\0'),
       "line 22 holds NUL bytes: the file may still be being written"},
      {file("#27 X", "A                   - B               \n"),
       "line 2 is not a lane line: its characters 21 and 22 are not \"--\""},
      {file("#27 X", lane("A\tB")), "line 2 holds a control character (byte 0x09)"},
      {file("#27 X\x1B[2J"), "line 1 holds a control character (byte 0x1B)"},
      {"#27 X\r" + lane("A"), "line 1 holds a control character (byte 0x0D)"},
  };
  for (const auto& [bytes, error] : cases) {
    const auto list = parse(bytes);
    EXPECT_EQ(list ? "read" : list.error(), error);
  }
}

TEST(StartList, EventsAndASetThatKeepsWhatItHad) {
  const std::tuple<const char*, unsigned, bool> matches[] = {
      {"27", 27, true},   {"027", 27, true},  {"27", 270, false},
      {"270", 27, false}, {"12A", 12, false}, {"1_2", 12, false},
      {"000", 0, true},   {"", 0, false},     {"0000000000000000000000000000000000007", 7, true}};
  for (const auto& [word, event, match] : matches) {
    EXPECT_EQ(start_list_is_event(word, event), match) << word << " " << event;
  }
  for (const char* name : {"E027.scb", "e12a.SCB"}) EXPECT_TRUE(is_start_list_file_name(name));
  for (const char* name : {"E.scb", "027.scb", "E027.scb.tmp", "X1.scb"}) {
    EXPECT_FALSE(is_start_list_file_name(name)) << name;
  }

  StartLists lists;
  const auto name = [&](unsigned heat, unsigned lane_number) {
    const StartEntry* entry = find_swimmer(lists, 27, heat, lane_number);
    return entry ? entry->name : "-";
  };
  const std::string v1 = file("#027 X", lane("FIRST"));
  const std::string v2 = file("#27 X", lane("SECOND"), 20);
  EXPECT_EQ(take_start_list(lists, "E027.scb", "dir/E027.scb", bytes_of(v1)), std::nullopt);
  EXPECT_EQ((std::vector{name(1, 1), name(1, 2), name(2, 1), name(0, 1), name(1, 11)}),
            (std::vector<std::string>{"FIRST", "-", "-", "-", "-"}));
  // Re-exported and read half-written: a warning, and the names from before stay.
  EXPECT_EQ(take_start_list(lists, "E027.scb", "dir/E027.scb", bytes_of(v2.substr(0, 87))),
            "Warning: start list dir/E027.scb: heat 1 is cut short: 2 of its 10 lane lines; the "
            "names read from it before stay in use\n");
  EXPECT_EQ(name(1, 1), "FIRST");
  EXPECT_EQ(take_start_list(lists, "E027.scb", "dir/E027.scb", bytes_of(v2)), std::nullopt);
  EXPECT_EQ(name(1, 1), "SECOND");
  EXPECT_EQ(take_start_list(lists, "E028.scb", "E028.scb", bytes_of(std::string("#28"))),
            "Warning: start list E028.scb: no heat follows the event line; no names from it\n");
  EXPECT_FALSE(lists.contains("E028.scb"));
  EXPECT_EQ(find_swimmer(lists, 28, 1, 1), nullptr);
}

}  // namespace
}  // namespace kelp
