#include <windows.h>

#include <optional>
#include <string>

#include "platform/system_error.h"
#include "text/unicode.h"
#include "text/utf16.h"

namespace kelp {

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
  const std::optional<std::string> message = strict_utf8_from_wide({buffer, length});
  if (!message) {
    return "OS Error " + std::to_string(code) + " (FormatMessageW() returned invalid UTF-16)";
  }
  return std::string(trim_white_space(*message));
}

}  // namespace kelp
