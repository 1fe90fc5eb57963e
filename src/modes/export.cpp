// `export`: the records of one or more logs as one pcapng file, for Wireshark and tshark.
//
// Every log given must be usable, or nothing is written: a half-made file next to an error would
// pass for a whole one. Among several, a log that holds nothing to export (an empty file, a log
// without a readable record, a scan log) is skipped with a warning; only when none is left is
// that an error. A udp log's datagrams become IPv4/UDP packets from the recorded sender to
// 0.0.0.0 and --port (the log records neither); the chunks of a serial log, the response of a probe
// log and the frames of a proxy log become serial-line packets, MM->CTS6 as transmitted data and
// everything else as received data. Each log is one interface; the packets of all of them go out
// in time order.
//
// The file goes where --out says, or to the standard output with --out - (binary, so that
// `kelp-capture export LOG --out - | tshark -r -` works); it is never written into a directory or
// onto a device, and a file cut short by Ctrl+C or a failed write is taken back.
#include <algorithm>
#include <string>
#include <vector>

#include "capture/files.h"
#include "capture/log_time.h"
#include "capture/pcapng.h"
#include "modes/log_input.h"
#include "modes/modes.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/system_error.h"
#include "text/bytes.h"

namespace kelp {
namespace {

constexpr std::string_view LOG_EXTENSION = ".log";
constexpr std::string_view PCAPNG_EXTENSION = ".pcapng";
constexpr std::uint32_t NO_DESTINATION = 0;  // 0.0.0.0
constexpr std::string_view STANDARD_OUTPUT = "-";
// Written in pieces of this size, Ctrl+C looked at between them.
constexpr std::size_t WRITE_PIECE = 1 << 20;

struct Packet {
  std::uint64_t microseconds = 0;
  std::uint32_t interface = 0;
  std::string data;
  Direction direction = Direction::Inbound;
  std::size_t order = 0;  // its place before sorting
};

std::string base_name(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string interface_description(LogKind kind) {
  switch (kind) {
    case LogKind::Udp:
      return "kelp-capture udp log: scoreboard datagrams";
    case LogKind::Serial:
      return "kelp-capture serial log: chunks received";
    case LogKind::Probe:
      return "kelp-capture probe log: the response received";
    case LogKind::Proxy:
      return "kelp-capture proxy log: MM->CTS6 transmitted, CTS6->MM received";
    default:
      return "kelp-capture log";
  }
}

void add_packets(const LoadedLog& log, std::uint32_t interface, std::uint16_t port,
                 std::vector<Packet>& packets) {
  std::string undated;
  const std::vector<std::int64_t> instants = record_instants(log, &undated);
  if (!undated.empty()) write_stderr(undated);
  for (std::size_t i = 0; i < log.reading.records.size(); ++i) {
    const LogRecord& record = log.reading.records[i];
    Packet packet;
    packet.microseconds = static_cast<std::uint64_t>(std::max<std::int64_t>(instants[i], 0)) * 1000;
    packet.interface = interface;
    if (log.reading.kind == LogKind::Udp) {
      if (record.bytes.size() > MAX_UDP_PAYLOAD) {
        write_stderr("Warning: " + log.path + ":" + std::to_string(record.line) + ": record #" +
                     std::to_string(record.number) + ": " + std::to_string(record.bytes.size()) +
                     " bytes do not fit in an IPv4 packet, not exported\n");
        continue;
      }
      const UdpSender sender = *udp_sender_of(record.source);
      packet.data = ipv4_udp_packet(sender.address, sender.port, NO_DESTINATION, port,
                                    static_cast<std::uint16_t>(packets.size()), record.bytes);
    } else {
      packet.direction = record.source == "MM->CTS6" ? Direction::Outbound : Direction::Inbound;
      packet.data = serial_line_packet(packet.microseconds, packet.direction, record.bytes);
    }
    packets.push_back(std::move(packet));
  }
}

// --out as given, else the first log's name with .pcapng in place of .log, in the capture folder;
// the naming rule of the capture files adds _2, _3, ... before the extension when it is taken.
std::expected<LogFile, int> create_output(const ExportSettings& settings, std::string& wanted) {
  if (settings.out) {
    wanted = *settings.out;
    const std::string name = base_name(wanted);
    const std::size_t dot = name.rfind('.');
    // A leading dot (".pcapng") is the whole name, not an extension.
    const std::size_t split =
        dot == std::string::npos || dot == 0 ? wanted.size() : wanted.size() - name.size() + dot;
    return create_unique_path(wanted.substr(0, split), wanted.substr(split));
  }
  // In the capture folder, whichever folder the log is in: nothing else is written outside it.
  std::string stem = base_name(settings.logs.front());
  if (stem.ends_with(LOG_EXTENSION)) stem.resize(stem.size() - LOG_EXTENSION.size());
  wanted = capture_path(stem + std::string(PCAPNG_EXTENSION));
  return create_unique_file(stem, PCAPNG_EXTENSION);
}

// An --out that cannot take the file: the "ERROR: ..." line, before anything is read or made.
std::optional<std::string> output_error(const ExportSettings& settings) {
  if (!settings.out) return std::nullopt;
  const std::string& out = *settings.out;
  if (out == STANDARD_OUTPUT) {
    if (standard_output_was_closed()) {
      return "ERROR: --out - writes the pcapng file to the standard output, which is closed "
             "here: send it to a program or a file (kelp-capture export LOG --out - | tshark -r "
             "-)\n";
    }
    if (!standard_output_is_terminal()) return std::nullopt;
    return "ERROR: --out - writes the pcapng file to the standard output, which is a terminal "
           "here: send it to a program or a file (kelp-capture export LOG --out - | tshark -r -)\n";
  }
  switch (path_kind(out)) {
    case PathKind::Directory:
      return "ERROR: --out " + out + " is a directory: name the file to write\n";
    case PathKind::Other:
      return "ERROR: --out " + out +
             " is not a regular file (a device or a pipe): name a file, or write to the "
             "standard output with --out -\n";
    case PathKind::Missing:
    case PathKind::RegularFile:
      break;
  }
  return std::nullopt;
}

// Writes the file in pieces; false when Ctrl+C came first (a write that it cut short included).
// `write` gives the OS error of a failed piece.
template <typename Write>
std::expected<bool, int> write_in_pieces(std::string_view file, Write write) {
  for (std::size_t at = 0; at < file.size(); at += WRITE_PIECE) {
    if (interrupted()) return false;
    if (auto written = write(bytes_of(file.substr(at, WRITE_PIECE))); !written) {
      if (interrupted()) return false;
      return std::unexpected(written.error());
    }
  }
  return !interrupted();
}

}  // namespace

int export_command(const ExportSettings& settings) {
  if (auto error = output_error(settings)) {
    write_stderr(*error);
    return 1;
  }
  std::vector<LoadedLog> logs;
  bool usable = true;
  // Among several logs, one that holds nothing to export is skipped; alone, it is the error.
  const bool several = settings.logs.size() > 1;
  const auto holds_nothing = [several, &usable](const std::string& error) {
    write_stderr(several ? skipped_input_warning(error) : error);
    usable = usable && several;
  };
  for (const std::string& path : settings.logs) {
    auto log = load_log(path);
    if (!log) {
      if (log.error().holds_nothing) {
        holds_nothing(log.error().line);
      } else {
        write_stderr(log.error().line);
        usable = false;
      }
    } else if (log->reading.kind == LogKind::Scan) {
      holds_nothing("ERROR: " + path + " is a scan log: it holds no packets to export\n");
    } else if (log->reading.records.empty()) {
      holds_nothing(no_records_error(*log));
    } else {
      logs.push_back(std::move(*log));
    }
  }
  if (!usable) return 1;
  if (logs.empty()) {
    write_stderr(nothing_left_error("export", settings.logs.size()));
    return 1;
  }

  std::vector<Packet> packets;
  std::vector<std::string> names;
  std::string interfaces;
  std::string summary;
  for (std::uint32_t i = 0; i < logs.size(); ++i) {
    const LoadedLog& log = logs[i];
    add_packets(log, i, settings.port, packets);
    names.push_back(base_name(log.path));
    append_interface(interfaces,
                     log.reading.kind == LogKind::Udp ? LINKTYPE_IPV4 : LINKTYPE_RTAC_SERIAL,
                     names.back(), interface_description(log.reading.kind));
    summary += log.path + ": " + std::string(log_kind_name(log.reading.kind)) + " log, " +
               std::to_string(log.reading.records.size()) + " records\n";
  }
  if (packets.empty()) {
    write_stderr("ERROR: no record fits in a packet: nothing to export\n");
    return 1;
  }
  // Several logs merge by time; packets of the same moment keep the order the logs give them.
  // (std::stable_sort would do the same, but it trips a deprecation inside libstdc++ 12 when
  // clang compiles it.)
  for (std::size_t i = 0; i < packets.size(); ++i) packets[i].order = i;
  std::sort(packets.begin(), packets.end(), [](const Packet& a, const Packet& b) {
    return a.microseconds != b.microseconds ? a.microseconds < b.microseconds : a.order < b.order;
  });

  std::string comment = "Exported by kelp-capture from ";
  for (std::size_t i = 0; i < names.size(); ++i) comment += (i == 0 ? "" : ", ") + names[i];
  std::string file;
  const std::string comments[] = {comment};
  append_section_header(file, "kelp-capture " KELP_VERSION, comments);
  file += interfaces;
  for (const Packet& packet : packets) {
    append_packet(file, packet.interface, packet.microseconds, bytes_of(packet.data),
                  packet.direction);
  }

  if (interrupted()) end_as_interrupted();

  const std::string wrote = " (" + std::to_string(packets.size()) + " packets)\n";
  if (settings.out == STANDARD_OUTPUT) {
    // The standard output carries the file: the lines about it go to the error stream.
    const auto written = write_in_pieces(file, write_standard_output);
    if (!written) {
      write_stderr("ERROR: cannot write the standard output: " + io_error_text(written.error()) +
                   "\n");
      return 1;
    }
    if (!*written) end_as_interrupted();
    write_stderr(summary + "Wrote the standard output" + wrote);
    return 0;
  }

  std::string wanted;
  auto out = create_output(settings, wanted);
  if (!out) {
    write_stderr("ERROR: cannot create " + wanted + ": " + io_error_text(out.error()) + "\n");
    return 1;
  }
  const auto written =
      write_in_pieces(file, [&](ByteView piece) { return write_file(out->file, piece); });
  if (!written || !*written) {
    // A file cut short would open as a capture that lost its end: take it back.
    out->file.reset(FileHandle::INVALID);
    remove_file(out->path);
    if (written) end_as_interrupted();
    write_stderr("ERROR: cannot write " + out->path + ": " + io_error_text(written.error()) + "\n");
    return 1;
  }
  write_stdout(summary + "Wrote " + out->path + wrote);
  return 0;
}

}  // namespace kelp
