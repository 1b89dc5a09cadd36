// Layer 5 of the keyed-file engine: the driver `KESTREL`, the entry through
// which the file-driver layer carries out every operation on .KSF files.
//
// A declared file names one table of one disk file (see table_names.h).
// OPEN and SHARE take the mode's access half (0 read only, 1 and 2 read and
// write) and sharing half (0x00/0x40 deny none: shared through the lock
// layout; 0x20 deny write; 0x10 and 0x30 deny all others); a declared layout
// must match the stored definition (47); a declaration without fields takes
// the table's layout from the file. OPEN of a disk file that does not exist
// answers 2 without making one. A non-empty OWNER is the owner password: the
// file is enciphered with it, and a wrong one reads as an invalid file (36).
//
// Driver commands (SEND, and the declaration's option tokens at open), the
// name case-insensitive, "NAME=value" sets and every answer is the value
// before:
//   "TCF"        the transaction control file (process-wide);
//   "FULLBUILD"  "ON" or "OFF" (default): ON makes BUILD rebuild every entry
//                of a key, OFF only the entries from the key's stale mark on
//                (nothing for a key whose mark is 0);
//   "FLAGS"      the table's flag word, decimal (open tables);
//   "PNM=text"   the first table name at or after text (open tables);
//   "RECOVER"    accepted for compatibility; the journal makes it needless;
//   "ALLOWDETAILS" accepted (it is the trace's).
// Anything else is 80.
//
// Errors: an internal error (a corrupt page or record) abandons the
// operation, sets the driver error to its number and the text "Possible data
// corruption in file <name> (<number>)" ("Kestrel File Driver Error" when no
// file is current), posts 90, and the table answers 90 to everything but
// CLOSE until it is closed. System errors post as the file error of the same
// number for 2 to 5, else as 300 plus the number.
//
// Not carried out (80): the dynamic index operations BUILDdyn and
// BUILDdynfilter, and the BLOB stream operations other than BLOB_SIZE.
#pragma once

#include "files/driver/driver.h"
#include "files/kestrel/pager.h"
#include "platform/env.h"

namespace files {

// The one instance of the driver; files declare it as their driver.
Driver& kestrel_driver();

// The Env every later open, create, remove, rename and copy goes through
// (null: the POSIX env). Tables already open keep theirs. For tests.
void set_kestrel_env(platform::Env* env);
platform::Env* kestrel_env();

// The registry of file objects later opens use (null: the process's). A
// test that plays a second program gives that program's files a registry of
// their own, so that its locks meet the first program's.
void set_kestrel_registry(kestrel::FileRegistry* registry);
kestrel::FileRegistry& kestrel_registry();

}  // namespace files
