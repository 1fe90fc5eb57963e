#include "options.h"

#include <algorithm>
#include <cstdlib>
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

constexpr std::string_view EXPORT_OPTIONS[] = {"--out", "--port"};
constexpr std::string_view DECODE_OPTIONS[] = {"--port",  "--baud",  "--parity",     "--serve",
                                               "--speed", "--lanes", "--start-lists"};
constexpr std::string_view REPLAY_OPTIONS[] = {"--to",    "--port", "--baud",  "--parity",
                                               "--speed", "--from", "--count", "--direction"};

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

std::expected<std::string, std::string> resolved(std::string_view name,
                                                 const PortResolver& resolve) {
  if (!resolve) return std::string(name);
  return resolve(name);
}

// The port named by --port (resolved), else the detected one; nothing when neither is there.
std::optional<std::expected<std::string, std::string>> serial_port_option(
    Arguments args, const PortDetector& detect, const PortResolver& resolve) {
  if (auto value = option_value(args, "--port")) return resolved(*value, resolve);
  if (auto found = detect ? detect() : std::nullopt) return *found;
  return std::nullopt;
}

// "HOST:PORT", the port a number from 1 to 65535.
std::optional<Destination> parse_destination(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const auto port = parse_unsigned(text.substr(colon + 1), 16);
  if (!port || *port == 0) return std::nullopt;
  return Destination{std::string(text.substr(0, colon)), static_cast<std::uint16_t>(*port)};
}

// "[HOST:]PORT": a bare port is served on this computer only; an IPv6 host goes in brackets.
std::optional<ServeAddress> parse_serve_address(std::string_view text) {
  ServeAddress address;
  std::string_view port = text;
  const std::size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
    if (host.empty()) return std::nullopt;
    address.host = std::string(host);
    port = text.substr(colon + 1);
  }
  const auto number = parse_unsigned(port, 16);
  if (!number || *number == 0) return std::nullopt;
  address.port = static_cast<std::uint16_t>(*number);
  return address;
}

// The board options, the same from files and from a port; each unusable value keeps its default.
void read_board_options(Arguments args, DecodeSettings& settings) {
  if (auto serve = option_value(args, "--serve")) settings.serve = parse_serve_address(*serve);
  if (auto speed = option_value(args, "--speed")) {
    settings.speed = parse_speed(*speed).value_or(1.0);
  }
  const unsigned lanes = unsigned_option<unsigned>(args, "--lanes", 10);
  if (lanes >= 1 && lanes <= 10) settings.lanes = lanes;
  if (auto folder = option_value(args, "--start-lists")) {
    if (!folder->empty()) settings.start_lists = std::string(*folder);
  }
}

std::optional<std::string> parse_direction(std::string_view text) {
  const std::string word = lower_for_matching(text);
  if (word == "mm->cts6") return "MM->CTS6";
  if (word == "cts6->mm") return "CTS6->MM";
  return std::nullopt;
}

}  // namespace

const std::string_view EXPORT_USAGE =
    "Usage: kelp-capture export LOG... [--out FILE] [--port P]\n"
    "Writes the records of udp, serial, probe and proxy logs to one pcapng file for Wireshark\n"
    "or tshark, in time order, one interface per log.\n"
    "  --out FILE  the file to write (default: the first log's name in captures/, with\n"
    "              .pcapng for .log); a name that is taken gets _2, _3, ... before its extension;\n"
    "              - for the standard output (kelp-capture export LOG --out - | tshark -r -)\n"
    "  --port P    the UDP port that udp datagrams are shown going to (default 12000)\n";

const std::string_view REPLAY_USAGE =
    "Usage: kelp-capture replay LOG [--to HOST:PORT | --port P [--baud B] [--parity P]\n"
    "                               [--direction D]] [--speed X] [--from N] [--count N]\n"
    "Sends the bytes of a udp, serial or proxy log again, with the recorded spacing.\n"
    "  --to HOST:PORT  where a udp log's datagrams go (default 127.0.0.1:12000)\n"
    "  --port P        the serial port a serial or proxy log goes onto (required), at\n"
    "                  --baud (default 9600) and --parity (default none)\n"
    "  --direction D   the direction of a proxy log to send: \"MM->CTS6\" or \"CTS6->MM\"\n"
    "                  (in quotes, or the shell takes > for a redirection)\n"
    "  --speed X       2 for twice as fast, 0 for back to back (default 1)\n"
    "  --from N        the number of the first record to send (default 1)\n"
    "  --count N       how many records to send (default all)\n";

