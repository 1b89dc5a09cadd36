// The checker: walks a whole .KSF file and reports every structural fault
// it finds, from the header down to the cross references between a table's
// data records, index entries, statistics and memos.
//
// It reads the disk file itself (raw pages, not through the pager), so that
// it sees what a decoder would gloss over (the padding of a page, its size
// bound, pages no tree reaches) and stays an independent second reader of
// what the engine writes. It never writes: the file is opened for reading
// only and its bytes are the same afterwards.
//
// Sharing: the checker takes part in the lock layout as a reader. It is
// refused (system error 5) while another opener denies reading, and holds a
// reader slot for the whole walk, so an updater cannot flush underneath it
// (updaters take every reader slot while they write). A pending journal is
// judged the way every reader and updater judges it (journal.h, and the
// transaction mark's control file, opened read only and not waited for):
// one that stands supplies the header and the pages it holds copies of,
// whatever the header at offset 0 holds besides its two ends; one that is
// torn, or whose transaction did not commit, is ignored (the next updater
// discards it). Either is reported as a note, not as a fault.
//
// What counts as a fault is listed at the top of check.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"

namespace files::kestrel {

struct CheckReport {
  // False when the file could not be opened or read at all (missing file,
  // refused by the system or by another opener, a failed read); then
  // `system_error` holds the system error number and `error` says what
  // failed, and nothing about the file's structure is known.
  bool readable = false;
  int system_error = 0;
  std::string error;

  // One line per fault, in the order they were found, at most
  // kMaxListedFaults of them; `fault_count` counts them all.
  std::vector<std::string> faults;
  std::uint64_t fault_count = 0;

  // Forms the format allows but the engine's writer never makes (pages
  // packed otherwise), the same way: at most kMaxListedFaults lines.
  std::vector<std::string> warnings;
  std::uint64_t warning_count = 0;

  // Facts worth telling that are not faults (a pending journal, a
  // transaction mark, an empty file).
  std::vector<std::string> notes;

  // Figures of the walk.
  std::uint64_t pages = 0;     // pages reached from the root
  std::uint64_t records = 0;   // records in the leaves
  std::vector<std::string> tables;  // table names, in key order

  bool clean() const { return readable && fault_count == 0; }
};

inline constexpr std::size_t kMaxListedFaults = 1000;

// Checks the file at `path` (taken as given: no extension is added and no
// table marker is cut off). `password` is the owner password of an
// enciphered file, nullopt for a plain one. Never throws for anything the
// file holds; allocates at most a small multiple of the file's size plus,
// for the cross check, a few bytes per index entry of the largest table.
CheckReport check_file(platform::Env* env, const std::string& path, const std::optional<std::string>& password);

}  // namespace files::kestrel
