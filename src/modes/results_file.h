// The run's results file: each race's results appended as soon as the race ends, and on disk
// before the call returns, so that a crash or a pulled cable loses no race that has ended.
//
// `captures/results_<run stamp>.csv` (the stamp of the run, as its log's name has), created only
// when the first race ends, never over another run's file (`_2`, `_3`, ... when the name is
// taken). UTF-8 CSV as results_text.h writes it: the header once, when the file is created, then
// each race's rows in one write, handed to the storage device at once.
//
// A write that fails (the disk full, the drive gone) gives one warning, and no race is written to
// the file after it: a row cut short by the failure is never followed by another glued to it. The
// run goes on; the console still shows each race.
#pragma once

#include <string>

#include "board/race.h"
#include "platform/file.h"

namespace kelp {

struct ResultsFile {
  explicit ResultsFile(std::string run_stamp) : stamp(std::move(run_stamp)) {}

  std::string stamp;  // "20261206_231705"
  std::string path;   // once created: captures/results_20261206_231705.csv
  FileHandle file;
  bool failed = false;  // a write failed and was warned of: nothing more is written
};

struct ResultsAppend {
  std::string path;      // the file the race is in, "" when it is not in one
  bool created = false;  // this race created the file (and wrote its header)
  std::string warning;   // given once, when writing first fails:
                         // "Warning: cannot write <path>: <system text> (os error N); the
                         //  results of this race and the races after it are not saved\n"
};

// Appends the race's rows (creating the file, with its header, on the first race).
ResultsAppend append_race(ResultsFile& results, const RaceResult& race);

}  // namespace kelp
