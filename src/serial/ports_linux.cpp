// Ports from sysfs. A tty's `device` link points at the device that registered it; its kind is
// read from the first ancestor that belongs to a bus this tool knows (USB, PCI, Bluetooth), walking
// up from the nearest, so a USB adapter behind a PCI host controller counts as USB.

#include "serial/ports_linux.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "serial/port_rules.h"
#include "text/byte_text.h"
#include "text/hex.h"

namespace kelp {

namespace fs = std::filesystem;

namespace {

// A sysfs attribute without its line end; nothing when the file cannot be read.
std::optional<std::string> read_attribute(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    return std::nullopt;
  }
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  // Device strings are shown and written as UTF-8 text; a broken descriptor must not make
  // the listing ill-formed.
  return decode_text(bytes_of(text));
}

// The name of the bus or class a sysfs device belongs to ("usb", "pci", "platform", ...).
std::string subsystem_of(const fs::path& device) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(device / "subsystem", ec);
  if (ec) {
    return {};
  }
  return target.filename().string();
}

bool is_within(const fs::path& path, const fs::path& root) {
  const auto mismatch = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
  return mismatch.first == root.end();
}

// The legacy 8250 driver registers a fixed number of ttyS ports on its platform device whether or
// not a UART exists behind them; such a port reports the UART type 0 (unknown). Other drivers on
// platform devices (the UARTs of a system-on-chip) report a real type and are kept.
bool is_placeholder(const fs::path& tty_entry, const fs::path& device, const fs::path& top) {
  fs::path hardware = device;
  // Newer kernels put the serial core's own port and controller devices between the tty and the
  // hardware.
  while (subsystem_of(hardware) == "serial-base" && hardware != top && hardware.has_parent_path()) {
    hardware = hardware.parent_path();
  }
  if (subsystem_of(hardware) != "platform") {
    return false;
  }
  const std::optional<std::string> type = read_attribute(tty_entry / "type");
  if (!type) {
    return true;
  }
  const std::string_view digits = *type;
  return digits.empty() || digits.find_first_not_of('0') == std::string_view::npos ||
         digits.find_first_not_of("0123456789") != std::string_view::npos;
}

PortInfo usb_port(std::string name, const fs::path& usb_device) {
  const auto vid = read_attribute(usb_device / "idVendor");
  const auto pid = read_attribute(usb_device / "idProduct");
  const auto vid_value = vid ? parse_hex_u16(*vid) : std::nullopt;
  const auto pid_value = pid ? parse_hex_u16(*pid) : std::nullopt;
  if (!vid_value || !pid_value) {
    return PortInfo{.name = std::move(name), .type = PortType::Unknown, .usb = std::nullopt};
  }
  UsbPortInfo usb;
  usb.vid = *vid_value;
  usb.pid = *pid_value;
  usb.serial_number = read_attribute(usb_device / "serial");
  usb.manufacturer = read_attribute(usb_device / "manufacturer");
  usb.product = read_attribute(usb_device / "product");
  return PortInfo{.name = std::move(name), .type = PortType::UsbPort, .usb = std::move(usb)};
}

// The `latency_timer` that ftdi_sio puts beside the tty's device (its usb-serial port), in ms.
std::optional<std::uint32_t> latency_timer(const fs::path& device) {
  const std::optional<std::string> text = read_attribute(device / "latency_timer");
  if (!text || text->empty() || text->size() > 9) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  for (const char c : *text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

PortInfo classify(std::string_view entry_name, std::string name, const fs::path& device,
                  const fs::path& top) {
  // RFCOMM ttys hang below the Bluetooth connection while one is up.
  if (entry_name.starts_with("rfcomm")) {
    return PortInfo{.name = std::move(name), .type = PortType::BluetoothPort, .usb = std::nullopt};
  }
  for (fs::path at = device; is_within(at, top) && at != top; at = at.parent_path()) {
    const std::string subsystem = subsystem_of(at);
    if (subsystem == "usb") {
      // The first USB node above a tty is normally the interface; the device is its parent.
      std::error_code ec;
      const bool is_device = fs::exists(at / "idVendor", ec);
      return usb_port(std::move(name), is_device ? at : at.parent_path());
    }
    if (subsystem == "pci") {
      return PortInfo{.name = std::move(name), .type = PortType::PciPort, .usb = std::nullopt};
    }
    if (subsystem == "bluetooth") {
      return PortInfo{
          .name = std::move(name), .type = PortType::BluetoothPort, .usb = std::nullopt};
    }
    if (!at.has_parent_path() || at.parent_path() == at) {
      break;
    }
  }
  return PortInfo{.name = std::move(name), .type = PortType::Unknown, .usb = std::nullopt};
}

}  // namespace

std::expected<std::vector<PortInfo>, SerialError> enumerate_ports_under(const fs::path& sysfs_root,
                                                                        const fs::path& dev_root) {
  const fs::path class_dir = sysfs_root / "class" / "tty";
  const auto unreadable = [&](const std::error_code& error) {
    return std::unexpected(SerialError{
        .kind = SerialErrorKind::Unknown,
        .io_kind = IoErrorKind::Other,
        .description = "Unable to read " + class_dir.string() + ": " + error.message()});
  };
  std::error_code ec;
  fs::directory_iterator entries(class_dir, ec);
  if (ec) {
    return unreadable(ec);
  }
  std::error_code root_ec;
  fs::path top = fs::weakly_canonical(sysfs_root, root_ec);
  if (root_ec) {
    top = sysfs_root;
  }

  std::vector<PortInfo> ports;
  while (entries != fs::directory_iterator()) {
    const fs::path entry = entries->path();
    entries.increment(ec);
    if (ec) {
      return unreadable(ec);
    }
    const std::string entry_name = entry.filename().string();
    if (entry_name.starts_with("lp")) {
      continue;
    }
    std::error_code link_ec;
    const fs::path device = fs::canonical(entry / "device", link_ec);
    if (link_ec) {
      continue;  // virtual ttys (consoles, pseudo terminals) have no device
    }
    if (is_placeholder(entry, device, top)) {
      continue;
    }
    PortInfo port = classify(entry_name, (dev_root / entry_name).string(), device, top);
    if (port.usb) {
      port.usb->latency_timer_ms = latency_timer(device);
    }
    ports.push_back(std::move(port));
  }
  std::sort(ports.begin(), ports.end(),
            [](const PortInfo& a, const PortInfo& b) { return a.name < b.name; });
  return ports;
}

std::expected<std::vector<PortInfo>, SerialError> enumerate_ports() {
  return enumerate_ports_under("/sys", "/dev");
}

}  // namespace kelp
