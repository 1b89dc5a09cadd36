#include "cli/program.h"

#include <cstdio>
#include <cstring>

#include "cli/command_line.h"
#include "cli/convert_command.h"
#include "cli/ksf_command.h"
#include "cli/revert_command.h"
#include "cli/table_command.h"

namespace cli {

const std::vector<CommandEntry>& commands() {
  static const std::vector<CommandEntry> list = {
      {"convert", "turn an HTML file into lines of program code", run_convert},
      {"revert", "turn code lines back into the HTML they came from", run_revert},
      {"ksf", "check, dump and load keyed data files", run_ksf},
      {"table", "list translation tables, export one, import one", run_table},
  };
  return list;
}

namespace {

std::string description() {
  std::string text =
      "Utility program for Netloom developers.\n"
      "\n"
      "Without a command, markfit opens its toolbox window. Its conversion window\n"
      "shows the first lines it will write, takes a file dropped on it (or on the\n"
      "toolbox; of several files, the first) as the file to read, and offers the\n"
      "last eight files used in its file lookups.\n"
      "\n"
      "Commands:\n";
  for (const CommandEntry& c : commands()) {
    std::string line = std::string("  ") + c.name;
    line.resize(15, ' ');
    text += line + c.summary + "\n";
  }
  return text + "\nEach command tells its own options: markfit COMMAND --help.\n";
}

}  // namespace

int parse_toolbox_start(const std::vector<std::string>& args, std::string* out, std::string* err,
                        ToolboxStart* start) {
  auto app = make_command("markfit", description());
  std::vector<std::string> words;
  add_arguments(*app, "[COMMAND] [ARGS]", "a command and its words", &words, -1);
  // For scripts and benchmarks: print "shown" and end as soon as the
  // toolbox is on screen; grab every window into DIR/*.png and end.
  hidden(add_flag(*app, "--quit-when-shown", "end once the toolbox is shown", &start->quit_when_shown));
  std::optional<std::string> screenshots;
  hidden(add_value(*app, "--screenshot", "DIR", "grab every window into DIR and end", &screenshots));
  const Parsed p = parse(*app, args);
  *out = p.out;
  *err = p.err;
  if (p.done) return p.status;
  if (!words.empty()) {
    std::vector<std::string> names;
    for (const CommandEntry& c : commands()) names.push_back(c.name);
    std::string message = "unknown command '" + words.front() + "'";
    if (const std::string guess = near_miss(words.front(), names); !guess.empty()) {
      message += "; did you mean '" + guess + "'?";
    }
    *err = usage_message(*app, message);
    return kUsageStatus;
  }
  if (screenshots) {
    if (screenshots->empty()) {
      *err = usage_message(*app, "the folder for --screenshot is empty");
      return kUsageStatus;
    }
    start->screenshot_dir = *screenshots;
  }
  return -1;
}

int run_program(int argc, char** argv) {
  if (argc > 1) {
    for (const CommandEntry& c : commands()) {
      if (std::strcmp(argv[1], c.name) == 0) return c.run(argc, argv);
    }
  }
  std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
  std::string out, err;
  ToolboxStart start;
  const int status = parse_toolbox_start(args, &out, &err, &start);
  std::fputs(out.c_str(), stdout);
  std::fputs(err.c_str(), stderr);
  if (status >= 0) return status;
  // Qt sees the program's name only: every word was ours.
  return run_toolbox(1, argv, start);
}

}  // namespace cli
