// Layer 4 of the keyed-file engine: one opened table of a .KSF file.
//
// A Table keeps what the file says about the table (its number, definition,
// OEM attribute and character tables) and what the program did with it (the
// current record, a held record, a watched copy, the sequence that SET or
// RESET began). Every public operation below is one access of the pager: it
// takes the access lock, works on cached pages through a Tree, and ends the
// access (which flushes). An operation that fails before it changed anything
// still ends its access normally, so that changes a transaction holds back
// survive it; one that fails half way abandons the access.
//
// Outcomes are file error codes (0 on success), the codes the driver posts:
//   2 table not in the file, 5 lock refused or access denied, 32 table
//   locked elsewhere, 33 no current / no further record, 35 not found,
//   36 invalid data file, 40 duplicate in a unique key, 43 record held
//   elsewhere, 47 declaration does not match, 89 changed by another station,
//   90 internal error (its number in internal_error(); the table answers 90
//   to everything from then on and must be closed), 300 + n for system
//   error n (n itself for 2..5; the number is set as the system error).
//
// Images. The program's record buffer always holds ANSI text; the stored
// image holds the text of the table's plain string fields and text memos in
// OEM when the table's OEM attribute is set. Keys are built from the stored
// image, collated by the table's own character tables.
//
// Index maintenance (ADD, APPEND, PUT, DELETE): unique keys are checked
// before anything changes, so a duplicate leaves the file as it was. An
// INDEX, and every key under APPEND, is not written record by record: its
// stale mark (second statistics counter) drops to the record number when an
// entry would change, and BUILD makes the key whole again. Entries of keys
// with duplicates, and of every INDEX, carry the record number in their key
// part; entries of other keys carry it as their data.
//
// Sequences. A sequence runs in record order (data records) or in one key's
// order (index entries) and remembers its place as a key part. The place is
// one of nine modes:
//   1 record order from either end             SETfile
//   2 record order at a record, included       SETfileptr, RESETfile
//   3 record order at a key value's first       SETfilekey
//     record, included
//   4 record order after the record last read  NEXT/PREVIOUS after 1-3
//   5 key order from either end                 SETkey
//   6 key order at a value, included: a unique  SETkeykey
//     key's exact entry, else every entry of
//     the value (record number 0 forward,
//     0xFFFFFFFF backward)
//   7 key order at a value and record, included SETkeykeyptr, RESETkey
//   8 key order at a record's entry, included   SETkeyptr
//   9 key order after the entry last read       NEXT/PREVIOUS after 5-8
// NEXT reads the first record of the sequence's prefix after the place (or
// at it, when included), PREVIOUS the last one before (or at) it. Index
// entries whose data record is gone are passed over.
//
// Position strings (POSITION, RESET, REGET), fixed length per order:
//   record order: the record number, 4 bytes big-endian;
//   key order:    the key's encoded value (the sum of its component
//                 lengths), then the record number, 4 bytes big-endian.
// A position of another length is not found (35).
//
// Holding. A read with hold takes the record's lock byte without waiting
// and keeps it until PUT, DELETE, RELEASE, the next read with hold or
// CLOSE. The retry test: a read with hold that meets a held record tries
// again every 100 ms for the seconds given with HOLD (none for plain HOLD),
// then fails with 43. LOCK of the table retries the same way.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/driver/descriptors.h"
#include "files/kestrel/format.h"
#include "files/kestrel/pager.h"
#include "files/kestrel/table_names.h"
#include "files/kestrel/tree.h"

namespace files::kestrel {

namespace outcome {
inline constexpr int ok = 0;
inline constexpr int file_not_found = 2;
inline constexpr int access_denied = 5;
inline constexpr int table_locked = 32;
inline constexpr int not_available = 33;
inline constexpr int not_found = 35;
inline constexpr int invalid_file = 36;
inline constexpr int duplicate = 40;
inline constexpr int held = 43;
inline constexpr int bad_declaration = 47;
inline constexpr int changed = 89;
inline constexpr int internal = 90;
}  // namespace outcome

// How a read treats the record it finds.
struct ReadRequest {
  bool hold = false;
  std::uint32_t hold_seconds = 0;  // the retry test's patience
  bool watch = false;
  bool memos = true;               // false after NOMEMO: memo buffers untouched
};

class Table {
 public:
  // --- Tables of a file -----------------------------------------------------------

