#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/console.h"
#include "platform/console_stream.h"
#include "text/utf16.h"

namespace kelp {
namespace {

bool g_output_closed = false;

// ENABLE_VIRTUAL_TERMINAL_PROCESSING, which headers for older Windows versions do not name.
constexpr DWORD VIRTUAL_TERMINAL_PROCESSING = 0x0004;

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

// A standard handle that names no open object: none was given, or the one given was closed (Wine
// shows a closed descriptor as a file that no write reaches; writing nothing to a file does
// nothing, so an output handle of that type is asked that way).
bool is_closed(HANDLE handle, bool output) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return true;
  SetLastError(NO_ERROR);
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_UNKNOWN) return GetLastError() != NO_ERROR;
  DWORD written = 0;
  return output && type == FILE_TYPE_DISK && !WriteFile(handle, "", 0, &written, nullptr) &&
         GetLastError() == ERROR_INVALID_HANDLE;
}

}  // namespace

bool standard_output_was_closed() { return g_output_closed; }

void write_console_stream(ConsoleStream stream, std::string_view text) {
  HANDLE handle = GetStdHandle(stream == ConsoleStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
  if (is_console(handle)) {
    // A real console shows UTF-16; redirected output stays the UTF-8 bytes.
    std::wstring wide = wide_from_utf8(text);
    const wchar_t* data = wide.data();
    std::size_t left = wide.size();
    while (left > 0) {
      DWORD chunk = static_cast<DWORD>(left > 8192 ? 8192 : left);
      // A character outside the BMP is never split between two writes (it would show as two
      // replacement characters).
      if (chunk < left && data[chunk - 1] >= 0xD800 && data[chunk - 1] <= 0xDBFF) --chunk;
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

void init_console() {
  // A stale handle value could come back as one of the tool's own handles: the null device takes
  // its place.
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    if (!is_closed(GetStdHandle(which), which != STD_INPUT_HANDLE)) continue;
    if (which == STD_OUTPUT_HANDLE) g_output_closed = true;
    HANDLE null =
        CreateFileW(L"NUL", which == STD_INPUT_HANDLE ? GENERIC_READ : GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (null != INVALID_HANDLE_VALUE) SetStdHandle(which, null);
  }
  // Single LF line ends, never CRLF, whatever the C runtime would have done.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

bool console_stream_takes_cursor_movement() {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !GetConsoleMode(handle, &mode)) {
    return false;
  }
  // Windows 10 and later; an older console refuses the mode and gets the lines a pipe gets.
  return SetConsoleMode(handle, mode | ENABLE_PROCESSED_OUTPUT | VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool console_error_on_output_terminal() {
  return is_console(GetStdHandle(STD_OUTPUT_HANDLE)) && is_console(GetStdHandle(STD_ERROR_HANDLE));
}

TerminalSize console_terminal_size() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return TerminalSize{};
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  if (columns <= 0 || rows <= 0) return TerminalSize{};
  return TerminalSize{static_cast<std::size_t>(columns), static_cast<std::size_t>(rows)};
}

}  // namespace kelp
