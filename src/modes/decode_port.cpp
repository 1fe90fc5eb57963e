// `decode --port`: the serial capture, with the board's changes in place of its chunk views.
#include <cstdint>
#include <string>

#include "capture/clock.h"
#include "decode/cts_stream.h"
#include "modes/decode_run.h"
#include "modes/decode_times.h"
#include "platform/console.h"
#include "platform/local_time.h"

namespace kelp {
namespace {

constexpr std::string_view LIVE_TITLE = "=== CTS Scoreboard Decode ===";
constexpr std::uint64_t LIVE_CHUNK_MS = 1000;

// The run's time stamp, as the log's name holds it ("serial_20261208_161316.log").
std::string stamp_of_log(const std::string& log_path) {
  constexpr std::size_t STAMP_SIZE = 15;
  const std::size_t name = log_path.find_last_of("/\\");
  const std::size_t at = log_path.find('_', name == std::string::npos ? 0 : name + 1);
  if (at == std::string::npos || log_path.size() < at + 1 + STAMP_SIZE) return run_timestamp();
  return log_path.substr(at + 1, STAMP_SIZE);
}

}  // namespace

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

}  // namespace kelp
