// What the command tests read and write around a command: a captured stream's
// bytes and whole files.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace cli::test {

// All that was written to `f`, which is closed.
inline std::string contents(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
  std::fclose(f);
  return s;
}

inline void write(const std::string& path, std::string_view bytes) { std::ofstream(path, std::ios::binary) << bytes; }

inline std::string read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace cli::test
