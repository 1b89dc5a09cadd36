// The hidden start flag "--screenshot DIR": once the toolbox is on screen,
// shows every window and menu the program has, grabs each into DIR/*.png
// and ends the program. For looking at the windows without a desktop
// (scripts/screenshots.sh runs it under Xvfb).
#pragma once

#include <string>

namespace app {

// Starts the sequence; the program ends when it is done. A directory that
// cannot be written is reported on stderr and the program still ends.
void start_screenshots(const std::string& directory);

}  // namespace app
