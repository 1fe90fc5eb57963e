#include "platform/process.h"

#include <cstdlib>
#include <string>

#include "platform/console.h"

namespace kelp {

void fatal_stop(std::string_view what, std::string_view detail) {
  write_stderr("kelp-capture: fatal: " + std::string(what) + ": " + std::string(detail) + "\n");
  drain_console();
  std::_Exit(101);  // other threads may still run; nothing is buffered, so nothing is lost
}

}  // namespace kelp
