// `UpdateTranslations`: the form of one character of a table, on the
// Translations record buffer. It edits the character and its html code;
// the character's code and its table stay. Request 2 writes the record the
// caller read (with change detection armed) through the change rule on OK;
// request 1 would add it (a duplicate is message 24 for "Character
// order"), though the browse only ever changes characters.
// Response 1 when the record was written.
//
// Characters are the program's single bytes (Windows-1252): one the set
// cannot hold is refused as it is typed. Ctrl+' recalls the character or
// the html code of the last save tried. The window is modal to the
// program. Placement in section "UpdateTranslations".
#pragma once

#include "ui/task.h"
#include "ui/window_definition.h"

namespace app {

namespace update_translations {
inline constexpr int kCharacterPrompt = 1;
inline constexpr int kCharacter = 2;
inline constexpr int kHtmlPrompt = 3;
inline constexpr int kHtml = 4;
inline constexpr int kOk = 5;
inline constexpr int kCancel = 6;
}  // namespace update_translations

const ui::WindowDef& update_translations_definition();

ui::Task UpdateTranslations();

}  // namespace app
