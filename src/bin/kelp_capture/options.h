// The command-line rules: how options are found, how numbers and parity words are read, and the
// settings each subcommand reads, in its order, with its defaults and error lines.
//
// An option's value is the argument after its first exact occurrence; a later repetition is never
// looked at. Unusable numbers and parity words silently become the defaults. The readers give
// either the settings or the exact error text to print before exiting with status 1.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "modes/modes.h"
#include "serial/serial.h"

namespace kelp {

using Arguments = std::span<const std::string>;
using PortDetector = std::function<std::optional<std::string>()>;
// Turns a serial port argument into the name to open ("usb:SERIAL" into the adapter's name);
// the error is the text to print. Without one, arguments are names as they stand.
using PortResolver = std::function<std::expected<std::string, std::string>(std::string_view)>;

// --reconnect: a flag, the only option without a value; present anywhere means on.
bool flag_present(Arguments args, std::string_view name);

std::optional<std::string_view> option_value(Arguments args, std::string_view name);

// An optional "+", then one or more ASCII digits, fitting in `bits` (16, 32 or 64).
std::optional<std::uint64_t> parse_unsigned(std::string_view text, int bits);

// n/none, o/odd, e/even in any case.
std::optional<Parity> parse_parity(std::string_view text);

// The --parities rule: split at ",", trim, keep recognised words in order (repetitions kept).
std::vector<Parity> parse_parity_list(std::string_view text);

// The probe's payload: from --preset, else --hex, else --text (the first present decides, even
// when its value turns out to be unusable), else ENQ. Nothing when the chosen value cannot be used.
std::optional<ProbePayload> select_probe_payload(Arguments args);

// The arguments after the subcommand that are neither an option (anything that begins with "--")
// nor the value after one of `options`: the logs that export and replay are given.
std::vector<std::string> positional_arguments(Arguments args,
                                              std::span<const std::string_view> options);

// A speed factor: an optional "+", digits, and a fraction after "." if wanted ("2", "0.5").
std::optional<double> parse_speed(std::string_view text);

UdpSettings read_udp_settings(Arguments args);
std::expected<SerialCaptureSettings, std::string> read_serial_settings(
    Arguments args, const PortDetector& detect, const PortResolver& resolve = {});
std::expected<ProbeSettings, std::string> read_probe_settings(Arguments args,
                                                              const PortDetector& detect,
                                                              const PortResolver& resolve = {});
std::expected<ScanSettings, std::string> read_scan_settings(Arguments args,
                                                            const PortDetector& detect,
                                                            const PortResolver& resolve = {});
std::expected<ProxySettings, std::string> read_proxy_settings(Arguments args,
                                                              const PortResolver& resolve = {});
// Without a log, the error is the subcommand's usage text.
std::expected<ExportSettings, std::string> read_export_settings(Arguments args);
std::expected<ReplaySettings, std::string> read_replay_settings(Arguments args,
                                                                const PortResolver& resolve = {});
// Files, or else --port (found and resolved as for `serial`); both at once is an error.
std::expected<DecodeSettings, std::string> read_decode_settings(Arguments args,
                                                                const PortDetector& detect,
                                                                const PortResolver& resolve = {});

extern const std::string_view EXPORT_USAGE;
extern const std::string_view REPLAY_USAGE;
extern const std::string_view DECODE_USAGE;

// The 37 lines of the help text.
extern const std::string_view HELP_TEXT;

// Start-up and dispatch: creates `captures`, runs the subcommand and gives the exit status.
int run_program(const std::vector<std::string>& args);

}  // namespace kelp
