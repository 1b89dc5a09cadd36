// Which of Qt's platforms the toolbox runs on. Keeping a window on top of
// the others, placing it and reading where it is work on X11; a program on
// a native Wayland session can do none of them. So where an X server is
// reachable (XWayland on a Wayland desktop), X is used; a platform the user
// chose (QT_QPA_PLATFORM) is used as chosen; a Wayland session without any
// X server runs natively, after saying once what is lost.
#pragma once

#include <string_view>

namespace app {

struct DisplayEnvironment {
  std::string_view qt_platform;      // QT_QPA_PLATFORM ("" when not set)
  std::string_view x_display;        // DISPLAY
  std::string_view wayland_display;  // WAYLAND_DISPLAY
  bool x_reachable = false;          // an X server answers at x_display
};

enum class Platform {
  AsChosen,      // the user's QT_QPA_PLATFORM
  Xcb,           // X11, XWayland included
  Wayland,       // native Wayland: no X server to be had
  NoDisplay,     // nothing to show a window on
  XUnreachable,  // DISPLAY names a server that does not answer, and no Wayland
};

Platform choose_platform(const DisplayEnvironment& e);

// What the program says on standard error for a choice, once at start; ""
// when it has nothing to say. NoDisplay and XUnreachable end the program.
std::string_view platform_note(Platform p);

}  // namespace app
