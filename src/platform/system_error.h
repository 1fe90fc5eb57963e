// The operating system's own words for its error codes.
//
// `os_error_message` is the system's message text for an error code (errno on POSIX, a system or
// socket error code on Windows), with surrounding white space removed; `io_error_text` adds
// " (os error N)", the form used for I/O failures throughout the tool.
#pragma once

#include <string>

namespace kelp {

std::string os_error_message(int code);
std::string io_error_text(int code);

}  // namespace kelp
