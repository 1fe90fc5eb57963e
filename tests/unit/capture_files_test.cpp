// The capture directory, log names, records, raw files, the results file, and listing a folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "board/results_text.h"
#include "capture/clock.h"
#include "capture/files.h"
#include "modes/results_file.h"
#include "platform/file.h"
#include "platform/system_error.h"
#include "read_file.h"

namespace kelp {
namespace {

namespace fs = std::filesystem;

// Runs each test in a fresh folder of its own, as the tool runs in the user's folder.
class CaptureFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    folder_ = fs::temp_directory_path() /
              ("kelp-files-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    fs::current_path(folder_);
    ASSERT_TRUE(create_captures_dir());
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(folder_);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> result;
    for (const auto& entry : fs::directory_iterator(folder_ / "captures")) {
      result.push_back(entry.path().filename().string());
    }
    std::sort(result.begin(), result.end());
    return result;
  }

  fs::path previous_, folder_;
};

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST_F(CaptureFolder, RecordLayoutIsByteExact) {
  auto log = open_log_file("udp");
  ASSERT_TRUE(log);
  write_record(*log, 3, "23:17:05.042", "udp/192.168.1.20:50123", bytes("Hi\r\n\xff"));
  write_record(*log, 7, "23:17:05.043", "udp/192.168.1.20:50123", {});
  write_record(*log, 12345, "23:17:05.044", "serial/COM3@9600", bytes(std::string("\0A", 2)));
  write_record(*log, 8, "23:17:05.045", "probe/COM3@9600-O-8-1 [preset=enq]", bytes("\xe2\x28\xa1"));
  EXPECT_EQ(slurp(log->path),
            "--- #3 at 23:17:05.042 from udp/192.168.1.20:50123 (5 bytes) ---\n"
            "RAW_TEXT: Hi\r\n\xef\xbf\xbd\n"
            "RAW_HEX: 48 69 0d 0a ff\n"
            "\n"
            "--- #7 at 23:17:05.043 from udp/192.168.1.20:50123 (0 bytes) ---\n"
            "RAW_TEXT: \n"
            "RAW_HEX: \n"
            "\n"
            "--- #12345 at 23:17:05.044 from serial/COM3@9600 (2 bytes) ---\n"
            "RAW_TEXT: " + std::string("\0A", 2) + "\n"
            "RAW_HEX: 00 41\n"
            "\n"
            "--- #8 at 23:17:05.045 from probe/COM3@9600-O-8-1 [preset=enq] (3 bytes) ---\n"
            "RAW_TEXT: \xef\xbf\xbd(\xef\xbf\xbd\n"
            "RAW_HEX: e2 28 a1\n"
            "\n");
}

TEST_F(CaptureFolder, LogNamesNeverReuseAnEarlierRunsFile) {
  // Runs started within one second share a time stamp; none may empty another's log.
  std::vector<LogFile> logs;
  for (int i = 0; i < 3; ++i) {
    auto log = open_log_file("probe");
    ASSERT_TRUE(log);
    write_log_text(*log, "run " + std::to_string(i) + "\n");
    logs.push_back(std::move(*log));
  }
  const std::string sep(1, PATH_SEPARATOR);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(logs[i].path.starts_with("captures" + sep + "probe_")) << logs[i].path;
    EXPECT_EQ(slurp(logs[i].path), "run " + std::to_string(i) + "\n");
  }
  // The same second: the names are stem.log, stem_2.log, stem_3.log.
  const std::string stem = logs[0].path.substr(0, logs[0].path.size() - 4);
  if (logs[2].path.starts_with(stem)) {
    EXPECT_EQ(logs[1].path, stem + "_2.log");
    EXPECT_EQ(logs[2].path, stem + "_3.log");
  }
}

