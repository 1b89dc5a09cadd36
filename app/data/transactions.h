// The application's transaction frame: the update rules and the table
// builder begin one transaction over the files they change, with a
// time-out, and end it with a commit or a rollback on every path.
//
// There is one transaction per program at a time: a begin while one is
// active fails (the driver's 56 "LOGOUT Already Active").
#pragma once

#include <cstdint>
#include <initializer_list>

#include "files/driver/descriptors.h"

namespace app {

// Begins the transaction over `files` (open data files, in this order),
// waiting at most `seconds` for what another program's transaction holds.
// True when it began; false with the error state telling why, and then no
// file is in a transaction.
bool begin_transaction(std::uint32_t seconds, std::initializer_list<files::FileDescriptor*> files);

// Commits the running transaction. False with the error state of the
// failure; the transaction is then rolled back (nothing of it lands).
bool commit_transaction();

// Rolls the running transaction back; nothing when none runs. Leaves the
// error state as it was.
void rollback_transaction();

// Whether a transaction of this program is running.
bool in_transaction();

}  // namespace app
