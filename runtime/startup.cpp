#include "runtime/startup.h"

#include "platform/env.h"
#include "runtime/environment_file.h"
#include "runtime/profile.h"

namespace runtime {

std::string program_path(const std::string& started_as) {
  std::string path;
  if (platform::own_program_path(&path).ok()) return path;
  return started_as.find('/') == std::string::npos ? std::string() : started_as;
}

void start_runtime(const std::string& started_as) {
  read_regional_settings();
  if (const std::string program = program_path(started_as); !program.empty()) {
    load_environment_file(environment_file_path(program));
  }
}

}  // namespace runtime
