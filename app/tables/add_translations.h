// `AddTranslations`: fills one translation table with the standard
// character set (app/dictionary/standard_table.h), one Translations record
// for every code from 33 to 255, while a small window counts the codes. For
// table 1 it also adds the TransTables record "Standard".
//
// Characters the table holds already stay as they are (their add is refused
// as a duplicate), so a partly filled table is completed. The characters
// are added in one transaction of Translations: the build costs one commit
// instead of one flush per character, and a build that fails (any error
// other than the duplicate) leaves no character behind; it reports the
// failure with message 14 ("Record Insert Error"). A transaction that
// cannot begin in time (another program holds one) falls back to adding
// outside a transaction.
//
// It asks nothing of the user and cannot be cancelled. Placement in section
// "AddTranslations". Response 2.
#pragma once

#include <cstdint>

#include "ui/task.h"
#include "ui/window_definition.h"

namespace app {

namespace add_translations {
inline constexpr int kText = 1;
inline constexpr int kCounter = 2;
}  // namespace add_translations

const ui::WindowDef& add_translations_definition();

ui::Task AddTranslations(std::int32_t table_id);

// Whether the program start must build table 1: Translations could be
// opened (read/write, others denied writing) and holds no record, or it
// does not exist yet. A file that another program keeps us out of (refused
// while the system lets us write it: system_lets_write) is left alone and
// builds nothing; a file this user may not write is reported at once by the
// checked open (message 30, then the program ends); any other failure
// builds, so that the builder's checked open reports it.
bool standard_table_needed();

}  // namespace app
