// The chosen translation table held in memory for one run: for each of the
// 256 character codes, whether the table has an entry and its replacement
// text (TRA:HTMLCHARS without trailing blanks).
//
// A run reads the table once at its start, with one keyed scan over the
// table's range of TRA:CHARACTERSKEY, instead of one keyed read per
// character: the output is the same, and the whole run sees one consistent
// version of the table even while another program edits it. Only entries
// whose TRA:CHARACTER is one character followed by a blank count, as only
// those can be found by a character's lookup.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace conversion {

class ReplacementTable {
 public:
  // No entries: every character is written unchanged.
  ReplacementTable();

  // The built-in standard table (the same entries the table builder
  // writes), for a run without data files.
  static ReplacementTable standard();

  // Gives `code` an entry; the text is cut to 10 characters and loses its
  // trailing blanks (a blank text deletes the character).
  void set(std::uint8_t code, std::string_view htmlchars);
  bool holds(std::uint8_t code) const { return held_[code] != 0; }
  std::string_view text(std::uint8_t code) const {
    return std::string_view(text_[code].data(), length_[code]);
  }
  // The same entries (what lies past a text's length is not compared).
  bool operator==(const ReplacementTable& other) const;

 private:
  std::array<std::array<char, 10>, 256> text_{};
  std::array<std::uint8_t, 256> length_{};
  std::array<std::uint8_t, 256> held_{};
};

// --- Through the data files -------------------------------------------------
// These use the global record buffers TTB and TRA and expect TransTables and
// Translations to be open. Each returns 0 or the error code of the failed
// operation, with the error state as the operation left it.

// The id of the first table named `name` in TTB:TABLENAMEKEY order, which
// is left in TTB. The name compares as the key does: without regard to
// case, trailing blanks ignored. 35 ("Record Not Found") when there is
// none; on any failure TTB is as it was.
std::int32_t find_table(std::string_view name, std::int32_t* id);

// Every table's name (without trailing blanks) in TTB:TABLENAMEKEY order.
std::int32_t table_names(std::vector<std::string>* names);

// Reads the entries of table `id` into *table (which is emptied first).
std::int32_t load_table(std::int32_t id, ReplacementTable* table);

}  // namespace conversion
