// The platform-independent half of the serial layer: names, the time-out conversion and the
// structured rendering of an error record.
#include <algorithm>
#include <cstdio>

#include "capture/render.h"
#include "capture/unicode.h"
#include "platform/system_error.h"
#include "serial/serial.h"
#include "serial/serial_platform.h"

namespace kelp {

namespace {

constexpr std::uint32_t TIMEOUT_CAP_MS = 0xFFFFFFFE;

void append_unicode_escape(std::string& out, char32_t c) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "\\u{%x}", static_cast<unsigned>(c));
  out += digits;
}

// The description as a double-quoted literal a reader can copy: quotes, backslashes, control
// characters, unprintable characters and combining marks are escaped, everything else is kept.
std::string quoted_description(std::string_view text) {
  std::string valid;
  if (!is_valid_utf8(text)) {
    valid = decode_text(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    text = valid;
  }
  std::string out = "\"";
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t c = next_code_point(text, pos);
    switch (c) {
      case U'\0':
        out += "\\0";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'"':
        out += "\\\"";
        break;
      default:
        if (is_grapheme_extend(c) || is_unprintable(c)) {
          append_unicode_escape(out, c);
        } else {
          out.append(text.substr(start, pos - start));
        }
    }
  }
  out += '"';
  return out;
}

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
  return "Error { kind: " + kind + ", description: " + quoted_description(error.description) + " }";
}

std::uint32_t timeout_milliseconds(std::chrono::nanoseconds timeout) {
  // Counting whole milliseconds of the nanosecond count directly equals seconds × 1000 plus the
  // sub-second milliseconds, and cannot overflow a 64-bit count.
  const std::int64_t ms = std::max<std::int64_t>(timeout.count(), 0) / 1'000'000;
  return static_cast<std::uint32_t>(std::min<std::int64_t>(ms, TIMEOUT_CAP_MS));
}

std::string windows_device_path(std::string_view port) {
  if (!port.empty() && port.front() == '\\') return std::string(port);
  return "\\\\.\\" + std::string(port);
}

IoError io_error_from_code(int code) { return {io_error_kind_for_code(code), io_error_text(code)}; }

}  // namespace kelp
