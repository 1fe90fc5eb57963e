#include "options.h"

#include <limits>

#include "capture/render.h"
#include "modes/payloads.h"
#include "text/hex.h"
#include "text/unicode.h"

namespace kelp {
namespace {

constexpr std::string_view NO_SERIAL_PORT =
    "ERROR: No --port specified and no USB serial adapter auto-detected.\n"
    "Run `kelp-capture list` to see available ports.\n";
constexpr std::string_view NO_PROBE_PORT =
    "ERROR: no --port and no USB adapter auto-detected. Run `kelp-capture list`.\n";
constexpr std::string_view NO_LISTEN =
    "ERROR: --listen COM_PORT is required (the virtual port MM connects to)\n";
constexpr std::string_view NO_FORWARD =
    "ERROR: --forward COM_PORT is required (the real CTS6 port)\n";
constexpr std::string_view NO_PARITIES =
    "ERROR: no valid parities in --parities (accepted: none, odd, even)\n";
constexpr std::string_view BAD_PAYLOAD = "ERROR: couldn't parse probe payload.\n";

template <typename T>
T unsigned_option(Arguments args, std::string_view name, T fallback) {
  auto value = option_value(args, name);
  if (!value) return fallback;
  auto parsed = parse_unsigned(*value, std::numeric_limits<T>::digits);
  return parsed ? static_cast<T>(*parsed) : fallback;
}

Parity parity_option(Arguments args) {
  auto value = option_value(args, "--parity");
  if (!value) return Parity::None;
  return parse_parity(*value).value_or(Parity::None);
}

// --end-byte: exactly two hex digits in either case, or "none" in any case.
std::optional<std::uint8_t> end_byte_option(Arguments args) {
  const auto value = option_value(args, "--end-byte");
  if (!value) return ETX;
  if (lower_for_matching(*value) == "none") return std::nullopt;
  if (value->size() == 2) {
    const int high = hex_digit_value((*value)[0]);
    const int low = hex_digit_value((*value)[1]);
    if (high >= 0 && low >= 0) return static_cast<std::uint8_t>(high * 16 + low);
  }
  return ETX;
}

ChunkOptions chunk_options(Arguments args) {
  return ChunkOptions{end_byte_option(args), unsigned_option<std::uint64_t>(args, "--chunk-ms", 0)};
}

std::optional<std::string> serial_port_option(Arguments args, const PortDetector& detect) {
  if (auto value = option_value(args, "--port")) return std::string(*value);
  return detect ? detect() : std::nullopt;
}

}  // namespace

std::optional<std::string_view> option_value(Arguments args, std::string_view name) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      if (i + 1 >= args.size()) return std::nullopt;
      return std::string_view(args[i + 1]);
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, int bits) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  const std::uint64_t limit =
      bits >= 64 ? std::numeric_limits<std::uint64_t>::max() : (std::uint64_t{1} << bits) - 1;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<Parity> parse_parity(std::string_view text) {
  const std::string word = lower_for_matching(text);
  if (word == "n" || word == "none") return Parity::None;
  if (word == "o" || word == "odd") return Parity::Odd;
  if (word == "e" || word == "even") return Parity::Even;
  return std::nullopt;
}

std::vector<Parity> parse_parity_list(std::string_view text) {
  std::vector<Parity> parities;
  for (std::string_view piece : split_fields(text, ',')) {
    if (auto parity = parse_parity(trim_white_space(piece))) parities.push_back(*parity);
  }
  return parities;
}

std::optional<ProbePayload> select_probe_payload(Arguments args) {
  if (const auto name = option_value(args, "--preset")) return preset_payload(*name);
  if (const auto hex = option_value(args, "--hex")) return hex_payload(*hex);
  if (const auto text = option_value(args, "--text")) return text_payload(*text);
  return default_payload();
}

UdpSettings read_udp_settings(Arguments args) {
  return UdpSettings{unsigned_option<std::uint16_t>(args, "--port", 12000)};
}

std::expected<SerialCaptureSettings, std::string> read_serial_settings(Arguments args,
                                                                       const PortDetector& detect) {
  auto port = serial_port_option(args, detect);
  if (!port) return std::unexpected(std::string(NO_SERIAL_PORT));
  return SerialCaptureSettings{*port, unsigned_option<std::uint32_t>(args, "--baud", 9600),
                               parity_option(args), chunk_options(args)};
}

std::expected<ProbeSettings, std::string> read_probe_settings(Arguments args,
                                                              const PortDetector& detect) {
  auto port = serial_port_option(args, detect);
  if (!port) return std::unexpected(std::string(NO_PROBE_PORT));
  ProbeSettings settings;
  settings.port = *port;
  settings.baud = unsigned_option<std::uint32_t>(args, "--baud", 9600);
  settings.parity = parity_option(args);
  settings.wait_ms = unsigned_option<std::uint64_t>(args, "--wait-ms", 2000);
  auto payload = select_probe_payload(args);
  if (!payload) return std::unexpected(std::string(BAD_PAYLOAD));
  settings.payload = std::move(*payload);
  return settings;
}

std::expected<ScanSettings, std::string> read_scan_settings(Arguments args,
                                                            const PortDetector& detect) {
  auto port = serial_port_option(args, detect);
  if (!port) return std::unexpected(std::string(NO_PROBE_PORT));
  ScanSettings settings;
  settings.port = *port;
  settings.wait_ms = unsigned_option<std::uint64_t>(args, "--wait-ms", 800);
  settings.parities = parse_parity_list(option_value(args, "--parities").value_or("none,odd"));
  if (settings.parities.empty()) return std::unexpected(std::string(NO_PARITIES));
  return settings;
}

std::expected<ProxySettings, std::string> read_proxy_settings(Arguments args) {
  auto listen = option_value(args, "--listen");
  if (!listen) return std::unexpected(std::string(NO_LISTEN));
  auto forward = option_value(args, "--forward");
  if (!forward) return std::unexpected(std::string(NO_FORWARD));
  return ProxySettings{std::string(*listen), std::string(*forward),
                       unsigned_option<std::uint32_t>(args, "--baud", 9600), parity_option(args),
                       chunk_options(args)};
}

}  // namespace kelp
