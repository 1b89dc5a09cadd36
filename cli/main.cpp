// markfit: the desktop utility and its command line.
#include <cstdio>
#include <cstring>
#include <string>

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
      "Options:\n"
      "  --help       show this text and exit\n"
      "  --version    show the version and exit\n",
      out);
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
    std::fprintf(stderr, "markfit: unknown command '%s'\n\n", arg.c_str());
    print_help(stderr);
    return 2;
  }
  std::fputs("markfit: the toolbox window is not available in this build yet; see --help\n", stderr);
  return 1;
}
