// Icons by name. Every icon is our own: the desktop's theme icon where the
// theme has one, else a small SVG drawn for this program and built into it
// (ui/resources/icons). The SVGs need Qt's SVG image plugin at run time.
//
//   "markfit"  the program (window, tray, desktop file)
//   "code"     the tools button
//   "ok"       the application button, the About window's "&Close"
#pragma once

#include <QIcon>
#include <QPixmap>
#include <string_view>

namespace ui {

// The icon of `name`; a null icon for a name we do not have. Names are
// matched as written ("code"; a name with a path or an extension, as the
// definitions of old wrote "c:\icon\ok.ico", is cut to its bare name).
QIcon load_icon(std::string_view name);

// Our own drawing of `name` only, never the theme's (the About picture,
// which must look the same everywhere).
QIcon builtin_icon(std::string_view name);

}  // namespace ui
