// Icons by name: the desktop's theme icon where the theme has one, else a
// small SVG drawn for this program (ui/resources/icons) and built into it as
// a recording of its drawing, which needs neither the SVG library nor its
// icon plugin at run time (see ui/resources/record_icon.cpp).
//
//   "markfit"  the program (window, tray, desktop file): always ours
//   "code"     the tools button: always ours
//   "ok"       the application button, the About window's "&Close"; theme
//              name "dialog-ok"
//   "lookup"   the buttons beside an entry that pick its value (a file, a
//              stored text): always ours
//
// A control can ask for our own drawing whatever the theme has (kOwnIcon in
// window_definition.h). The toolbox does: it is on screen from the first
// moment, and the first theme lookup reads the theme's index files (some
// milliseconds, a large part of the start), while its icons are the
// program's own look anyway.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <string_view>

namespace ui {

// The icon of `name`; a null icon for a name we do not have. Names are
// matched as written ("code"; a name with a path or an extension, as the
// definitions of old wrote "c:\icon\ok.ico", is cut to its bare name).
// Looked up once per name and program run; a theme changed while the
// program runs shows from its next start.
QIcon load_icon(std::string_view name);

// Our own drawing of `name` only, never the theme's (the About picture,
// which must look the same everywhere).
QIcon builtin_icon(std::string_view name);

}  // namespace ui
