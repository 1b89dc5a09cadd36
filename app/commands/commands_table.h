// `CommandsTable`: the list of stored command strings, in command order
// without regard to case, with the form `UpdateCommands` to add, change and
// delete them.
//
// Request 4 (select) puts it in select mode, for the conversion window's
// before-text and after-text lookups: "&Select" shows, and choosing a row
// answers 1 with the Commands record buffer holding that command (the
// caller takes it without trailing blanks); "Close" answers 2 and leaves the
// buffer alone. "&Select" with no row highlighted does nothing. In select
// mode the window is modal to the program, as the caller waits for it.
//
// Placement in section "CommandsTable".
#pragma once

#include "ui/task.h"
#include "ui/window_definition.h"

namespace app {

namespace commands_table {
inline constexpr int kList = 1;
inline constexpr int kSelect = 2;
inline constexpr int kInsert = 3;
inline constexpr int kChange = 4;
inline constexpr int kDelete = 5;
inline constexpr int kClose = 6;
}  // namespace commands_table

const ui::WindowDef& commands_table_definition();

ui::Task CommandsTable();

}  // namespace app
