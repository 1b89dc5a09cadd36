// The toolbox: the program's one lasting window, from whose menus every
// other window starts.
//   toolbox_window.h  `ToolboxWindow`, the whole life of the program
//   tray_icon.h       the icon that stands for the toolbox while it is minimised
//   about_markfit.h   `AboutMarkfit`
//   screenshots.h     every window grabbed into files, for the documentation
//   platform_choice.h X11 (XWayland) or native Wayland
#pragma once

#include "app/toolbox/about_markfit.h"
#include "app/toolbox/platform_choice.h"
#include "app/toolbox/screenshots.h"
#include "app/toolbox/toolbox_window.h"
#include "app/toolbox/tray_icon.h"
