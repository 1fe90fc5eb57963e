#include "modes/proxy.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "capture/clock.h"
#include "modes/chunking.h"
#include "modes/modes.h"
#include "modes/port_lookup.h"
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

std::thread start_direction(std::string_view label, SerialDevice reader, ProxySide& own,
                            ProxySide& target, const SharedLog& log, const ChunkRules& rules,
                            std::optional<DirectionReconnect> reconnect) {
  try {
    return std::thread(forward_direction, label, std::move(reader), std::ref(own), std::ref(target),
                       log, rules, std::move(reconnect));
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

namespace {

std::string_view other_direction(std::string_view label) {
  return label == MM_TO_CTS6 ? CTS6_TO_MM : MM_TO_CTS6;
}

// Hands one read to the other port. Bytes for a port that is away are counted, not forwarded.
std::expected<void, IoError> forward(ByteView bytes, ProxySide& target) {
  std::lock_guard<std::mutex> hold(target.lock);
  if (!target.writer) {
    target.held_back += bytes.size();
    return {};
  }
  auto sent = write_all(*target.writer, bytes);
  if (!sent) return sent;
  (void)flush(*target.writer);
  return {};
}

// After the port of `own` failed: closes its last handle (the other direction's writer), waits
// for the port and opens it again with a clone for the other direction. Nothing on Ctrl+C.
std::optional<SerialDevice> reopen_side(std::string_view label, ProxySide& own,
                                        DirectionReconnect& reconnect,
                                        ReconnectClock::time_point failed_at) {
  {
    std::lock_guard<std::mutex> hold(own.lock);
    own.writer.reset();
  }
  const std::string prefix = "[" + std::string(label) + "] ";
  for (;;) {
    auto back = wait_for_port(reconnect.identity, reconnect.settings, failed_at, prefix);
    if (!back) return std::nullopt;
    auto clone = clone_port(back->device);
    if (!clone) {
      write_stderr(direction_error(label, "clone failed", clone.error().description));
      continue;
    }
    std::uint64_t held_back = 0;
    {
      std::lock_guard<std::mutex> hold(own.lock);
      own.writer = std::move(*clone);
      held_back = std::exchange(own.held_back, 0);
    }
    write_stdout("[" + std::string(other_direction(label)) + "] " + std::to_string(held_back) +
                 " bytes for " + back->name +
                 " arrived while it was away: recorded, not forwarded.\n");
    return std::move(back->device);
  }
}

}  // namespace

void forward_direction(std::string_view label, SerialDevice reader, ProxySide& own,
                       ProxySide& target, SharedLog log, ChunkRules rules,
                       std::optional<DirectionReconnect> reconnect) {
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
        const auto failed_at = ReconnectClock::now();
        write_stderr(direction_error(label, "read error", got.error().text));
        if (!reconnect) break;
        if (!pending.bytes.empty()) log_pending();
        // Closed at once: an adapter whose old node is still held comes back under a new name.
        { const SerialDevice failed = std::move(reader); }
        auto back = reopen_side(label, own, *reconnect, failed_at);
        if (!back) break;
        reader = std::move(*back);
        pending = start_pending(ChunkClock::now());
        continue;
      }
      if (check_time_out(pending, rules, ChunkClock::now()) != ChunkEnd::None) log_pending();
    } else if (*got > 0) {
      const ByteView bytes(buffer.data(), *got);
      // Forward first: the other side gets the bytes as soon as they arrive, whatever the
      // framing decides about printing them.
      auto sent = forward(bytes, target);
      // Bytes that could not be forwarded (or only in part) were still received on this side;
      // they stay in the frame so that the record shows everything that arrived.
      const ReadOutcome outcome = add_read(pending, bytes, rules, ChunkClock::now());
      if (!sent) {
        write_stderr(direction_error(label, "write error", sent.error().text));
        if (!reconnect) break;
        // The port may be on its way out; the direction that reads it sees that and reopens
        // it. Until then each read is tried again, and what failed counts as not forwarded.
        std::lock_guard<std::mutex> hold(target.lock);
        target.held_back += bytes.size();
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
  std::lock_guard<std::mutex> hold(target.lock);
  target.writer.reset();
}

int serial_proxy(const ProxySettings& settings) {
  SharedLog log = std::make_shared<ProxyLog>();
  log->file = open_log_file_or_stop("proxy");
  const std::string log_path = log->file.path;

  write_stdout(banner(settings, log_path));

  // Both opens happen before either result is looked at.
  const SerialSettings listen_settings{settings.listen, settings.baud, settings.parity,
                                       PORT_TIMEOUT};
  const SerialSettings forward_settings{settings.forward, settings.baud, settings.parity,
                                        PORT_TIMEOUT};
  auto mm_side = open_port(listen_settings);
  auto cts_side = open_port(forward_settings);
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

  // A fatal stop ends the process at once: the ports are closed first, which gives the drivers'
  // latency settings back.
  const auto stop = [&](std::string_view what, const SerialError& error) {
    { const SerialDevice listen_port = std::move(*mm_side); }
    { const SerialDevice forward_port = std::move(*cts_side); }
    fatal_stop(what, structured_rendering(error));
  };
  auto mm_clone = clone_port(*mm_side);
  if (!mm_clone) stop("clone mm_side failed", mm_clone.error());
  auto cts_clone = clone_port(*cts_side);
  if (!cts_clone) stop("clone cts_side failed", cts_clone.error());

  // What the machine says about the two ports now that they are open: a slow latency timer
  // (after the low-latency request) earns a warning, and --reconnect needs to know who they are.
  const std::vector<PortInfo> ports = enumerate_ports().value_or(std::vector<PortInfo>{});
  for (const std::string& name : {settings.listen, settings.forward}) {
    write_stderr(latency_warning_for(name, ports));
  }
  const auto reconnect_of = [&](const SerialSettings& opened) {
    return settings.reconnect ? std::optional<DirectionReconnect>(
                                    DirectionReconnect{port_identity(opened.port, ports), opened})
                              : std::nullopt;
  };

  // Each side's writer is the clone that the other direction forwards through.
  ProxySide mm;
  ProxySide cts;
  mm.writer = std::move(*mm_clone);
  cts.writer = std::move(*cts_clone);
  const ChunkRules rules = chunk_rules(FRAME_SILENCE, settings.chunking);
  std::thread mm_to_cts = start_direction(MM_TO_CTS6, std::move(*mm_side), mm, cts, log, rules,
                                          reconnect_of(listen_settings));
  std::thread cts_to_mm = start_direction(CTS6_TO_MM, std::move(*cts_side), cts, mm, log, rules,
                                          reconnect_of(forward_settings));

  mm_to_cts.join();
  cts_to_mm.join();

  log.reset();
  if (interrupted()) end_as_interrupted();
  return 0;
}

}  // namespace kelp
