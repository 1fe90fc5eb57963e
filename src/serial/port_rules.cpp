#include "serial/port_rules.h"

#include <utility>

#include "text/hex.h"
#include "text/utf16.h"

namespace kelp {

std::string decode_utf16(std::u16string_view units) {
  while (!units.empty() && units.back() == u'\0') units.remove_suffix(1);
  return utf8_from_utf16(units);
}

bool registry_text_acceptable(bool read_ok, std::uint32_t value_type, std::uint32_t size_bytes) {
  constexpr std::uint32_t REG_SZ_TYPE = 1;
  return read_ok && value_type == REG_SZ_TYPE && size_bytes % 2 == 0 &&
         size_bytes <= REGISTRY_TEXT_BUFFER_BYTES;
}

std::optional<std::uint32_t> registry_number(bool read_ok, std::uint32_t value_type,
                                             std::uint32_t size_bytes, std::uint32_t value) {
  constexpr std::uint32_t REG_DWORD_TYPE = 4;
  if (!read_ok || value_type != REG_DWORD_TYPE || size_bytes != sizeof(std::uint32_t)) {
    return std::nullopt;
  }
  return value;
}

bool is_parallel_port_name(std::string_view name) {
  return name.size() > 2 && name.starts_with("LPT");
}

std::string property_text(std::string_view decoded) {
  const auto last = decoded.rfind(';');
  if (last == std::string_view::npos) {
    return std::string(decoded);
  }
  return std::string(decoded.substr(last + 1));
}

std::optional<std::string> first_hardware_id(std::uint32_t value_type, std::u16string_view units) {
  constexpr std::uint32_t REG_MULTI_SZ_TYPE = 7;
  if (value_type != REG_MULTI_SZ_TYPE) {
    return std::nullopt;
  }
  // Each ID ends in a NUL; an empty one ends the list.
  const std::u16string_view first = units.substr(0, units.find(u'\0'));
  if (first.empty()) {
    return std::nullopt;
  }
  return decode_utf16(first);
}

namespace {

bool is_one_hex_byte(std::string_view text) {
  return text.size() == 2 && parse_hex_u16(text).has_value();
}

}  // namespace

std::optional<UsbPortInfo> usb_identity(std::string_view instance_id,
                                        const std::optional<std::string>& parent_id) {
  std::optional<UsbIdParts> parts = parse_usb_id(instance_id);
  if (!parts) {
    return std::nullopt;
  }
  // A port that is one function of a composite device has an instance ID naming the interface,
  // whose own serial part is an instance path rather than the device's serial number; the
  // device itself is the parent.
  if (parts->interface_number && is_one_hex_byte(*parts->interface_number)) {
    if (!parent_id) {
      return std::nullopt;
    }
    parts = parse_usb_id(*parent_id);
    if (!parts) {
      return std::nullopt;
    }
  }
  const auto vid = parse_hex_u16(parts->vendor);
  const auto pid = parse_hex_u16(parts->product);
  if (!vid || !pid) {
    return std::nullopt;
  }
  UsbPortInfo info;
  info.vid = *vid;
  info.pid = *pid;
  info.serial_number = std::move(parts->serial);
  return info;
}

void merge_registry_names(std::vector<PortInfo>& ports, std::set<std::string> registry_names) {
  if (registry_names.size() <= ports.size()) {
    return;
  }
  for (const PortInfo& port : ports) {
    registry_names.erase(port.name);
  }
  for (const std::string& name : registry_names) {
    ports.push_back(PortInfo{.name = name, .type = PortType::Unknown, .usb = std::nullopt});
  }
}

}  // namespace kelp
