#include "cli/toolbox_loader.h"

#include <filesystem>

#include "platform/library.h"
#include "runtime/startup.h"

#ifndef MARKFIT_TOOLBOX_LIBRARY
#error "MARKFIT_TOOLBOX_LIBRARY (the toolbox library relative to the program's folder) comes from cli/CMakeLists.txt"
#endif

namespace cli {

std::string toolbox_library_path(const std::string& program) {
  const std::filesystem::path folder = std::filesystem::path(program).parent_path();
  return (folder / MARKFIT_TOOLBOX_LIBRARY).lexically_normal().string();
}

int run_toolbox_library(const std::string& library, int argc, char** argv, const ToolboxStart& start,
                        std::FILE* err) {
  // The library stays loaded: Qt's exit handlers run after main() returns.
  void* symbol = nullptr;
  std::string why;
  switch (platform::load_library_symbol(library, kToolboxEntry, &symbol, &why)) {
    case platform::LibraryLoad::cannot_load:
      std::fprintf(err, "markfit: cannot load the toolbox library %s: %s\n", library.c_str(), why.c_str());
      return 1;
    case platform::LibraryLoad::no_symbol:
      std::fprintf(err, "markfit: %s is not this program's toolbox library (it has no %s); reinstall markfit\n",
                   library.c_str(), kToolboxEntry);
      return 1;
    case platform::LibraryLoad::ok:
      break;
  }
  const auto entry = reinterpret_cast<decltype(&markfit_toolbox_main_1)>(symbol);
  const MarkfitToolboxStart options{start.quit_when_shown ? 1 : 0, start.screenshot_dir.c_str()};
  return entry(argc, argv, &options);
}

int run_toolbox(int argc, char** argv, const ToolboxStart& start) {
  const std::string program = runtime::program_path(argc > 0 && argv[0] != nullptr ? argv[0] : "");
  if (program.empty()) {
    std::fputs("markfit: cannot tell where the program lies (no /proc/self/exe), so not where its toolbox library is\n",
               stderr);
    return 1;
  }
  return run_toolbox_library(toolbox_library_path(program), argc, argv, start);
}

}  // namespace cli
