// Makes an existing file unreadable for as long as the object lives, as a program writing it may:
// on Windows it is held open without sharing; on Linux, where the tests may run as root (whom
// permissions do not stop), it is swapped for a link to /proc/self/mem, whose read at offset 0
// fails, and put back as it was afterwards. One file per system (unreadable_file_posix.cpp,
// unreadable_file_win32.cpp), picked by tests/CMakeLists.txt.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace kelp {

class UnreadableFile {
 public:
  explicit UnreadableFile(const std::filesystem::path& path);
  ~UnreadableFile();
  UnreadableFile(const UnreadableFile&) = delete;
  UnreadableFile& operator=(const UnreadableFile&) = delete;

  // Whether the system could make it so (not on a system without /proc).
  bool held() const { return held_; }

 private:
  std::filesystem::path path_;
  bool held_ = false;
  std::intptr_t handle_ = -1;
  std::string bytes_;
};

}  // namespace kelp
