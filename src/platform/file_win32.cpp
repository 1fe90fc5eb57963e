#include <windows.h>

#include <string>

#include "platform/file.h"
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

std::expected<std::string, int> read_whole_file(const std::string& path) {
  HANDLE handle = CreateFileW(wide_from_utf8(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::unexpected(static_cast<int>(GetLastError()));
  FileHandle file(reinterpret_cast<std::intptr_t>(handle));
  std::string content;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(handle, &size) && size.QuadPart > 0) {
    content.reserve(static_cast<std::size_t>(size.QuadPart));
  }
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &got, nullptr)) {
      return std::unexpected(static_cast<int>(GetLastError()));
    }
    if (got == 0) return content;
    content.append(buffer, got);
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

}  // namespace kelp
