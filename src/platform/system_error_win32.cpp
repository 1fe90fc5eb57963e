#include <windows.h>
#include <winsock2.h>

#include <string>

#include "capture/unicode.h"
#include "platform/system_error.h"

namespace kelp {
namespace {

// UTF-16 to UTF-8; false when the text holds an unpaired surrogate.
bool narrow_strict(const wchar_t* text, std::size_t units, std::string& out) {
  for (std::size_t i = 0; i < units; ++i) {
    char32_t unit = static_cast<char32_t>(static_cast<std::uint16_t>(text[i]));
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 >= units) return false;
      char32_t low = static_cast<char32_t>(static_cast<std::uint16_t>(text[i + 1]));
      if (low < 0xDC00 || low > 0xDFFF) return false;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    }
    append_utf8(out, unit);
  }
  return true;
}

}  // namespace

int last_os_error() { return static_cast<int>(GetLastError()); }
int last_socket_error() { return WSAGetLastError(); }

std::string os_error_message(int code) {
  wchar_t buffer[2048] = {};
  DWORD units = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(code), 0, buffer, 2048, nullptr);
  if (units == 0) {
    DWORD lookup_error = GetLastError();
    return "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
           std::to_string(lookup_error) + ")";
  }
  std::size_t length = 0;
  while (length < units && buffer[length] != L'\0') ++length;
  std::string message;
  if (!narrow_strict(buffer, length, message)) {
    return "OS Error " + std::to_string(code) + " (FormatMessageW() returned invalid UTF-16)";
  }
  return std::string(trim_white_space(message));
}

std::string io_error_text(int code) {
  return os_error_message(code) + " (os error " + std::to_string(code) + ")";
}

}  // namespace kelp
