#include <string>

#include "capture/files.h"
#include "modes/modes.h"
#include "modes/port_lookup.h"
#include "options.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/system_error.h"

namespace kelp {
namespace {

template <typename Settings, typename Mode>
int run_with(const std::expected<Settings, std::string>& settings, Mode mode) {
  if (!settings) {
    write_stderr(settings.error());
    return 1;
  }
  return mode(*settings);
}

}  // namespace

int run_program(const std::vector<std::string>& args) {
  const std::string command = args.size() >= 2 ? args[1] : "help";

  if (auto created = create_captures_dir(); !created) {
    fatal_stop("Failed to create captures/ directory", io_error_text(created.error()));
  }

  const PortDetector detect = [] { return auto_detect_port(); };
  // "usb:SERIAL" becomes the adapter's name here, for every subcommand that opens a serial port.
  const PortResolver resolve = [](std::string_view name) { return resolve_port_argument(name); };
  if (command == "udp") return udp_capture(read_udp_settings(args));
  if (command == "serial") {
    return run_with(read_serial_settings(args, detect, resolve), serial_capture);
  }
  if (command == "probe")
    return run_with(read_probe_settings(args, detect, resolve), probe_command);
  if (command == "scan") return run_with(read_scan_settings(args, detect, resolve), scan_command);
  if (command == "proxy") return run_with(read_proxy_settings(args, resolve), serial_proxy);
  if (command == "list") return list_ports();
  if (command == "export") return run_with(read_export_settings(args), export_command);
  if (command == "replay") return run_with(read_replay_settings(args, resolve), replay_command);
  if (command == "decode") {
    return run_with(read_decode_settings(args, detect, resolve), decode_command);
  }
  write_stdout(HELP_TEXT);
  return 0;
}

}  // namespace kelp
