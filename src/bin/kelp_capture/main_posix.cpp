// Entry point on POSIX systems: the arguments arrive as bytes and must be valid UTF-8.
#include <string>

#include "options.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  kelp::init_console();
  auto args = kelp::arguments_from_utf8(argc, argv);
  if (!args) {
    kelp::write_stderr("kelp-capture: argument " + std::to_string(args.error()) +
                       " is not valid UTF-8 text\n");
    kelp::finish_console_output();
    return 2;
  }
  kelp::install_interrupt_handler();
  const int status = kelp::run_program(*args);
  // The mode ended by itself: the console gets every line before the process ends.
  kelp::finish_console_output();
  return status;
}
