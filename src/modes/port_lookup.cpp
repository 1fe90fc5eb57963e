#include "modes/port_lookup.h"

#include <filesystem>
#include <system_error>

#include "text/unicode.h"

namespace kelp {

namespace {

constexpr std::string_view USB_PREFIX = "usb:";
constexpr std::string_view LIST_HINT = "Run `kelp-capture list` to see available ports.\n";

// Letters in any case, in any script ("usb:a5 02 äø" is the adapter A5 02 ÄØ).
bool same_serial(std::string_view a, std::string_view b) { return fold_case(a) == fold_case(b); }

// "A50285BI (/dev/ttyUSB0), KELP13QEMU (/dev/ttyUSB1)"
std::string serial_numbers_seen(const std::vector<PortInfo>& ports) {
  std::string text;
  for (const PortInfo& port : ports) {
    if (!port.usb || !port.usb->serial_number || port.usb->serial_number->empty()) continue;
    if (!text.empty()) text += ", ";
    text += *port.usb->serial_number;
    text += " (";
    text += port.name;
    text += ')';
  }
  return text;
}

}  // namespace

std::optional<std::string_view> usb_serial_argument(std::string_view argument) {
  if (!argument.starts_with(USB_PREFIX)) return std::nullopt;
  return argument.substr(USB_PREFIX.size());
}

std::expected<std::string, std::string> resolve_port_argument(std::string_view argument,
                                                              const std::vector<PortInfo>& ports) {
  const std::optional<std::string_view> serial = usb_serial_argument(argument);
  if (!serial) return std::string(argument);
  std::vector<const PortInfo*> found;
  for (const PortInfo& port : ports) {
    // An empty serial number names no adapter, not every adapter whose serial number is empty.
    if (port.usb && port.usb->serial_number && !serial->empty() &&
        same_serial(*port.usb->serial_number, *serial)) {
      found.push_back(&port);
    }
  }
  if (found.size() == 1) return found.front()->name;

  std::string error = "ERROR: ";
  if (found.empty()) {
    if (serial->empty()) {
      error += "usb: needs the adapter's serial number after it (";
    } else {
      error += "no USB adapter with the serial number ";
      error += *serial;
      error += " is plugged in (";
    }
    const std::string seen = serial_numbers_seen(ports);
    error += seen.empty() ? "no adapter with a serial number is" : "serial numbers seen: " + seen;
    error += ")\n";
  } else {
    error += "more than one USB adapter has the serial number ";
    error += *serial;
    error += " (";
    for (std::size_t i = 0; i < found.size(); ++i) {
      if (i > 0) error += ", ";
      error += found[i]->name;
    }
    error += "): give the port by its name\n";
  }
  error += LIST_HINT;
  return std::unexpected(error);
}

std::expected<std::string, std::string> resolve_port_argument(std::string_view argument) {
  if (!usb_serial_argument(argument)) return std::string(argument);
  const auto ports = enumerate_ports();
  if (!ports) {
    return std::unexpected("ERROR: cannot look for the USB adapter " + std::string(argument) +
                           ": " + ports.error().description + "\n" + std::string(LIST_HINT));
  }
  return resolve_port_argument(argument, *ports);
}

std::optional<PortInfo> find_port_entry(const std::vector<PortInfo>& ports, std::string_view name) {
  for (const PortInfo& port : ports) {
    if (port.name == name) return port;
  }
  if (!name.starts_with('/')) return std::nullopt;
  for (const PortInfo& port : ports) {
    std::error_code ec;
    if (port.name.starts_with('/') && std::filesystem::equivalent(port.name, name, ec)) {
      return port;
    }
  }
  return std::nullopt;
}

std::string latency_warning(std::string_view port, std::optional<std::uint32_t> latency_ms) {
  if (!latency_ms || *latency_ms <= LATENCY_WARNING_ABOVE_MS) return {};
  const std::string ms = std::to_string(*latency_ms);
  std::string text = "Warning: the latency timer of ";
  text += port;
  text += " is " + ms + " ms: the adapter holds received bytes up to " + ms +
          " ms, so time stamps are late and the proxy's answers wait as long. Set it to 1 ms in "
          "the driver's settings (Windows: Device Manager > the port's Properties > Port "
          "Settings > Advanced > Latency Timer).\n";
  return text;
}

std::string latency_warning_for(std::string_view name, const std::vector<PortInfo>& ports) {
  const std::optional<PortInfo> entry = find_port_entry(ports, name);
  return entry && entry->usb ? latency_warning(name, entry->usb->latency_timer_ms) : std::string();
}

}  // namespace kelp
