#include "app/toolbox/platform_choice.h"

namespace app {

Platform choose_platform(const DisplayEnvironment& e) {
  if (!e.qt_platform.empty()) return Platform::AsChosen;
  if (!e.x_display.empty() && e.x_reachable) return Platform::Xcb;
  if (!e.wayland_display.empty()) return Platform::Wayland;
  return e.x_display.empty() ? Platform::NoDisplay : Platform::XUnreachable;
}

std::string_view platform_note(Platform p) {
  switch (p) {
    case Platform::Wayland:
      return "markfit: no X server (XWayland) to be had on this Wayland desktop, so running natively: the toolbox "
             "cannot stay on top of other windows, and windows open where the desktop puts them rather than where "
             "they were left\n";
    case Platform::NoDisplay:
      return "markfit: no display to open the toolbox on (neither DISPLAY nor WAYLAND_DISPLAY is set); see --help\n";
    case Platform::XUnreachable:
      return "markfit: no X server answers at the display that DISPLAY names; see --help\n";
    case Platform::AsChosen:
    case Platform::Xcb: break;
  }
  return "";
}

}  // namespace app