TEST_F(CaptureFolder, RawFilesHoldExactlyThePayloadAndAreNeverOverwritten) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  save_bin("serial", 7, bytes(all));
  save_bin("serial", 7, bytes("second"));
  save_bin("probe", 1, {});
  save_bin("udp", 12345, bytes("x"));
  const auto files = names();
  ASSERT_EQ(files.size(), 4u);
  EXPECT_TRUE(files[0].starts_with("probe_0001_") && files[0].ends_with(".bin"));
  EXPECT_EQ(slurp(folder_ / "captures" / files[0]), "");
  EXPECT_TRUE(files[1].starts_with("serial_0007_"));
  EXPECT_EQ(slurp(folder_ / "captures" / files[1]).size(), 256u);
  EXPECT_TRUE(files[3].starts_with("udp_12345_"));
  // The second file of the same name and second got "_2"; if the clock ticked, a new name.
  const std::string first = files[1], second = files[2];
  EXPECT_TRUE(second.starts_with("serial_0007_"));
  if (second.substr(0, 18) == first.substr(0, 18)) {
    EXPECT_EQ(second.substr(18), "_2.bin");
  }
  EXPECT_EQ(slurp(folder_ / "captures" / second), "second");
}

TEST_F(CaptureFolder, GatheredPiecesLandInOrderWhateverTheirNumberAndSize) {
  auto file = create_unique_file("pieces", ".txt");
  ASSERT_TRUE(file);
  std::vector<std::string> owned;
  for (std::size_t i = 0; i < 40; ++i) {
    owned.push_back(i % 3 == 0 ? "" : std::string(i * 997, static_cast<char>('a' + i % 26)));
  }
  std::vector<std::string_view> pieces(owned.begin(), owned.end());
  write_pieces(file->file, pieces);
  std::string expected;
  for (const auto& piece : owned) expected += piece;
  EXPECT_EQ(slurp(folder_ / "captures" / "pieces.txt"), expected);
}

// Two races of one run, the second with names that need quoting.
std::vector<RaceResult> two_races() {
  RaceResult first{{27, 1}, false, "12:00:03.102", 2382, "12:01:10.000", 59124, {}};
  first.rows = {{3, 1, "27.25", 2725, "LINDQVIST, MAE", "GULL", "12:00:31.112", 26967},
                {5, 2, "28.01", 2801, std::nullopt, std::nullopt, "12:00:32.000", 27001}};
  RaceResult second{{27, 2}, false, "12:02:00.000", 60000, "", 90000, {}};
  second.rows = {{1, 1, "1:19.50", 7950, "O\u2019BRIEN, \"SE\u00C1N\"", "A,B", "", 61000}};
  return {first, second};
}

TEST_F(CaptureFolder, EachRaceIsOnDiskAsSoonAsItEndsUnderTheRunsStamp) {
  ResultsFile results("20260106_030705");
  EXPECT_TRUE(names().empty());  // nothing before the first race ends
  const auto races = two_races();
  const std::string path = capture_path("results_20260106_030705.csv");

  const ResultsAppend first = append_race(results, races[0]);
  EXPECT_EQ((std::tuple{first.path, first.created, first.warning}), (std::tuple{path, true, ""}));
  const std::string header =
      "event,heat,lane,place,time,seconds,name,team,seen,offset,"
      "after_the_fact\n";
  const std::string rows1 =
      "27,1,3,1,27.25,27.25,\"LINDQVIST, MAE\",GULL,12:00:31.112,26967,"
      "false\n27,1,5,2,28.01,28.01,,,12:00:32.000,27001,false\n";
  EXPECT_EQ(slurp(path), header + rows1);  // read while the run goes on

  const ResultsAppend second = append_race(results, races[1]);
  EXPECT_EQ((std::tuple{second.path, second.created, second.warning}),
            (std::tuple{path, false, ""}));
  EXPECT_EQ(slurp(path), header + rows1 +
                             "27,2,1,1,1:19.50,79.50,\"O\u2019BRIEN, \"\"SE\u00C1N\"\"\",\"A,B\",,"
                             "61000,false\n");
  EXPECT_EQ(results_csv_header() + race_csv_rows(races[0]) + race_csv_rows(races[1]), slurp(path));

  // Another run started within the same second never writes into this one's file.
  ResultsFile other("20260106_030705");
  const ResultsAppend taken = append_race(other, races[1]);
  EXPECT_EQ(taken.path, capture_path("results_20260106_030705_2.csv"));
  EXPECT_EQ(slurp(taken.path), header + race_csv_rows(races[1]));
  EXPECT_EQ(slurp(path).size(), (header + rows1).size() + race_csv_rows(races[1]).size());
}

