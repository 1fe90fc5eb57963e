#include <windows.h>

#include <string>

#include "capture/unicode.h"
#include "platform/file.h"

namespace kelp {
namespace {

std::wstring widen(std::string_view text) {
  std::wstring wide;
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c = next_code_point(text, pos);
    if (c >= 0x10000) {
      c -= 0x10000;
      wide.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
      wide.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
    } else {
      wide.push_back(static_cast<wchar_t>(c));
    }
  }
  return wide;
}

HANDLE as_handle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }

}  // namespace

FileHandle::~FileHandle() {
  if (native_ != INVALID) CloseHandle(as_handle(native_));
}

std::expected<void, int> make_directories(const std::string& path) {
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t next = path.find_first_of("\\/", pos);
    if (next == std::string::npos) next = path.size();
    std::string partial = path.substr(0, next);
    pos = next + 1;
    if (partial.empty() || partial.back() == ':') continue;  // root or drive
    if (!CreateDirectoryW(widen(partial).c_str(), nullptr)) {
      DWORD error = GetLastError();
      DWORD attributes = GetFileAttributesW(widen(partial).c_str());
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
  HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_WRITE,
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

}  // namespace kelp
