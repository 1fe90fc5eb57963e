#include "capture/chunk.h"

#include "capture/render.h"

namespace kelp {

void record_chunk(LogFile& log, std::string_view bin_prefix, const Chunk& chunk) {
  print_analysis(chunk.console_label, chunk.seq, chunk.time, chunk.bytes);
  write_record(log, chunk.seq, chunk.time, chunk.source, chunk.bytes);
  save_bin(bin_prefix, chunk.seq, chunk.bytes);
}

}  // namespace kelp
