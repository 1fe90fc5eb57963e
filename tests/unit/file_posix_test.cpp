// Gathered writes when the file cannot take everything: the piece that hits the limit is cut
// where the file ends, the call never loops, and the handle stays usable. The results file on a
// disk that fills up, making a file durable, and links in a listed folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "board/results_text.h"
#include "modes/results_file.h"
#include "platform/file.h"
#include "platform/system_error.h"
#include "read_file.h"

namespace kelp {
namespace {

namespace fs = std::filesystem;

// Lowers the file-size limit for the life of the object, with SIGXFSZ ignored so that a write
// past the limit fails with EFBIG instead of ending the test program.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit lowered = previous_;
    lowered.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previous_handler_);
  }

 private:
  rlimit previous_{};
  void (*previous_handler_)(int) = nullptr;
};

TEST(WritePieces, APieceThatHitsTheLimitIsCutThere) {
  const fs::path path = fs::temp_directory_path() / "kelp-write-pieces-limit.bin";
  fs::remove(path);
  FileHandle file;
  int error = 0;
  ASSERT_EQ(create_new_file(path.string(), file, error), CreateResult::Created) << error;
  const std::string first(60, 'a'), second(60, 'b'), third(10, 'c');
  {
    FileSizeLimit limit(100);
    const std::string_view pieces[] = {first, "", second, third, ""};
    write_pieces(file, pieces);
  }
  // 60 bytes of the first piece, 40 of the second; the third found the file full.
  EXPECT_EQ(slurp(path), first + std::string(40, 'b'));

  // Once the limit is gone the same handle writes again.
  const std::string_view more[] = {"x", "y"};
  write_pieces(file, more);
  EXPECT_EQ(slurp(path), first + std::string(40, 'b') + "xy");
  file = FileHandle();
  fs::remove(path);
}

TEST(WritePieces, AFileThatTakesNothingDoesNotStall) {
  FileHandle file(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(file.is_open());
  const std::string_view pieces[] = {"one\n", "two\n", "", "three\n"};
  // Every piece fails with ENOSPC and is given up; the call returns (a stall ends the test run).
  write_pieces(file, pieces);
}

TEST(ResultsFile, ADiskThatFillsUpEndsTheFileWithOneWarningAndTheRunGoesOn) {
  const fs::path folder = fs::temp_directory_path() / "kelp-results-full-disk";
  fs::remove_all(folder);
  fs::create_directories(folder);
  const fs::path previous = fs::current_path();
  fs::current_path(folder);

  RaceResult race{{27, 1}, false, "12:00:03.102", 2382, "", 59124, {}};
  race.rows = {{3, 1, "27.25", 2725, "LINDQVIST, MAE", "GULL", "12:00:31.112", 26967}};
  const std::string first = results_csv_header() + race_csv_rows(race);
  ResultsFile results("20260106_030705");
  std::vector<ResultsAppend> appends;
  {
    // Room for the first race and a few bytes of the second.
    FileSizeLimit limit(static_cast<rlim_t>(first.size() + 10));
    for (int i = 0; i < 3; ++i) appends.push_back(append_race(results, race));
  }
  appends.push_back(append_race(results, race));  // room again: the file stays given up
  const std::string path = "captures/results_20260106_030705.csv";
  EXPECT_EQ(appends[0].path, path);
  EXPECT_EQ(appends[0].warning, "");
  EXPECT_EQ(appends[1].warning, "Warning: cannot write " + path + ": " + io_error_text(EFBIG) +
                                    "; the results of this race and the races after it are not "
                                    "saved\n");
  EXPECT_EQ(appends[1].path, "");
  for (std::size_t i = 2; i < appends.size(); ++i) {
    EXPECT_EQ((std::tuple{appends[i].path, appends[i].warning}), (std::tuple{"", ""}));
  }
  EXPECT_EQ(slurp(folder / path), first + race_csv_rows(race).substr(0, 10));

  fs::current_path(previous);
  fs::remove_all(folder);
}

TEST(SyncFile, WhatCannotBeMadeDurableIsAnError) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  FileHandle reader(ends[0]), writer(ends[1]);
  EXPECT_EQ(sync_file(writer), std::unexpected(EINVAL));  // a pipe has no storage
}

TEST(ListDirectoryFiles, LinksCountAsWhatTheyLeadTo) {
  const fs::path dir = fs::temp_directory_path() / "kelp-list-links";
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "real.scb") << "x";
  fs::create_symlink(dir / "real.scb", dir / "E1.scb");
  fs::create_symlink(dir / "sub", dir / "E2.scb");
  fs::create_symlink(dir / "nowhere", dir / "E3.scb");
  ASSERT_EQ(::mkfifo((dir / "E4.scb").c_str(), 0600), 0);  // never opened: it would wait
  auto listed = list_directory_files(dir.string());
  ASSERT_TRUE(listed);
  std::sort(listed->begin(), listed->end());
  EXPECT_EQ(*listed, (std::vector<std::string>{"E1.scb", "real.scb"}));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kelp
