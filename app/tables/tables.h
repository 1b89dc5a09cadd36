// The translation tables: their browse with the characters of the chosen
// table, the forms of a table and of a character, and the builder of the
// standard table.
//   character_table.h      `CharacterTable`, the browse
//   update_trans_table.h   `UpdateTransTable`, a table's form
//   update_translations.h  `UpdateTranslations`, a character's form
//   add_translations.h     `AddTranslations`, the standard table builder
//   abandoned_tables.h     the blank tables a killed program's insert left
#pragma once

#include "app/tables/abandoned_tables.h"
#include "app/tables/add_translations.h"
#include "app/tables/character_table.h"
#include "app/tables/update_trans_table.h"
#include "app/tables/update_translations.h"
