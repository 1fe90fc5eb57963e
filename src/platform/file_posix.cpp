#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"

namespace kelp {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    FileHandle old(release());
    native_ = other.release();
  }
  return *this;
}

FileHandle::~FileHandle() {
  if (native_ != INVALID) ::close(static_cast<int>(native_));
}

std::expected<void, int> make_directories(const std::string& path) {
  std::string partial;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    partial = path.substr(0, next);
    pos = next + 1;
    if (partial.empty()) continue;  // leading "/"
    if (::mkdir(partial.c_str(), 0777) != 0) {
      int error = errno;
      struct stat info {};
      if (error == EEXIST && ::stat(partial.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
      return std::unexpected(error);
    }
  }
  return {};
}

CreateResult create_new_file(const std::string& path, FileHandle& out, int& error) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = errno;
    return error == EEXIST ? CreateResult::AlreadyExists : CreateResult::Failed;
  }
  out = FileHandle(fd);
  return CreateResult::Created;
}

std::expected<void, int> write_file(FileHandle& file, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(static_cast<int>(file.native()), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<void, int> write_file(FileHandle& file, std::string_view text) {
  return write_file(file,
                    std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace kelp
