#include "capture/chunk.h"

#include "capture/render.h"

namespace kelp {

void record_chunk_files(LogFile& log, std::string_view bin_prefix, const Chunk& chunk) {
  write_record(log, chunk.seq, chunk.time, chunk.source, chunk.bytes);
  save_bin(bin_prefix, chunk.seq, chunk.bytes);
}

void record_chunk(LogFile& log, std::string_view bin_prefix, const Chunk& chunk) {
  // The files first: they are the record, and the console may be slow or not reading at all.
  record_chunk_files(log, bin_prefix, chunk);
  print_analysis(chunk.console_label, chunk.seq, chunk.time, chunk.bytes);
}

}  // namespace kelp
