#include "modes/serial_source.h"

#include "capture/files.h"

namespace kelp {

namespace {
constexpr std::string_view PREFIX = "serial/";
}

std::string serial_source(std::string_view port, std::uint32_t baud) {
  return std::string(PREFIX) + port_for_record(port) + "@" + std::to_string(baud);
}

std::optional<SerialSource> parse_serial_source(std::string_view source) {
  if (!source.starts_with(PREFIX)) return std::nullopt;
  SerialSource parsed;
  if (source.ends_with(RECONNECTED_MARK)) {
    parsed.after_outage = true;
    source.remove_suffix(RECONNECTED_MARK.size());
  }
  source.remove_prefix(PREFIX.size());
  // A port name may hold "@" itself: the baud rate follows the last one.
  const std::size_t at = source.rfind('@');
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view digits = source.substr(at + 1);
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  std::uint64_t baud = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    baud = baud * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (baud > UINT32_MAX) return std::nullopt;
  parsed.port = source.substr(0, at);
  parsed.baud = static_cast<std::uint32_t>(baud);
  return parsed;
}

}  // namespace kelp
