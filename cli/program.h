// The program's command line as a whole: `markfit` alone opens the toolbox,
// `markfit COMMAND ...` runs one of the commands listed in kCommands, each
// of which parses the rest of the words itself (cli/command_line.h).
#pragma once

#include <string>
#include <vector>

#include "cli/toolbox_loader.h"

namespace cli {

struct CommandEntry {
  const char* name;
  const char* summary;  // one line for `markfit --help`
  int (*run)(int argc, char** argv);  // argv[1] is the command's name
};

// The commands, in the order `markfit --help` lists them.
const std::vector<CommandEntry>& commands();

// main(): picks the command, or parses the toolbox's start options and opens it.
int run_program(int argc, char** argv);

// The start options of the toolbox from `args` (the words after the program
// name). Returns -1 when the toolbox is to start with *start, else the exit
// status after writing help, the version or a usage message to `out`/`err`.
int parse_toolbox_start(const std::vector<std::string>& args, std::string* out, std::string* err,
                        ToolboxStart* start);

}  // namespace cli
