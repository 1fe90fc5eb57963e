#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/console.h"

namespace kelp {
namespace {

std::mutex& console_lock() {
  static std::mutex lock;
  return lock;
}

void write_whole(int fd, std::string_view text) {
  std::lock_guard guard(console_lock());
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed pipe or a full disk: the capture files still get everything
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void init_console() {
  // A reader that goes away (kelp-capture udp | head) must not kill a running capture: the
  // write fails with EPIPE instead, and the files keep recording.
  ::signal(SIGPIPE, SIG_IGN);
  // Likewise a file that reaches the file-size limit (ulimit -f): the write fails with EFBIG, the
  // record is dropped, and the console still shows every datagram and chunk.
  ::signal(SIGXFSZ, SIG_IGN);
}

void write_stdout(std::string_view text) { write_whole(STDOUT_FILENO, text); }
void write_stderr(std::string_view text) { write_whole(STDERR_FILENO, text); }

}  // namespace kelp
