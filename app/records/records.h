// The records room: what the application does with its translation tables
// that needs no window, shared by the forms and the command line. No Qt.
//
// Every function uses the global record buffers TTB and TRA, expects
// TransTables and Translations to be open (opened shared where other
// programs may write) and returns 0 or the error code of the failed file
// operation, with the error state as that operation left it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace records {

// One character of a table as the file holds it: TRA:CHARACTER (2 bytes,
// blank padded), TRA:HTMLCHARS (10 bytes, blank padded) and TRA:ASCIINR, the
// texts in the program's character set (Windows-1252) without trailing
// blanks.
struct Character {
  std::string character;
  std::string html;
  std::int32_t code = 0;
  friend bool operator==(const Character&, const Character&) = default;
};

inline constexpr std::size_t kCharacterBytes = 2;  // TRA:CHARACTER
inline constexpr std::size_t kHtmlBytes = 10;      // TRA:HTMLCHARS
inline constexpr std::size_t kNameBytes = 20;      // TTB:NAME

struct TableInfo {
  std::int32_t id = 0;
  std::string name;  // without trailing blanks
  std::size_t characters = 0;
};

// Every table in name order (TTB:TABLENAMEKEY), with how many characters
// it has.
std::int32_t list_tables(std::vector<TableInfo>* tables);

// The characters of table `id` in key order (TRA:CHARACTERSKEY).
std::int32_t read_characters(std::int32_t id, std::vector<Character>* characters);

// The number a new table gets: one above the highest (1 in an empty file);
// when the highest is 2147483647, the lowest number above 0 that no table
// has. 35 ("Record Not Found") when every number is taken.
std::int32_t next_table_id(std::int32_t* id);

// Adds a TransTables record named `name` with the next number (in *id
// afterwards; TTB holds the record). 40 when another program took that
// number first: the caller tries again (the forms ask after three times).
std::int32_t add_numbered_table(std::string_view name, std::int32_t* id);

// Deletes every character of table `id`.
std::int32_t delete_characters(std::int32_t id);

// Adds `characters` to table `id`; on a failure *failed is the index of
// the character refused (40 for one the table holds already).
std::int32_t add_characters(std::int32_t id, const std::vector<Character>& characters, std::size_t* failed);

// The text of the update rules' message for a record whose key another
// record has already (message 24, "Duplicate Key Error").
std::string duplicate_entry_text(std::string_view key);

// The key name that message uses for a table's characters.
inline constexpr std::string_view kCharacterKeyName = "Character order";

}  // namespace records
