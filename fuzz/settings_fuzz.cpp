// Feeds arbitrary bytes through the INI reader and writer. The input is cut
// at 0xFF bytes into text, section, key, value and a second key; the first
// byte of the input picks the kind of write.
//
// Besides not crashing, every write must read back as written: a set is found
// with its value (blanks cut, one pair of quotes stripped), a deleted key or
// section is gone, and a key of the same section with another name keeps what
// it had, unless the write was refused and left the text alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "runtime/settings.h"

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool same_name(std::string_view a, std::string_view b) {
  a = trim(a);
  b = trim(b);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::string_view as_read(std::string_view v) {
  v = trim(v);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return v;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int mode = data[0] % 3;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string_view> parts;
  std::size_t pos = 0;
  while (parts.size() < 4) {
    const std::size_t cut = input.find('\xff', pos);
    if (cut == std::string_view::npos) break;
    parts.push_back(input.substr(pos, cut - pos));
    pos = cut + 1;
  }
  parts.push_back(input.substr(pos));
  parts.resize(5);
  const std::string_view text = parts[0], section = parts[1], key = parts[2], value = parts[3],
                         other = parts[4];

  const std::optional<std::string> before_other = runtime::ini_lookup(text, section, other);
  (void)runtime::ini_lookup(text, section, key);

  std::string out;
  if (mode == 0) {
    out = runtime::ini_write(text, section, key, value);
    if (!runtime::ini_writable(section, key, value)) {
      check(out == text);
      return 0;
    }
    check(runtime::ini_lookup(out, section, key) == std::string(as_read(value)));
  } else if (mode == 1) {
    out = runtime::ini_write(text, section, key, std::nullopt);
    check(!runtime::ini_lookup(out, section, key));
  } else {
    out = runtime::ini_write(text, section, std::nullopt, std::nullopt);
    check(!runtime::ini_lookup(out, section, key));
    check(!runtime::ini_lookup(out, section, other));
    return 0;
  }
  if (!same_name(key, other)) check(runtime::ini_lookup(out, section, other) == before_other);
  return 0;
}
