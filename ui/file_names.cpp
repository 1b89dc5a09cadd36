#include "ui/file_names.h"

namespace ui {

std::string_view clip(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

FileNameParts split_file_name(std::string_view path) {
  FileNameParts parts;
  const auto is_letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (path.size() >= 2 && is_letter(path[0]) && path[1] == ':') {
    parts.drive = std::string(path.substr(0, 2));
    path.remove_prefix(2);
  }
  const std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string_view::npos) {
    parts.directory = std::string(path.substr(0, slash + 1));
    path.remove_prefix(slash + 1);
  }
  const std::size_t dot = path.rfind('.');
  if (dot != std::string_view::npos && dot > 0) {
    parts.name = std::string(path.substr(0, dot));
    parts.extension = std::string(path.substr(dot));
  } else {
    parts.name = std::string(path);
  }
  return parts;
}

std::vector<FileFilter> parse_file_filter(std::string_view text) {
  std::vector<std::string_view> pieces;
  if (!text.empty()) {
    std::size_t start = 0;
    while (true) {
      const std::size_t bar = text.find('|', start);
      pieces.push_back(text.substr(start, bar == std::string_view::npos ? text.npos : bar - start));
      if (bar == std::string_view::npos) break;
      start = bar + 1;
    }
  }
  // A trailing "|" ends the list; it does not open another pair.
  if (!pieces.empty() && pieces.back().empty()) pieces.pop_back();

  std::vector<FileFilter> filters;
  for (std::size_t i = 0; i < pieces.size(); i += 2) {
    FileFilter f;
    f.description = std::string(clip(pieces[i]));
    if (i + 1 < pieces.size()) {
      std::string_view list = pieces[i + 1];
      std::size_t start = 0;
      while (start <= list.size()) {
        std::size_t semi = list.find(';', start);
        if (semi == std::string_view::npos) semi = list.size();
        std::string_view p = list.substr(start, semi - start);
        while (!p.empty() && p.front() == ' ') p.remove_prefix(1);
        p = clip(p);
        if (!p.empty()) f.patterns.emplace_back(p);
        start = semi + 1;
      }
    }
    if (f.patterns.empty()) f.patterns.emplace_back("*");
    filters.push_back(std::move(f));
  }
  return filters;
}

}  // namespace ui
