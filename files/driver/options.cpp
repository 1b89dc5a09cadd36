#include <string>
#include <string_view>
#include <vector>

#include "files/driver/driver.h"

namespace files {

bool nextOption(std::string_view text, std::size_t* pos, std::string* token) {
  std::size_t i = *pos;
  while (i < text.size() && text[i] != '/') ++i;  // text before the first "/" is no token
  if (i >= text.size()) {
    *pos = text.size();
    return false;
  }
  ++i;  // the "/" itself
  token->clear();
  bool quoted = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') quoted = !quoted;
    if (c == '/' && !quoted) break;
    token->push_back(c);
  }
  *pos = i;
  return true;
}

std::vector<std::string> option_values(std::string_view token) {
  std::vector<std::string> values(1);
  bool quoted = false;
  for (const char c : token) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      values.emplace_back();
      continue;
    }
    values.back().push_back(c);
  }
  return values;
}

std::int32_t apply_options(Driver& driver, FileControlBlock& fcb, std::string_view text) {
  std::size_t pos = 0;
  std::string token;
  std::string answer;
  while (nextOption(text, &pos, &token)) {
    if (const std::int32_t rc = driver.apply_option(fcb, token, &answer); rc != 0) return rc;
  }
  return 0;
}

}  // namespace files
