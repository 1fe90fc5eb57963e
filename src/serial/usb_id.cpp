// Reading a USB identity out of a Windows device instance ID. The IDs come from the system as
// UTF-16 and are UTF-8 here; every length below counts characters, not bytes, so that an ID with
// non-ASCII characters is cut at the same places as the system's own text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "serial/ports.h"
#include "text/byte_text.h"
#include "text/unicode.h"

namespace kelp {

std::string_view port_type_name(PortType type) {
  switch (type) {
    case PortType::UsbPort:
      return "UsbPort";
    case PortType::PciPort:
      return "PciPort";
    case PortType::BluetoothPort:
      return "BluetoothPort";
    case PortType::Unknown:
      break;
  }
  return "Unknown";
}

namespace {

// Moves `pos` past `count` characters; false (and `pos` unchanged) when fewer remain.
bool skip_chars(std::string_view text, std::size_t& pos, std::size_t count) {
  std::size_t at = pos;
  for (std::size_t i = 0; i < count; ++i) {
    if (at >= text.size()) {
      return false;
    }
    next_code_point(text, at);
  }
  pos = at;
  return true;
}

// `count` characters from `pos`, or nothing when fewer remain.
std::optional<std::string_view> take_chars(std::string_view text, std::size_t& pos,
                                           std::size_t count) {
  const std::size_t start = pos;
  if (!skip_chars(text, pos, count)) {
    return std::nullopt;
  }
  return text.substr(start, pos - start);
}

bool is_serial_char(char32_t c) {
  return is_alphabetic(c) || is_numeric(c) || c == U'_' || c == U':' || c == U'\uFF3F';
}

std::optional<UsbIdParts> parse_valid(std::string_view text) {
  const std::size_t vid = text.find("VID_");
  if (vid == std::string_view::npos) {
    return std::nullopt;
  }
  std::size_t pos = vid + 4;
  const auto vendor = take_chars(text, pos, 4);
  if (!vendor) {
    return std::nullopt;
  }
  const std::string_view after_vendor = text.substr(pos);
  if (!after_vendor.starts_with("&PID_") && !after_vendor.starts_with("+PID_")) {
    return std::nullopt;
  }
  pos += 5;
  const auto product = take_chars(text, pos, 4);
  if (!product) {
    return std::nullopt;
  }

  UsbIdParts parts;
  parts.vendor = std::string(*vendor);
  parts.product = std::string(*product);

  const std::string_view after_product = text.substr(pos);
  if (after_product.starts_with("&MI_") || after_product.starts_with("+MI_")) {
    std::size_t at = pos + 4;
    if (const auto interface_text = take_chars(text, at, 2)) {
      parts.interface_number = std::string(*interface_text);
      pos = at;
    }
  }

  if (pos < text.size() && (text[pos] == '+' || text[pos] == '\\')) {
    const std::size_t start = pos + 1;
    std::size_t end = start;
    while (end < text.size()) {
      std::size_t next = end;
      if (!is_serial_char(next_code_point(text, next))) {
        break;
      }
      end = next;
    }
    parts.serial = std::string(text.substr(start, end - start));
  }
  return parts;
}

}  // namespace

std::optional<UsbIdParts> parse_usb_id(std::string_view instance_id) {
  if (is_valid_utf8(instance_id)) {
    return parse_valid(instance_id);
  }
  // Ill-formed bytes count as one replacement character each, as they would have been shown.
  const std::string repaired = decode_text(bytes_of(instance_id));
  return parse_valid(repaired);
}

}  // namespace kelp
