// Port enumeration from a Linux sysfs tree, with the roots as parameters so that a prepared tree
// in a temporary folder can stand in for /sys and /dev.
//
// Every entry of <sysfs_root>/class/tty whose device link resolves is a port named
// <dev_root>/<entry>, except parallel ports (lp*) and the placeholder ports that the legacy UART
// driver registers on its platform device when no UART answers. The result is sorted by name.
// The call fails only when the tty class directory cannot be read.
#pragma once

#include <expected>
#include <filesystem>
#include <vector>

#include "serial/ports.h"

namespace kelp {

std::expected<std::vector<PortInfo>, SerialError> enumerate_ports_under(
    const std::filesystem::path& sysfs_root, const std::filesystem::path& dev_root);

}  // namespace kelp
