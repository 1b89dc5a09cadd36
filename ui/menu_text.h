// Popup menu texts: "&Restore|-|&Close". No Qt here; the menu itself is
// shown by the responder (responder.h).
//
// The text lists the entries separated by "|":
//   * "-" (blanks around it allowed) is a separator;
//   * a leading "~" shows the item disabled: it cannot be chosen;
//   * "&" marks the next character as the access key; "&&" is a plain "&".
//   * a system_text() piece (services.h, a file name say) is taken as it
//     is: its "|", "&", "~" and "-" are part of it.
// Items are numbered from 1 in order; separators are not counted. An empty
// entry ("a||b", a trailing "|") is an item without a text: it keeps its
// number so that the items after it keep theirs, and it is disabled because
// there is nothing to choose. An empty text is no menu at all.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

struct MenuEntry {
  std::string text;       // as written, without the leading "~"; "&" kept
  bool separator = false;
  bool disabled = false;
  int number = 0;         // 1-based item number; 0 for separators
  char access_key = 0;    // the character after a single "&", lower case; 0 none

  bool operator==(const MenuEntry&) const = default;
};

// Takes any bytes.
std::vector<MenuEntry> parse_menu_text(std::string_view text);

// A text in pieces: ANSI text, and the system's own bytes that
// system_text() (services.h) marked in it. A mark that does not start a
// whole piece is dropped.
struct TextPiece {
  std::string_view bytes;
  bool system = false;

  bool operator==(const TextPiece&) const = default;
};
std::vector<TextPiece> text_pieces(std::string_view text);

// Starts a system_text() piece: the mark, its length in decimal, ":", the
// bytes. ANSI text never holds this control character.
inline constexpr char kSystemTextMark = '\x01';

// The item number that choosing entries[index] gives: 0 when the index is
// outside the list or names a separator or a disabled item.
int menu_choice_number(const std::vector<MenuEntry>& entries, std::size_t index);

// The text as shown, without the access-key marks ("E&xit" -> "Exit").
std::string menu_label(std::string_view text);

}  // namespace ui
