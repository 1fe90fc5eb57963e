// Meet Manager's start lists: the layout read from bytes (code page 1252, CR LF or LF, ten lane
// lines per heat), the files that must be refused whole, matching an event's digits, and a set
// that keeps a file's old names when its new content is broken.
#include "board/start_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/cp1252.h"
#include "read_file.h"
#include "text/unicode.h"

namespace kelp {
namespace {

const std::string FIXTURES = std::string(KELP_TEST_FIXTURES) + "/start-lists/";

std::string lane(std::string name, std::string team) {
  name.resize(START_LIST_NAME_WIDTH, ' ');
  team.resize(START_LIST_TEAM_WIDTH, ' ');
  return name + "--" + team;
}

// An event line and lane lines, each ended by `end`.
std::string file(const std::string& first, const std::vector<std::string>& lanes,
                 const std::string& end = "\r\n") {
  std::string text = first + end;
  for (const std::string& line : lanes) text += line + end;
  return text;
}

std::vector<std::string> heat(std::vector<std::string> lanes) {
  lanes.resize(START_LIST_LANES, lane("", ""));
  return lanes;
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::expected<StartList, std::string> parse(const std::string& text) {
  return parse_start_list(bytes_of(text));
}

TEST(StartList, TheSharedFilesInBothLineEnds) {
  const std::string crlf = slurp(FIXTURES + "E027.scb");
  ASSERT_NE(crlf.find("\r\n"), std::string::npos);
  const auto list = parse(crlf);
  ASSERT_TRUE(list) << list.error();
  EXPECT_EQ(list->event_word, "27");
  EXPECT_EQ(list->description, "GIRLS 8&U 25 FREE");
  ASSERT_EQ(list->heats.size(), 2u);
  EXPECT_EQ(list->heats[0][0], (StartEntry{"HARBOR, NELL", "TIDE"}));
  EXPECT_EQ(list->heats[0][1], (StartEntry{"QUINN, ADA R", "REEF"}));
  EXPECT_EQ(list->heats[0][6], StartEntry{});
  EXPECT_EQ(list->heats[1][0], (StartEntry{"ABERNATHY-COLE, BEA", "TIDE"}));
  EXPECT_EQ(list->heats[1][1], StartEntry{});
  EXPECT_EQ(list->heats[1][2], (StartEntry{"MORROW, KIT", "REEF"}));

  std::string lf = crlf;
  std::erase(lf, '\r');
  EXPECT_EQ(parse(lf), list);
  // A last line without its line end, or cut between CR and LF, is still whole.
  EXPECT_EQ(parse(crlf.substr(0, crlf.size() - 2)), list);
  EXPECT_EQ(parse(crlf.substr(0, crlf.size() - 1)), list);
  EXPECT_EQ(parse(crlf + "\r\n\n"), list);

  const auto next = parse(slurp(FIXTURES + "E028.scb"));
  ASSERT_TRUE(next) << next.error();
  EXPECT_EQ(next->event_word, "28");
  EXPECT_EQ(next->heats.size(), 1u);
}

TEST(StartList, LayoutAndCodePage) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string event_word, description;
    std::vector<StartEntry> heat1;  // the lanes checked, from lane 1
  };
  const Case cases[] = {
      {"0x80-0x9F are not Latin-1: 0x92 is a right single quote, 0x80 the euro, 0x8A S caron",
       file("#5 BOYS 50 BACK", heat({lane("O\x92"
                                          "BRIEN, SE\xC1N",
                                          "\x80URO \x8A"
                                          "KOLA")})),
       "5",
       "BOYS 50 BACK",
       {{"O\u2019BRIEN, SE\u00C1N", "\u20ACURO \u0160KOLA"}}},
      {"the five bytes cp1252 leaves undefined become U+FFFD; Latin-1 letters stay",
       file("#5 X", heat({lane("\x81\x8D\x8F\x90\x9D \xE9\xFF\xA0", "")})),
       "5",
       "X",
       {{"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD \u00E9\u00FF\u00A0", ""}}},
      {"a name of exactly 20 characters, a team of exactly 16",
       file("#7 GIRLS", heat({"ABCDEFGHIJKLMNOPQRST--0123456789ABCDEF"})),
       "7",
       "GIRLS",
       {{"ABCDEFGHIJKLMNOPQRST", "0123456789ABCDEF"}}},
      {"names as written: quotes, commas, markup; leading spaces kept, trailing dropped",
       file("#9 <b>RELAY</b> & \"MEDLEY\"  ",
            heat({lane("\"DOC\" <i>O'NEIL</i>", "A&B"), lane("  SPACED", " T ")})),
       "9",
       "<b>RELAY</b> & \"MEDLEY\"",
       {{"\"DOC\" <i>O'NEIL</i>", "A&B"}, {"  SPACED", " T"}}},
      {"an empty name is no swimmer, whatever the team says",
       file("#9 X", heat({lane("", "GHOST")})),
       "9",
       "X",
       {{"", ""}}},
      {"an event word with a letter; an event line without description",
       file("#12A", heat({lane("A", "B")}), "\n"),
       "12A",
       "",
       {{"A", "B"}}},
      {"several spaces after the event word", file("#012   FREE", heat({})), "012", "FREE", {}},
  };
  for (const Case& c : cases) {
    const auto list = parse(c.bytes);
    ASSERT_TRUE(list) << c.name << ": " << list.error();
    EXPECT_EQ(list->event_word, c.event_word) << c.name;
    EXPECT_EQ(list->description, c.description) << c.name;
    for (std::size_t i = 0; i < c.heat1.size(); ++i) {
      EXPECT_EQ(list->heats[0][i], c.heat1[i]) << c.name << ", lane " << i + 1;
    }
  }
}

TEST(StartList, FilesThatCannotBeReadWhole) {
  const std::vector<std::string> one = heat({lane("A", "B")});
  const std::string good = file("#27 X", joined(one, one));
  ASSERT_TRUE(parse(good));
  struct Case {
    std::string bytes;
    std::string error;
  };
  const Case cases[] = {
      {"", "the file is empty"},
      {"\r\n\n", "the file is empty"},
      {"#27 X\r\n", "no heat follows the event line"},
      {file("27 X", one),
       "line 1 is not the event line (\"#\", the event, a space and its "
       "description)"},
      {file("# 27 X", one),
       "line 1 is not the event line (\"#\", the event, a space and its "
       "description)"},
      {file("#27-A X", one),
       "line 1 is not the event line (\"#\", the event, a space and its "
       "description)"},
      {file(lane("A", "B"), one),
       "line 1 is not the event line (\"#\", the event, a space and "
       "its description)"},
      // Half-written: a heat block cut short at a line end, or a line cut inside.
      {file("#27 X", joined(one, {lane("C", "D"), lane("E", "F"), lane("", "")})),
       "heat 2 is cut short: 3 of its 10 lane lines"},
      {good.substr(0, good.size() - 5),
       "line 21 has 35 characters: a lane line has 38 (the name "
       "in 20, \"--\", the team in 16)"},
      {good.substr(0, good.size() - 30),
       "line 21 has 10 characters: a lane line has 38 (the "
       "name in 20, \"--\", the team in 16)"},
      {file("#27 X", joined(one, heat({"A                   - B               "}))),
       "line 12 is not a lane line: its characters 21 and 22 are not \"--\""},
      {file("#27 X", one) + std::string(400, '\0'),
       "line 12 holds NUL bytes: the file may still be being written"},
      {file("#27 X", heat({lane("A\tB", "")})), "line 2 holds a control character (byte 0x09)"},
      {file("#27 X\x1B[2J", one), "line 1 holds a control character (byte 0x1B)"},
      {file("#27 X", one, "\r"), "line 1 holds a control character (byte 0x0D)"},
      {file("#27 X", joined(heat({lane("A", "B"), ""}), {lane("", "")})),
       "line 3 has 0 characters: a lane line has 38 (the name in 20, \"--\", the team in 16)"},
  };
  for (const Case& c : cases) {
    const auto list = parse(c.bytes);
    ASSERT_FALSE(list) << c.error;
    EXPECT_EQ(list.error(), c.error);
  }
}

TEST(StartList, EventsAndASetThatKeepsWhatItHad) {
  struct Match {
    const char* word;
    unsigned event;
    bool matches;
  };
  const Match matches[] = {
      {"27", 27, true},   {"027", 27, true},
      {"0027", 27, true}, {"27", 270, false},
      {"270", 27, false}, {"12A", 12, false},
      {"A12", 12, false}, {"0", 0, true},
      {"000", 0, true},   {"", 0, false},
      {"1_2", 12, false}, {"00000000000000000000000000000000000000007", 7, true},
  };
  for (const Match& m : matches) {
    EXPECT_EQ(start_list_is_event(m.word, m.event), m.matches) << m.word << " " << m.event;
  }
  for (const char* name : {"E027.scb", "e12a.SCB", "E1.Scb"}) {
    EXPECT_TRUE(is_start_list_file_name(name)) << name;
  }
  for (const char* name : {"E.scb", "027.scb", "E027.scb.tmp", "E027.sc", "X027.scb", ""}) {
    EXPECT_FALSE(is_start_list_file_name(name)) << name;
  }

  StartLists lists;
  const std::string v1 = file("#027 X", heat({lane("FIRST", "T"), lane("", "")}));
  const std::string v2 =
      file("#027 X", joined(heat({lane("SECOND", "T")}), heat({lane("H2", "")})));
  EXPECT_EQ(take_start_list(lists, "E027.scb", "dir/E027.scb", bytes_of(v1)), std::nullopt);
  ASSERT_NE(find_swimmer(lists, 27, 1, 1), nullptr);
  EXPECT_EQ(find_swimmer(lists, 27, 1, 1)->name, "FIRST");
  EXPECT_EQ(find_swimmer(lists, 27, 1, 2), nullptr);  // an empty lane
  EXPECT_EQ(find_swimmer(lists, 27, 2, 1), nullptr);  // a heat the file does not have
  EXPECT_EQ(find_swimmer(lists, 27, 0, 1), nullptr);
  EXPECT_EQ(find_swimmer(lists, 27, 1, 11), nullptr);
  EXPECT_EQ(find_swimmer(lists, 28, 1, 1), nullptr);  // no file for the event

  // Re-exported half-written: a warning, and the names from before stay.
  EXPECT_EQ(take_start_list(lists, "E027.scb", "dir/E027.scb", bytes_of(v2.substr(0, 100))),
            "Warning: start list dir/E027.scb: line 4 has 12 characters: a lane line has 38 "
            "(the name in 20, \"--\", the team in 16); the names read from it before stay in "
            "use\n");
  EXPECT_EQ(find_swimmer(lists, 27, 1, 1)->name, "FIRST");
  EXPECT_EQ(take_start_list(lists, "E027.scb", "dir/E027.scb", bytes_of(v2)), std::nullopt);
  EXPECT_EQ(find_swimmer(lists, 27, 1, 1)->name, "SECOND");
  EXPECT_EQ(find_swimmer(lists, 27, 2, 1)->name, "H2");
  EXPECT_EQ(take_start_list(lists, "E028.scb", "E028.scb", bytes_of(std::string("#28"))),
            "Warning: start list E028.scb: no heat follows the event line; no names from it\n");
  EXPECT_FALSE(lists.contains("E028.scb"));
  // Two files for one event: the first by key.
  take_start_list(lists, "E027 (copy).scb", "x", bytes_of(v1));
  EXPECT_EQ(find_swimmer(lists, 27, 1, 1)->name, "FIRST");
}

TEST(StartList, EveryByteOfTheCodePageIsOneValidCharacter) {
  for (unsigned b = 0; b < 256; ++b) {
    const std::uint8_t byte = static_cast<std::uint8_t>(b);
    const std::string text = cp1252_to_utf8(ByteView(&byte, 1));
    EXPECT_TRUE(is_valid_utf8(text)) << b;
    std::size_t at = 0;
    EXPECT_EQ(next_code_point(text, at), cp1252_code_point(byte));
    EXPECT_EQ(at, text.size());
    // No byte turns into a C1 control character.
    EXPECT_FALSE(cp1252_code_point(byte) >= 0x80 && cp1252_code_point(byte) <= 0x9F) << b;
  }
}

}  // namespace
}  // namespace kelp
