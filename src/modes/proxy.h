// The pieces of the serial proxy (`serial_proxy` in modes.h) that run on its two direction threads.
//
// The proxy forwards every byte between Meet Manager's port and the timing console's port and
// records both directions as frames. Each direction thread owns the port it reads and a clone of
// the port it writes; the two threads share only the log file, behind one lock that is held while
// one frame record is written and for nothing else. The log closes when the last of its holders
// (the main thread and the two direction threads) lets go of it.
//
// With --reconnect a port that fails is waited for and reopened by the direction that reads it,
// while the other port stays open: Meet Manager's end of the virtual pair never sees an error.
// Bytes that arrive for the missing port meanwhile are recorded (they were on the wire) but not
// forwarded, and counted when it returns.
//
// A frame ends by the chunking rule of modes/chunking.h (an end byte, ETX unless told otherwise;
// more than 100 ms of silence; the --chunk-ms age), when the direction ends (its read or write
// failed) and when the user presses Ctrl+C: no byte that was read is left out of the log.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "capture/files.h"
#include "modes/chunking.h"
#include "modes/reconnect.h"
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

// One port of the proxy as the direction that writes to it sees it. That direction forwards
// through `writer` under `lock`; the direction that reads the port empties `writer` when the port
// fails and, with --reconnect, puts a handle of the reopened port there and takes the count of
// bytes held back meanwhile. Nothing else is shared between the two directions but the log.
struct ProxySide {
  std::mutex lock;
  std::optional<SerialDevice> writer;  // empty while the port is away
  std::uint64_t held_back = 0;         // bytes that arrived for it while it was away
};

// What a direction needs to get its port back (--reconnect).
struct DirectionReconnect {
  PortIdentity identity;
  SerialSettings settings;
};

// The body of one direction thread: reads `reader` (the port of `own`), forwards each read through
// `target` before anything is rendered, and logs frames. Without `reconnect` it returns once a
// read fails (other than a time-out) or a write fails; with it, only on Ctrl+C. It logs what is
// pending before it returns, and releases its reader, the writer of `target` and its reference
// to the log.
void forward_direction(std::string_view label, SerialDevice reader, ProxySide& own,
                       ProxySide& target, SharedLog log, ChunkRules rules,
                       std::optional<DirectionReconnect> reconnect);

}  // namespace kelp
