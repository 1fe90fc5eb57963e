// What each platform's serial file supplies to the shared serial code.
#pragma once

#include <string>
#include <string_view>

#include "serial/serial.h"

namespace kelp {

// The I/O error kind that an OS error code stands for (errno on POSIX, a Windows system error
// code on Windows). Codes that mean a time-out give TimedOut; codes without a closer kind give
// Other.
IoErrorKind io_error_kind_for_code(int code);

// The Windows device path of a port text: "\\.\" in front unless the text begins with a
// backslash, so COM3 becomes \\.\COM3 (which also reaches ports numbered 10 and above) and an
// empty text becomes "\\.\".
std::string windows_device_path(std::string_view port);

}  // namespace kelp
