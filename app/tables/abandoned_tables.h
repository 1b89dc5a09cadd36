// Tables left behind by an insert that never ended: the table form adds
// its table, with a blank name, before anything is typed, and deletes it
// again on any close but OK. A program killed outright (SIGKILL, a power
// cut) leaves that blank table in TransTables, where the browse, listing
// by name, never shows it and nothing could delete it.
#pragma once

namespace app {

// Deletes every table whose name is blank, with its characters (the delete
// rule for TransTables), but only when no other program has TransTables
// open: another program's form may be inserting just now, and its table
// looks the same. TransTables is opened with others denied writing for the
// whole sweep, which both tells and keeps them out meanwhile. Needs
// TransTables closed in this program (as at start). Returns how many
// tables went; 0 also when another program had the file open.
int remove_abandoned_tables();

}  // namespace app
