// Whether a standard stream is a terminal: the command line shows a
// progress bar only to a person watching, never into a file or a pipe.
#pragma once

namespace platform {

// fd 0, 1 or 2. False for anything else and when the system cannot tell.
bool is_terminal(int standard_stream);

}  // namespace platform
