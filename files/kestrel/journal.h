// The walk of a pending journal, one rule for everyone who reads a file:
// the pager reads through a complete journal or replays it, and the checker
// must judge a file by the very same answer, or it would check a state no
// reader ever sees.
//
// A journal is pending when the header at offset 0 has committed end !=
// journal end. The walk reads the copies from the committed end: each copy
// is found by its own address and steps by its rounded stored size; the
// header copy (own address 0) steps by 512. The journal is complete when
// the walk lands exactly on the journal end inside the file, every page
// copy decodes and lies in the header copy's block of its size, and the
// header copy was met once and its block tables hold together. Everything
// else makes it torn.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

#include "files/kestrel/format.h"

namespace files::kestrel {

struct JournalScan {
  bool complete = false;
  Header header;                    // the header copy (complete journals)
  std::uint32_t header_position = 0;
  // Page copies by home file offset: (file offset of the copy, its rounded size).
  std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> pages;
};

// Reads exactly n bytes at offset, deciphered when the file is enciphered;
// *short_read when the file ends first (then *out is undefined). An error
// is a read the system refused.
using JournalRead = std::function<Status(std::uint64_t offset, std::size_t n, Bytes* out, bool* short_read)>;

// Walks the journal that `at0` (the header at offset 0) names in a file of
// `file_size` bytes. Torn journals are not an error: *out says complete or
// not; only a failed read is returned.
Status walk_journal(const Header& at0, std::uint64_t file_size, const JournalRead& read, JournalScan* out);

}  // namespace files::kestrel
