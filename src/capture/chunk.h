// One captured chunk (a datagram, a serial chunk, a probe answer), shown and recorded.
//
// The chunk's number, time and bytes are the same in all three places: the log record, the raw
// .bin file and the console analysis, written in that order. Failures to write either file are
// dropped; the analysis is left out when the console has fallen far behind (console.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "capture/files.h"
#include "text/bytes.h"

namespace kelp {

struct Chunk {
  std::uint64_t seq = 0;
  std::string_view time;           // event_time, "23:17:05.042"
  std::string_view console_label;  // "UDP 192.168.1.20:50123", "Serial COM3 [quiet-flush]"
  std::string_view source;         // the log record's source, "udp/192.168.1.20:50123"
  ByteView bytes;
};

// `bin_prefix` names the raw file: "udp", "serial" or "probe".
void record_chunk(LogFile& log, std::string_view bin_prefix, const Chunk& chunk);

// The log record and the raw file only, for a mode that shows the bytes its own way.
void record_chunk_files(LogFile& log, std::string_view bin_prefix, const Chunk& chunk);

}  // namespace kelp
