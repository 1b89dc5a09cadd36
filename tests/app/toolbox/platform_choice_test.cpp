#include "app/toolbox/platform_choice.h"

#include <gtest/gtest.h>

namespace {

using app::Platform;

TEST(PlatformChoiceTest, XWhereAServerAnswersTheUsersChoiceAlwaysWaylandOnlyWithoutX) {
  const struct {
    const char* qpa;
    const char* display;
    const char* wayland;
    bool reachable;
    Platform expected;
  } cases[] = {
      {"", ":0", "", true, Platform::Xcb},
      {"", ":0", "wayland-0", true, Platform::Xcb},  // XWayland on a Wayland desktop
      {"", ":0", "wayland-0", false, Platform::Wayland},
      {"", "", "wayland-0", false, Platform::Wayland},
      {"wayland", ":0", "wayland-0", true, Platform::AsChosen},
      {"xcb", "", "wayland-0", false, Platform::AsChosen},
      {"offscreen", "", "", false, Platform::AsChosen},
      {"", ":5", "", false, Platform::XUnreachable},
      {"", "", "", false, Platform::NoDisplay},
  };
  for (const auto& c : cases) {
    const Platform p = app::choose_platform({c.qpa, c.display, c.wayland, c.reachable});
    EXPECT_EQ(p, c.expected) << c.qpa << "|" << c.display << "|" << c.wayland << "|" << c.reachable;
    // Said on standard error exactly when something is lost or the program cannot start.
    const bool says = p == Platform::Wayland || p == Platform::NoDisplay || p == Platform::XUnreachable;
    EXPECT_EQ(!app::platform_note(p).empty(), says);
  }
}

}  // namespace
