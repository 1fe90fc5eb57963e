#include "modes/list.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "modes/modes.h"
#include "platform/console.h"
#include "serial/ports.h"
#include "text/hex.h"

namespace kelp {

namespace {

constexpr std::string_view TITLE = "=== Available Serial Ports ===\n\n";

// Four lower-case hex digits, leading zeros kept: 0403.
std::string hex4(std::uint16_t value) {
  std::string out(4, '0');
  put_hex_byte(put_hex_byte(out.data(), static_cast<std::uint8_t>(value >> 8)),
               static_cast<std::uint8_t>(value & 0xFF));
  return out;
}

void append_field(std::string& out, std::string_view label,
                  const std::optional<std::string>& value) {
  if (value) {
    out += label;
    out += *value;
    out += '\n';
  }
}

}  // namespace

std::string vid_pid_text(const UsbPortInfo& usb) { return hex4(usb.vid) + ":" + hex4(usb.pid); }

std::string format_port_list(const std::vector<PortInfo>& ports) {
  std::string out(TITLE);
  if (ports.empty()) {
    out += "(none found)\n";
    return out;
  }
  for (const PortInfo& port : ports) {
    out += port.name;
    out += '\n';
    if (port.type == PortType::UsbPort && port.usb) {
      const UsbPortInfo& usb = *port.usb;
      out += "  Type: USB\n";
      out += "  VID:PID: " + vid_pid_text(usb) + "\n";
      append_field(out, "  Serial: ", usb.serial_number);
      append_field(out, "  Mfr: ", usb.manufacturer);
      append_field(out, "  Product: ", usb.product);
      if (usb.latency_timer_ms) {
        out += "  Latency timer: " + std::to_string(*usb.latency_timer_ms) + " ms\n";
      }
    } else {
      // A USB entry without its record cannot be shown as USB; it prints as what is known.
      const PortType shown = port.type == PortType::UsbPort ? PortType::Unknown : port.type;
      out += "  Type: ";
      out += port_type_name(shown);
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

std::optional<std::string> pick_auto_detect_port(const std::vector<PortInfo>& ports) {
  for (const PortInfo& port : ports) {
    if (port.name.find("usbserial") != std::string::npos ||
        port.name.find("usbmodem") != std::string::npos) {
      return port.name;
    }
  }
  return std::nullopt;
}

int list_ports() {
  const auto ports = enumerate_ports();
  if (!ports) {
    write_stdout(TITLE);
    write_stderr("ERROR listing ports: " + ports.error().description + "\n");
    return 0;
  }
  write_stdout(format_port_list(*ports));
  return 0;
}

std::optional<std::string> auto_detect_port() {
  const auto ports = enumerate_ports();
  if (!ports) {
    return std::nullopt;
  }
  return pick_auto_detect_port(*ports);
}

}  // namespace kelp
