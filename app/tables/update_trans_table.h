// `UpdateTransTable`: the form of one translation table, on the TransTables
// record buffer.
//   1 insert: the table is numbered and added at once (the highest id plus
//     1), before the window opens; OK writes the typed values over it, and
//     a form closed any other way deletes it again, by the id it was
//     numbered with, so that no empty table stays behind;
//   2 change: the record the caller read (with change detection armed) is
//     written through the change rule, which moves the table's characters
//     when its id changes;
//   3 delete: question 32, then the delete rule (the table's characters
//     go with it); the window never opens.
// Response 1 when the record was written or deleted.
//
// OK refuses an id of 0 or less and a blank name (beep, focus on the
// entry): such a record would be left out of its key and never listed.
// Ctrl+' recalls the id or the name of the last save tried in any table
// form. The window is modal to the program. Placement in section
// "UpdateTransTable".
#pragma once

#include "ui/task.h"
#include "ui/window_definition.h"

namespace app {

namespace update_trans_table {
inline constexpr int kSheet = 1;
inline constexpr int kGeneralTab = 2;
inline constexpr int kIdPrompt = 3;
inline constexpr int kId = 4;
inline constexpr int kNamePrompt = 5;
inline constexpr int kName = 6;
inline constexpr int kOk = 7;
inline constexpr int kCancel = 8;
}  // namespace update_trans_table

const ui::WindowDef& update_trans_table_definition();

ui::Task UpdateTransTable();

}  // namespace app