  // Opens table `name` of the file: reads its name record (2 without one),
  // definition, statistics and table extra. 36 for a file whose header is
  // invalid (or enciphered with another password).
  static int open(std::shared_ptr<Pager> pager, const TableName& name, std::unique_ptr<Table>* out,
                  int* internal_error);

  // Makes table `name` in the file anew with definition `def` (which must
  // pass check_definition): an old table of that name loses every record
  // first. Writes the name record, the definition, the statistics of the data
  // records and of each key, and the table extra (OEM attribute, the
  // runtime's current character tables).
  static int create(Pager& pager, const std::string& name, const Definition& def, bool oem,
                    int* internal_error);

  // Removes table `name` and all its records; 2 when there is none.
  static int remove(Pager& pager, const std::string& name, int* internal_error);

  // Copies table `from` of `source` into `target` as table `to` (RENAME:
  // moving it). Record numbers are shifted past the target's counter. An
  // existing target table is replaced when copying and refused with 5 when
  // renaming; a table copied onto itself is refused with 5.
  static int copy(Pager& source, const std::string& from, Pager& target, const std::string& to, bool rename,
                  int* internal_error);

  // The name of the first table whose name sorts at or after `text` ("" when
  // there is none).
  static int table_at_or_after(Pager& pager, std::string_view text, std::string* name, int* internal_error);

  ~Table();
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  // --- What the table is ----------------------------------------------------------------

  const Definition& definition() const { return def_; }
  std::uint32_t number() const { return number_; }
  bool oem() const { return oem_; }
  const TableName& name() const { return name_; }
  Pager& pager() { return *pager_; }
  std::shared_ptr<Pager> shared_pager() const { return pager_; }
  // The internal error number the table is stuck with, 0 while none.
  int internal_error() const { return internal_; }

  // The program's record buffer (record_length() bytes) and memo buffers, in
  // the definition's memo order. Not owned; must outlive the table's use.
  void bind(std::uint8_t* record, std::vector<MemoDescriptor>* memos);
  std::uint32_t record_length() const { return def_.record_length; }

  // --- Records ----------------------------------------------------------------------------

  int add(bool append);                       // ADD / APPEND from the buffers
  int get_by_key(int key, const ReadRequest& how);  // the key's value in the record buffer
  int get_by_number(std::uint32_t record, const ReadRequest& how);
  int put();                                  // the current record
  int put_at(std::uint32_t record);           // PUTfileptr
  int erase();                                // DELETE the current record
  int empty();                                // every record, keeping the table
  // Whether the record buffer's value of `key` (or, with -1, of any unique
  // key) is held by a record other than the current one.
  int duplicate(int key, bool* result);

  std::uint32_t current() const { return current_; }
  void forget_current() { current_ = 0; }

  // --- Sequences --------------------------------------------------------------------------

  int set_record_order();                              // SETfile
  int set_record_order_at(std::uint32_t record);       // SETfileptr
  int set_record_order_from_key(int key);              // SETfilekey
  int set_key_order(int key);                          // SETkey
  int set_key_order_at_value(int key, std::optional<std::uint32_t> record);  // SETkeykey(ptr)
  int set_key_order_at_record(int key, std::uint32_t record);               // SETkeyptr
  int next(const ReadRequest& how) { return move(true, how); }
  int previous(const ReadRequest& how) { return move(false, how); }
  int skip(std::int32_t count);
  // BOF (forward false) / EOF (forward true): no record left that way.
  int at_end(bool forward, bool* result);

  // --- Positions -----------------------------------------------------------------------------

  int position(int key, std::string* out);   // key -1: record order
  int reset(int key, std::string_view position);
  int reget(int key, std::string_view position, const ReadRequest& how);

  // --- Counts, keys, flags ----------------------------------------------------------------------

  int records(int key, std::uint32_t* count);  // key -1: the data records
  // BUILD of one key (or all with -1): full rebuilds everything, else only
  // from each key's stale mark on; a key whose mark is 0 is then left alone.
  int build(int key, bool full);
  int flags(std::uint32_t* value);
  int set_flags(std::uint32_t value);

