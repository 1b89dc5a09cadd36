// Loading the desktop's font configuration ahead of need.
//
// The first text a GUI program measures or draws makes fontconfig read its
// configuration (dozens of XML files) and font caches: some milliseconds,
// on the path to the first window. Nothing before that needs fonts, so a
// program can start that loading on a thread of its own at once and build
// its application object meanwhile. The result is the very configuration
// the GUI library would have loaded itself (fontconfig's default, made
// current once); the library's own initialisation then finds it ready.
#pragma once

#include <thread>

namespace platform {

class FontConfigPreload {
 public:
  // Starts the loading when fontconfig is part of the process (the GUI
  // library links it); otherwise does nothing.
  FontConfigPreload();
  // Waits for the loading to end.
  ~FontConfigPreload();
  FontConfigPreload(const FontConfigPreload&) = delete;
  FontConfigPreload& operator=(const FontConfigPreload&) = delete;

  // Returns once the configuration is loaded, or at once when nothing was
  // started or the wait is over already. Call it before the first use of
  // fonts: loading them twice side by side would be correct but wasted.
  void wait();

 private:
  std::thread thread_;
};

}  // namespace platform
