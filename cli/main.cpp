// markfit: the desktop utility and its command line. The program itself
// holds no Qt: the toolbox is a library loaded when it starts
// (cli/toolbox_loader.h); the commands are in cli/program.h.
#include "cli/program.h"

int main(int argc, char** argv) { return cli::run_program(argc, argv); }
