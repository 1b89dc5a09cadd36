#include "platform/library.h"

#include <dlfcn.h>

namespace platform {

LibraryLoad load_library_symbol(const std::string& path, const char* symbol, void** address, std::string* reason) {
  *address = nullptr;
  // Lazy binding and a scope of its own: the quickest start of those tried
  // (binding now, or adding the library to the global scope, cost more).
  void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    *reason = why != nullptr && *why != '\0' ? why : "unknown reason";
    // The loader's reason usually starts with the path again.
    if (reason->rfind(path + ": ", 0) == 0) reason->erase(0, path.size() + 2);
    return LibraryLoad::cannot_load;
  }
  *address = ::dlsym(handle, symbol);
  if (*address == nullptr) {
    ::dlclose(handle);
    return LibraryLoad::no_symbol;
  }
  return LibraryLoad::ok;
}

}  // namespace platform
