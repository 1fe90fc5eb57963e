// The platform-independent half of the serial layer: names, the time-out conversion and the
// structured rendering of an error record.
#include <algorithm>

#include "platform/system_error.h"
#include "serial/serial.h"
#include "serial/serial_platform.h"
#include "text/quote.h"

namespace kelp {

namespace {

constexpr std::uint32_t TIMEOUT_CAP_MS = 0xFFFFFFFE;

}  // namespace

char parity_letter(Parity parity) {
  switch (parity) {
    case Parity::Odd:
      return 'O';
    case Parity::Even:
      return 'E';
    case Parity::None:
      break;
  }
  return 'N';
}

std::string line_settings_text(std::uint32_t baud, Parity parity) {
  std::string text = std::to_string(baud);
  text += '-';
  text += parity_letter(parity);
  text += "-8-1";
  return text;
}

std::string port_settings_text(std::string_view port, std::uint32_t baud, Parity parity) {
  std::string text(port);
  text += '@';
  text += line_settings_text(baud, parity);
  return text;
}

std::string_view io_error_kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound:
      return "NotFound";
    case IoErrorKind::PermissionDenied:
      return "PermissionDenied";
    case IoErrorKind::Interrupted:
      return "Interrupted";
    case IoErrorKind::TimedOut:
      return "TimedOut";
    case IoErrorKind::WriteZero:
      return "WriteZero";
    case IoErrorKind::BrokenPipe:
      return "BrokenPipe";
    case IoErrorKind::WouldBlock:
      return "WouldBlock";
    case IoErrorKind::InvalidInput:
      return "InvalidInput";
    case IoErrorKind::Unsupported:
      return "Unsupported";
    case IoErrorKind::Other:
      break;
  }
  return "Other";
}

std::string structured_rendering(const SerialError& error) {
  std::string kind;
  switch (error.kind) {
    case SerialErrorKind::NoDevice:
      kind = "NoDevice";
      break;
    case SerialErrorKind::InvalidInput:
      kind = "InvalidInput";
      break;
    case SerialErrorKind::Unknown:
      kind = "Unknown";
      break;
    case SerialErrorKind::Io:
      kind = "Io(" + std::string(io_error_kind_name(error.io_kind)) + ")";
      break;
  }
  return "Error { kind: " + kind + ", description: " + quoted(error.description) + " }";
}

std::uint32_t timeout_milliseconds(std::chrono::nanoseconds timeout) {
  // Counting whole milliseconds of the nanosecond count directly equals seconds × 1000 plus the
  // sub-second milliseconds, and cannot overflow a 64-bit count.
  const std::int64_t ms = std::max<std::int64_t>(timeout.count(), 0) / 1'000'000;
  return static_cast<std::uint32_t>(std::min<std::int64_t>(ms, TIMEOUT_CAP_MS));
}

std::chrono::milliseconds write_stall_limit(const SerialDevice& device) {
  const std::chrono::milliseconds timeout(device.timeout_ms());
  if (device.baud() == 0) return timeout;
  const std::uint64_t bits = std::uint64_t{STALL_WINDOW_BYTES} * 10 * 1000;
  const std::chrono::milliseconds line_time((bits + device.baud() - 1) / device.baud());
  return std::max(timeout, line_time);
}

std::string windows_device_path(std::string_view port) {
  if (!port.empty() && port.front() == '\\') return std::string(port);
  return "\\\\.\\" + std::string(port);
}

IoError io_error_from_code(int code) { return {io_error_kind_for_code(code), io_error_text(code)}; }

}  // namespace kelp
