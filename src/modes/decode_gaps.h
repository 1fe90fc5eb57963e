// Where the stream that `decode` reads from files has gaps: places where the bytes before and the
// bytes after did not follow each other on the wire, so that no frame may be read across them.
//
//   between two files   unless both are raw files of one capture, one chunk after the other: the
//                       same folder and prefix, the number one more ("serial_0012_101500.bin" then
//                       "serial_0013_101501.bin"), and a time no earlier (past midnight counts
//                       as later when the step is under 12 hours). A name made unique with "_2"
//                       shares its number with another run's chunk and never continues one.
//                       Two logs, a log and a raw file, or two recordings of another program
//                       always have a gap between them.
//   within a log        before a record whose number does not follow the one before it (records
//                       were lost or skipped as damaged), that the reader warned about something
//                       before (a damaged record, stray text), or that is the first after the
//                       port came back (serial_source.h); and after the last record when the
//                       reader warned about something after it (the last record cut short), so
//                       that the end of the log is not taken for the end of the stream.
// Each gap comes with its reason, for the warning about a frame it cut off.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/log_reader.h"

namespace kelp {

struct ChunkFileName {
  std::string_view folder;  // up to and with the last separator; "" for none
  std::string_view prefix;  // "serial"
  std::uint64_t number = 0;
  std::uint32_t second_of_day = 0;
  bool made_unique = false;  // "_2" and so on after the time
};

// The parts of a raw file name as the tool writes it (PREFIX_NNNN_HHMMSS.bin); nothing otherwise.
std::optional<ChunkFileName> chunk_file_name(std::string_view path);

// Whether the raw file `next` holds the chunk that followed the one in `before`.
bool continues_chunk_file(std::string_view before, std::string_view next);

struct RecordGaps {
  // For each record, the reason of the gap before it; "" when the record follows on. The first
  // record has none: what comes before a file is the caller's to judge.
  std::vector<std::string> before;
  // After the last record, when the reader skipped something there (a last record cut short).
  std::string after_last;
};

RecordGaps record_gaps(std::string_view path, const LogReading& reading);

}  // namespace kelp
