// The update rules: every change and every delete the update forms make is
// written through one of these. Each frames its write in a transaction
// (2 seconds to begin), keeps TransTables and Translations related (a
// table's characters go with it when it is deleted and move with it when
// its id changes), and relies on the driver's change detection: a form
// arms it (WATCH) when it reads the record for a change, and a record that
// another program changed since is not overwritten.
//
// Each rule expects the file's record buffer to hold the record to delete,
// or the new values to write, read before through the file's primary key
// (so that it is the current record), and the file to be open (the form's
// usage count). Every path ends with a commit or a rollback and gives back
// the usage counts it took; failures are reported with the standard
// messages before the rule returns:
//   0  written and committed;
//   1  failed: rolled back and reported;
//   2  (change rules) another program had changed the record: nothing was
//      written, the buffer now holds that program's version and change
//      detection is armed again, so the next save is checked against it.
//
// `ask`: report a record changed by another program with message 38
// ("Record Was Not Updated") rather than message 15.
#pragma once

#include <cstdint>

namespace app {

namespace rule {
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;
inline constexpr int kChangedElsewhere = 2;
}  // namespace rule

int delete_transtables();
int delete_commands();
int change_transtables(bool ask);
int change_translations(bool ask);
int change_commands(bool ask);

// Numbers a new TransTables record and adds it at once (an insert into the
// table form begins so) with records::next_table_id (the highest id plus 1,
// 1 in an empty file, the lowest free id when the highest is the last),
// retried when another program takes the id first; after 3 failures in a
// row question 25 ("Auto Increment Error") offers Retry. The record buffer
// holds the added record afterwards. False when numbering was given up (the
// user chose Cancel, or reading the highest id failed: message 35).
bool number_new_table();

}  // namespace app
