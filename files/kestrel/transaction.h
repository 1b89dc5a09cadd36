// Transactions across files (LOGOUT, COMMIT, ROLLBACK) and the decision
// about a pending journal that a transaction may have left.
//
// LOGOUT enlists one file's table in the process's one transaction (it is
// begun by the first LOGOUT): from then on the flushes of that table's file
// object are held back. COMMIT or ROLLBACK on any enlisted file ends the
// transaction for all of them and clears their T flags.
//
// COMMIT: a single changed file is flushed as usual. Two or more go through
// the transaction control file (the "TCF" setting, a keyed file of this
// format, shared, created when missing): a transaction record keyed by a
// value from the clock (raised by one until free) is added and flushed; each
// changed file gets its 0xFF transaction mark (value and control file name)
// and its journal pass; deleting the transaction record is the moment of
// commit; then every file's home pass runs. A journal pass that fails
// discards the journals already written and drops every change: the commit
// fails with 48 "Unable To Log Transaction", and the transaction stays
// enlisted (empty) until the program's ROLLBACK.
//
// Inside a transaction the table layer does not wait for access locks of
// other programs (they answer 5), so two programs that each hold a
// transaction can never wait for each other for ever.
#pragma once

#include <memory>
#include <string>

#include "files/driver/control_block.h"
#include "files/kestrel/pager.h"
#include "platform/env.h"

namespace files::kestrel {

// The control file's name ("TCF"): a full path. The default is "kestrel.tcf"
// in the working directory at start.
const std::string& control_file();
void set_control_file(std::string name);

// `fcb` (whose table works on `pager`) joins the transaction. Returns 0.
int logout(FileControlBlock& fcb, std::shared_ptr<Pager> pager);
// Ends the transaction; the outcome as the table layer's codes (48 when the
// commit could not be logged, 90 with *internal_error set).
int commit(platform::Env* env, FileRegistry& registry, int* internal_error);
int rollback();
// Whether `fcb` is enlisted; forget drops it (its block is going away),
// rolling back what the transaction held for its file unless another
// enlisted block shares the file object. `fcb` is only compared, never read.
bool enlisted(const FileControlBlock& fcb);
void forget(const FileControlBlock& fcb);

// The pager's journal decider: replays a complete journal unless the file's
// transaction mark names a control file that cannot be opened or still holds
// the transaction's record.
Status decide_journal(platform::Env* env, FileRegistry& registry, Pager& pager, JournalVerdict* verdict);

}  // namespace files::kestrel
