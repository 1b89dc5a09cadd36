#include "platform/terminal.h"

#include <unistd.h>

namespace platform {

bool is_terminal(int standard_stream) {
  if (standard_stream < 0 || standard_stream > 2) return false;
  return ::isatty(standard_stream) == 1;
}

}  // namespace platform
