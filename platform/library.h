// Loading a shared library of the program's own at run time (the toolbox's
// window library), behind the operating-system seam like every other
// system call.
#pragma once

#include <string>

namespace platform {

enum class LibraryLoad { ok, cannot_load, no_symbol };

// Loads the library at `path` (lazily bound, its symbols kept to itself)
// and puts the address of `symbol` in it into *address. cannot_load: the
// loader's reason, without the path in front, goes to *reason; no_symbol:
// the library lacks the symbol and is unloaded again. A library that served
// stays loaded for the life of the process.
LibraryLoad load_library_symbol(const std::string& path, const char* symbol, void** address, std::string* reason);

}  // namespace platform
