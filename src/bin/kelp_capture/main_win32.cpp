// Entry point on Windows: the arguments arrive as UTF-16 and must hold no unpaired surrogate.
#include <string>

#include "options.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/process.h"

int wmain(int argc, wchar_t** argv) {
  kelp::init_console();
  auto args = kelp::arguments_from_utf16(argc, argv);
  if (!args) {
    kelp::write_stderr("kelp-capture: argument " + std::to_string(args.error()) +
                       " is not valid Unicode text\n");
    kelp::finish_console_output();
    return 2;
  }
  kelp::install_interrupt_handler();
  const int status = kelp::run_program(*args);
  // The mode ended by itself: the console gets every line before the process ends.
  kelp::finish_console_output();
  return status;
}
