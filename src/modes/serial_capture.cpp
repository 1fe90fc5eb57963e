#include <array>
#include <chrono>
#include <string>
#include <string_view>

#include "capture/chunk.h"
#include "capture/clock.h"
#include "capture/files.h"
#include "modes/chunking.h"
#include "modes/modes.h"
#include "modes/port_lookup.h"
#include "modes/reconnect.h"
#include "modes/serial_source.h"
#include "platform/console.h"
#include "platform/interrupt.h"

namespace kelp {

namespace {

constexpr std::size_t READ_SIZE = 4096;
constexpr std::chrono::milliseconds PORT_TIMEOUT{100};
// A chunk without an end byte ends once the line has been quiet for longer than this.
constexpr std::chrono::milliseconds QUIET_TIME{200};

struct Capture {
  const SerialCaptureView& view;
  LogFile& log;
  std::string label;   // "Serial COM3"
  std::string source;  // "serial/COM3@9600"
  PendingChunk pending;
  std::uint64_t record = 0;
  bool after_outage = false;  // the port came back: the next record says so (serial_source.h)
};

// The console label says why a chunk ended when no end byte ended it.
std::string console_label(const Capture& capture, ChunkEnd end) {
  switch (end) {
    case ChunkEnd::Silence:
      return capture.label + " [quiet-flush]";
    case ChunkEnd::Age:
      return capture.label + " [time-flush]";
    case ChunkEnd::EndByte:
    case ChunkEnd::None:
      break;
  }
  return capture.label;
}

// One chunk: the same number, time and bytes in the log, in the raw file and on the console.
void flush_chunk(Capture& capture, ChunkEnd end) {
  const std::string time = event_time();
  const std::string label = console_label(capture, end);
  ++capture.record;
  const std::string source =
      capture.after_outage ? capture.source + std::string(RECONNECTED_MARK) : capture.source;
  capture.after_outage = false;
  const Chunk chunk{capture.record, time, label, source, capture.pending.bytes};
  if (capture.view.on_read) {
    record_chunk_files(capture.log, "serial", chunk);
  } else {
    record_chunk(capture.log, "serial", chunk);
  }
  capture.pending.bytes.clear();
}

// The bytes so far are recorded and the stream ends here (the port failed, Ctrl+C): whoever
// watches the bytes gets to finish too.
void end_capture(Capture& capture) {
  if (capture.view.on_end) capture.view.on_end();
}

void warn_unless_lines_raised(const std::expected<void, SerialError>& dtr,
                              const std::expected<void, SerialError>& rts) {
  if (!dtr) write_stderr("Warning: couldn't assert DTR: " + dtr.error().description + "\n");
  if (!rts) write_stderr("Warning: couldn't assert RTS: " + rts.error().description + "\n");
}

std::string banner(const SerialCaptureSettings& settings, const std::string& log_path,
                   const SerialCaptureView& view) {
  std::string text = std::string(view.title) + "\n";
  text += "Port:  " + settings.port + "\n";
  text +=
      "Baud:  " + std::to_string(settings.baud) + " (8-" + parity_letter(settings.parity) + "-1)\n";
  text += "Logging to " + log_path + "\n";
  text += view.banner_lines;
  text += "Press Ctrl+C to stop.\n\n";
  text += std::string(60, '=') + "\n\n";
  return text;
}

}  // namespace

int serial_capture(const SerialCaptureSettings& settings) {
  SerialCaptureView view;
  view.title = "=== Serial Capture ===";
  view.say = write_stdout;
  return serial_capture_with(settings, view);
}

int serial_capture_with(const SerialCaptureSettings& settings, const SerialCaptureView& view) {
  LogFile log = open_log_file_or_stop("serial");

  if (view.on_log) view.on_log(log.path);
  view.say(banner(settings, log.path, view));

  const SerialSettings port_settings{settings.port, settings.baud, settings.parity, PORT_TIMEOUT};
  auto opened = open_port(port_settings);
  if (!opened) {
    write_stderr("ERROR: Failed to open " + settings.port + ": " + opened.error().description +
                 "\nRun `kelp-capture list` to see available ports.\n");
    return 1;
  }
  SerialDevice port = std::move(*opened);

  // What the machine says about the port now that it is open: its latency timer (after the
  // low-latency request) and, for --reconnect, who it is.
  const std::vector<PortInfo> ports = enumerate_ports().value_or(std::vector<PortInfo>{});
  write_stderr(latency_warning_for(settings.port, ports));
  PortIdentity identity = port_identity(settings.port, ports);

  const auto dtr = set_dtr(port, true);  // DTR first, then RTS
  warn_unless_lines_raised(dtr, set_rts(port, true));
  view.say("DTR and RTS asserted.\n\n");

  const ChunkRules rules = chunk_rules(QUIET_TIME, settings.chunking);
  Capture capture{view,
                  log,
                  "Serial " + settings.port,
                  serial_source(settings.port, settings.baud),
                  start_pending(ChunkClock::now()),
                  0};
  std::array<std::uint8_t, READ_SIZE> buffer{};

  // Pacing comes from the read time-out alone: each pass waits at most 100 ms in the serial layer.
  for (;;) {
    auto got = read(port, buffer);
    if (got) {
      if (*got > 0) {
        const ByteView bytes(buffer.data(), *got);
        const ReadOutcome outcome = add_read(capture.pending, bytes, rules, ChunkClock::now());
        if (outcome.warn_stream) write_stderr(STREAM_WARNING);
        if (outcome.end != ChunkEnd::None) flush_chunk(capture, outcome.end);
        if (view.on_read) view.on_read(bytes);
      }
    } else if (got.error().kind == IoErrorKind::TimedOut) {
      const ChunkEnd end = check_time_out(capture.pending, rules, ChunkClock::now());
      if (end != ChunkEnd::None) flush_chunk(capture, end);
    } else {
      const auto failed_at = ChunkClock::now();
      write_stderr("Read error: " + got.error().text + "\n");
      // The line is gone, but what it delivered before failing is still part of the capture
      // (under the plain label: neither a silence nor the age ended it).
      if (!capture.pending.bytes.empty()) flush_chunk(capture, ChunkEnd::EndByte);
      if (!settings.reconnect) {
        end_capture(capture);
        return 0;
      }
      // What comes after the return is not the continuation of what came before.
      if (view.on_gap) view.on_gap();
      // Closed at once: an adapter whose old node is still held comes back under a new name.
      { const SerialDevice failed = std::move(port); }
      auto back = wait_for_port(identity, port_settings, failed_at, "", view.say);
      if (!back) end_as_interrupted();
      port = std::move(back->device);
      warn_unless_lines_raised(back->dtr, back->rts);
      capture.pending = start_pending(ChunkClock::now());
      capture.after_outage = true;
      continue;
    }

    if (view.on_tick) view.on_tick();
    if (interrupted()) {
      if (!capture.pending.bytes.empty()) flush_chunk(capture, ChunkEnd::Silence);
      end_capture(capture);
      // Closed before the process ends, so that the driver's latency setting is given back.
      { const SerialDevice closing = std::move(port); }
      end_as_interrupted();
    }
  }
}

}  // namespace kelp
