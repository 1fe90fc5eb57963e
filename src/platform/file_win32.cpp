#include <windows.h>

#include <new>
#include <stdexcept>
#include <string>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"
#include "text/utf16.h"

namespace kelp {
namespace {

HANDLE as_handle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }

}  // namespace

void close_file(std::intptr_t native) { CloseHandle(as_handle(native)); }

std::expected<void, int> make_directories(const std::string& path) {
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t next = path.find_first_of("\\/", pos);
    if (next == std::string::npos) next = path.size();
    std::string partial = path.substr(0, next);
    pos = next + 1;
    if (partial.empty() || partial.back() == ':') continue;  // root or drive
    if (!CreateDirectoryW(wide_from_utf8(partial).c_str(), nullptr)) {
      DWORD error = GetLastError();
      DWORD attributes = GetFileAttributesW(wide_from_utf8(partial).c_str());
      if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        continue;
      }
      return std::unexpected(static_cast<int>(error));
    }
  }
  return {};
}

CreateResult create_new_file(const std::string& path, FileHandle& out, int& error) {
  // Others may read, write and delete the file while the capture runs.
  HANDLE handle = CreateFileW(wide_from_utf8(path).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    error = static_cast<int>(code);
    return (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) ? CreateResult::AlreadyExists
                                                                       : CreateResult::Failed;
  }
  out = FileHandle(reinterpret_cast<std::intptr_t>(handle));
  return CreateResult::Created;
}

std::expected<void, int> write_file(FileHandle& file, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    DWORD chunk = static_cast<DWORD>(bytes.size() > (1u << 30) ? (1u << 30) : bytes.size());
    DWORD written = 0;
    if (!WriteFile(as_handle(file.native()), bytes.data(), chunk, &written, nullptr)) {
      return std::unexpected(static_cast<int>(GetLastError()));
    }
    if (written == 0) return std::unexpected(static_cast<int>(ERROR_WRITE_FAULT));
    bytes = bytes.subspan(written);
  }
  return {};
}