const std::string_view DECODE_USAGE =
    "Usage: kelp-capture decode FILE... [--json]\n"
    "       kelp-capture decode [--port P] [--baud 9600] [--parity even] [--reconnect] [--json]\n"
    "Shows what a CTS scoreboard stream puts on the board, as it changes: from serial or probe\n"
    "logs and raw recordings (one stream, in the order given), or live from the console's\n"
    "scoreboard port, which is recorded as `serial --chunk-ms 1000` records it.\n"
    "  --port P      the port (default: the USB adapter found, as for serial)\n"
    "  --baud B      default 9600\n"
    "  --parity P    none, odd or even (default even: the console sends 8-E-1)\n"
    "  --reconnect   wait for a pulled adapter to come back, as serial --reconnect does\n"
    "  --json        one JSON object per line per change, for scripts and overlays\n";

std::vector<std::string> positional_arguments(Arguments args,
                                              std::span<const std::string_view> options) {
  std::vector<std::string> found;
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (args[i].starts_with("--")) {
      if (std::find(options.begin(), options.end(), args[i]) != options.end()) ++i;
      continue;
    }
    found.push_back(args[i]);
  }
  return found;
}

std::optional<double> parse_speed(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  // Nine digits on either side: more than any speed needs.
  if (whole.size() + fraction.size() == 0 || whole.size() > 9 || fraction.size() > 9) {
    return std::nullopt;
  }
  for (const std::string_view digits : {whole, fraction}) {
    for (const char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
    }
  }
  // The double nearest to the decimal number, as the C library reads it (its locale is the
  // default "C", whose decimal point is "."): 0.3 shows again as 0.3, not as the sum of 3 tenths.
  const std::string number = std::string(whole.empty() ? "0" : whole) + "." +
                             std::string(fraction.empty() ? "0" : fraction);
  return std::strtod(number.c_str(), nullptr);
}

