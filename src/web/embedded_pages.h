// The page files of src/web/pages, built into the program: the build turns each file into a byte
// array of a generated source file (cmake/embed_pages.cmake), so the program serves them without
// reading anything from disk. Files are listed by name in byte order of their names.
#pragma once

#include <span>
#include <string_view>

namespace kelp {

struct EmbeddedFile {
  std::string_view name;  // "index.html": the file's name in src/web/pages
  std::string_view bytes;
};

std::span<const EmbeddedFile> embedded_pages();

}  // namespace kelp
