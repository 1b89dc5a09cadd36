// The toolbox library's entry point (cli/toolbox_loader.h): the whole window
// side of the program lies behind it. Built into the library only, never
// into the program or markfit_cli.
#include "app/toolbox/toolbox_window.h"
#include "cli/toolbox_loader.h"

extern "C" __attribute__((visibility("default"))) int markfit_toolbox_main_1(int argc, char** argv,
                                                                              const MarkfitToolboxStart* start) {
  app::StartOptions options;
  options.quit_when_shown = start->quit_when_shown != 0;
  if (start->screenshot_dir != nullptr) options.screenshot_dir = start->screenshot_dir;
  return app::run_toolbox(argc, argv, options);
}
