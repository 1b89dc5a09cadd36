#include "platform/font_preload.h"

#include <dlfcn.h>

#include <system_error>

namespace platform {

FontConfigPreload::FontConfigPreload() {
  // Looked up in the process rather than linked: the GUI library brings
  // fontconfig in where it uses it, and a build need not know.
  using Init = int (*)();
  void* symbol = dlsym(RTLD_DEFAULT, "FcInit");
  if (symbol == nullptr) return;
  const auto init = reinterpret_cast<Init>(symbol);
  try {
    thread_ = std::thread([init] { init(); });
  } catch (const std::system_error&) {
    // No thread to be had: the GUI library loads the configuration itself.
  }
}

FontConfigPreload::~FontConfigPreload() { wait(); }

void FontConfigPreload::wait() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace platform
