// A map of what is on screen, for programs that drive ours from outside
// (the end-to-end tests click and type through the X server and must know
// where a control is without guessing from pixels or fonts).
//
// While started, the map is kept in one JSON file, replaced whole (a
// reader never sees half of it) whenever what it shows changes, checked a
// few dozen times a second. Positions and sizes are screen pixels.
//
//   {"platform": Qt's platform ("xcb", "wayland", ...),
//    "input": key presses and mouse button presses and releases taken by
//             the program's windows (a shortcut's key press included) since
//             the map started: a driver that counts what it sends waits for
//             as many before it trusts the rest of the map,
//    "active": TITLE-OF-THE-ACTIVE-WINDOW-OR-null,
//    "windows": [{"name": DEFINITION-NAME, "title", "x","y","w","h",
//                 "visible", "active", "enabled", "minimized",
//                 "pending": events its procedure has not taken yet (a
//                            focus move held back by a held button too),
//                 "waiting": its procedure waits for its next event, so
//                            what is pending reaches it at once (false
//                            while it is in a message box or a window it
//                            opened),
//                 "exposed": mapped, so where the window manager put it
//                            (every top level below has it as well),
//                 "controls": [{"n", "class", "x","y","w","h", "visible",
//                               "enabled", "focus", "text" (a Text's
//                               whole text, its lines split by "\n"),
//                               lists: "current" (1-based, 0 none),
//                               "rows": [{"x","y","w","h","cells": [...]}]
//                                 (the rows on screen)}]}],
//    "popup": null or {"x","y","w","h","exposed",
//                      "items": [{"text","x","y","w","h","enabled"}]}
//             (a menu's items; other popups, such as a completer's list,
//             give their "class" and no items),
//    "dialogs": [{"class","title","text","x","y","w","h","active","exposed",
//                 "buttons": [{"text","x","y","w","h","enabled","focus"}],
//                 "edits":   [{"text","x","y","w","h","enabled","focus"}]}]}
//
// "windows" are the engine's windows in the order they were opened,
// "dialogs" every other top-level window on screen (message boxes, file
// dialogs). Texts are UTF-8 as Qt shows them. Needs a QApplication.
#pragma once

#include <string>

namespace ui {

// Starts keeping the map in `path`; a second call moves it.
void start_control_map(const std::string& path);

// The map as it stands now (what start_control_map writes).
std::string control_map_json();

}  // namespace ui
