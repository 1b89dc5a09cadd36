#include "platform/path.h"

#include <vector>

namespace platform {

namespace {

void push_components(std::string_view text, std::vector<std::string_view>* parts) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t slash = text.find('/', i);
    const std::size_t end = slash == std::string_view::npos ? text.size() : slash;
    const std::string_view part = text.substr(i, end - i);
    if (part == "..") {
      if (!parts->empty()) parts->pop_back();
    } else if (!part.empty() && part != ".") {
      parts->push_back(part);
    }
    i = end + 1;
  }
}

}  // namespace

bool normalize_path(std::string_view base, std::string_view path, std::string* out) {
  if (path.empty()) return false;
  if (path.find('\0') != std::string_view::npos || base.find('\0') != std::string_view::npos) {
    return false;
  }
  std::vector<std::string_view> parts;
  if (path.front() != '/') push_components(base, &parts);
  push_components(path, &parts);
  std::string result;
  for (const auto part : parts) {
    result += '/';
    result += part;
  }
  if (result.empty()) result = "/";
  *out = std::move(result);
  return true;
}

std::string parent_directory(std::string_view absolute) {
  const std::size_t slash = absolute.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return "/";
  return std::string(absolute.substr(0, slash));
}

}  // namespace platform
