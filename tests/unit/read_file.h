// The whole content of a file, as the tests compare it.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kelp {

inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace kelp
