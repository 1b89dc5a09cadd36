// Whether an X server answers at a display name, before a toolkit is asked
// to connect there (which, failing, ends the program with no way back).
#pragma once

#include <string_view>

namespace platform {

// The display as DISPLAY names it: ":N", ":N.S", "unix:N", or "HOST:N".
// A local display is reachable when its socket in `socket_dir` (the X
// servers' own folder, or the abstract name Linux servers also listen on)
// takes a connection; nothing is said to the server, so a compositor that
// starts its X server on the first connection starts it now. A display on
// another host is taken as reachable (a network probe could hang); a name
// that is no display is not.
bool x_server_reachable(std::string_view display, std::string_view socket_dir = "/tmp/.X11-unix");

}  // namespace platform
