// What the runtime does once per process before the first window opens.
#pragma once

#include <string>

namespace runtime {

// Reads the regional settings from the user's system profile (section
// "intl"), then the environment file beside the program (program path cut at
// its last ".", plus ".ENV"; a missing file is no error). The caller clears
// the file layer's error state afterwards.
void start_runtime(const std::string& program_path);

}  // namespace runtime
