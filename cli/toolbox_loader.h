// Starting the toolbox. The window side of the program (app/, ui/ and Qt)
// is a library of its own, loaded only when the toolbox starts: the
// commands then run without Qt in the process, whose libraries alone take
// some 16 MB of memory and most of a command's start once the loader has
// mapped and relocated them.
//
// The library lies at a fixed place relative to the program file, the same
// in the build tree and in an installation (see cli/CMakeLists.txt), and is
// found from the program's resolved path, so a start through PATH or a
// symbolic link finds it too.
#pragma once

#include <cstdio>
#include <string>

namespace cli {

// How the toolbox was started (main()'s hidden start flags).
struct ToolboxStart {
  bool quit_when_shown = false;  // print "shown" and end as soon as the toolbox is on screen
  std::string screenshot_dir;    // non-empty: grab every window into this directory, then end
};

// The toolbox library that belongs to the program file `program` (an
// absolute path): the program's folder joined with the relative place fixed
// at build time.
std::string toolbox_library_path(const std::string& program);

// Loads `library`, then runs the toolbox in it with argc/argv (Qt's
// arguments) and returns its exit code. When the library cannot be loaded or
// lacks the entry point of this program's interface, writes one line to
// `err` naming the library and the reason, and returns 1.
int run_toolbox_library(const std::string& library, int argc, char** argv, const ToolboxStart& start,
                        std::FILE* err = stderr);

// `markfit` without a command: the toolbox library of the running program.
int run_toolbox(int argc, char** argv, const ToolboxStart& start = {});

}  // namespace cli

// The library's one exported symbol. Its name carries the number of the
// interface between program and library: a library built for another
// interface is refused (its entry is not found) rather than called wrongly.
extern "C" {
struct MarkfitToolboxStart {
  int quit_when_shown;
  const char* screenshot_dir;  // "" for none
};
int markfit_toolbox_main_1(int argc, char** argv, const MarkfitToolboxStart* start);
}

namespace cli {
inline constexpr const char* kToolboxEntry = "markfit_toolbox_main_1";
}  // namespace cli
