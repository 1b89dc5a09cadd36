// Any bytes as a popup menu text, a file-dialog filter and a path: no crash,
// and what each reader promises holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ui/file_names.h"
#include "ui/menu_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Menu: one entry per "|"-piece; items numbered 1.. in order, separators
  // 0; a choice is an enabled item's number or 0.
  const auto entries = ui::parse_menu_text(text);
  std::size_t bars = 0;
  for (char c : text) bars += c == '|';
  if (!text.empty() && entries.size() != bars + 1) std::abort();
  if (text.empty() && !entries.empty()) std::abort();
  int expected = 1;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ui::MenuEntry& e = entries[i];
    if (e.separator != (e.number == 0)) std::abort();
    if (!e.separator && e.number != expected++) std::abort();
    const int choice = ui::menu_choice_number(entries, i);
    if (choice != ((e.separator || e.disabled) ? 0 : e.number)) std::abort();
    if (ui::menu_label(e.text).size() > e.text.size()) std::abort();
  }
  if (ui::menu_choice_number(entries, entries.size()) != 0) std::abort();

  // Path: the four parts give it back.
  const ui::FileNameParts p = ui::split_file_name(text);
  if (p.drive + p.directory + p.name + p.extension != text) std::abort();
  if (p.name.find_first_of("/\\") != std::string::npos) std::abort();

  // Filter: every choice has at least one pattern, none empty.
  for (const ui::FileFilter& f : ui::parse_file_filter(text)) {
    if (f.patterns.empty()) std::abort();
    for (const std::string& pattern : f.patterns) {
      if (pattern.empty()) std::abort();
    }
  }
  return 0;
}
