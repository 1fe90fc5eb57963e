// The `list` subcommand and the choice of a serial port when no --port is given, as pure
// functions of an enumerated port list; `list_ports` and `auto_detect_port` (modes.h) feed them
// the machine's ports.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "serial/ports.h"

namespace kelp {

// "=== Available Serial Ports ===\n\n" followed by one block per port, each ending in an empty
// line, or by "(none found)\n".
std::string format_port_list(const std::vector<PortInfo>& ports);

// "0403:6001": vendor and product as four lower-case hex digits each.
std::string vid_pid_text(const UsbPortInfo& usb);

// The name of the first port whose name contains "usbserial" or "usbmodem" (case-sensitive).
std::optional<std::string> pick_auto_detect_port(const std::vector<PortInfo>& ports);

}  // namespace kelp
