#include "modes/results_file.h"

#include <utility>

#include "board/results_text.h"
#include "capture/files.h"
#include "platform/system_error.h"

namespace kelp {
namespace {

ResultsAppend given_up(ResultsFile& results, const std::string& path, int error) {
  results.failed = true;
  results.file = FileHandle();
  return {"", false,
          "Warning: cannot write " + path + ": " + io_error_text(error) +
              "; the results of this race and the races after it are not saved\n"};
}

}  // namespace

ResultsAppend append_race(ResultsFile& results, const RaceResult& race) {
  if (results.failed) return {};
  std::string text;
  bool created = false;
  if (!results.file.is_open()) {
    const std::string stem = "results_" + results.stamp;
    if (auto made = create_captures_dir(); !made) {
      return given_up(results, capture_path(stem + ".csv"), made.error());
    }
    auto file = create_unique_file(stem, ".csv");
    if (!file) return given_up(results, capture_path(stem + ".csv"), file.error());
    results.file = std::move(file->file);
    results.path = std::move(file->path);
    text = results_csv_header();
    created = true;
  }
  text += race_csv_rows(race);
  if (auto written = write_file(results.file, text); !written) {
    return given_up(results, results.path, written.error());
  }
  if (auto synced = sync_file(results.file); !synced) {
    return given_up(results, results.path, synced.error());
  }
  return {results.path, created, ""};
}

}  // namespace kelp
