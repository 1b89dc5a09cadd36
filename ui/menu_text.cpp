#include "ui/menu_text.h"

#include <algorithm>
#include <cctype>

namespace ui {
namespace {

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Where the system_text() piece that starts at text[at] ends (its
// bytes from *from on); 0 when no whole piece starts there.
std::size_t piece_end(std::string_view text, std::size_t at, std::size_t* from) {
  std::size_t length = 0;
  std::size_t i = at + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (length <= text.size()) length = length * 10 + static_cast<std::size_t>(text[i] - '0');
  }
  if (i == at + 1 || i >= text.size() || text[i] != ':') return 0;
  *from = i + 1;
  return *from + std::min(length, text.size() - *from);
}

// The next "|" of the text outside system pieces, from `start`.
std::size_t next_bar(std::string_view text, std::size_t start) {
  for (std::size_t i = start; i < text.size(); ++i) {
    std::size_t from = 0;
    if (text[i] == kSystemTextMark) {
      if (const std::size_t end = piece_end(text, i, &from)) i = end - 1;
    } else if (text[i] == '|') {
      return i;
    }
  }
  return std::string_view::npos;
}

char access_key_of(std::string_view text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    std::size_t from = 0;
    if (text[i] == kSystemTextMark) {
      if (const std::size_t end = piece_end(text, i, &from)) i = end - 1;
      continue;
    }
    if (text[i] != '&') continue;
    if (text[i + 1] == kSystemTextMark) continue;
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
    const std::size_t bar = next_bar(text, start);
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

std::vector<TextPiece> text_pieces(std::string_view text) {
  std::vector<TextPiece> pieces;
  std::size_t ansi = 0;  // where the ANSI text not yet taken starts
  const auto take_ansi = [&](std::size_t end) {
    if (end > ansi) pieces.push_back({text.substr(ansi, end - ansi), false});
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != kSystemTextMark) continue;
    take_ansi(i);
    std::size_t from = 0;
    if (const std::size_t end = piece_end(text, i, &from)) {
      if (end > from) pieces.push_back({text.substr(from, end - from), true});
      ansi = end;
      i = end - 1;
    } else {
      ansi = i + 1;  // not ours: the mark is dropped
    }
  }
  take_ansi(text.size());
  return pieces;
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
