#include "runtime/startup.h"

#include "runtime/environment_file.h"
#include "runtime/profile.h"

namespace runtime {

void start_runtime(const std::string& program_path) {
  read_regional_settings();
  load_environment_file(environment_file_path(program_path));
}

}  // namespace runtime
