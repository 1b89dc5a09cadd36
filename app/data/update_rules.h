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
#include <string>
#include <vector>

#include "files/driver/descriptors.h"

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

// A change form's own record. The program's other windows stay usable
// while a form is open, and one of them may read the same file meanwhile:
// that moves the file's current record, which a write goes to, and fills
// the one record buffer with another record. The form keeps its record as
// read (made when it opens, right after its browse read the record for the
// change) and takes it back before it writes.
class FormRecord {
 public:
  FormRecord(files::FileDescriptor& file, files::KeyDescriptor& primary);

  // The record as read when the form opened (or as taken back last).
  const std::vector<std::uint8_t>& as_read() const { return as_read_; }

  // Called with the record buffer holding the values to write, right
  // before the change rule. Returns
  //   rule::kDone: the form's record is the file's current record again and
  //     unchanged on disk since it was read; the buffer holds the values;
  //   rule::kChangedElsewhere: it was changed meanwhile: the buffer holds
  //     the stored version (message 38 was shown), change detection armed;
  //   rule::kFailed: it cannot be read any more (deleted): message 15 with
  //     the file's label was shown; nothing may be written.
  int take_back();

 private:
  files::FileDescriptor& file_;
  files::KeyDescriptor& primary_;
  std::string position_;
  std::vector<std::uint8_t> as_read_;
};

// Numbers a new TransTables record and adds it at once (an insert into the
// table form begins so) with records::next_table_id (the highest id plus 1,
// 1 in an empty file, the lowest free id when the highest is the last),
// retried when another program takes the id first; after 3 failures in a
// row question 25 ("Auto Increment Error") offers Retry. The record buffer
// holds the added record afterwards. False when numbering was given up (the
// user chose Cancel, or reading the highest id failed: message 35).
bool number_new_table();

}  // namespace app