  // --- Locks -------------------------------------------------------------------------------------

  int release();                          // RELEASE the held record
  int lock(std::uint32_t seconds);        // LOCK the table (its number's byte)
  int unlock();
  bool held() const { return held_ != 0; }

 private:
  struct Sequence {
    bool active = false;
    int key = -1;          // definition key number, -1 for record order
    Bytes prefix;          // T,F3 or T,key
    bool from_ends = true;
    Bytes forward;         // the place when reading forward
    Bytes backward;        // ... and backward
    bool inclusive = false;
    Tree::Hint hint;       // where the last step forward ended in its leaf
  };

  class Access;
  class RecordLock;

  Table(std::shared_ptr<Pager> pager, TableName name);

  // Turns an engine status into an outcome; an internal error sticks.
  int fail(Status s);
  int check_usable() const;

  bool dup_key(int key) const;
  bool skipped_key(int key) const;
  Bytes stored_image(const std::uint8_t* program) const;
  void to_program(ByteView stored, std::uint8_t* program) const;
  Status key_value(int key, ByteView stored, Bytes* value) const;
  Status entry_of(int key, ByteView stored, std::uint32_t record, std::optional<Record>* out) const;
  Status entry_record(int key, const Record& entry, std::uint32_t* record) const;

  Status load(Tree& tree);
  Status read_stats(Tree& tree, std::uint8_t which, Statistics* out);
  Status write_stats(Tree& tree, std::uint8_t which, const Statistics& stats);
  // Reads, changes and writes a statistics record in one step (a missing
  // one starts at zero).
  Status change_stats(Tree& tree, std::uint8_t which, const std::function<void(Statistics*)>& change);
  Status read_data(Tree& tree, std::uint32_t record, Bytes* stored);
  Status unique_conflict(Tree& tree, ByteView stored, std::uint32_t record, int only_key, bool include_dup,
                         bool* found);
  Status maintain(Tree& tree, const Bytes* old_image, const Bytes* new_image, std::uint32_t record, bool append);
  Status read_memos(Tree& tree, std::uint32_t record);
  Status write_memos(Tree& tree, std::uint32_t record, bool only_changed);
  Status memo_content(std::size_t memo, Bytes* out) const;

  // Takes the record's lock byte for a read with hold (retrying as the
  // retry test allows): 0, 43 or another outcome.
  int hold_record(std::uint32_t record, const ReadRequest& how);
  void drop_hold();
  // Copies a found record to the buffers and makes it current.
  int deliver(Tree& tree, std::uint32_t record, const Bytes& stored, const ReadRequest& how);
  int read_record(std::uint32_t record, const ReadRequest& how, bool missing_is_gone);
  int move(bool forward, const ReadRequest& how);
  Status seek(Tree& tree, const Sequence& seq, bool forward, Record* found, Tree::Hint* hint = nullptr);
  // The entry at the sequence's next place and its record; `hint` (may be
  // null) lets a step forward start where the last one ended.
  Status probe(Tree& tree, const Sequence& seq, bool forward, Record* entry, std::uint32_t* record, Bytes* stored,
               Tree::Hint* hint = nullptr);
  void place_after(ByteView key_part);
  int put_record(std::uint32_t record);
  Status build_key(Tree& tree, int key, bool full, int* outcome_code);

  std::shared_ptr<Pager> pager_;
  TableName name_;
  std::uint32_t number_ = 0;
  Definition def_;
  bool oem_ = false;
  runtime::CharTables tables_;
  Collation collation_;

  std::uint8_t* record_ = nullptr;
  std::vector<MemoDescriptor>* memos_ = nullptr;

  std::uint32_t current_ = 0;
  Bytes current_image_;             // stored image of the current record as read or written
  Bytes step_image_;                // the image a step of a sequence reads
  std::uint32_t held_ = 0;          // the record whose lock byte we hold
  std::optional<Bytes> watched_;    // stored image kept for WATCH
  bool memos_skipped_ = false;      // the current record was read without memos
  bool table_locked_ = false;
  Sequence seq_;
  int internal_ = 0;
};

}  // namespace files::kestrel
