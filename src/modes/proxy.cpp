#include "modes/proxy.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "capture/clock.h"
#include "modes/chunking.h"
#include "modes/modes.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "text/byte_text.h"
#include "text/hex.h"

namespace kelp {

namespace {

constexpr std::size_t READ_SIZE = 4096;
constexpr auto PORT_TIMEOUT = std::chrono::milliseconds(50);
// A frame without an end byte ends once the line has been quiet for longer than this.
constexpr auto FRAME_SILENCE = std::chrono::milliseconds(100);

// Text is built by appending: GCC 12 warns falsely (-Wrestrict) about `"literal" + std::string`
// chains once they are inlined.
std::string banner(const ProxySettings& settings, const std::string& log_path) {
  const std::string& listen = settings.listen;
  const std::string line_settings = line_settings_text(settings.baud, settings.parity);
  std::string text;
  text += "=== Serial Proxy ===\n";
  text += "MM side (listen):  ";
  text += listen;
  text += " @ ";
  text += line_settings;
  text += "\nCTS6 side (real):  ";
  text += settings.forward;
  text += " @ ";
  text += line_settings;
  text += '\n';
  text += "Logging to:        ";
  text += log_path;
  text += "\n\n";
  text += "Setup:\n";
  text += "  1. Install com0com and create a virtual port pair (e.g., ";
  text += listen;
  text += " <-> COM5)\n";
  text += "  2. In Meet Manager: Setups > Timing Console INTERFACE > CTS6\n";
  text += "     Set COM Port = the OTHER virtual port (COM5 in example)\n";
  text += "  3. Both halves of com0com pair speak to each other\n";
  text += "  4. This proxy opens ";
  text += listen;
  text += " (one half) + ";
  text += settings.forward;
  text += " (real CTS6)\n";
  text += "  5. Press F3 in MM - you'll see every byte in both directions\n";
  text += "\n";
  text += "Ctrl+C to stop.\n\n";
  text += std::string(60, '=');
  text += "\n";
  return text;
}

// "[MM->CTS6] read error: <text>\n"
std::string direction_error(std::string_view label, std::string_view what, std::string_view text) {
  std::string line;
  line += '[';
  line += label;
  line += "] ";
  line += what;
  line += ": ";
  line += text;
  line += '\n';
  return line;
}

std::string open_error(std::string_view name, std::string_view description) {
  std::string line = "ERROR opening ";
  line += name;
  line += ": ";
  line += description;
  line += '\n';
  return line;
}

// The system error of a thread that could not be started, in the tool's I/O error form. The code
// belongs to the error's own category, so its message is taken from there rather than from the
// platform's error table.
std::string spawn_error_text(const std::system_error& error) {
  std::string text = error.code().message();
  text += " (os error ";
  text += std::to_string(error.code().value());
  text += ')';
  return text;
}

std::thread start_direction(std::string_view label, SerialDevice reader, SerialDevice writer,
                            const SharedLog& log, const ChunkRules& rules) {
  try {
    return std::thread(forward_direction, label, std::move(reader), std::move(writer), log, rules);
  } catch (const std::system_error& error) {
    fatal_stop("failed to spawn thread", spawn_error_text(error));
  }
}

}  // namespace

FrameText format_frame(std::string_view time, std::string_view label, ByteView bytes) {
  const std::string text = decode_text(bytes);
  const std::string escaped = escape_text(text);
  const std::string hex = hex_string(bytes);
  const std::string count = std::to_string(bytes.size());

  FrameText frame;
  frame.console.reserve(32 + label.size() + escaped.size() + hex.size());
  frame.console += '[';
  frame.console += time;
  frame.console += ' ';
  frame.console += label;
  frame.console += "] (";
  frame.console += count;
  frame.console += " bytes)\n  TEXT: ";
  frame.console += escaped;
  frame.console += "\n  HEX:  ";
  frame.console += hex;
  frame.console += '\n';

  frame.log = format_frame_record(time, label, bytes.size(), text, hex);
  return frame;
}

void log_frame(std::string_view label, ByteView bytes, const SharedLog& log) {
  FrameText frame = format_frame(event_time(), label, bytes);
  {
    // One write per record: the other direction's record can never land inside this one, and a
    // record is either in the file whole or not started.
    std::lock_guard<std::mutex> hold(log->lock);
    write_log_text(log->file, frame.log);
  }
  // The file first, the console after, and never under the log's lock: the three console lines
  // go out as one piece, so neither thread can split a line, and they never hold up forwarding.
  show_chunk_view(std::move(frame.console));
}

void forward_direction(std::string_view label, SerialDevice reader, SerialDevice writer,
                       SharedLog log, ChunkRules rules) {
  std::array<std::uint8_t, READ_SIZE> buffer{};
  PendingChunk pending = start_pending(ChunkClock::now());
  const auto log_pending = [&] {
    log_frame(label, pending.bytes, log);
    pending.bytes.clear();
  };

  for (;;) {
    auto got = read(reader, buffer);
    if (!got) {
      if (got.error().kind != IoErrorKind::TimedOut) {
        write_stderr(direction_error(label, "read error", got.error().text));
        break;
      }
      if (check_time_out(pending, rules, ChunkClock::now()) != ChunkEnd::None) log_pending();
    } else if (*got > 0) {
      const ByteView bytes(buffer.data(), *got);
      // Forward first: the other side gets the bytes as soon as they arrive, whatever the
      // framing decides about printing them.
      auto sent = write_all(writer, bytes);
      if (sent) (void)flush(writer);
      // Bytes that could not be forwarded (or only in part) were still received on this side;
      // they stay in the frame so that the record shows everything that arrived.
      const ReadOutcome outcome = add_read(pending, bytes, rules, ChunkClock::now());
      if (!sent) {
        write_stderr(direction_error(label, "write error", sent.error().text));
        break;
      }
      if (outcome.warn_stream) {
        write_stderr("[" + std::string(label) + "] " + std::string(STREAM_WARNING));
      }
      if (outcome.end != ChunkEnd::None) log_pending();
    }
    // Ctrl+C: end this direction with the frame in hand written out; the main thread ends the
    // process once both directions have done so.
    if (interrupted()) break;
  }

  if (!pending.bytes.empty()) log_pending();
}

int serial_proxy(const ProxySettings& settings) {
  SharedLog log = std::make_shared<ProxyLog>();
  log->file = open_log_file_or_stop("proxy");
  const std::string log_path = log->file.path;

  write_stdout(banner(settings, log_path));

  // Both opens happen before either result is looked at.
  auto mm_side = open_port({settings.listen, settings.baud, settings.parity, PORT_TIMEOUT});
  auto cts_side = open_port({settings.forward, settings.baud, settings.parity, PORT_TIMEOUT});
  if (!mm_side) {
    write_stderr(open_error(settings.listen, mm_side.error().description));
    return 1;
  }
  if (!cts_side) {
    write_stderr(open_error(settings.forward, cts_side.error().description));
    return 1;
  }

  // Some adapters and consoles only talk once the lines are up; a driver that cannot set them
  // still forwards bytes, so a failure here is no reason to stop.
  (void)set_dtr(*mm_side, true);
  (void)set_rts(*mm_side, true);
  (void)set_dtr(*cts_side, true);
  (void)set_rts(*cts_side, true);

  auto mm_clone = clone_port(*mm_side);
  if (!mm_clone) fatal_stop("clone mm_side failed", structured_rendering(mm_clone.error()));
  auto cts_clone = clone_port(*cts_side);
  if (!cts_clone) fatal_stop("clone cts_side failed", structured_rendering(cts_clone.error()));

  const ChunkRules rules = chunk_rules(FRAME_SILENCE, settings.chunking);
  std::thread mm_to_cts =
      start_direction(MM_TO_CTS6, std::move(*mm_side), std::move(*cts_clone), log, rules);
  std::thread cts_to_mm =
      start_direction(CTS6_TO_MM, std::move(*cts_side), std::move(*mm_clone), log, rules);

  mm_to_cts.join();
  cts_to_mm.join();

  log.reset();
  if (interrupted()) end_as_interrupted();
  return 0;
}

}  // namespace kelp
