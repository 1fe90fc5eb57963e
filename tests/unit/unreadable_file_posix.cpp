#include <filesystem>
#include <fstream>

#include "read_file.h"
#include "unreadable_file.h"

namespace kelp {

namespace fs = std::filesystem;

UnreadableFile::UnreadableFile(const fs::path& path) : path_(path) {
  if (!fs::exists("/proc/self/mem")) return;
  bytes_ = slurp(path);
  fs::remove(path);
  fs::create_symlink("/proc/self/mem", path);
  held_ = true;
}

UnreadableFile::~UnreadableFile() {
  if (!held_) return;
  fs::remove(path_);
  std::ofstream(path_, std::ios::binary) << bytes_;
}

}  // namespace kelp
