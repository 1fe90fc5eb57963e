#include "platform/system_error.h"

namespace kelp {

std::string io_error_text(int code) {
  return os_error_message(code) + " (os error " + std::to_string(code) + ")";
}

}  // namespace kelp
