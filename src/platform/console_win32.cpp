#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/console.h"
#include "text/utf16.h"

namespace kelp {
namespace {

std::mutex& console_lock() {
  static std::mutex lock;
  return lock;
}

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

void write_whole(DWORD which, std::string_view text) {
  std::lock_guard guard(console_lock());
  HANDLE handle = GetStdHandle(which);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
  if (is_console(handle)) {
    // A real console shows UTF-16; redirected output stays the UTF-8 bytes.
    std::wstring wide = wide_from_utf8(text);
    const wchar_t* data = wide.data();
    std::size_t left = wide.size();
    while (left > 0) {
      DWORD chunk = static_cast<DWORD>(left > 8192 ? 8192 : left);
      DWORD written = 0;
      if (!WriteConsoleW(handle, data, chunk, &written, nullptr) || written == 0) return;
      data += written;
      left -= written;
    }
    return;
  }
  while (!text.empty()) {
    DWORD chunk = static_cast<DWORD>(text.size() > (1u << 30) ? (1u << 30) : text.size());
    DWORD written = 0;
    if (!WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

}  // namespace

void init_console() {
  // Single LF line ends, never CRLF, whatever the C runtime would have done.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

void write_stdout(std::string_view text) { write_whole(STD_OUTPUT_HANDLE, text); }
void write_stderr(std::string_view text) { write_whole(STD_ERROR_HANDLE, text); }

}  // namespace kelp
