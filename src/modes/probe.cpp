#include "modes/probe.h"

#include <array>
#include <thread>

#include "capture/chunk.h"
#include "capture/clock.h"
#include "capture/files.h"
#include "modes/modes.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "text/hex.h"

namespace kelp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds PORT_TIMEOUT{100};
constexpr std::chrono::milliseconds BREAK_HOLD{250};
// Ctrl+C is looked at this often while the break is held.
constexpr std::chrono::milliseconds BREAK_POLL{10};
constexpr std::size_t READ_SIZE = 4096;

std::unexpected<ExchangeError> interrupted_exchange() {
  return std::unexpected(ExchangeError{{}, true});
}

// Holds the line in break for the full hold time unless Ctrl+C comes first. Gives false when
// interrupted; the break is cleared either way, so the line is never left in break.
std::expected<bool, ExchangeError> hold_break(SerialDevice& device) {
  if (auto set = set_break(device); !set) {
    return std::unexpected(ExchangeError{"set_break: " + set.error().description});
  }
  const auto end = Clock::now() + BREAK_HOLD;
  bool completed = true;
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    if (interrupted()) {
      completed = false;
      break;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(BREAK_POLL, end - now));
  }
  auto cleared = clear_break(device);
  if (!completed) return false;
  if (!cleared)
    return std::unexpected(ExchangeError{"clear_break: " + cleared.error().description});
  return true;
}

}  // namespace

Clock::time_point exchange_deadline(Clock::time_point now, std::uint64_t wait_ms) {
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  if (room.count() < 0 || wait_ms > static_cast<std::uint64_t>(room.count())) {
    return Clock::time_point::max();
  }
  return now + std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(wait_ms));
}

std::expected<std::vector<std::uint8_t>, ExchangeError> probe_exchange(
    std::string_view port, std::uint32_t baud, Parity parity, std::span<const std::uint8_t> bytes,
    bool send_break, std::uint64_t wait_ms) {
  auto opened = open_port(SerialSettings{std::string(port), baud, parity, PORT_TIMEOUT});
  if (!opened) {
    return std::unexpected(ExchangeError{"open " + port_settings_text(port, baud, parity) + ": " +
                                         opened.error().description});
  }
  // Every return below closes the port through the device's destructor.
  SerialDevice device = std::move(*opened);
  (void)set_dtr(device, true);
  (void)set_rts(device, true);

  if (send_break) {
    auto held = hold_break(device);
    if (!held) return std::unexpected(held.error());
    if (!*held) return interrupted_exchange();
  } else if (!bytes.empty()) {
    if (auto written = write_all(device, bytes); !written) {
      return std::unexpected(ExchangeError{"write: " + written.error().text});
    }
    if (auto flushed = flush(device); !flushed) {
      return std::unexpected(ExchangeError{"flush: " + flushed.error().text});
    }
  }

  // The window starts once the payload is out, so a slow write or the break hold does not eat
  // into the time the device has to answer.
  const auto deadline = exchange_deadline(Clock::now(), wait_ms);
  std::vector<std::uint8_t> response;
  response.reserve(READ_SIZE);
  std::array<std::uint8_t, READ_SIZE> buffer{};
  while (Clock::now() < deadline) {
    auto got = read(device, buffer);
    if (got) {
      response.insert(response.end(), buffer.begin(),
                      buffer.begin() + static_cast<std::ptrdiff_t>(*got));
    } else if (got.error().kind != IoErrorKind::TimedOut) {
      // A line that dies mid-answer keeps what it said before it went.
      return std::unexpected(
          ExchangeError{"read: " + got.error().text, false, std::move(response)});
    }
    if (interrupted()) return interrupted_exchange();
  }
  return response;
}

int probe_command(const ProbeSettings& settings) {
  LogFile log = open_log_file_or_stop("probe");

  const ProbePayload& payload = settings.payload;
  const std::string line_settings =
      port_settings_text(settings.port, settings.baud, settings.parity);

  std::string header = "=== Probe ===\n";
  header += "Port:    " + settings.port + "\n";
  header += "Baud:    " + std::to_string(settings.baud) + " (8-" + parity_letter(settings.parity) +
            "-1)\n";
  header += "Payload: " + payload.label + " (" + std::to_string(payload.bytes.size()) + " bytes)\n";
  if (!payload.bytes.empty() && !payload.send_break) {
    header += "Hex:     " + hex_string(payload.bytes) + "\n";
  }
  header += "Wait:    " + std::to_string(settings.wait_ms) + "ms\n";
  header += "Logging: " + log.path + "\n";
  header += std::string(60, '=') + "\n\n";
  write_stdout(header);

  auto response = probe_exchange(settings.port, settings.baud, settings.parity, payload.bytes,
                                 payload.send_break, settings.wait_ms);
  const std::string log_line_start = "] probe=" + payload.label +
                                     " baud=" + line_settings_text(settings.baud, settings.parity) +
                                     " ";
  // The port name is spelled out in the record's header, which must stay one line; the payload
  // label stays as it was typed.
  const std::string record_settings =
      port_settings_text(port_for_record(settings.port), settings.baud, settings.parity);
  const auto record_response = [&](const std::string& time, ByteView bytes) {
    write_stdout("\n>>> RESPONSE (" + std::to_string(bytes.size()) + " bytes) <<<\n");
    record_chunk(log, "probe",
                 Chunk{1, time, "probe-response " + line_settings,
                       "probe/" + record_settings + " [" + payload.label + "]", bytes});
  };

  if (!response) {
    const ExchangeError& error = response.error();
    if (error.interrupted) end_as_interrupted();
    if (!error.received.empty()) {
      // The far end went away mid-answer: what it sent is recorded like an answer, and the log
      // says how the exchange ended.
      const std::string time = event_time();
      record_response(time, error.received);
      write_log_text(log, "[" + time + log_line_start + "ERROR: " + error.text + "\n");
    }
    write_stderr("ERROR: " + error.text + "\n");
    return 1;
  }

  const std::string time = event_time();
  if (!response->empty()) {
    record_response(time, *response);
  } else {
    write_stdout("\n>>> NO RESPONSE <<<\n");
    write_log_text(log, "[" + time + log_line_start + "NO_RESPONSE\n");
  }
  if (interrupted()) end_as_interrupted();
  return 0;
}

}  // namespace kelp
