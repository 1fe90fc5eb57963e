#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "platform/console.h"
#include "platform/interrupt.h"

namespace kelp {
namespace {

std::atomic<int> g_signal{0};
int g_wake_pipe[2] = {-1, -1};

extern "C" void on_interrupt(int signo) {
  int saved = errno;
  g_signal.store(signo);
  if (g_wake_pipe[1] >= 0) {
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_wake_pipe[1], &byte, 1);
  }
  errno = saved;
}

}  // namespace

void install_interrupt_handler() {
  if (::pipe(g_wake_pipe) == 0) {
    for (int fd : g_wake_pipe) {
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
  }
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking call returns EINTR and the loop looks at the flag.
  action.sa_flags = 0;
  // SIGHUP is the terminal or the SSH session going away. A signal that was ignored when the
  // tool started stays ignored: `nohup kelp-capture udp` must outlive its terminal, and a
  // background job started by a script must not stop at the script's Ctrl+C.
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous {};
    if (::sigaction(signo, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    ::sigaction(signo, &action, nullptr);
  }
}

bool interrupted() { return g_signal.load() != 0; }

std::string interrupt_name() {
  switch (g_signal.load()) {
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "Ctrl+C";
  }
}

void end_as_interrupted() {
  drain_console();
  int signo = g_signal.load();
  if (signo == 0) signo = SIGINT;
  // Die of the signal itself, so the parent (a shell, a script) sees what it would have seen
  // without a handler.
  ::signal(signo, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signo);
  std::_Exit(128 + signo);
}

std::intptr_t interrupt_wait_handle() { return g_wake_pipe[0]; }

}  // namespace kelp
