#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/console.h"
#include "platform/console_stream.h"

namespace kelp {
namespace {

bool g_output_closed = false;

}  // namespace

bool standard_output_was_closed() { return g_output_closed; }

void init_console() {
  // Each closed one in turn, from 0 up, so that the null device gets the number that is free.
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
    if (fd == STDOUT_FILENO) g_output_closed = true;
  }
  // A reader that goes away (kelp-capture udp | head) must not kill a running capture: the
  // write fails with EPIPE instead, and the files keep recording.
  ::signal(SIGPIPE, SIG_IGN);
  // Likewise a file that reaches the file-size limit (ulimit -f): the write fails with EFBIG, the
  // record is dropped, and the console still shows every datagram and chunk.
  ::signal(SIGXFSZ, SIG_IGN);
}

void write_console_stream(ConsoleStream stream, std::string_view text) {
  const int fd = stream == ConsoleStream::Out ? STDOUT_FILENO : STDERR_FILENO;
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed pipe or a full disk: the capture files still get everything
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool console_stream_takes_cursor_movement() {
  if (!::isatty(STDOUT_FILENO)) return false;
  const char* term = std::getenv("TERM");
  return term != nullptr && *term != '\0' && std::string_view(term) != "dumb";
}

bool console_error_on_output_terminal() {
  if (!::isatty(STDERR_FILENO) || !::isatty(STDOUT_FILENO)) return false;
  struct stat out {};
  struct stat err {};
  return ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(STDERR_FILENO, &err) == 0 &&
         out.st_rdev == err.st_rdev;
}

TerminalSize console_terminal_size() {
  struct winsize size {};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
    return TerminalSize{};
  }
  return TerminalSize{size.ws_col, size.ws_row};
}

}  // namespace kelp
