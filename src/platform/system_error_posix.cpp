#include <cstring>
#include <string>

#include "platform/system_error.h"

namespace kelp {
namespace {

// strerror_r comes in two flavours; these overloads take whichever the C library declares.
[[maybe_unused]] const char* pick_message(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* pick_message(const char* result, const char*) { return result; }

}  // namespace

std::string os_error_message(int code) {
  char buffer[256] = {};
  const char* message = pick_message(strerror_r(code, buffer, sizeof buffer), buffer);
  if (message == nullptr || *message == '\0') return "Unknown error " + std::to_string(code);
  return message;
}

}  // namespace kelp
