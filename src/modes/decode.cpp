// `decode`: what a CTS scoreboard stream puts on the board, as it changes.
//
// From files, the bytes of the files given are read in the order given: a log of `serial` or
// `probe` gives its records' bytes (each change gets the time its bytes arrived, estimated from the
// record's time), any other file is a raw recording taken byte for byte. Wherever the bytes before
// and after did not follow each other on the wire (decode_gaps.h: between files that are not
// consecutive chunks of one capture, around a record the log reader skipped, across an outage of
// the port) the decoder is told of a gap, so no frame is ever read across one. A file that cannot
// be read, or a log of a kind that does not carry the stream, stops everything before anything is
// decoded; a file that is empty, or a log without a readable record, is skipped with a warning
// when other files are given.
//
// From a port, the serial capture runs as `serial --chunk-ms 1000` runs it, with the same log and
// raw files, and the board's changes are shown in place of the chunk views, each read's bytes
// decoded as they arrive; an outage of the port (--reconnect) is a gap.
//
// Damaged frames are listed a few at a time; beyond that they are counted, and one line at the
// end gives the count. Another says so when more than 1 byte in 10 is not laid out as the stream
// is (a console's stream is all frames).
#include "modes/decode_run.h"
#include "modes/modes.h"

namespace kelp {

int decode_command(const DecodeSettings& settings) {
  return settings.port ? decode_port(settings) : decode_files(settings);
}

}  // namespace kelp
