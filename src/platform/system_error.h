// The operating system's own words for its error codes.
//
// `last_os_error` reads the calling thread's error code right after a failed call (errno on POSIX,
// GetLastError on Windows; socket calls use `last_socket_error`). `os_error_message` is the
// system's message text for a code, with surrounding white space removed; `io_error_text` adds "
// (os error N)", the form used for I/O failures throughout the tool.
#pragma once

#include <string>

namespace kelp {

int last_os_error();
int last_socket_error();
std::string os_error_message(int code);
std::string io_error_text(int code);

}  // namespace kelp
