// Layer 3 of the keyed-file engine: the one balanced tree over every record
// of a file, ordered by key part (compare_keys: bytewise, a prefix first).
//
// A Tree is a light view over a Pager; make one per operation or keep one
// per table, as convenient. Every call needs an access of the pager
// (begin_access / end_access); the writing calls need an update access.
// Calls return copies of records, never pointers into pages, and start by
// trimming the page cache, so nothing a caller holds goes stale between
// calls.
//
// Separators. Inner page record k carries the separator of child k: the
// first record of every inner page has an empty key part, and separator k
// (k >= 1) is the shortest prefix of the lowest key of child k's subtree
// that sorts above the highest key of child k - 1. A search descends into
// the child of the last record whose key part is not above the searched
// key, so every key has exactly one leaf that can hold it.
//
// Splits. After a record is added or replaced, a page whose size bound
// exceeds 15094, or exceeds 4096 while it holds more than 20 records, is
// divided where the two halves' size bounds come closest (again, while a
// half still calls for a split). A split root gets a new root one level up.
//
// Giving pages back. When a delete empties a leaf, the leaf is freed
// (Pager::free_page: its block slot is released and the block compacts at
// the next flush) and its entry leaves the parent; a parent emptied that way
// goes the same way up. A root left with a single child is replaced by that
// child, and a tree without records has no page at all (root 0xFFFFFFFF).
// Pages that merely shrink are not merged.
//
// Errors: corruption 824 for a record of 15094 bytes or more, one too large
// to sit alone in a page (over 15076), or a key part over 15063 (too long
// to serve as a separator); 1364 for a split of a page with fewer than two
// records; 1173 when the number counter is exhausted; 1602 for a tree whose
// pages do not fit together (wrong levels, an inner page without records);
// and whatever the pager reports for reading pages. Internal errors are
// recorded in the pager (sticky) before they are returned. After any error
// the operation has stopped; an update access that got one should be
// abandoned (the pager drops its changes itself for internal errors).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "files/kestrel/format.h"
#include "files/kestrel/pager.h"

namespace files::kestrel {

class Tree {
 public:
  explicit Tree(Pager& pager);
  ~Tree();
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  // --- Reading ---------------------------------------------------------------------
  // not_found when there is no such record.

  Status find(ByteView key, Record* out);         // the record whose key part equals key
  Status lower_bound(ByteView key, Record* out);  // the first record whose key part is >= key
  Status next(ByteView key, Record* out);         // the first record whose key part is > key

  // Where a read of a leaf ended, so that the next step forward can often
  // start there instead of at the root. A hint is only ever a shortcut: it
  // is used when its page is still in the cache holding `key` at its
  // index, which makes the record after it the answer; else the search
  // runs as without it.
  struct Hint {
    std::uint32_t page = layout::kNoRoot;
    std::size_t index = 0;
  };
  Status next(ByteView key, Record* out, Hint* hint);
  Status prev(ByteView key, Record* out);         // the last record whose key part is < key
  Status first(Record* out);
  Status last(Record* out);

  // --- Writing (update access) ----------------------------------------------------------

  // Adds a record; exists() when a record with that key part is present
  // (the table layer decides what a duplicate means). Requires a key part
  // of at least one byte (std::logic_error otherwise).
  Status insert(const Record& record);
  // Removes the record with that key part; not_found when there is none.
  Status erase(ByteView key);
  // Replaces the record with the same key part (its data may change
  // length); not_found when there is none.
  Status replace(const Record& record);

  // Reads and rewrites one record in a single descent (none when the leaf of
  // this Tree's last find or update holds the key and the record keeps its
  // length): `change` gets a copy
  // of the record whose key part equals key and may change its data part
  // (not its key part); the page is only marked changed when the bytes
  // differ. A status other than ok from `change` is returned as it is, with
  // nothing changed. not_found when there is no such record.
  Status update(ByteView key, const std::function<Status(Record*)>& change);

  // Issues the next number of the file's number counter (big-endian
  // increment; 1173 once its first byte would reach 0xFE).
  Status next_number(std::uint32_t* out);

  // --- Checking -------------------------------------------------------------------------

  struct Shape {
    std::size_t records = 0;
    std::size_t pages = 0;
    int height = 0;  // 0 for an empty tree
  };
  // Walks the whole tree: levels step down by one, keys are ordered within
  // and between pages, every key lies inside its separators, no page is
  // empty. 1602 when something does not hold.
  Status check(Shape* shape);

  // One page of a descent (public only for the buffers Trees pass on).
  struct Step {
    std::uint32_t number = 0;
    Page* page = nullptr;
    std::size_t index = 0;  // inner pages: the child taken
  };

 private:

  Status descend(ByteView key, std::vector<Step>* path, bool read_leaf = true);
  Status descend_edge(bool leftmost, std::vector<Step>* path, std::size_t from);
  template <class Choose>  // std::size_t(const Page&): the child to take
  Status walk_down(std::vector<Step>* path, std::uint32_t n, int expected, bool read_leaf, Choose choose);
  Status rewrite(std::vector<Step>* path, std::size_t pos, Record record);
  Status step_leaf(bool forward, std::vector<Step>* path);
  Status seek(ByteView key, bool strict, Record* out, Hint* hint = nullptr);
  Status grow(std::vector<Step>* path);
  Status check_record(const Record& record);
  Status fail(Status s);
  Status visit(std::uint32_t number, int level, const Bytes* low, const Bytes* high, Shape* shape);

  // The leaf of the last find or update: an operation often comes back to
  // it (the index entry it checked, then inserts; the statistics records it
  // changes one after the other), and a key between a leaf's first and last
  // record can only be in that leaf. insert and erase use it when they need
  // no change above the leaf (no split, the leaf not emptied).
  Page* remembered_leaf(ByteView key);

  Pager& pager_;
  std::uint32_t last_leaf_ = layout::kNoRoot;
  std::vector<Step> path_;  // the descent of the running call
};

}  // namespace files::kestrel
