// The subcommands. Each runs on settings already read from the command line and returns the
// process's exit status (0 when its work is done, 1 when its port or socket cannot be used). Fatal
// stops (status 101) and Ctrl+C end the process from inside the mode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "modes/chunking.h"
#include "modes/payloads.h"
#include "serial/serial.h"

namespace kelp {

struct UdpSettings {
  std::uint16_t port = 12000;
};

struct SerialCaptureSettings {
  std::string port;
  std::uint32_t baud = 9600;
  Parity parity = Parity::None;
  ChunkOptions chunking;
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
};

int udp_capture(const UdpSettings& settings);
int serial_capture(const SerialCaptureSettings& settings);
int probe_command(const ProbeSettings& settings);
int scan_command(const ScanSettings& settings);
int serial_proxy(const ProxySettings& settings);
int list_ports();

// The first port whose name contains "usbserial" or "usbmodem"; nothing when there is none or the
// ports cannot be listed.
std::optional<std::string> auto_detect_port();

}  // namespace kelp
