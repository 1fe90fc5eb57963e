#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <stdexcept>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/interrupt.h"

namespace kelp {

void close_file(std::intptr_t native) { ::close(static_cast<int>(native)); }

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

void write_pieces(FileHandle& file, std::span<const std::string_view> pieces) {
  constexpr std::size_t MAX_GATHER = 16;
  std::size_t piece = 0;   // the first piece not yet written in full
  std::size_t offset = 0;  // how much of it is written
  while (piece < pieces.size()) {
    iovec parts[MAX_GATHER];
    int count = 0;
    std::size_t remaining = 0;
    for (std::size_t i = piece; i < pieces.size() && count < static_cast<int>(MAX_GATHER); ++i) {
      const std::size_t skip = i == piece ? offset : 0;
      parts[count].iov_base = const_cast<char*>(pieces[i].data() + skip);
      parts[count].iov_len = pieces[i].size() - skip;
      remaining += parts[count].iov_len;
      ++count;
    }
    ssize_t n = remaining == 0 ? 0 : ::writev(static_cast<int>(file.native()), parts, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 && remaining > 0) {
      // This piece cannot be written; the next one may still fit (a full disk refuses a long
      // line but may take a short one).
      ++piece;
      offset = 0;
      continue;
    }
    // Step over what was written, empty pieces included.
    auto left = static_cast<std::size_t>(n);
    while (piece < pieces.size() && left >= pieces[piece].size() - offset) {
      left -= pieces[piece].size() - offset;
      ++piece;
      offset = 0;
    }
    offset += left;
  }
}

std::expected<void, int> sync_file(FileHandle& file) {
  while (::fsync(static_cast<int>(file.native())) != 0) {
    if (errno != EINTR) return std::unexpected(errno);
  }
  return {};
}

namespace {

// Closes a directory stream when it goes out of scope.
struct DirectoryStream {
  DIR* dir;
  ~DirectoryStream() { ::closedir(dir); }
};

}  // namespace

std::expected<std::vector<std::string>, int> list_directory_files(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(errno);
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    ::close(fd);
    return std::unexpected(error);
  }
  DirectoryStream stream{dir};
  std::vector<std::string> names;
  try {
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        if (errno != 0) return std::unexpected(errno);
        return names;
      }
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
#ifdef DT_REG
      bool regular = entry->d_type == DT_REG;
      const bool ask = entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK;
#else
      bool regular = false;
      const bool ask = true;
#endif
      if (ask) {
        // The system did not say, or a link: what the name leads to decides.
        struct stat info {};
        regular = ::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISREG(info.st_mode);
      }
      if (regular) names.emplace_back(name);
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(ENOMEM);
  }
}

std::string path_in_directory(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

std::expected<std::string, int> read_whole_file(const std::string& path, bool (*stop)()) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(errno);
  FileHandle file(fd);
  std::string content;
  char buffer[65536];
  try {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
      content.reserve(static_cast<std::size_t>(info.st_size));
    }
    for (;;) {
      if (stop && stop()) return std::unexpected(EINTR);
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(errno);
      }
      if (n == 0) return content;
      content.append(buffer, static_cast<std::size_t>(n));
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(ENOMEM);
  } catch (const std::length_error&) {
    return std::unexpected(ENOMEM);
  }
}

std::optional<LocalTime> file_modified_time(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  // Whole seconds: the field with the fraction is named differently on macOS.
  tm parts{};
  const time_t seconds = info.st_mtime;
  if (::localtime_r(&seconds, &parts) == nullptr) return std::nullopt;
  return LocalTime{parts.tm_year + 1900,
                   parts.tm_mon + 1,
                   parts.tm_mday,
                   parts.tm_hour,
                   parts.tm_min,
                   parts.tm_sec,
                   0};
}

void remove_file(const std::string& path) { ::unlink(path.c_str()); }

PathKind path_kind(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return PathKind::Missing;
  if (S_ISREG(info.st_mode)) return PathKind::RegularFile;
  if (S_ISDIR(info.st_mode)) return PathKind::Directory;
  return PathKind::Other;
}

bool standard_output_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

std::expected<void, int> write_standard_output(std::span<const std::uint8_t> bytes) {
  // A write into a pipe waits for its reader, and a Ctrl+C that comes just before it would not
  // wake it: wait for room or Ctrl+C first, then write no more than the room there is (a pipe
  // that polls writable takes PIPE_BUF bytes without waiting).
  if (standard_output_was_closed()) return std::unexpected(EBADF);
  const int wake = static_cast<int>(interrupt_wait_handle());
  while (!bytes.empty()) {
    if (interrupted()) return std::unexpected(EINTR);
    pollfd waits[2] = {{STDOUT_FILENO, POLLOUT, 0}, {wake, POLLIN, 0}};
    if (::poll(waits, wake >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (wake >= 0 && (waits[1].revents & POLLIN) != 0) return std::unexpected(EINTR);
    const ssize_t n =
        ::write(STDOUT_FILENO, bytes.data(), std::min<std::size_t>(bytes.size(), PIPE_BUF));
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::unexpected(errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace kelp
