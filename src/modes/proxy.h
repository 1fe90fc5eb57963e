// The pieces of the serial proxy (`serial_proxy` in modes.h) that run on its two direction threads.
//
// The proxy forwards every byte between Meet Manager's port and the timing console's port and
// records both directions as frames. Each direction thread owns the port it reads and a clone of
// the port it writes; the two threads share only the log file, behind one lock that is held while
// one frame record is written and for nothing else. The log closes when the last of its holders
// (the main thread and the two direction threads) lets go of it.
//
// A frame ends by the chunking rule of modes/chunking.h (an end byte, ETX unless told otherwise;
// more than 100 ms of silence; the --chunk-ms age), when the direction ends (its read or write
// failed) and when the user presses Ctrl+C: no byte that was read is left out of the log.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "capture/files.h"
#include "modes/chunking.h"
#include "serial/serial.h"
#include "text/bytes.h"

namespace kelp {

struct ProxyLog {
  LogFile file;
  std::mutex lock;
};

using SharedLog = std::shared_ptr<ProxyLog>;

inline constexpr std::string_view MM_TO_CTS6 = "MM->CTS6";
inline constexpr std::string_view CTS6_TO_MM = "CTS6->MM";

// One frame as it is shown and as it is recorded:
//   console  "[time label] (n bytes)\n  TEXT: <escaped text>\n  HEX:  <hex>\n"
//   log      "[time label] n bytes\n  TEXT: <decoded text, control bytes as they are>\n"
//            "  HEX:  <hex>\n\n"
struct FrameText {
  std::string console;
  std::string log;
};

FrameText format_frame(std::string_view time, std::string_view label, ByteView bytes);

// Appends the frame's record to the log under the log's lock, then hands its lines to the console
// as one piece. Failures to write the file are ignored.
void log_frame(std::string_view label, ByteView bytes, const SharedLog& log);

// The body of one direction thread: reads `reader`, forwards each read to `writer` before anything
// is rendered, and logs frames. Returns once a read fails (other than a time-out), a write fails or
// an interrupt has been seen, after logging what is pending; the two devices and the reference to
// the log are released on return.
void forward_direction(std::string_view label, SerialDevice reader, SerialDevice writer,
                       SharedLog log, ChunkRules rules);

}  // namespace kelp
