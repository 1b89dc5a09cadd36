// Transactions across files (LOGOUT, COMMIT, ROLLBACK) and the decision
// about a pending journal that a transaction may have left.
//
// LOGOUT begins the process's one transaction. From then until COMMIT or
// ROLLBACK (on any enlisted file, ending it for all of them and clearing
// their T flags) the flushes of every enlisted file object are held back,
// and each enlisted file that is shared and open for writing keeps its
// writer byte: no other program can update it between the transaction's
// operations, so COMMIT never writes pages over changes it did not see.
// Readers of other programs go on reading the last committed state.
//
// LOGOUT with a time-out and a list of files begins the transaction over all
// of them or over none. It fails with 56 when this program already has a
// transaction running. A file another program keeps (its transaction, or an
// update in progress) is waited for: every file is tried without waiting,
// what was taken is given back when one is refused, and the round is
// repeated (50 times a second) until all are taken or the seconds have
// passed; then it fails with 5 "Access Denied", nothing enlisted and nothing
// held. LOGOUT of one file without a time-out begins a transaction over that
// file, waiting for it as an update waits, or adds the file to the running
// transaction without waiting (5 when another program keeps it).
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
// A failure inside a transaction never lets part of it land. An operation
// that fails before it changed anything, or that is refused (a duplicate
// key, a held record, a changed record), leaves the transaction as it was.
// A failure that drops changes the transaction held back (an update
// abandoned half way by an I/O or internal error) marks the transaction
// failed: from then on every operation on its files answers 48 "Unable To
// Log Transaction", and COMMIT drops all of it, ends it and answers 48.
// ROLLBACK ends it as always (even on a table stuck with an internal error,
// which could otherwise never be closed).
//
// Inside a transaction no access of this program waits for another program
// longer than a moment (then 5; the enlisted files need no waiting at all,
// their writer bytes are held), so two programs that each hold a
// transaction can never wait for each other for ever.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "files/driver/control_block.h"
#include "files/kestrel/pager.h"
#include "platform/env.h"

namespace files::kestrel {

// The control file's name ("TCF"): a full path. The default is "kestrel.tcf"
// in the working directory at start.
const std::string& control_file();
void set_control_file(std::string name);

// `fcb` (whose table works on `pager`) begins or joins the transaction:
// 0, 5 when another program keeps the file, or the file's failure.
int logout(FileControlBlock& fcb, std::shared_ptr<Pager> pager);

// One file of a LOGOUT with a list.
struct Enlistment {
  FileControlBlock* fcb = nullptr;
  std::shared_ptr<Pager> pager;
};
// Begins the transaction over all of `files` (T set on each) or none: 0,
// 56 when one is running, 5 when the files could not all be had within
// `seconds`, 90 (*internal_error set) or a system error code when a file
// failed.
int logout(const std::vector<Enlistment>& files, std::uint32_t seconds, int* internal_error);
// Ends the transaction; the outcome as the table layer's codes (48 when the
// commit could not be logged, 90 with *internal_error set).
int commit(platform::Env* env, FileRegistry& registry, int* internal_error);
int rollback();
// Whether `fcb` is enlisted; forget drops it (its block is going away),
// rolling back what the transaction held for its file unless another
// enlisted block shares the file object. `fcb` is only compared, never read.
bool enlisted(const FileControlBlock& fcb);
// Whether `pager` belongs to the running transaction and that transaction
// has failed (see above).
bool failed_transaction(const Pager& pager);
void forget(const FileControlBlock& fcb);

// The pager's journal decider: replays a complete journal unless the file's
// transaction mark names a control file that cannot be opened or still holds
// the transaction's record.
// Every updater and every reader of a file asks it (see open_file), so
// that a reader sees the state the next updater makes of the file.
Status decide_journal(platform::Env* env, FileRegistry& registry, Pager& pager, JournalVerdict* verdict);

// The control file's half of that decision, for a file whose transaction
// mark is `mark`: replay when the control file no longer holds the
// transaction's record, discard when it holds it, is missing or is no keyed
// file. The control file is opened shared and read only, never created.
// While it refuses access (another program denies reading it, or is
// writing it) it is asked again for as long as the wait goes on (see
// pause_for), and not at all without `wait`: then busy(). An error means
// undecided.
Status transaction_verdict(platform::Env* env, FileRegistry& registry, const TransactionMark& mark, bool wait,
                           JournalVerdict* verdict);

// Opens `path` through `registry` (FileRegistry::open) with decide_journal
// as its journal decider: how every reader and updater of keyed files
// opens them.
Status open_file(platform::Env* env, FileRegistry& registry, const std::string& path, const OpenOptions& options,
                 std::shared_ptr<Pager>* out);

}  // namespace files::kestrel
