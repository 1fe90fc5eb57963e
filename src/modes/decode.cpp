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
#include <chrono>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/clock.h"
#include "capture/log_reader.h"
#include "decode/cts_board.h"
#include "decode/cts_stream.h"
#include "modes/board_server.h"
#include "modes/decode_board.h"
#include "modes/decode_gaps.h"
#include "modes/decode_times.h"
#include "modes/decode_view.h"
#include "modes/log_input.h"
#include "modes/modes.h"
#include "modes/playback_pace.h"
#include "modes/results_file.h"
#include "modes/start_list_folder.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/local_time.h"
#include "platform/network_addresses.h"
#include "platform/system_error.h"

namespace kelp {
namespace {

constexpr std::string_view LIVE_TITLE = "=== CTS Scoreboard Decode ===";
constexpr std::uint64_t LIVE_CHUNK_MS = 1000;
// A report from files goes out in pieces of about this size, each once the console has taken
// most of the one before: a slow reader slows the decoding down, nothing piles up.
constexpr std::size_t REPORT_PIECE = 64 * 1024;
constexpr std::chrono::milliseconds WAIT_SLICE{100};
// Damaged frames warned about one by one; the rest are counted.
constexpr std::uint64_t DAMAGE_LISTED = 5;

// One file of the stream: raw bytes, or a log's records.
struct Source {
  std::string path;
  std::string content;
  std::optional<LoadedLog> log;
  std::string skipped;  // why it holds nothing to decode ("ERROR: ..." line), or ""
};

// Where the changes go, and the time of the bytes that opened an event's frame.
struct Changes {
  bool json = false;
  bool lines = true;   // false while the console board stands in for them
  bool names = false;  // --start-lists: lane lines name the swimmer
  std::function<void(std::string)> show;
  std::function<void(std::string)> warn;
  std::function<std::string(const CtsEvent&)> time_of;
  std::string gap;  // where the latest gap is, for the warning about a frame it cut off
  std::uint64_t damaged = 0;
  DecodeBoard* board = nullptr;
  std::string last_time;  // of the latest event
};

void warn_about(Changes& changes, std::string text) {
  if (changes.board) decode_board_warning(*changes.board, text);
  changes.warn(std::move(text));
}

void show_event(Changes& changes, const CtsEvent& event) {
  if (event.damaged) {
    if (++changes.damaged <= DAMAGE_LISTED) {
      warn_about(changes, damaged_frame_warning(event, changes.time_of(event), changes.gap));
    }
    return;
  }
  std::string time = changes.time_of(event);
  if (changes.board) decode_board_event(*changes.board, event, time);
  if (changes.lines) {
    std::optional<const StartEntry*> swimmer;
    if (changes.names && cts_role(event.channel) == CtsRole::Lane) {
      swimmer = changes.board ? decode_board_swimmer(*changes.board, event.channel) : nullptr;
    }
    std::string text =
        changes.json ? change_json(event, time, swimmer) : change_line(event, time, swimmer);
    if (!text.empty()) changes.show(std::move(text));
  }
  changes.last_time = std::move(time);
}

// The lines that close a decoding: the damage not listed, and bytes that are no CTS stream.
std::string closing_warnings(const CtsDecoder& decoder, std::uint64_t damaged) {
  std::string text;
  if (damaged > DAMAGE_LISTED) {
    text += "Warning: " + std::to_string(damaged - DAMAGE_LISTED) +
            " more damaged frames skipped, not listed one by one (" + std::to_string(damaged) +
            " in all)\n";
  }
  const std::string bytes = std::to_string(decoder.offset);
  if (decoder.offset > 0 && decoder.skipped_bytes == decoder.offset) {
    text += "Warning: no control byte (0x80 and up) in these " + bytes +
            " bytes: they hold no frame of a CTS scoreboard stream\n";
  } else if (decoder.layout_bytes * 10 < (decoder.offset - decoder.skipped_bytes) * 9) {
    // A console's stream is all frames; random bytes (a wrong baud rate) are about half frames.
    // Data bytes outside a frame (at the start, after a gap) are the rest of a frame not seen.
    const std::uint64_t framed = decoder.offset - decoder.skipped_bytes;
    text += "Warning: only " + std::to_string(decoder.layout_bytes * 100 / framed) +
            " % of these " + bytes +
            " bytes are frames of a CTS scoreboard stream (a control byte and up to 8 data "
            "bytes, each for a cell of its own): probably another kind of file, or a line read "
            "at the wrong baud rate or parity\n";
  }
  return text;
}

std::expected<Source, std::string> load_source(const std::string& path) {
  auto content = read_whole_file(path, interrupted);
  if (interrupted()) end_as_interrupted();
  if (!content) {
    return std::unexpected("ERROR: cannot read " + path + ": " + io_error_text(content.error()) +
                           "\n");
  }
  Source source{path, std::move(*content), std::nullopt, ""};
  if (source.content.empty()) {
    source.skipped = empty_input_error(path);
    return source;
  }
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
  if (log.reading.records.empty()) source.skipped = no_records_error(log);
  source.content.clear();
  source.log = std::move(log);
  return source;
}

// The files to decode, each skipped one warned about; or the error that stops everything.
std::expected<std::vector<Source>, std::string> load_sources(
    const std::vector<std::string>& paths) {
  std::vector<Source> sources;
  std::string skipped;
  for (const std::string& path : paths) {
    auto source = load_source(path);
    if (!source) return std::unexpected(source.error());
    if (source->skipped.empty()) {
      sources.push_back(std::move(*source));
    } else if (paths.size() == 1) {
      return std::unexpected(source->skipped);
    } else {
      skipped += skipped_input_warning(source->skipped);
    }
  }
  if (!skipped.empty()) write_stderr(skipped);
  if (sources.empty()) {
    return std::unexpected(nothing_left_error("decode", paths.size()));
  }
  return sources;
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

// A log record as fed: where its bytes begin in the stream and when they arrived.
struct FedRecord {
  std::uint64_t first_offset = 0;
  RecordTiming timing;
  const std::string* time = nullptr;  // as written, for a record without an estimate
};

std::string record_byte_time(const FedRecord& record, std::uint64_t offset) {
  if (record.timing.byte_ms <= 0) return *record.time;
  return time_of_day_text(
      byte_arrival_ms(record.timing, static_cast<std::size_t>(offset - record.first_offset)));
}

// The board's parts that the options ask for, opened before anything is created: a start lists
// folder that cannot be read, or an address that cannot be served, stops the run first.
struct BoardParts {
  std::optional<StartListFolder> folder;
  std::optional<WebServer> server;
  std::optional<ResultsFile> results;
  std::optional<DecodeBoard> board;
};

std::optional<std::string> open_board_parts(const DecodeSettings& settings, BoardParts& parts) {
  if (settings.start_lists) {
    auto folder = open_start_list_folder(*settings.start_lists);
    if (!folder) return folder.error();
    parts.folder.emplace(std::move(*folder));
  }
  if (settings.serve) {
    auto server = start_board_server(*settings.serve);
    if (!server) return server.error();
    parts.server.emplace(std::move(*server));
  }
  return std::nullopt;
}

// The board, when anything shows it: a terminal, the server, or names and results.
void start_board(const DecodeSettings& settings, BoardParts& parts, Changes& changes,
                 std::function<void(std::string)> print) {
  const bool console_board = !settings.json && console_board_possible();
  if (!console_board && !parts.server && !parts.folder) return;
  DecodeBoardSettings board;
  board.console_board = console_board;
  if (console_board || (parts.folder && !settings.json)) board.print = std::move(print);
  board.warn = changes.warn;
  board.lanes = settings.lanes;
  board.server = parts.server ? &*parts.server : nullptr;
  board.folder = parts.folder ? &*parts.folder : nullptr;
  board.results = parts.results ? &*parts.results : nullptr;
  parts.board.emplace(start_decode_board(board, BoardClock::now()));
  changes.board = &*parts.board;
  changes.lines = !console_board;
  changes.names = parts.folder.has_value();
}

// Results are kept when the run shows the board beyond the console.
bool keeps_results(const DecodeSettings& settings) {
  return settings.serve || settings.start_lists;
}

std::string serve_banner(const DecodeSettings& settings, const BoardParts& parts) {
  if (!parts.server) return "";
  return board_server_banner(*settings.serve, web_server_port(*parts.server),
                             network_addresses());
}

// Playing files at their pace: waits until a byte is due, keeping the board's clock going.
struct Player {
  bool paced = false;
  PlaybackPace pace;
  BoardClock::time_point start = BoardClock::now();
  DecodeBoard* board = nullptr;
};

void tick(DecodeBoard* board) {
  if (board) decode_board_tick(*board, BoardClock::now());
  if (interrupted()) end_as_interrupted();
}

void wait_until_due(Player& player, double due_ms, const std::function<void()>& before_wait) {
  const auto due = player.start + std::chrono::microseconds(static_cast<std::int64_t>(due_ms * 1000));
  if (due <= BoardClock::now() + std::chrono::milliseconds(2)) return;
  before_wait();
  for (auto now = BoardClock::now(); now < due; now = BoardClock::now()) {
    std::this_thread::sleep_for(std::min<BoardClock::duration>(due - now, WAIT_SLICE));
    tick(player.board);
  }
}

int decode_files(const DecodeSettings& settings) {
  auto loaded = load_sources(settings.files);
  if (!loaded) {
    write_stderr(loaded.error());
    return 1;
  }
  const std::vector<Source>& sources = *loaded;
  BoardParts parts;
  if (auto error = open_board_parts(settings, parts)) {
    write_stderr(*error);
    return 1;
  }
  if (keeps_results(settings)) parts.results.emplace(run_timestamp());

  Report report;
  std::vector<FedRecord> fed;  // tag n is fed[n - 1]; 0: a raw recording, no time
  Changes changes;
  changes.json = settings.json;
  changes.show = [&report](std::string text) { report.pending += text; };
  changes.warn = [&report](std::string text) {
    report.flush();
    write_stderr(text);
  };
  changes.time_of = [&fed](const CtsEvent& event) {
    return event.tag ? record_byte_time(fed[event.tag - 1], event.offset) : std::string();
  };
  // Scripts read the changes alone on stdout; the banner then goes with the other messages.
  const std::string banner = serve_banner(settings, parts);
  if (settings.json) {
    write_stderr(banner);
  } else {
    report.pending += banner;
  }
  start_board(settings, parts, changes, [&report](std::string text) { report.pending += text; });
  report.flush();

  CtsDecoder decoder;
  const CtsSink sink = [&changes](const CtsEvent& event) { show_event(changes, event); };
  const auto gap = [&](std::string where) {
    changes.gap = std::move(where);
    cts_gap(decoder, sink);
  };
  const auto after_piece = [&report] {
    if (report.pending.size() >= REPORT_PIECE) report.flush();
    if (interrupted()) end_as_interrupted();
  };
  Player player;
  player.paced = parts.server && settings.speed > 0;
  player.pace.speed = settings.speed;
  player.board = changes.board;
  // Fed in runs of bytes that are due together; the changes so far are shown before a wait.
  const auto feed = [&](ByteView bytes, std::uint64_t tag, const auto& due_of) {
    if (!player.paced) {
      cts_feed(decoder, bytes, tag, sink);
      return;
    }
    std::size_t from = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      wait_until_due(player, due_of(i), [&] {
        cts_feed(decoder, bytes.subspan(from, i - from), tag, sink);
        from = i;
        report.flush();
        if (changes.board) decode_board_bytes(*changes.board, BoardClock::now());
      });
    }
    cts_feed(decoder, bytes.subspan(from), tag, sink);
    if (changes.board) decode_board_bytes(*changes.board, BoardClock::now());
  };
  const double raw_byte_ms = line_byte_ms(settings.baud, settings.parity != Parity::None);

  for (std::size_t i = 0; i < sources.size(); ++i) {
    const Source& source = sources[i];
    // Nothing fed yet (files of empty records only): there is no frame to cut.
    if (i > 0 && decoder.offset > 0 &&
        (source.log || sources[i - 1].log ||
         !continues_chunk_file(sources[i - 1].path, source.path))) {
      gap(source.path + " does not continue " + sources[i - 1].path);
    }
    pace_new_file(player.pace);
    if (!source.log) {
      const ByteView bytes = bytes_of(source.content);
      for (std::size_t at = 0; at < bytes.size(); at += REPORT_PIECE) {
        feed(bytes.subspan(at, std::min(REPORT_PIECE, bytes.size() - at)), 0,
             [&](std::size_t) { return pace_raw_byte(player.pace, raw_byte_ms); });
        after_piece();
      }
      continue;
    }
    const std::vector<LogRecord>& records = source.log->reading.records;
    const RecordGaps gaps = record_gaps(source.path, source.log->reading);
    const bool serial = source.log->reading.kind == LogKind::Serial;
    for (std::size_t r = 0; r < records.size(); ++r) {
      const LogRecord& record = records[r];
      if (!gaps.before[r].empty()) gap(gaps.before[r]);
      FedRecord entry{decoder.offset, {}, &record.time};
      entry.timing.time_ms = record.time_of_day_ms;
      if (r > 0) entry.timing.previous_ms = records[r - 1].time_of_day_ms;
      entry.timing.size = record.bytes.size();
      entry.timing.byte_ms = serial ? byte_time_ms(record.source) : 0;
      fed.push_back(entry);
      const RecordTiming& timing = fed.back().timing;
      feed(record.bytes, fed.size(), [&](std::size_t k) {
        return pace_log_byte(player.pace, timing.byte_ms > 0 ? byte_arrival_ms(timing, k)
                                                              : timing.time_ms);
      });
      after_piece();
    }
    if (!gaps.after_last.empty()) gap(gaps.after_last);
  }
  cts_finish(decoder, sink);
  report.flush();
  if (changes.board) {
    decode_board_finish(*changes.board, changes.last_time, decoder.offset, true);
    report.flush();
  }
  const std::string closing = closing_warnings(decoder, changes.damaged);
  if (!closing.empty()) write_stderr(closing);
  wait_for_room(0);
  if (!parts.server) return 0;
  const std::string end_line =
      "End of the recording: the last board stays served until Ctrl+C.\n";
  settings.json ? write_stderr(end_line) : write_stdout(end_line);
  for (;;) {
    std::this_thread::sleep_for(WAIT_SLICE);
    tick(changes.board);
  }
}

// The run's time stamp, as the log's name holds it ("serial_20261208_161316.log").
std::string stamp_of_log(const std::string& log_path) {
  constexpr std::size_t STAMP_SIZE = 15;
  const std::size_t name = log_path.find_last_of("/\\");
  const std::size_t at = log_path.find('_', name == std::string::npos ? 0 : name + 1);
  if (at == std::string::npos || log_path.size() < at + 1 + STAMP_SIZE) return run_timestamp();
  return log_path.substr(at + 1, STAMP_SIZE);
}

int decode_port(const DecodeSettings& settings) {
  BoardParts parts;
  if (auto error = open_board_parts(settings, parts)) {
    write_stderr(*error);
    return 1;
  }
  // Live, a tag is the local time of day of the read, in milliseconds, plus one.
  // Live, the files are the record and the board is a view: behind a console that takes
  // nothing, changes and damage warnings are left out and counted like chunk views.
  Changes changes;
  changes.json = settings.json;
  changes.show = settings.json ? show_machine_view : show_chunk_view;
  changes.warn = show_repeated_error;
  changes.time_of = [](const CtsEvent& event) {
    return event.tag ? time_of_day_text(static_cast<std::uint32_t>(event.tag - 1))
                     : std::string();
  };
  changes.gap = "the port was away";
  start_board(settings, parts, changes, write_stdout);

  CtsDecoder decoder;
  const CtsSink sink = [&changes](const CtsEvent& event) { show_event(changes, event); };
  const auto now_ms = [] {
    const LocalTime now = local_time_now();
    return static_cast<std::uint32_t>(((now.hour * 60 + now.minute) * 60 + now.second) * 1000 +
                                      now.millisecond);
  };
  const auto on_read = [&](ByteView bytes) {
    if (changes.board) decode_board_bytes(*changes.board, BoardClock::now());
    cts_feed(decoder, bytes, std::uint64_t{now_ms()} + 1, sink);
  };
  const auto on_gap = [&] {
    cts_gap(decoder, sink);
    if (changes.board) decode_board_away(*changes.board);
  };
  const auto on_end = [&] {
    cts_finish(decoder, sink);
    if (changes.board) {
      decode_board_finish(*changes.board, time_of_day_text(now_ms()), decoder.offset, false);
    }
    const std::string closing = closing_warnings(decoder, changes.damaged);
    if (!closing.empty()) write_stderr(closing);
  };
  SerialCaptureView view;
  view.title = LIVE_TITLE;
  view.say = settings.json ? write_stderr : write_stdout;
  view.on_read = on_read;
  view.on_end = on_end;
  view.on_gap = on_gap;
  view.banner_lines = serve_banner(settings, parts);
  if (keeps_results(settings) && changes.board) {
    view.on_log = [&](const std::string& log_path) {
      changes.board->settings.results = &parts.results.emplace(stamp_of_log(log_path));
    };
  }
  view.on_tick = [&] {
    if (changes.board) decode_board_tick(*changes.board, BoardClock::now());
  };
  const SerialCaptureSettings capture{*settings.port, settings.baud, settings.parity,
                                      ChunkOptions{ETX, LIVE_CHUNK_MS}, settings.reconnect};
  return serial_capture_with(capture, view);
}

}  // namespace

int decode_command(const DecodeSettings& settings) {
  return settings.port ? decode_port(settings) : decode_files(settings);
}

}  // namespace kelp