std::expected<void, int> write_file(FileHandle& file, std::string_view text) {
  return write_file(file,
                    std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void write_pieces(FileHandle& file, std::span<const std::string_view> pieces) {
  // WriteFileGather works only on unbuffered, page-aligned files: one write per piece.
  for (const std::string_view piece : pieces) (void)write_file(file, piece);
}

std::expected<void, int> sync_file(FileHandle& file) {
  if (!FlushFileBuffers(as_handle(file.native()))) {
    return std::unexpected(static_cast<int>(GetLastError()));
  }
  return {};
}

std::expected<std::vector<std::string>, int> list_directory_files(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(wide_from_utf8(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return std::unexpected(static_cast<int>(GetLastError()));
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return std::unexpected(static_cast<int>(ERROR_DIRECTORY));
  }
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(wide_from_utf8(path_in_directory(path, "*")).c_str(), &found);
  std::vector<std::string> names;
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A drive's root has no "." entry: an empty one finds nothing at all.
    if (error == ERROR_FILE_NOT_FOUND) return names;
    return std::unexpected(static_cast<int>(error));
  }
  DWORD error = ERROR_NO_MORE_FILES;
  try {
    do {
      if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        continue;
      }
      if (auto name = strict_utf8_from_wide(found.cFileName)) names.push_back(std::move(*name));
    } while (FindNextFileW(search, &found));
    error = GetLastError();
  } catch (const std::bad_alloc&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  FindClose(search);
  if (error != ERROR_NO_MORE_FILES) return std::unexpected(static_cast<int>(error));
  return names;
}

std::string path_in_directory(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (!path.empty() && path.back() != '\\' && path.back() != '/' && path.back() != ':') {
    path += '\\';
  }
  path += name;
  return path;
}

std::expected<std::string, int> read_whole_file(const std::string& path, bool (*stop)()) {
  HANDLE handle = CreateFileW(wide_from_utf8(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::unexpected(static_cast<int>(GetLastError()));
  FileHandle file(reinterpret_cast<std::intptr_t>(handle));
  std::string content;
  char buffer[65536];
  try {
    LARGE_INTEGER size{};
    if (GetFileSizeEx(handle, &size) && size.QuadPart > 0) {
      content.reserve(static_cast<std::size_t>(size.QuadPart));
    }
    for (;;) {
      if (stop && stop()) return std::unexpected(static_cast<int>(ERROR_OPERATION_ABORTED));
      DWORD got = 0;
      if (!ReadFile(handle, buffer, sizeof buffer, &got, nullptr)) {
        const DWORD error = GetLastError();
        // A pipe's writer that closed is the end of its content.
        if (error == ERROR_BROKEN_PIPE) return content;
        return std::unexpected(static_cast<int>(error));
      }
      if (got == 0) return content;
      content.append(buffer, got);
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
  } catch (const std::length_error&) {
    return std::unexpected(static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
  }
}

std::optional<LocalTime> file_modified_time(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(wide_from_utf8(path).c_str(), GetFileExInfoStandard, &data)) {
    return std::nullopt;
  }
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  if (!FileTimeToSystemTime(&data.ftLastWriteTime, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return std::nullopt;
  }
  return LocalTime{local.wYear,   local.wMonth,  local.wDay,         local.wHour,
                   local.wMinute, local.wSecond, local.wMilliseconds};
}

void remove_file(const std::string& path) { DeleteFileW(wide_from_utf8(path).c_str()); }

PathKind path_kind(const std::string& path) {
  const std::wstring wide = wide_from_utf8(path);
  // A device name (NUL, COM3, CON, or written as \\.\COM3) comes back in the
  // device namespace: found without opening the device.
  std::wstring full(32768, L'\0');
  const DWORD length =
      GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length > 0 && length < full.size() && full.compare(0, 4, L"\\\\.\\") == 0) {
    return PathKind::Other;
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::Directory;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return PathKind::Other;
  return PathKind::RegularFile;
}

bool standard_output_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

namespace {

struct StandardOutputWrite {
  HANDLE handle;
  std::span<const std::uint8_t> bytes;
  DWORD error = 0;
};

DWORD WINAPI write_all_to(void* argument) {
  auto* job = static_cast<StandardOutputWrite*>(argument);
  while (!job->bytes.empty()) {
    const DWORD chunk =
        static_cast<DWORD>(job->bytes.size() > (1u << 30) ? (1u << 30) : job->bytes.size());
    DWORD written = 0;
    if (!WriteFile(job->handle, job->bytes.data(), chunk, &written, nullptr)) {
      job->error = GetLastError();
      return 0;
    }
    if (written == 0) {
      job->error = ERROR_WRITE_FAULT;
      return 0;
    }
    job->bytes = job->bytes.subspan(written);
  }
  return 0;
}

}  // namespace

std::expected<void, int> write_standard_output(std::span<const std::uint8_t> bytes) {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (standard_output_was_closed() || handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    return std::unexpected(static_cast<int>(ERROR_INVALID_HANDLE));
  }
  // A write into a pipe waits for its reader, and nothing wakes it on Ctrl+C: a thread of its own
  // writes, while this one waits for it or for Ctrl+C. Abandoned at Ctrl+C, the writer keeps its
  // job (and the caller its bytes) until the program ends, which the caller then does.
  auto* job = new StandardOutputWrite{handle, bytes};
  HANDLE writer = CreateThread(nullptr, 0, write_all_to, job, 0, nullptr);
  if (writer == nullptr) {
    write_all_to(job);
  } else {
    const HANDLE waits[] = {writer, reinterpret_cast<HANDLE>(interrupt_wait_handle())};
    const DWORD count = waits[1] != nullptr ? 2 : 1;
    const DWORD woken = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    CloseHandle(writer);
    if (woken != WAIT_OBJECT_0) return std::unexpected(static_cast<int>(ERROR_OPERATION_ABORTED));
  }
  const DWORD error = job->error;
  delete job;
  if (error != 0) return std::unexpected(static_cast<int>(error));
  return {};
}

}  // namespace kelp
