// `decode`: what a CTS scoreboard stream puts on the board, as it changes.
//
// From files, the bytes of every file given make one stream, in the order given: a log of
// `serial` or `probe` gives its records' bytes (the record times go with the changes), any other
// file is a raw recording taken byte for byte, so that a capture's .bin files given in order read
// as the stream they were cut from. Every file must be usable, or nothing is decoded.
//
// From a port, the serial capture runs as `serial --chunk-ms 1000` runs it, with the same log and
// raw files, and the board's changes are shown in place of the chunk views, each read's bytes
// decoded as they arrive.
#include <chrono>
#include <expected>
#include <string>
#include <vector>

#include "capture/clock.h"
#include "capture/log_reader.h"
#include "decode/cts_stream.h"
#include "modes/decode_view.h"
#include "modes/log_input.h"
#include "modes/modes.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/local_time.h"
#include "platform/system_error.h"

namespace kelp {
namespace {

constexpr std::string_view LIVE_TITLE = "=== CTS Scoreboard Decode ===";
constexpr std::uint64_t LIVE_CHUNK_MS = 1000;
// A report from files goes out in pieces of about this size, each once the console has taken
// most of the one before: a slow reader slows the decoding down, nothing piles up.
constexpr std::size_t REPORT_PIECE = 64 * 1024;
constexpr std::chrono::milliseconds WAIT_SLICE{100};

// One file of the stream: raw bytes, or a log's records.
struct Source {
  std::string path;
  std::string content;
  std::optional<LoadedLog> log;
};

// Where the changes go, and how a tag gives the time of the bytes it was fed with.
struct Board {
  bool json = false;
  std::function<void(std::string)> show;
  std::function<void(std::string)> warn;
  std::function<std::string(std::uint64_t)> time_of;
};

void show_event(const Board& board, const CtsEvent& event) {
  const std::string time = board.time_of(event.tag);
  if (event.damaged) {
    board.warn(damaged_frame_warning(event, time));
    return;
  }
  std::string text = board.json ? change_json(event, time) : change_line(event, time);
  if (!text.empty()) board.show(std::move(text));
}

std::expected<Source, std::string> load_source(const std::string& path) {
  auto content = read_whole_file(path, interrupted);
  if (interrupted()) end_as_interrupted();
  if (!content) {
    return std::unexpected("ERROR: cannot read " + path + ": " + io_error_text(content.error()) +
                           "\n");
  }
  Source source{path, std::move(*content), std::nullopt};
  if (source.content.empty()) return source;
  LogReading reading = read_log(source.content, interrupted);
  if (reading.stopped) end_as_interrupted();
  switch (reading.kind) {
    case LogKind::Unknown:
      return source;  // a raw recording
    case LogKind::Serial:
    case LogKind::Probe:
      break;
    default:
      return std::unexpected("ERROR: " + path + " is a " +
                             std::string(log_kind_name(reading.kind)) +
                             " log: decode reads serial and probe logs and raw recordings\n");
  }
  LoadedLog log{path, std::move(reading)};
  write_log_warnings(log);
  if (log.reading.records.empty()) return std::unexpected(no_records_error(log));
  source.content.clear();
  source.log = std::move(log);
  return source;
}

void wait_for_room(std::size_t bytes) {
  while (!wait_for_console(bytes, WAIT_SLICE)) {
    if (interrupted()) end_as_interrupted();
  }
}

// The report of a decoding from files: stdout in pieces, warnings in their place among them.
struct Report {
  std::string pending;

  void flush() {
    if (pending.empty()) return;
    write_stdout(pending);
    pending.clear();
    wait_for_room(REPORT_PIECE);
  }
};

int decode_files(const DecodeSettings& settings) {
  std::vector<Source> sources;
  for (const std::string& path : settings.files) {
    auto source = load_source(path);
    if (!source) {
      write_stderr(source.error());
      return 1;
    }
    sources.push_back(std::move(*source));
  }

  Report report;
  std::vector<std::string> times;  // tag n is the time of times[n - 1]; 0: no time
  const Board board{settings.json, [&report](std::string text) { report.pending += text; },
                    [&report](std::string text) {
                      report.flush();
                      write_stderr(text);
                    },
                    [&times](std::uint64_t tag) { return tag ? times[tag - 1] : std::string(); }};
  CtsDecoder decoder;
  const CtsSink sink = [&board](const CtsEvent& event) { show_event(board, event); };
  const auto after_piece = [&report] {
    if (report.pending.size() >= REPORT_PIECE) report.flush();
    if (interrupted()) end_as_interrupted();
  };

  for (const Source& source : sources) {
    if (!source.log) {
      const ByteView bytes = bytes_of(source.content);
      for (std::size_t at = 0; at < bytes.size(); at += REPORT_PIECE) {
        cts_feed(decoder, bytes.subspan(at, std::min(REPORT_PIECE, bytes.size() - at)), 0, sink);
        after_piece();
      }
      continue;
    }
    for (const LogRecord& record : source.log->reading.records) {
      times.push_back(record.time);
      cts_feed(decoder, record.bytes, times.size(), sink);
      after_piece();
    }
  }
  cts_finish(decoder, sink);
  report.flush();
  if (decoder.offset > 0 && decoder.skipped_bytes == decoder.offset) {
    write_stderr("Warning: no control byte (0x80 and up) in these " +
                 std::to_string(decoder.offset) +
                 " bytes: they hold no frame of a CTS scoreboard stream\n");
  }
  wait_for_room(0);
  return 0;
}

std::string time_of_day_text(std::uint64_t ms) {
  LocalTime t;
  t.hour = static_cast<int>(ms / 3600000);
  t.minute = static_cast<int>(ms / 60000 % 60);
  t.second = static_cast<int>(ms / 1000 % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  return format_event_time(t);
}

int decode_port(const DecodeSettings& settings) {
  // Live, a tag is the local time of day of the read, in milliseconds, plus one.
  // Live, the files are the record and the board is a view: behind a console that takes
  // nothing, changes and damage warnings are left out and counted like chunk views.
  const auto show = settings.json ? show_machine_view : show_chunk_view;
  const Board board{settings.json, show, show_repeated_error,
                    [](std::uint64_t tag) { return tag ? time_of_day_text(tag - 1) : ""; }};
  CtsDecoder decoder;
  const CtsSink sink = [&board](const CtsEvent& event) { show_event(board, event); };
  const auto on_read = [&decoder, &sink](ByteView bytes) {
    const LocalTime now = local_time_now();
    const auto ms = static_cast<std::uint64_t>(
        ((now.hour * 60 + now.minute) * 60 + now.second) * 1000 + now.millisecond);
    cts_feed(decoder, bytes, ms + 1, sink);
  };
  const auto on_end = [&decoder, &sink] { cts_finish(decoder, sink); };

  // Scripts read the changes alone on stdout; the banner then goes with the other messages.
  const auto say = settings.json ? write_stderr : write_stdout;
  const SerialCaptureSettings capture{*settings.port, settings.baud, settings.parity,
                                      ChunkOptions{ETX, LIVE_CHUNK_MS}, settings.reconnect};
  return serial_capture_with(capture, SerialCaptureView{LIVE_TITLE, say, on_read, on_end});
}

}  // namespace

int decode_command(const DecodeSettings& settings) {
  return settings.port ? decode_port(settings) : decode_files(settings);
}

}  // namespace kelp
