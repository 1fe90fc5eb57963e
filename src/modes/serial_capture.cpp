#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "capture/chunk.h"
#include "capture/clock.h"
#include "capture/files.h"
#include "modes/modes.h"
#include "platform/console.h"
#include "platform/interrupt.h"

namespace kelp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t ETX = 0x03;
constexpr std::size_t READ_SIZE = 4096;
constexpr std::chrono::milliseconds PORT_TIMEOUT{100};
// A chunk without ETX ends once the line has been quiet for longer than this.
constexpr std::chrono::milliseconds QUIET_TIME{200};

struct Capture {
  LogFile& log;
  std::string label;        // "Serial COM3"
  std::string quiet_label;  // "Serial COM3 [quiet-flush]"
  std::string source;       // "serial/COM3@9600"
  std::vector<std::uint8_t> pending;
  std::uint64_t record = 0;
};

// One chunk: the same number, time and bytes on the console, in the log and in the raw file.
void flush_chunk(Capture& capture, const std::string& label) {
  const std::string time = event_time();
  ++capture.record;
  record_chunk(capture.log, "serial",
               Chunk{capture.record, time, label, capture.source, capture.pending});
  capture.pending.clear();
}

std::string banner(const SerialCaptureSettings& settings, const std::string& log_path) {
  std::string text = "=== Serial Capture ===\n";
  text += "Port:  " + settings.port + "\n";
  text +=
      "Baud:  " + std::to_string(settings.baud) + " (8-" + parity_letter(settings.parity) + "-1)\n";
  text += "Logging to " + log_path + "\n";
  text += "Press Ctrl+C to stop.\n\n";
  text += std::string(60, '=') + "\n\n";
  return text;
}

}  // namespace

int serial_capture(const SerialCaptureSettings& settings) {
  LogFile log = open_log_file_or_stop("serial");

  write_stdout(banner(settings, log.path));

  auto opened =
      open_port(SerialSettings{settings.port, settings.baud, settings.parity, PORT_TIMEOUT});
  if (!opened) {
    write_stderr("ERROR: Failed to open " + settings.port + ": " + opened.error().description +
                 "\nRun `kelp-capture list` to see available ports.\n");
    return 1;
  }
  SerialDevice port = std::move(*opened);

  if (auto dtr = set_dtr(port, true); !dtr) {
    write_stderr("Warning: couldn't assert DTR: " + dtr.error().description + "\n");
  }
  if (auto rts = set_rts(port, true); !rts) {
    write_stderr("Warning: couldn't assert RTS: " + rts.error().description + "\n");
  }
  write_stdout("DTR and RTS asserted.\n\n");

  Capture capture{log,
                  "Serial " + settings.port,
                  "Serial " + settings.port + " [quiet-flush]",
                  "serial/" + settings.port + "@" + std::to_string(settings.baud),
                  {},
                  0};
  capture.pending.reserve(READ_SIZE);
  std::array<std::uint8_t, READ_SIZE> buffer{};
  auto last_data = Clock::now();

  // Pacing comes from the read time-out alone: each pass waits at most 100 ms in the serial layer.
  for (;;) {
    auto got = read(port, buffer);
    if (got) {
      if (*got > 0) {
        const auto bytes = std::span(buffer).first(*got);
        capture.pending.insert(capture.pending.end(), bytes.begin(), bytes.end());
        last_data = Clock::now();
        // The chunk ends with the read that brought the ETX, bytes after it included.
        if (std::find(bytes.begin(), bytes.end(), ETX) != bytes.end()) {
          flush_chunk(capture, capture.label);
        }
      }
    } else if (got.error().kind == IoErrorKind::TimedOut) {
      if (!capture.pending.empty() && Clock::now() - last_data > QUIET_TIME) {
        flush_chunk(capture, capture.quiet_label);
      }
    } else {
      write_stderr("Read error: " + got.error().text + "\n");
      // The line is gone, but what it delivered before failing is still part of the capture.
      if (!capture.pending.empty()) flush_chunk(capture, capture.label);
      return 0;
    }

    if (interrupted()) {
      if (!capture.pending.empty()) flush_chunk(capture, capture.quiet_label);
      end_as_interrupted();
    }
  }
}

}  // namespace kelp
