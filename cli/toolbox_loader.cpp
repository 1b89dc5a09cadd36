#include "cli/toolbox_loader.h"

#include <dlfcn.h>

#include <filesystem>

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
  // Lazy binding and a scope of its own: the quickest start of those tried
  // (binding now, or adding Qt to the global scope, cost more). The library
  // stays loaded: Qt's exit handlers run after main() returns.
  void* handle = ::dlopen(library.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) {
    // The loader's reason usually starts with the path again.
    const char* reason = ::dlerror();
    std::string why = reason != nullptr && *reason != '\0' ? reason : "unknown reason";
    if (why.rfind(library + ": ", 0) == 0) why.erase(0, library.size() + 2);
    std::fprintf(err, "markfit: cannot load the toolbox library %s: %s\n", library.c_str(), why.c_str());
    return 1;
  }
  void* symbol = ::dlsym(handle, kToolboxEntry);
  if (symbol == nullptr) {
    std::fprintf(err, "markfit: %s is not this program's toolbox library (it has no %s); reinstall markfit\n",
                 library.c_str(), kToolboxEntry);
    ::dlclose(handle);
    return 1;
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
