// markfit: the desktop utility and its command line. main() only picks what
// to run; each command lives in its own place. The program itself holds no
// Qt: the toolbox is a library loaded when it starts (cli/toolbox_loader.h).
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/convert_command.h"
#include "cli/ksf_command.h"
#include "cli/toolbox_loader.h"

#ifndef MARKFIT_VERSION
#define MARKFIT_VERSION "1.04"
#endif

namespace {

void print_help(std::FILE* out) {
  std::fputs(
      "Usage: markfit [COMMAND] [ARGS]\n"
      "\n"
      "Utility program for Netloom developers.\n"
      "\n"
      "Without a command, markfit opens its toolbox window.\n"
      "\n"
      "Commands:\n"
      "  convert      turn an HTML file into lines of program code (markfit convert --help)\n"
      "  ksf          check, dump and load keyed data files (markfit ksf --help)\n"
      "\n"
      "Options:\n"
      "  --help       show this text and exit\n"
      "  --version    show the version and exit\n",
      out);
}

// The hidden start flags of the toolbox (for scripts and benchmarks):
//   --quit-when-shown   print "shown" and end as soon as the toolbox is on screen
//   --screenshot DIR    grab every window into DIR/*.png and end
// Returns false for anything else.
bool parse_toolbox_flags(int argc, char** argv, cli::ToolboxStart* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quit-when-shown") {
      options->quit_when_shown = true;
    } else if (arg == "--screenshot" && i + 1 < argc && argv[i + 1][0] != '\0') {
      options->screenshot_dir = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const std::string arg = argv[1];
    if (arg == "--help" || arg == "-h") {
      print_help(stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("markfit %s\n", MARKFIT_VERSION);
      return 0;
    }
    if (arg == "ksf") return cli::run_ksf(argc, argv);
    if (arg == "convert") return cli::run_convert(argc, argv);
    cli::ToolboxStart options;
    if (parse_toolbox_flags(argc, argv, &options)) return cli::run_toolbox(1, argv, options);
    std::fprintf(stderr, "markfit: unknown command '%s'\n\n", arg.c_str());
    print_help(stderr);
    return 2;
  }
  return cli::run_toolbox(argc, argv);
}
