// What the runtime does once per process before the first window opens.
#pragma once

#include <string>

namespace runtime {

// The program's own file, resolved (platform::own_program_path). When the
// system cannot say, `started_as` (argv[0]) stands in, but only when it
// names a path ("./markfit", "/usr/bin/markfit"): a bare name was found
// through PATH and says nothing about where the program lies, so the
// answer is then empty.
std::string program_path(const std::string& started_as);

// Reads the regional settings from the user's system profile (section
// "intl"), then the environment file beside the program (program_path cut
// at its last ".", plus ".ENV"; a missing file is no error; no file is read
// when the program's path is unknown). The caller clears the file layer's
// error state afterwards.
void start_runtime(const std::string& started_as);

}  // namespace runtime
