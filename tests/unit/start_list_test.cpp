// Meet Manager's start lists: the layout read from bytes (code page 1252, CR LF or LF, ten lane
// lines per heat), files refused whole, an event's digits matched, a set that keeps a file's
// old names when its new content is broken, and the folder of exports watched while a meet runs.
#include "board/start_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "modes/start_list_folder.h"
#include "platform/system_error.h"
#include "read_file.h"
#include "unreadable_file.h"

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

namespace fs = std::filesystem;

// A folder of exports of its own for each test.
class ExportFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("kelp-lists-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    dir_ = folder_.string();
  }
  void TearDown() override { fs::remove_all(folder_); }

  void put(const std::string& name, const std::string& bytes) const {
    std::ofstream(folder_ / name, std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string scan() {
    const StartListScan result = scan_start_list_folder(watcher_, lists_);
    return (result.changed ? "changed " : "same ") + result.warnings;
  }
  std::string name(unsigned event, unsigned heat, unsigned lane_number) const {
    const StartEntry* entry = find_swimmer(lists_, event, heat, lane_number);
    return entry ? entry->name : "-";
  }

  fs::path folder_;
  std::string dir_;
  StartListFolder watcher_;
  StartLists lists_;
};

const std::string KEPT = "; the names read from it before stay in use\n";

TEST_F(ExportFolder, ReExportsAreTakenAndAFileReadHalfWrittenKeepsItsOldNames) {
  ASSERT_TRUE(open_start_list_folder(dir_));
  watcher_ = *open_start_list_folder(dir_);
  EXPECT_EQ(scan(), "same ");  // nothing exported yet

  // The real export, beside files that are no start lists: a note, a copy still being made, a
  // folder named like one.
  const std::string shared = slurp(std::string(KELP_TEST_FIXTURES) + "/start-lists/E027.scb");
  put("E027.scb", shared);
  put("notes.txt", shared);
  put("E029.scb.tmp", file("#29 X", lane("TMP")));
  fs::create_directory(folder_ / "E030.scb");
  EXPECT_EQ(scan(), "changed ");
  EXPECT_EQ(lists_.size(), 1u);
  EXPECT_EQ(name(27, 1, 1), "HARBOR, NELL");
  EXPECT_EQ(name(29, 1, 1), "-");
  EXPECT_EQ(scan(), "same ");

  // Re-seeded: a new name in lane 1. Then the same bytes written again: nothing to take.
  const std::string v2 = file("#27 GIRLS 8&U 25 FREE", lane("SCRATCH, NEW", "TIDE"), 20);
  put("E027.scb", v2);
  EXPECT_EQ(scan(), "changed ");
  EXPECT_EQ(name(27, 1, 1), "SCRATCH, NEW");
  put("E027.scb", v2);
  EXPECT_EQ(scan(), "same ");

  // Caught half-written, cut mid-heat: one warning for those bytes, the names from before kept.
  const std::string v3 = file("#27 GIRLS 8&U 25 FREE", lane("THIRD, ONE"), 20);
  put("E027.scb", v3.substr(0, 23 + 40 * 13));
  EXPECT_EQ(
      scan(),
      "same Warning: start list E027.scb: heat 2 is cut short: 3 of its 10 lane lines" + KEPT);
  EXPECT_EQ(name(27, 1, 1), "SCRATCH, NEW");
  EXPECT_EQ(scan(), "same ");
  // Written a little further, now cut inside a line: new bytes, so warned again, once.
  put("E027.scb", v3.substr(0, 23 + 40 * 15 + 7));
  EXPECT_EQ(scan(),
            "same Warning: start list E027.scb: line 17 has 7 characters: a lane line has 38 "
            "(the name in 20, \"--\", the team in 16)" +
                KEPT);
  EXPECT_EQ(scan(), "same ");
  EXPECT_EQ(name(27, 2, 1), "-");
  // Written whole.
  put("E027.scb", v3);
  EXPECT_EQ(scan(), "changed ");
  EXPECT_EQ(name(27, 1, 1), "THIRD, ONE");

  {
    // Cannot be read for a while (held by the exporter): warned of once, its names kept.
    UnreadableFile lock(folder_ / "E027.scb");
    if (lock.held()) {
      const std::string locked = scan();
      EXPECT_TRUE(locked.starts_with("same Warning: cannot read start list E027.scb: ") &&
                  locked.ends_with(KEPT))
          << locked;
      EXPECT_EQ(scan(), "same ");
      EXPECT_EQ(name(27, 1, 1), "THIRD, ONE");
    }
  }
  EXPECT_EQ(scan(), "same ");  // readable again, and the same bytes

  // A new event whose first export is broken has no names until it is fixed.
  put("e028.SCB", "#28 BOYS\r\n");
  EXPECT_EQ(
      scan(),
      "same Warning: start list e028.SCB: no heat follows the event line; no names from it\n");
  EXPECT_EQ(scan(), "same ");
  put("e028.SCB", file("#28 BOYS", lane("LATE, ENTRY")));
  EXPECT_EQ(scan(), "changed ");
  EXPECT_EQ(name(28, 1, 1), "LATE, ENTRY");

  // An event dropped from the meet: its file is gone, and so are its names.
  fs::remove(folder_ / "E027.scb");
  EXPECT_EQ(scan(), "changed ");
  EXPECT_EQ(name(27, 1, 1), "-");
  EXPECT_FALSE(lists_.contains("E027.scb"));
  EXPECT_EQ(name(28, 1, 1), "LATE, ENTRY");
  EXPECT_EQ(scan(), "same ");
}

TEST_F(ExportFolder, AFolderThatIsNotThereStopsTheRunAndOneThatGoesAwayKeepsTheNames) {
  // ENOENT and ERROR_FILE_NOT_FOUND are both 2.
  const std::string missing = (folder_ / "missing").string();
  const auto not_there = open_start_list_folder(missing);
  ASSERT_FALSE(not_there);
  EXPECT_EQ(not_there.error(),
            "ERROR: cannot read the start lists in " + missing + ": " + io_error_text(2) + "\n");
  put("E027.scb", file("#27 X", lane("A")));
  EXPECT_FALSE(open_start_list_folder((folder_ / "E027.scb").string()));  // no folder

  // Watched, then unplugged: one warning, the names stay; back again, read as before.
  const fs::path stick = folder_ / "stick";
  fs::create_directory(stick);
  std::ofstream(stick / "E027.scb", std::ios::binary) << file("#27 X", lane("STAYS"));
  ASSERT_TRUE(open_start_list_folder(stick.string()));
  watcher_ = *open_start_list_folder(stick.string());
  EXPECT_EQ(scan(), "changed ");
  fs::remove_all(stick);
  EXPECT_EQ(scan(), "same Warning: cannot read the start lists in " + stick.string() + ": " +
                        io_error_text(2) + KEPT);
  EXPECT_EQ(scan(), "same ");
  EXPECT_EQ(name(27, 1, 1), "STAYS");
  fs::create_directory(stick);
  EXPECT_EQ(scan(), "changed ");  // back, but empty: the file is gone
  EXPECT_EQ(name(27, 1, 1), "-");
  std::ofstream(stick / "E027.scb", std::ios::binary) << file("#27 X", lane("BACK"));
  EXPECT_EQ(scan(), "changed ");
  EXPECT_EQ(name(27, 1, 1), "BACK");
}

}  // namespace
}  // namespace kelp
