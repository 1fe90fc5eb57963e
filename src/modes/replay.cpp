// `replay`: the recorded bytes sent again, with the recorded spacing.
//
// A udp log's datagrams go to a UDP destination, each exactly as recorded; a serial log's chunks,
// or the frames of one direction of a proxy log, go onto a serial port opened as the capture modes
// open theirs, and only onto the port the user names: a recorded meet sent onto a port found by
// itself could reach the live timing console. The spacing is the difference of the instants the
// records were taken (a day change and a clock change counted), divided by --speed; each record is
// sent at its place on one schedule that starts with the first, so delays do not add up. One line
// per record sent, a summary at the end; Ctrl+C stops between records.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

#include "modes/log_input.h"
#include "modes/modes.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/system_error.h"
#include "platform/udp_sender.h"
#include "serial/serial.h"
#include "text/bytes.h"

namespace kelp {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view DEFAULT_HOST = "127.0.0.1";
constexpr std::uint16_t DEFAULT_UDP_PORT = 12000;
constexpr std::chrono::milliseconds PORT_TIMEOUT{100};
// A very slow speed would stretch the schedule past what the clock can count: a year is the cap.
constexpr double MAX_WAIT_MS = 366.0 * 24 * 60 * 60 * 1000;

struct Target {
  std::string description;  // "127.0.0.1:12000", "COM5 @ 9600-O-8-1"
  std::optional<UdpSocket> socket;
  Ipv4Endpoint endpoint;
  std::optional<SerialDevice> port;
};

std::string address_text(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string speed_text(double speed) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, speed).ptr;
  std::string shown(text, end);
  if (speed == 0) return shown + " (back to back)";
  if (speed == 1) return shown + " (as recorded)";
  return shown + " (" + shown + " times as fast)";
}

std::string seconds_text(Clock::duration elapsed) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld s", static_cast<long long>(ms / 1000),
                static_cast<long long>(ms % 1000));
  return text;
}

// Which target the log asks for, and whether the options given agree with it.
std::optional<std::string> kind_error(const LoadedLog& log, const ReplaySettings& settings) {
  const LogKind kind = log.reading.kind;
  const std::string name = std::string(log_kind_name(kind));
  if (kind == LogKind::Probe || kind == LogKind::Scan) {
    return "ERROR: " + log.path + " is a " + name +
           " log: replay takes udp, serial and proxy logs\n";
  }
  if (kind == LogKind::Udp && settings.port) {
    return "ERROR: " + log.path +
           " is a udp log: it replays to --to HOST:PORT, not onto a serial port\n";
  }
  if (kind != LogKind::Udp && settings.to) {
    return "ERROR: " + log.path + " is a " + name +
           " log: it replays onto a serial port (--port), not to --to\n";
  }
  if (kind != LogKind::Udp && !settings.port) {
    return "ERROR: " + log.path + " is a " + name +
           " log: name the serial port to send it onto with --port (replay never picks one "
           "itself; `kelp-capture list` shows the ports)\n";
  }
  if (kind == LogKind::Proxy && !settings.direction) {
    // An unquoted "MM->CTS6" reaches the tool as "MM-" with the rest taken by the shell as a
    // redirection, hence the hint.
    return "ERROR: " + log.path +
           " is a proxy log: choose the direction to replay with --direction \"MM->CTS6\" or "
           "--direction \"CTS6->MM\" (in quotes: the shell takes > for a redirection)\n";
  }
  return std::nullopt;
}

std::expected<Target, std::string> open_udp_target(const ReplaySettings& settings) {
  const Destination to =
      settings.to.value_or(Destination{std::string(DEFAULT_HOST), DEFAULT_UDP_PORT});
  auto address = resolve_ipv4(to.host);
  if (!address) {
    return std::unexpected("ERROR: --to " + to.host + ":" + std::to_string(to.port) + ": " +
                           address.error() + "\n");
  }
  auto socket = open_udp_sender();
  if (!socket) {
    return std::unexpected("ERROR: cannot open a UDP socket: " + io_error_text(socket.error()) +
                           "\n");
  }
  Target target;
  target.endpoint = Ipv4Endpoint{*address, to.port};
  target.description = address_text(*address) + ":" + std::to_string(to.port);
  target.socket = std::move(*socket);
  return target;
}

std::expected<Target, std::string> open_serial_target(const ReplaySettings& settings) {
  const std::string& name = *settings.port;
  auto opened = open_port(SerialSettings{name, settings.baud, settings.parity, PORT_TIMEOUT});
  if (!opened) {
    return std::unexpected("ERROR: Failed to open " + name + ": " + opened.error().description +
                           "\nRun `kelp-capture list` to see available ports.\n");
  }
  // As the other modes do: some devices listen only once the lines are up.
  (void)set_dtr(*opened, true);
  (void)set_rts(*opened, true);
  Target target;
  target.description = name + " @ " + line_settings_text(settings.baud, settings.parity);
  target.port = std::move(*opened);
  return target;
}

