// The serial ports of the machine, with the USB identity of those on a USB adapter.
//
// `enumerate_ports` never opens a port and keeps nothing between calls. It fails only when the
// system cannot say which devices are ports at all; every other problem degrades one entry
// (an unreadable identity gives PortType::Unknown, a missing property an absent field).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/serial.h"

namespace kelp {

struct UsbPortInfo {
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
  std::optional<std::string> serial_number;
  std::optional<std::string> manufacturer;
  std::optional<std::string> product;
  // The adapter's latency timer in milliseconds, where its driver tells it (an FTDI adapter:
  // Linux's sysfs `latency_timer`, the `LatencyTimer` value of the device's key on Windows).
  std::optional<std::uint32_t> latency_timer_ms;
};

enum class PortType { UsbPort, PciPort, BluetoothPort, Unknown };

struct PortInfo {
  std::string name;
  PortType type = PortType::Unknown;
  std::optional<UsbPortInfo> usb;  // present exactly when type is UsbPort
};

// "UsbPort", "PciPort", "BluetoothPort", "Unknown".
std::string_view port_type_name(PortType type);

// The pieces of a Windows device instance ID such as USB\VID_0403&PID_6001\A50285BI.
struct UsbIdParts {
  std::string vendor;
  std::string product;
  std::optional<std::string> interface_number;
  std::optional<std::string> serial;
};

std::optional<UsbIdParts> parse_usb_id(std::string_view instance_id);

std::expected<std::vector<PortInfo>, SerialError> enumerate_ports();

}  // namespace kelp