bool flag_present(Arguments args, std::string_view name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

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

std::expected<SerialCaptureSettings, std::string> read_serial_settings(
    Arguments args, const PortDetector& detect, const PortResolver& resolve) {
  auto port = serial_port_option(args, detect, resolve);
  if (!port) return std::unexpected(std::string(NO_SERIAL_PORT));
  if (!*port) return std::unexpected(port->error());
  return SerialCaptureSettings{**port, unsigned_option<std::uint32_t>(args, "--baud", 9600),
                               parity_option(args), chunk_options(args),
                               flag_present(args, "--reconnect")};
}

std::expected<ProbeSettings, std::string> read_probe_settings(Arguments args,
                                                              const PortDetector& detect,
                                                              const PortResolver& resolve) {
  auto port = serial_port_option(args, detect, resolve);
  if (!port) return std::unexpected(std::string(NO_PROBE_PORT));
  if (!*port) return std::unexpected(port->error());
  ProbeSettings settings;
  settings.port = **port;
  settings.baud = unsigned_option<std::uint32_t>(args, "--baud", 9600);
  settings.parity = parity_option(args);
  settings.wait_ms = unsigned_option<std::uint64_t>(args, "--wait-ms", 2000);
  auto payload = select_probe_payload(args);
  if (!payload) return std::unexpected(std::string(BAD_PAYLOAD));
  settings.payload = std::move(*payload);
  return settings;
}

std::expected<ScanSettings, std::string> read_scan_settings(Arguments args,
                                                            const PortDetector& detect,
                                                            const PortResolver& resolve) {
  auto port = serial_port_option(args, detect, resolve);
  if (!port) return std::unexpected(std::string(NO_PROBE_PORT));
  if (!*port) return std::unexpected(port->error());
  ScanSettings settings;
  settings.port = **port;
  settings.wait_ms = unsigned_option<std::uint64_t>(args, "--wait-ms", 800);
  settings.parities = parse_parity_list(option_value(args, "--parities").value_or("none,odd"));
  if (settings.parities.empty()) return std::unexpected(std::string(NO_PARITIES));
  return settings;
}

std::expected<ProxySettings, std::string> read_proxy_settings(Arguments args,
                                                              const PortResolver& resolve) {
  auto listen = option_value(args, "--listen");
  if (!listen) return std::unexpected(std::string(NO_LISTEN));
  auto forward = option_value(args, "--forward");
  if (!forward) return std::unexpected(std::string(NO_FORWARD));
  auto listen_name = resolved(*listen, resolve);
  if (!listen_name) return std::unexpected(listen_name.error());
  auto forward_name = resolved(*forward, resolve);
  if (!forward_name) return std::unexpected(forward_name.error());
  return ProxySettings{*listen_name,
                       *forward_name,
                       unsigned_option<std::uint32_t>(args, "--baud", 9600),
                       parity_option(args),
                       chunk_options(args),
                       flag_present(args, "--reconnect")};
}

std::expected<ExportSettings, std::string> read_export_settings(Arguments args) {
  ExportSettings settings;
  settings.logs = positional_arguments(args, EXPORT_OPTIONS);
  if (settings.logs.empty()) return std::unexpected(std::string(EXPORT_USAGE));
  if (auto out = option_value(args, "--out")) settings.out = std::string(*out);
  settings.port = unsigned_option<std::uint16_t>(args, "--port", 12000);
  return settings;
}

std::expected<ReplaySettings, std::string> read_replay_settings(Arguments args,
                                                                const PortResolver& resolve) {
  const std::vector<std::string> logs = positional_arguments(args, REPLAY_OPTIONS);
  if (logs.empty()) return std::unexpected(std::string(REPLAY_USAGE));
  if (logs.size() > 1) {
    return std::unexpected("ERROR: replay takes one log at a time\n" + std::string(REPLAY_USAGE));
  }
  ReplaySettings settings;
  settings.log = logs.front();
  if (auto to = option_value(args, "--to")) {
    settings.to = parse_destination(*to);
    if (!settings.to) {
      return std::unexpected("ERROR: --to takes HOST:PORT (for example 127.0.0.1:12000), not " +
                             std::string(*to) + "\n");
    }
  }
  if (auto port = option_value(args, "--port")) {
    auto name = resolved(*port, resolve);
    if (!name) return std::unexpected(name.error());
    settings.port = *name;
  }
  settings.baud = unsigned_option<std::uint32_t>(args, "--baud", 9600);
  settings.parity = parity_option(args);
  if (auto direction = option_value(args, "--direction")) {
    settings.direction = parse_direction(*direction);
  }
  if (auto speed = option_value(args, "--speed"))
    settings.speed = parse_speed(*speed).value_or(1.0);
  settings.from = unsigned_option<std::uint64_t>(args, "--from", 1);
  if (auto count = option_value(args, "--count")) settings.count = parse_unsigned(*count, 64);
  return settings;
}

std::expected<DecodeSettings, std::string> read_decode_settings(Arguments args,
                                                                const PortDetector& detect,
                                                                const PortResolver& resolve) {
  DecodeSettings settings;
  settings.files = positional_arguments(args, DECODE_OPTIONS);
  settings.json = flag_present(args, "--json");
  read_board_options(args, settings);
  settings.baud = unsigned_option<std::uint32_t>(args, "--baud", 9600);
  if (auto parity = option_value(args, "--parity")) {
    settings.parity = parse_parity(*parity).value_or(Parity::Even);
  }
  if (!settings.files.empty()) {
    if (option_value(args, "--port")) {
      return std::unexpected("ERROR: decode reads files or a port (--port), not both\n" +
                             std::string(DECODE_USAGE));
    }
    return settings;
  }
  auto port = serial_port_option(args, detect, resolve);
  if (!port) {
    return std::unexpected("ERROR: no file, no --port and no USB serial adapter auto-detected\n" +
                           std::string(DECODE_USAGE));
  }
  if (!*port) return std::unexpected(port->error());
  settings.port = **port;
  settings.reconnect = flag_present(args, "--reconnect");
  return settings;
}

}  // namespace kelp
