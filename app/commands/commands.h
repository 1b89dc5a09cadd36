// The command strings: their browse, which also serves the conversion
// window's lookups in select mode, and the form of one command.
//   commands_table.h   `CommandsTable`, the browse
//   update_commands.h  `UpdateCommands`, the form
#pragma once

#include "app/commands/commands_table.h"
#include "app/commands/update_commands.h"
