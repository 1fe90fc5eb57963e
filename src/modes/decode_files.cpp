// `decode FILE...`: the files' bytes read as one stream, in the order given (see decode.cpp).
#include <chrono>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/clock.h"
#include "capture/log_reader.h"
#include "decode/cts_stream.h"
#include "modes/decode_gaps.h"
#include "modes/decode_run.h"
#include "modes/decode_times.h"
#include "modes/log_input.h"
#include "modes/playback_pace.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/system_error.h"

namespace kelp {
namespace {

// A report from files goes out in pieces of about this size, each once the console has taken
// most of the one before: a slow reader slows the decoding down, nothing piles up.
constexpr std::size_t REPORT_PIECE = 64 * 1024;
constexpr std::chrono::milliseconds WAIT_SLICE{100};

// One file of the stream: raw bytes, or a log's records.
struct Source {
  std::string path;
  std::string content;
  std::optional<LoadedLog> log;
  std::string skipped;  // why it holds nothing to decode ("ERROR: ..." line), or ""
};

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

}  // namespace

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

}  // namespace kelp
