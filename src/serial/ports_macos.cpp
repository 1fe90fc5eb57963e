// Ports on macOS: the call-out devices /dev/cu.*, which are the ones to open for talking to a
// device (the matching tty.* devices wait for carrier). Their USB identity would need IOKit, so
// every port is of unknown type.

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "serial/ports.h"

namespace kelp {

std::expected<std::vector<PortInfo>, SerialError> enumerate_ports() {
  namespace fs = std::filesystem;
  const auto unreadable = [](const std::error_code& error) {
    return std::unexpected(SerialError{.kind = SerialErrorKind::Unknown,
                                       .io_kind = IoErrorKind::Other,
                                       .description = "Unable to read /dev: " + error.message()});
  };
  std::error_code ec;
  fs::directory_iterator entries("/dev", ec);
  if (ec) {
    return unreadable(ec);
  }
  std::vector<PortInfo> ports;
  while (entries != fs::directory_iterator()) {
    const std::string name = entries->path().filename().string();
    entries.increment(ec);
    if (ec) {
      return unreadable(ec);
    }
    if (name.starts_with("cu.")) {
      ports.push_back(
          PortInfo{.name = "/dev/" + name, .type = PortType::Unknown, .usb = std::nullopt});
    }
  }
  std::sort(ports.begin(), ports.end(),
            [](const PortInfo& a, const PortInfo& b) { return a.name < b.name; });
  return ports;
}

}  // namespace kelp
