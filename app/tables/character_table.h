// `CharacterTable`: the translation tables in name order (without regard to
// case) beside the characters of the highlighted table in character order,
// each list holding one page. The table form `UpdateTransTable` adds,
// changes and deletes tables (a new table starts with the standard
// character set); the character form `UpdateTranslations` changes a
// character's replacement text.
//
// Request 4 (select) would put it in select mode ("&Select" shown, a
// character chosen answers 1); the toolbox always browses. Placement in
// section "CharacterTable".
#pragma once

#include <string_view>

#include "ui/task.h"
#include "ui/window_definition.h"

namespace app {

namespace character_table {
inline constexpr int kTables = 1;
inline constexpr int kInsert = 2;
inline constexpr int kChange = 3;
inline constexpr int kDelete = 4;
inline constexpr int kCharacters = 5;
inline constexpr int kSelect = 6;
inline constexpr int kView = 7;
inline constexpr int kClose = 8;

// The characters list's filter, over the window's bound reset variable.
inline constexpr std::string_view kFilter = "TRA:TranslationTableID = BRW1::Sort1:Reset:TTB:IDNr";
inline constexpr std::string_view kResetName = "BRW1::Sort1:Reset:TTB:IDNr";
}  // namespace character_table

const ui::WindowDef& character_table_definition();

ui::Task CharacterTable();

}  // namespace app
