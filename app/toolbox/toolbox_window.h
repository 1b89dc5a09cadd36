// Program start and the toolbox window `ToolboxWindow`: the tiny
// always-on-top window with the tools and application buttons, dragged by
// its strip, hidden in the notification area when minimised.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/toolbox/tray_icon.h"
#include "ui/task.h"
#include "ui/window_definition.h"

namespace app {

// The toolbox's controls, by number.
namespace toolbox {
inline constexpr int kToolsButton = 1;
inline constexpr int kDecoration = 2;
inline constexpr int kApplicationButton = 3;
inline constexpr int kDragStrip = 4;
inline constexpr int kFocusCatcher = 5;
inline constexpr int kTitle = 6;

inline constexpr const char* kToolsMenu = "&Commands table|&Translation table|&Write html code";
inline constexpr const char* kApplicationMenu = "&About|&Minimize|E&xit";
inline constexpr const char* kTrayMenu = "&Restore|-|&Close";

// The events the tray clicks post; they only wake the event loop.
inline constexpr int kTrayLeftUp = 1089;
inline constexpr int kTrayRightUp = 1090;
inline constexpr int kTrayLeftDouble = 1091;
inline constexpr int kTrayRightDouble = 1092;

inline constexpr int kWidthUnits = 20;
inline constexpr int kHeightUnits = 39;
}  // namespace toolbox

const ui::WindowDef& toolbox_definition();

// Dragging the toolbox by its strip. Positions are the window's screen
// position and the mouse relative to the window, in pixels.
struct DragState {
  int origin_x = 0;  // where the window goes
  int origin_y = 0;
  int reference_x = 0;  // the mouse position the next move is measured from
  int reference_y = 0;
};

// The press on the strip: the window at (window_x, window_y), the mouse at
// (mouse_x, mouse_y) relative to it.
DragState drag_start(int window_x, int window_y, int mouse_x, int mouse_y);

// One move of the mouse while dragging; the window then goes to
// (origin_x, origin_y). Per axis: d = reference - mouse; the origin becomes
// 0 when d is larger than it (the window never goes to a negative position),
// else origin - d; the reference becomes window + mouse - origin.
void drag_step(DragState& state, int window_x, int window_y, int mouse_x, int mouse_y);

struct ToolboxOptions {
  // Makes the tray icon; empty: the desktop's notification area.
  std::function<std::unique_ptr<TrayIcon>()> make_tray;
};

// The main procedure: the whole life of the program takes place inside it.
// Returns when the toolbox closes ("E&xit", "&Close" from the tray, the
// window closed otherwise, or the end of the desktop session).
ui::Task ToolboxWindow(ToolboxOptions options = {});

// How the program was started (cli/main.cpp).
struct StartOptions {
  bool quit_when_shown = false;  // print "shown" and end as soon as the toolbox is on screen
  std::string screenshot_dir;    // non-empty: grab every window into this directory, then end
};

// `markfit` without a command: starts the runtime, sets up the module, runs
// ToolboxWindow and returns the exit code (0; 1 when there is no display,
// platform_choice.h).
int run_toolbox(int argc, char** argv, const StartOptions& options = {});

}  // namespace app
