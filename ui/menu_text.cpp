#include "ui/menu_text.h"

#include <cctype>

namespace ui {
namespace {

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

char access_key_of(std::string_view text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '&') continue;
    if (text[i + 1] == '&') {  // "&&" is a literal ampersand
      ++i;
      continue;
    }
    return static_cast<char>(std::tolower(static_cast<unsigned char>(text[i + 1])));
  }
  return 0;
}

}  // namespace

std::vector<MenuEntry> parse_menu_text(std::string_view text) {
  std::vector<MenuEntry> entries;
  if (text.empty()) return entries;
  int next_number = 1;
  std::size_t start = 0;
  while (true) {
    const std::size_t bar = text.find('|', start);
    std::string_view piece = text.substr(start, bar == std::string_view::npos ? text.npos : bar - start);
    MenuEntry entry;
    if (!piece.empty() && piece.front() == '~') {
      entry.disabled = true;
      piece.remove_prefix(1);
    }
    if (trim_blanks(piece) == "-") {
      entry.separator = true;
      entry.disabled = false;
      entry.text = "-";
    } else {
      entry.text = std::string(piece);
      entry.number = next_number++;
      entry.access_key = access_key_of(piece);
      if (piece.empty()) entry.disabled = true;
    }
    entries.push_back(std::move(entry));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  return entries;
}

int menu_choice_number(const std::vector<MenuEntry>& entries, std::size_t index) {
  if (index >= entries.size()) return 0;
  const MenuEntry& e = entries[index];
  if (e.separator || e.disabled) return 0;
  return e.number;
}

std::string menu_label(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size() && text[i + 1] == '&') {
        out += '&';
        ++i;
      }
      continue;
    }
    out += text[i];
  }
  return out;
}

}  // namespace ui
