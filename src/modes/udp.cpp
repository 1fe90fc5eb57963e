#include <string>
#include <vector>

#include "capture/chunk.h"
#include "capture/clock.h"
#include "capture/files.h"
#include "modes/modes.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/system_error.h"
#include "platform/udp_socket.h"

namespace kelp {
namespace {

constexpr std::size_t MAX_DATAGRAM = 65536;

std::string banner(std::uint16_t port, const std::string& log_path) {
  const std::string p = std::to_string(port);
  return "=== UDP Capture ===\n"
         "Listening on 0.0.0.0:" +
         p +
         "\n"
         "Logging to " +
         log_path +
         "\n"
         "Press Ctrl+C to stop.\n\n"
         "In Meet Manager:\n"
         "  Set-up > Alpha Scoreboard Interface > Generic > UDP Ethernet\n"
         "  Run > Interfaces > Scoreboard > Set UDP Port = " +
         p +
         "\n"
         "  Run > Interfaces > Scoreboard > Open/Close Serial Port for GENSER\n" +
         std::string(60, '=') + "\n\n";
}

}  // namespace

int udp_capture(const UdpSettings& settings) {
  LogFile log = open_log_file_or_stop("udp");

  write_stdout(banner(settings.port, log.path));

  auto socket = bind_udp(settings.port);
  if (!socket) {
    write_stderr("ERROR: Failed to bind to port " + std::to_string(settings.port) + ": " +
                 io_error_text(socket.error()) + "\n");
    return 1;
  }
  (void)enable_broadcast(*socket);

  std::vector<std::uint8_t> buffer(MAX_DATAGRAM, 0);
  std::uint64_t count = 0;
  for (;;) {
    ReceiveResult received = receive_datagram(*socket, buffer);
    if (received.outcome == ReceiveOutcome::Interrupted) end_as_interrupted();
    if (received.outcome == ReceiveOutcome::Error) {
      // The next receive may fail the same way at once: while the console is behind, such
      // lines are left out and counted rather than piling up.
      show_repeated_error("Recv error: " + io_error_text(received.error) + "\n");
      continue;
    }
    // One datagram is shown, logged and saved in full before the next receive, and before
    // Ctrl+C is honoured.
    const std::string time = event_time();
    ++count;
    const std::string& sender = received.datagram.sender;
    record_chunk(log, "udp",
                 Chunk{count, time, "UDP " + sender, "udp/" + sender,
                       ByteView(buffer.data(), received.datagram.size)});
  }
}

}  // namespace kelp