std::expected<void, std::string> send(Target& target, ByteView bytes) {
  if (target.socket) {
    auto sent = send_datagram(*target.socket, target.endpoint, bytes);
    if (!sent) return std::unexpected(io_error_text(sent.error()));
    return {};
  }
  if (auto written = write_all(*target.port, bytes); !written) {
    return std::unexpected(written.error().text);
  }
  // Out on the line before the record is reported as sent.
  if (auto flushed = flush(*target.port); !flushed) return std::unexpected(flushed.error().text);
  return {};
}

}  // namespace

int replay_command(const ReplaySettings& settings) {
  auto log = load_log(settings.log);
  if (!log) {
    write_stderr(log.error().line);
    return 1;
  }
  if (auto error = kind_error(*log, settings)) {
    write_stderr(*error);
    return 1;
  }
  const bool proxy = log->reading.kind == LogKind::Proxy;
  // When each record was taken, over the whole log, so that a day change is seen whichever
  // direction is sent.
  const std::vector<std::int64_t> taken = record_instants(*log, nullptr);
  std::vector<const LogRecord*> records;
  std::vector<std::int64_t> instants;
  for (std::size_t i = 0; i < log->reading.records.size(); ++i) {
    const LogRecord& record = log->reading.records[i];
    if (proxy && record.source != *settings.direction) continue;
    records.push_back(&record);
    instants.push_back(taken[i]);
  }
  if (records.empty()) {
    write_stderr(proxy ? "ERROR: " + log->path + ": no " + *settings.direction +
                             " frame in this proxy log\n"
                       : no_records_error(*log));
    return 1;
  }

  // --from is a record number (a frame's place in its direction); --count counts from there.
  std::size_t first = 0;
  while (first < records.size() && records[first]->number < settings.from) ++first;
  if (first == records.size()) {
    write_stderr("ERROR: " + log->path + ": no record from #" + std::to_string(settings.from) +
                 " on (the last is #" + std::to_string(records.back()->number) + ")\n");
    return 1;
  }
  std::size_t last = records.size();
  if (settings.count && *settings.count < last - first) {
    last = first + static_cast<std::size_t>(*settings.count);
  }

  auto target =
      log->reading.kind == LogKind::Udp ? open_udp_target(settings) : open_serial_target(settings);
  if (!target) {
    write_stderr(target.error());
    return 1;
  }

  const std::string unit = proxy ? "frames" : "records";
  std::string banner = "=== Replay ===\n";
  banner += "Log:      " + log->path + " (" + std::string(log_kind_name(log->reading.kind)) +
            " log" + (proxy ? ", " + *settings.direction + " frames" : std::string()) + ")\n";
  banner += "To:       " + target->description + "\n";
  banner += "Records:  ";
  if (first < last) {
    banner += "#" + std::to_string(records[first]->number) + " to #" +
              std::to_string(records[last - 1]->number) + ", ";
  }
  banner +=
      std::to_string(last - first) + " of " + std::to_string(records.size()) + " " + unit + "\n";
  banner += "Speed:    " + speed_text(settings.speed) + "\n";
  banner += "Press Ctrl+C to stop.\n\n";
  write_stdout(banner);

  const Clock::time_point start = Clock::now();
  std::size_t sent = 0;
  std::uint64_t bytes = 0;
  std::string failure;
  for (std::size_t i = first; i < last; ++i) {
    // Records written out of order (two proxy directions finishing together) go at once.
    const double gap_ms =
        static_cast<double>(std::max<std::int64_t>(instants[i] - instants[first], 0));
    const double wait_ms = settings.speed == 0 ? 0 : std::min(gap_ms / settings.speed, MAX_WAIT_MS);
    const auto offset = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(wait_ms));
    if (!sleep_unless_interrupted(start + offset)) break;
    const LogRecord& record = *records[i];
    if (auto result = send(*target, record.bytes); !result) {
      failure = "ERROR: sending #" + std::to_string(record.number) + ": " + result.error() + "\n";
      break;
    }
    ++sent;
    bytes += record.bytes.size();
    // One line per record: left out and counted, like a capture's views, behind a console that
    // takes nothing, so that a long log cannot pile up in memory.
    show_chunk_view("#" + std::to_string(record.number) + " " + record.time + " " +
                    std::to_string(record.bytes.size()) + " bytes\n");
  }

  const std::string totals = std::to_string(sent) + " of " + std::to_string(last - first) + " " +
                             unit + " (" + std::to_string(bytes) + " bytes) in " +
                             seconds_text(Clock::now() - start) + ".\n";
  if (!failure.empty()) {
    write_stderr(failure);
    write_stdout("\nSent " + totals);
    return 1;
  }
  if (interrupted()) {
    write_stdout("\nStopped by " + interrupt_name() + ": sent " + totals);
    target->port.reset();  // closed first: the driver's latency setting goes back
    end_as_interrupted();
  }
  write_stdout("\nSent " + totals);
  return 0;
}

}  // namespace kelp
