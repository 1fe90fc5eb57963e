#include "modes/scan.h"

#include <chrono>
#include <thread>

#include "capture/clock.h"
#include "capture/files.h"
#include "modes/modes.h"
#include "modes/payloads.h"
#include "modes/probe.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "text/hex.h"

namespace kelp {

namespace {

constexpr std::size_t PREVIEW_BYTES = 64;
constexpr std::size_t LABEL_WIDTH = 16;
// The baud is right-aligned in six places; the rest of the settings text is "-N-8-1".
constexpr std::size_t SETTINGS_WIDTH = 6 + 6;
constexpr std::chrono::milliseconds PAUSE{100};

std::string pad_right(std::string_view text, std::size_t width) {
  std::string out(text);
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

std::string pad_left(std::string_view text, std::size_t width) {
  std::string out;
  if (text.size() < width) out.assign(width - text.size(), ' ');
  out += text;
  return out;
}

}  // namespace

// Bytes, not decoded text: unlike escape_text, every byte outside printable ASCII is spelled out,
// so a preview shows exactly which bytes a device sent at settings that may well be wrong.
std::string byte_preview(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (const std::uint8_t b : bytes.first(std::min(bytes.size(), PREVIEW_BYTES))) {
    if (b >= 0x20 && b <= 0x7E) {
      out += static_cast<char>(b);
    } else {
      char escape[4] = {'\\', 'x'};
      put_hex_byte(escape + 2, b);
      out.append(escape, sizeof escape);
    }
  }
  return out;
}

std::string scan_line_start(std::string_view label, std::uint32_t baud, Parity parity) {
  return "  " + pad_right(label, LABEL_WIDTH) + " @ " +
         pad_left(line_settings_text(baud, parity), SETTINGS_WIDTH) + " ... ";
}

std::string scan_header(std::string_view port, std::uint64_t wait_ms,
                        std::span<const Parity> parities, std::string_view log_path) {
  std::string letters;
  for (const Parity parity : parities) {
    if (!letters.empty()) letters += ',';
    letters += parity_letter(parity);
  }
  std::string text = "=== Scan ===\n";
  text += "Port:     " + std::string(port) + "\n";
  text += "Parities: " + letters + "\n";
  text += "Wait:     " + std::to_string(wait_ms) + "ms per probe\n";
  text += "Logging:  " + std::string(log_path) + "\n";
  text += "\n";
  text += "Scanning " + std::to_string(SCAN_BAUD_RATES.size()) + " baud rates \u00d7 " +
          std::to_string(parities.size()) + " parities \u00d7 " +
          std::to_string(PROBE_PRESETS.size()) + " probes = " +
          std::to_string(SCAN_BAUD_RATES.size() * parities.size() * PROBE_PRESETS.size()) +
          " combinations...\n\n";
  return text;
}

std::string scan_summary(std::span<const ScanHit> hits, std::string_view log_path) {
  std::string text = "\n=== Scan Summary ===\n";
  if (hits.empty()) {
    text +=
        "No response at ANY baud/parity/probe combination.\n"
        "This strongly suggests:\n"
        "  - The CTS6 needs a more specific query format (not just ENQ/CR/etc.), OR\n"
        "  - A required command was missed \u2014 consider capturing MM traffic via serial proxy,\n"
        "  - Or the cable/adapter chain has an issue (verify with loopback).\n";
    return text;
  }
  text += std::to_string(hits.size()) + " response(s) captured:\n";
  for (const ScanHit& hit : hits) {
    text += "  " + hit.label + " @ " + line_settings_text(hit.baud, hit.parity) + " -> " +
            std::to_string(hit.response.size()) + " bytes\n";
  }
  text += "\nCheck " + std::string(log_path) + " for full captures.\n";
  return text;
}

int scan_command(const ScanSettings& settings) {
  LogFile log = open_log_file_or_stop("scan");

  write_stdout(scan_header(settings.port, settings.wait_ms, settings.parities, log.path));

  std::vector<ScanHit> hits;
  for (const std::uint32_t baud : SCAN_BAUD_RATES) {
    for (const Parity parity : settings.parities) {
      for (const ProbePreset& preset : PROBE_PRESETS) {
        const std::string label = "preset=" + std::string(preset.name);
        const std::string time = event_time();
        // The line shows while the exchange runs; the outcome finishes it.
        write_stdout(scan_line_start(label, baud, parity));

        auto result = probe_exchange(settings.port, baud, parity, preset.bytes, preset.send_break,
                                     settings.wait_ms);
        const std::string log_start =
            "[" + time + "] baud=" + line_settings_text(baud, parity) + " " + label + " -> ";
        if (!result) {
          ExchangeError& error = result.error();
          if (error.interrupted) end_as_interrupted();
          write_stdout("ERROR: " + error.text + "\n");
          write_log_text(log, log_start + "ERROR: " + error.text + "\n");
          if (!error.received.empty()) {
            // The device began to answer before its line failed: keep what it said.
            write_stdout("       preview: " + byte_preview(error.received) + "\n");
            write_log_text(log, "    hex: " + hex_string(error.received) + "\n");
            hits.push_back(ScanHit{label, baud, parity, std::move(error.received)});
          }
        } else if (result->empty()) {
          write_stdout("no response\n");
          write_log_text(log, log_start + "NO_RESPONSE\n");
        } else {
          const std::string count = std::to_string(result->size());
          write_stdout("*** " + count + " bytes ***\n       preview: " + byte_preview(*result) +
                       "\n");
          write_log_text(log, log_start + count + " bytes\n    hex: " + hex_string(*result) + "\n");
          hits.push_back(ScanHit{label, baud, parity, std::move(*result)});
        }

        if (interrupted()) end_as_interrupted();
        std::this_thread::sleep_for(PAUSE);
        if (interrupted()) end_as_interrupted();
      }
    }
    write_stdout("\n");
  }

  write_stdout(scan_summary(hits, log.path));
  return 0;
}

}  // namespace kelp
