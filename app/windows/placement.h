// Window placement: every window's position, size and maximised state in
// its own section of the settings file, written when it closes and read
// back when it opens.
//
// Units: the window's own dialog units (ui/dialog_units.h), so that a
// settings file means the same on screens and with fonts of other sizes.
// "XPosit"/"YPosit" are the screen position of the window's client area,
// "Width"/"Height" its client size. Pixels are rounded to the nearest unit
// and units to the nearest pixel; with a dialog font at least 4 pixels wide
// and 9 high (every real one) a restore followed by a save writes back the
// very numbers it read, so a window neither creeps nor shrinks.
//
// Keys of the section: "Maximize" ("Yes"/"No"), "XPosit", "YPosit", "Width",
// "Height"; a value of 0, or a missing key, counts as not stored. Values are
// read as a decimal number (leading blanks and sign; what follows the
// digits is ignored; anything else is 0).
#pragma once

#include <string_view>

#include "ui/window.h"

namespace app {

// The settings file every window's placement is kept in, relative to the
// current directory at the moment of each call.
inline constexpr std::string_view kSettingsFile = ".\\Markfit.ini";

// Writes the placement of `window` to `section` of `file`, unless the
// window is minimised or the platform cannot tell where windows are (then
// nothing is written). A maximised window writes
// "Maximize" = "Yes" with its normal (not maximised) position and size.
// A failure is told as settings_writes.h says (once per file, or with
// the other failures of the SettingsAction open, as at Exit).
void save_placement(ui::Window& window, std::string_view section, std::string_view file);

// Reads the placement back onto `window`, before it is shown:
//   * "XPosit" 0 or missing: nothing at all is done;
//   * unless the window is maximised now: with "XPosit" and "YPosit" both
//     stored, the window moves there; a window with a resizable frame takes
//     "Width" and "Height" too, and does not move at all when either is not
//     stored; a window without one keeps its own size. A placement that
//     lies wholly outside every screen of today (a monitor since removed)
//     is not applied: the window stays at its default place, in sight;
//   * then "Maximize" "Yes" maximises the window, anything else makes it
//     normal.
void restore_placement(ui::Window& window, std::string_view section, std::string_view file);

// Whether Qt's platform of that name tells a program where its windows are.
// Native Wayland does not (a program there reads made-up positions, which
// would overwrite the good ones a session under X stored).
bool platform_reports_positions(std::string_view qt_platform_name);

// The number a placement value reads as (see the top of this file).
int placement_number(std::string_view value);

}  // namespace app