TEST_F(CaptureFolder, AResultsFileThatCannotBeWrittenIsWarnedOfOnceAndTheRunGoesOn) {
  // `captures` is a file here: nothing can be created in it.
  fs::remove_all(folder_ / "captures");
  std::ofstream(folder_ / "captures") << "in the way";
  ResultsFile results("20260106_030705");
  const auto races = two_races();
  const ResultsAppend first = append_race(results, races[0]);
  EXPECT_TRUE(first.warning.starts_with("Warning: cannot write " +
                                        capture_path("results_20260106_030705.csv") + ": ") &&
              first.warning.ends_with(
                  "; the results of this race and the races after it are not saved\n") &&
              first.path.empty())
      << first.warning;
  const ResultsAppend second = append_race(results, races[1]);
  EXPECT_EQ((std::tuple{second.path, second.created, second.warning}), (std::tuple{"", false, ""}));
}

TEST_F(CaptureFolder, AFolderIsListedAsTheNamesOfItsRegularFiles) {
  const fs::path dir = folder_ / "exports";
  fs::create_directories(dir / "E001.scb");  // a folder: not listed
  for (const char* name : {"E027.scb", "notes.txt", ".hidden"}) std::ofstream(dir / name) << name;
  std::ofstream(dir / fs::path(u8"\u00C9v\u00E9nement \u2019 1.scb")) << "accents";
  auto listed = list_directory_files(dir.string());
  ASSERT_TRUE(listed) << io_error_text(listed.error());
  std::sort(listed->begin(), listed->end());
  EXPECT_EQ(*listed, (std::vector<std::string>{".hidden", "E027.scb", "notes.txt",
                                               "\u00C9v\u00E9nement \u2019 1.scb"}));
  EXPECT_EQ(list_directory_files((dir / "E001.scb").string()), std::vector<std::string>{});

  // ENOENT and ERROR_FILE_NOT_FOUND are both 2; a file is no folder either.
  EXPECT_EQ(list_directory_files((dir / "missing").string()), std::unexpected(2));
  EXPECT_FALSE(list_directory_files((dir / "E027.scb").string()));
  EXPECT_EQ(path_in_directory(dir.string(), "E027.scb"), (dir / "E027.scb").string());
  EXPECT_EQ(slurp(path_in_directory(dir.string() + PATH_SEPARATOR, "E027.scb")), "E027.scb");
}

TEST(BinFileStem, PadsTheNumberToFourDigits) {
  EXPECT_EQ(bin_file_stem("udp", 1, "231705"), "udp_0001_231705");
  EXPECT_EQ(bin_file_stem("serial", 42, "000000"), "serial_0042_000000");
  EXPECT_EQ(bin_file_stem("udp", 12345, "235959"), "udp_12345_235959");
}

TEST(TimeStamps, AreZeroPaddedWithTruncatedMilliseconds) {
  const LocalTime t{2026, 1, 6, 3, 7, 5, 42};
  EXPECT_EQ(format_run_timestamp(t), "20260106_030705");
  EXPECT_EQ(format_event_time(t), "03:07:05.042");
  EXPECT_EQ(format_bin_time(t), "030705");
  EXPECT_EQ(format_event_time(LocalTime{2026, 12, 31, 23, 59, 59, 999}), "23:59:59.999");
  EXPECT_EQ(event_time().size(), 12u);
  EXPECT_EQ(run_timestamp().size(), 15u);
  EXPECT_EQ(bin_time().size(), 6u);
}

}  // namespace
}  // namespace kelp
