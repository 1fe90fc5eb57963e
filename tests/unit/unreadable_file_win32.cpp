#include <windows.h>

#include "unreadable_file.h"

namespace kelp {

UnreadableFile::UnreadableFile(const std::filesystem::path& path) : path_(path) {
  HANDLE handle = CreateFileW(path.wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  held_ = handle != INVALID_HANDLE_VALUE;
  handle_ = reinterpret_cast<std::intptr_t>(handle);
}

UnreadableFile::~UnreadableFile() {
  if (held_) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace kelp
