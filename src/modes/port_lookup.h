// Finding a serial port among the machine's ports: the adapter with a given USB serial number
// (`--port usb:SERIAL`, for every subcommand that takes a serial port), the entry of a port the
// tool has opened (its identity, its latency timer), and the warning about a slow latency timer.
//
// The pure functions work on a list from `enumerate_ports`; `resolve_port_argument` enumerates
// the machine's ports itself, and only for a "usb:" argument, so that every other name is used
// exactly as given without looking at the system.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/ports.h"

namespace kelp {

// The SERIAL of a "usb:SERIAL" argument; nothing for any other name.
std::optional<std::string_view> usb_serial_argument(std::string_view argument);

// The name of the port that `argument` stands for. "usb:SERIAL" is the USB adapter whose serial
// number, as `list` shows it, is SERIAL (letters in any case, in any script); any other
// argument is a name and comes back unchanged. The error is the text to print (ERROR lines that
// name the serial numbers `list` would show), for an unknown serial number or one that two
// adapters share.
std::expected<std::string, std::string> resolve_port_argument(std::string_view argument,
                                                              const std::vector<PortInfo>& ports);
std::expected<std::string, std::string> resolve_port_argument(std::string_view argument);

// The entry of the port opened as `name`: the entry of that name, or where names are paths, the
// one that is the same device under another path (a /dev/serial/by-id/ link).
std::optional<PortInfo> find_port_entry(const std::vector<PortInfo>& ports, std::string_view name);

// Above this the adapter's latency timer earns a warning at the start of `serial` and `proxy`.
inline constexpr std::uint32_t LATENCY_WARNING_ABOVE_MS = 2;

// "Warning: the latency timer of COM3 is 16 ms: ..." with how to change it; empty when the
// timer is unknown or low enough.
std::string latency_warning(std::string_view port, std::optional<std::uint32_t> latency_ms);
// The same for the port opened as `name`, its timer read from the machine's ports.
std::string latency_warning_for(std::string_view name, const std::vector<PortInfo>& ports);

}  // namespace kelp
