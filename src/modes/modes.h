// The subcommands. Each runs on settings already read from the command line and returns the
// process's exit status (0 when its work is done, 1 when its port or socket cannot be used). Fatal
// stops (status 101) and Ctrl+C end the process from inside the mode.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "modes/chunking.h"
#include "modes/payloads.h"
#include "serial/serial.h"
#include "text/bytes.h"

namespace kelp {

struct UdpSettings {
  std::uint16_t port = 12000;
};

struct SerialCaptureSettings {
  std::string port;
  std::uint32_t baud = 9600;
  Parity parity = Parity::None;
  ChunkOptions chunking;
  bool reconnect = false;  // --reconnect: a failed port is waited for (modes/reconnect.h)
};

// What a serial capture shows instead of its chunk views (`decode --port`). The capture records
// exactly as it always does; `on_read` gets the bytes of every read as they arrive, after they
// joined the pending chunk. Once the bytes so far are recorded, `on_gap` is called when the port
// failed and --reconnect waits for it (what comes after the return is not the continuation of
// what came before), and `on_end` when the stream ends: the port failed without --reconnect, or
// Ctrl+C. The banner, under `title`, and the line about DTR and RTS go to `say`; `banner_lines`
// (whole lines) go in the banner after the log's name, which `on_log` is told once the log is
// created. `on_tick` is called after every read or read time-out (at least every 100 ms while
// the port is there).
struct SerialCaptureView {
  std::string_view title;
  std::function<void(std::string_view)> say;
  std::function<void(ByteView)> on_read;
  std::function<void()> on_end;
  std::function<void()> on_gap;
  std::string banner_lines;
  std::function<void(const std::string&)> on_log;
  std::function<void()> on_tick;
};

// `decode`: a CTS scoreboard stream shown as the board changes, from files (logs of `serial` or
// `probe` and raw recordings, one stream in the order given) or live from `port`, which is then
// recorded as `serial --chunk-ms 1000` records it.
// Where `decode --serve [HOST:]PORT` serves the board: this computer only by default.
struct ServeAddress {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  bool operator==(const ServeAddress&) const = default;
};

struct DecodeSettings {
  std::vector<std::string> files;
  std::optional<std::string> port;
  std::uint32_t baud = 9600;  // also the pace of a raw recording played with --serve
  Parity parity = Parity::Even;
  bool json = false;
  bool reconnect = false;  // live: a failed port is waited for, as in `serial`
  std::optional<ServeAddress> serve;       // --serve: the board's pages, JSON and event stream
  double speed = 1;                        // files with --serve: 2 twice as fast, 0 back to back
  unsigned lanes = 10;                     // --lanes N: lanes 1..N on the board (1-10)
  std::optional<std::string> start_lists;  // --start-lists DIR: Meet Manager's E*.scb files
};

struct ProbeSettings {
  std::string port;
  std::uint32_t baud = 9600;
  Parity parity = Parity::None;
  std::uint64_t wait_ms = 2000;
  ProbePayload payload;
};

struct ScanSettings {
  std::string port;
  std::uint64_t wait_ms = 800;
  std::vector<Parity> parities;
};

struct ProxySettings {
  std::string listen;
  std::string forward;
  std::uint32_t baud = 9600;
  Parity parity = Parity::None;
  ChunkOptions chunking;
  bool reconnect = false;  // --reconnect: the side that failed is waited for and reopened
};

// `export`: the logs, in the order given, into one pcapng file.
struct ExportSettings {
  std::vector<std::string> logs;
  std::optional<std::string> out;  // default: the first log's name with .pcapng
  std::uint16_t port = 12000;      // where udp datagrams are shown going to
};

struct Destination {
  std::string host;  // a name or a dotted IPv4 address
  std::uint16_t port = 0;
};

// `replay`: one log's records sent again. A udp log goes to `to` (default 127.0.0.1:12000), a
// serial log or one direction of a proxy log onto the serial port `port`, which must be given.
// Either option given for the other kind of log is an error.
struct ReplaySettings {
  std::string log;
  std::optional<Destination> to;
  std::optional<std::string> port;
  std::uint32_t baud = 9600;
  Parity parity = Parity::None;
  std::optional<std::string> direction;  // "MM->CTS6" or "CTS6->MM"
  double speed = 1.0;                    // 0: back to back
  std::uint64_t from = 1;                // the first record number sent
  std::optional<std::uint64_t> count;    // all when not given
};

int udp_capture(const UdpSettings& settings);
int serial_capture(const SerialCaptureSettings& settings);
int serial_capture_with(const SerialCaptureSettings& settings, const SerialCaptureView& view);
int probe_command(const ProbeSettings& settings);
int scan_command(const ScanSettings& settings);
int serial_proxy(const ProxySettings& settings);
int list_ports();
int export_command(const ExportSettings& settings);
int replay_command(const ReplaySettings& settings);
int decode_command(const DecodeSettings& settings);

// The first port whose name contains "usbserial" or "usbmodem"; nothing when there is none or the
// ports cannot be listed.
std::optional<std::string> auto_detect_port();

}  // namespace kelp
