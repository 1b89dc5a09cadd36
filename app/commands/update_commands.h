// `UpdateCommands`: the form of one command string, on the Commands record
// buffer. Request 1 adds the typed command on OK (a duplicate in any letter
// case is message 24 for "Command order"), 2 changes the record the caller
// read (with change detection armed) through the change rule, 3 deletes it
// after question 32 through the delete rule, without opening the window.
// Response 1 when the record was written or deleted.
//
// OK refuses a blank command (beep, focus on the entry): such a record
// would be left out of the command key and never listed. Ctrl+' in the
// entry recalls the command of the last save tried in any command form.
// "Help" does nothing. The window is modal to the program. Placement in
// section "UpdateCommands".
#pragma once

#include "ui/task.h"
#include "ui/window_definition.h"

namespace app {

namespace update_commands {
inline constexpr int kSheet = 1;
inline constexpr int kGeneralTab = 2;
inline constexpr int kPrompt = 3;
inline constexpr int kCommand = 4;
inline constexpr int kOk = 5;
inline constexpr int kCancel = 6;
inline constexpr int kHelp = 7;
}  // namespace update_commands

const ui::WindowDef& update_commands_definition();

ui::Task UpdateCommands();

}  // namespace app
