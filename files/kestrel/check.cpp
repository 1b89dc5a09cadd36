// The checker.
//
// Faults, by where they are found:
//  header   short or foreign (no magic, or another owner password), own
//           address not 0, header size not 512, committed end not at the end
//           of the data, the file shorter than its data, a change counter of
//           0 in a file with pages, a root in no block, a number counter
//           exhausted or below a number in use;
//  blocks   start above end, a size not a whole number of pages of the
//           block's class, blocks overlapping or out of order, a page slot
//           that no tree path reaches;
//  pages    own address, stored size against the block, unpacked size,
//           size bound (below the unpacked size, or not what the records
//           make), padding other than 0xB0, level against the parent's,
//           child table (a child in no block or reached twice), the record
//           stream (flags, lengths, shared prefix, end), key order in the
//           page, keys outside the range the parent's separators give them,
//           key order from one leaf to the next;
//  records  a key part of no known kind or of the wrong length;
//  tables   records of a table number without a name, a number named
//           twice, a definition missing, with a hole, short inner blocks or
//           undecodable, a missing or malformed table extra, statistics
//           missing, extra or not matching the real counts, index entries of
//           a key the definition lacks or of the wrong shape, a data image
//           of the wrong length, a record number equal to a table number,
//           an index entry whose record is missing or holds another value, a
//           record missing an entry it should have (OPT blanks have none;
//           from a key's stale mark on entries may be missing or stale), memo
//           segments of a missing record or memo, segments that do not join
//           (numbering, short middle segment, BLOB length), a text memo
//           longer than its declared size.
//
// Warnings (not faults: every reader reads such a file alike): pages packed
// otherwise than the writer packs them (see check_packing).
//
// The walk runs twice over the tree: the first pass checks every page and
// collects the small records (names, definitions, statistics, extras) and
// the counts; the second, with every table's definition known, checks the
// index entries against the data records. Index entries of a table sort
// before its data records (key numbers are below 0xF3), so the second pass
// keeps only one table's entries (record number and a hash of the value) at
// a time.
#include "files/kestrel/check.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>

#include "files/kestrel/format.h"
#include "files/kestrel/journal.h"
#include "files/kestrel/transaction.h"

namespace files::kestrel {

using namespace layout;

namespace {

constexpr int kAccessDenied = 5;
constexpr int kLockViolation = 33;

std::string hex8(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%08X", v);
  return b;
}

std::string printable(ByteView bytes, std::size_t limit = 40) {
  std::string s;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const std::uint8_t c = bytes[i];
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      s += static_cast<char>(c);
    } else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      s += b;
    }
  }
  if (bytes.size() > limit) s += "...";
  return s;
}

std::uint64_t hash_bytes(ByteView b) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::uint8_t c : b) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::uint32_t counter_value(const Header& h) { return get_be32(ByteView(h.number_counter), 0); }

// The reader's part of the lock layout, held for the whole check.
class ReaderLock {
 public:
  explicit ReaderLock(platform::File* file) : file_(file) {}
  ~ReaderLock() {
    if (slot_held_) (void)file_->unlock(reader_slot_offset(slot_), 1);
    if (claim_held_) (void)file_->unlock(kShareReaders, 1);
  }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

  // 0, or the system error number that refuses the check (5 when another
  // opener denies reading). A file whose permissions allow us no exclusive
  // lock may still be written by another user: the slot is then taken as a
  // shared lock (an updater's exclusion of all readers meets it all the
  // same), without the sharing check, which needs the guard.
  int acquire(std::uint64_t ticks) {
    platform::Status g = file_->lock(kShareGuard, 1, platform::LockKind::exclusive, true);
    if (!g.ok() && g.error != kAccessDenied) return g.error;
    if (!g.ok()) {
      kind_ = platform::LockKind::shared;
      return take_slot(ticks);
    }
    int result = 0;
    platform::Status d = file_->lock(kShareDenyRead, 1, platform::LockKind::exclusive, false);
    if (d.ok()) {
      (void)file_->unlock(kShareDenyRead, 1);
      platform::Status c = file_->lock(kShareReaders, 1, platform::LockKind::shared, true);
      if (c.ok()) claim_held_ = true;
      else result = c.error;
    } else {
      result = d.error == kLockViolation ? kAccessDenied : d.error;
    }
    (void)file_->unlock(kShareGuard, 1);
    if (result != 0) return result;
    return take_slot(ticks);
  }

 private:
  int take_slot(std::uint64_t ticks) {
    // Through the readers' gate, as every reader.
    if (platform::Status g = file_->lock(kReaderGate, 1, platform::LockKind::shared, true); !g.ok()) return g.error;
    const std::uint32_t first = static_cast<std::uint32_t>(ticks % kReaderSlots);
    for (std::uint32_t t = 0; t < kReaderSlots; ++t) {
      const std::uint32_t s = (first + t) % kReaderSlots;
      platform::Status st = file_->lock(reader_slot_offset(s), 1, kind_, false);
      if (st.ok() || st.error != kLockViolation) (void)file_->unlock(kReaderGate, 1);
      if (st.ok()) {
        slot_ = s;
        slot_held_ = true;
        return 0;
      }
      if (st.error != kLockViolation) return st.error;
    }
    (void)file_->unlock(kReaderGate, 1);
    // Every slot is taken: an updater is writing; wait for it.
    platform::Status st = file_->lock(reader_slot_offset(first), 1, kind_, true);
    if (!st.ok()) return st.error;
    slot_ = first;
    slot_held_ = true;
    return 0;
  }

  platform::File* file_;
  platform::LockKind kind_ = platform::LockKind::exclusive;
  std::uint32_t slot_ = 0;
  bool slot_held_ = false;
  bool claim_held_ = false;
};

struct TableInfo {
  std::vector<std::string> names;
  std::map<std::uint16_t, Bytes> definition_blocks;
  std::optional<Definition> definition;  // decoded and sane
  bool extra_seen = false;
  std::optional<TableExtra> extra;
  std::map<std::uint8_t, Statistics> statistics;  // key number or 0xF3
  std::map<std::uint8_t, std::uint64_t> entries;  // index entries per key number
  std::uint64_t data_records = 0;
  std::uint64_t memo_segments = 0;
};

// One index entry kept for the cross check.
struct PendingEntry {
  std::uint32_t record = 0;
  std::uint64_t value_hash = 0;
  bool matched = false;
  bool operator<(const PendingEntry& o) const { return record < o.record; }
};

class Checker {
 public:
  Checker(platform::Env* env, platform::File* file, std::optional<KeyBlock> key, std::uint64_t size,
          CheckReport* report)
      : env_(env), file_(file), key_(key), size_(size), r_(*report) {}

  void run();

 private:
  using Visitor = std::function<void(const Record&)>;

  void fault(std::string text) {
    ++r_.fault_count;
    if (r_.faults.size() < kMaxListedFaults) r_.faults.push_back(std::move(text));
  }
  void warning(std::string text) {
    ++r_.warning_count;
    if (r_.warnings.size() < kMaxListedFaults) r_.warnings.push_back(std::move(text));
  }
  void io_failure(int error, std::string what) {
    if (!r_.readable) return;
    r_.readable = false;
    r_.system_error = error;
    r_.error = std::move(what);
  }

  // Reads exactly n bytes at offset, deciphered. False when the file ends
  // first (*short_read) or the read fails (the report turns unreadable).
  bool read(std::uint64_t offset, std::size_t n, Bytes* out, bool* short_read);

  bool check_header();
  void follow_journal();
  std::optional<TransactionMark> find_mark();
  bool check_blocks_detail();
  // Quiet: a page past the end of the file is not reported.
  bool load_page(std::uint32_t number, Bytes* stored, std::string* where, bool quiet = false);
  bool diagnose_page(ByteView stored, std::uint32_t number, const std::string& where, Page* out);
  void check_packing(ByteView stored, const PageHeaderFields& f, std::size_t prefix, ByteView body,
                     const std::string& where);
  void walk(std::uint32_t number, int expected_level, const std::optional<Bytes>& low,
            const std::optional<Bytes>& high, bool first_pass, const Visitor& visit);
  void check_orphans();

  void collect(const Record& record);
  void check_tables();
  void cross_check(const Record& record);
  void finish_table();
  void finish_memo();

  std::string table_label(std::uint32_t t) const {
    auto it = tables_.find(t);
    if (it != tables_.end() && !it->second.names.empty()) return "table " + it->second.names.front();
    return "table number " + std::to_string(t);
  }
  std::string key_label(const Definition& def, std::size_t k) const {
    const KeyDef& key = def.keys[k];
    return "key " + (key.name ? *key.name : "#" + std::to_string(k + 1));
  }

  platform::Env* env_;
  platform::File* file_;
  std::optional<KeyBlock> key_;
  std::uint64_t size_;
  CheckReport& r_;

  Header header_;
  bool journal_view_ = false;
  std::map<std::uint32_t, std::uint64_t> journal_pages_;  // home page number -> file offset of the copy

  std::set<std::uint32_t> visited_;
  std::set<std::uint32_t> bad_pages_;
  std::set<std::uint32_t> visited_again_;  // the second pass's own guard against cycles
  std::optional<Bytes> last_leaf_key_;
  bool tree_whole_ = true;

  std::map<std::uint32_t, TableInfo> tables_;
  std::set<std::uint32_t> named_numbers_;
  std::uint32_t max_number_ = 0;

  // Second pass state: the table whose records are passing by.
  std::optional<std::uint32_t> current_table_;
  std::map<std::uint8_t, std::vector<PendingEntry>> pending_;
  bool pending_sorted_ = false;
  std::vector<std::uint32_t> data_numbers_;  // record numbers of the current table's data, ascending
  std::vector<Record> memo_group_;
};

bool Checker::read(std::uint64_t offset, std::size_t n, Bytes* out, bool* short_read) {
  *short_read = false;
  if (offset > size_ || size_ - offset < n) {
    *short_read = true;
    return false;
  }
  out->assign(n, 0);
  std::size_t got = 0;
  platform::Status s = file_->read_at(offset, out->data(), n, &got);
  if (!s.ok()) {
    io_failure(s.error, "read failed at offset " + std::to_string(offset));
    return false;
  }
  if (got != n) {
    *short_read = true;
    return false;
  }
  if (key_ && !decipher(*key_, *out).ok()) {
    *short_read = true;  // not a whole number of cipher blocks: the caller's sizes are wrong
    return false;
  }
  return true;
}

// --- Header and blocks ------------------------------------------------------------

bool Checker::check_header() {
  if (size_ == 0) {
    r_.notes.push_back("the file is empty: a new data file without a header yet");
    return false;
  }
  if (size_ < kHeaderSize) {
    fault("header: the file holds only " + std::to_string(size_) + " bytes, fewer than the 512 of a header");
    return false;
  }
  Bytes raw;
  bool short_read = false;
  if (!read(0, kHeaderSize, &raw, &short_read)) {
    if (short_read) fault("header: cannot be read whole");
    return false;
  }
  if (!decode_header(raw, &header_).ok()) {
    bool plain_ok = false;
    if (key_) {
      Bytes plain(kHeaderSize);
      std::size_t got = 0;
      Header ignored;
      plain_ok = file_->read_at(0, plain.data(), kHeaderSize, &got).ok() && got == kHeaderSize &&
                 decode_header(plain, &ignored).ok();
    }
    if (plain_ok) {
      fault("header: the file is not enciphered; check it without an owner password");
    } else {
      fault(std::string("header: the magic \"kEsT\" is missing: not a data file of this format") +
            (key_ ? ", or enciphered with another owner password" : ", or an enciphered one (give its owner password)"));
    }
    return false;
  }
  // The header in force: the journal's copy when a pending journal stands.
  if (header_.committed_end != header_.journal_end) follow_journal();
  if (!r_.readable) return false;
  if (header_.own_address != 0) fault("header: own address is " + std::to_string(header_.own_address) + ", not 0");
  if (header_.header_size != kHeaderSize) {
    fault("header: header size is " + std::to_string(header_.header_size) + ", not 512");
  }
  if (header_.number_counter[0] >= kCounterLimit) {
    fault("header: the number counter " + hex8(counter_value(header_)) + " is exhausted (first byte 0xFE or more)");
  }
  return true;
}

// A pending journal, judged as every reader and updater judges it (the same
// walk, the same transaction decision): when it stands, its header copy and
// page copies are the file; when it is torn or its transaction did not
// commit, the file is what lies at home.
void Checker::follow_journal() {
  const Header at0 = header_;
  JournalScan scan;
  const JournalRead reader = [this](std::uint64_t offset, std::size_t n, Bytes* out, bool* short_read) {
    if (read(offset, n, out, short_read) || *short_read) return Status::success();
    return Status::io_error(r_.system_error);
  };
  if (!kestrel::walk_journal(at0, size_, reader, &scan).ok()) return;
  const std::string ends = "committed end " + std::to_string(at0.committed_end) + ", journal end " +
                           std::to_string(at0.journal_end);
  if (!scan.complete) {
    r_.notes.push_back("a torn journal is pending (" + ends +
                       "): the next updater discards it; the file is checked as it stands at home");
    return;
  }
  journal_view_ = true;
  header_ = scan.header;
  for (const auto& [home, copy] : scan.pages) journal_pages_[(home - kHeaderSize) / kPageUnit] = copy.first;
  const std::string copies = std::to_string(scan.pages.size()) + " page copies";

  std::string verdict_note;
  bool told = false;
  if (const std::optional<TransactionMark> mark = find_mark()) {
    FileRegistry registry;
    JournalVerdict verdict = JournalVerdict::replay;
    const Status s = transaction_verdict(env_, registry, *mark, false, &verdict);
    if (!s.ok()) {
      r_.notes.push_back("a complete journal is pending (" + copies + ") with the mark of transaction " +
                         std::to_string(mark->value) + ", whose control file " + mark->control_file +
                         " cannot be read now (" + s.describe() +
                         "): whether the journal stands is undecided; the file is checked through the journal");
      told = true;
    } else if (verdict == JournalVerdict::discard) {
      journal_view_ = false;
      journal_pages_.clear();
      header_ = at0;
      r_.notes.push_back("a complete journal is pending (" + copies + ") whose transaction " +
                         std::to_string(mark->value) + " did not commit (control file " + mark->control_file +
                         "): the next updater discards it; the file is checked as it stands at home");
      return;
    } else {
      verdict_note = " of transaction " + std::to_string(mark->value) + ", which committed";
    }
  }
  if (!told) {
    r_.notes.push_back("a complete journal" + verdict_note + " is pending (" + copies +
                       "): the next updater replays it; the file is checked as a reader sees it, through the journal");
  }
  if (!check_blocks(at0).ok()) {
    r_.notes.push_back("the header at offset 0 has block tables that do not hold together; replaying the journal "
                       "replaces them with its header copy's");
  }
}

// The transaction mark of the file as the journal leaves it: the record
// whose key part is 0xFF, found by the descent a search makes. Anything
// that stops the descent is left for the walk to report.
std::optional<TransactionMark> Checker::find_mark() {
  const Bytes key = transaction_mark_key();
  std::uint32_t number = header_.root;
  if (header_.root == kNoRoot || !check_blocks(header_).ok()) return std::nullopt;
  for (int depth = 0; depth < 64; ++depth) {
    Bytes stored;
    std::string where;
    Page page;
    if (!load_page(number, &stored, &where, true) || !decode_page(stored, number, &page).ok()) return std::nullopt;
    const std::size_t k = std::upper_bound(page.records.begin(), page.records.end(), ByteView(key),
                                           [](ByteView v, const Record& r) { return compare_keys(v, r.key()) < 0; }) -
                          page.records.begin();
    if (page.level == 0) {
      if (k == 0 || compare_keys(page.records[k - 1].key(), key) != 0) return std::nullopt;
      return parse_transaction_mark(page.records[k - 1]);
    }
    if (k == 0) return std::nullopt;
    number = page.children[k - 1];
  }
  return std::nullopt;
}

bool Checker::check_blocks_detail() {
  bool ok = true;
  std::uint32_t previous_end = 0;
  std::size_t previous = 0;
  for (std::size_t i = 1; i <= kMaxClass; ++i) {
    const std::uint32_t s = header_.block_start[i];
    const std::uint32_t e = header_.block_end[i];
    const std::string b = "blocks: block " + std::to_string(i) + " ";
    if (s > e) {
      fault(b + "starts at page " + std::to_string(s) + ", past its end " + std::to_string(e));
      ok = false;
      continue;
    }
    if (e >= kPageNumberLimit) {
      fault(b + "ends at page " + std::to_string(e) + ", beyond every possible file offset");
      ok = false;
      continue;
    }
    if ((e - s) % i != 0) {
      fault(b + "spans " + std::to_string(e - s) + " units, not a whole number of its " + std::to_string(i) +
            "-unit pages");
      ok = false;
    }
    if (s == e) continue;
    if (s < previous_end) {
      fault(b + "(pages " + std::to_string(s) + " to " + std::to_string(e) + ") overlaps or precedes block " +
            std::to_string(previous));
      ok = false;
    }
    previous_end = e;
    previous = i;
  }
  if (ok && !check_blocks(header_).ok()) {
    fault("blocks: the block tables do not hold together");
    ok = false;
  }
  if (!ok) return false;

  const std::uint64_t data_end = end_of_data(header_);
  if (!journal_view_) {
    if (header_.change_counter == 0) {
      if (data_end != kHeaderSize || header_.root != 0) {
        fault("header: the change counter is 0 (a new file) but the file has pages or a root");
      }
    } else if (header_.committed_end != data_end && header_.committed_end == header_.journal_end) {
      fault("header: committed end " + std::to_string(header_.committed_end) + " differs from the end of the data " +
            std::to_string(data_end));
    }
  }
  if (size_ < data_end) {
    fault("header: the file holds " + std::to_string(size_) + " bytes, less than its data, which end at " +
          std::to_string(data_end));
    tree_whole_ = false;  // the orphan count would be meaningless
  }
  return true;
}

// --- Pages ------------------------------------------------------------------------

bool Checker::load_page(std::uint32_t number, Bytes* stored, std::string* where, bool quiet) {
  const std::size_t block = block_of(header_, number);
  *where = "page " + std::to_string(number);
  if (block == 0) return false;
  std::uint64_t offset = page_offset(number);
  auto copy = journal_pages_.find(number);
  if (journal_view_ && copy != journal_pages_.end()) {
    offset = copy->second;
    *where += " (journal copy at " + std::to_string(offset) + ")";
  }
  bool short_read = false;
  if (!read(offset, std::size_t{block} * kPageUnit, stored, &short_read)) {
    if (short_read && !quiet) fault(*where + ": lies past the end of the file");
    return false;
  }
  return true;
}

// Everything decode_page checks, said in words, and what it leaves alone
// (padding, the exact size bound). Returns whether the records could be
// read; then *out holds them.
bool Checker::diagnose_page(ByteView stored, std::uint32_t number, const std::string& where, Page* out) {
  const auto f = peek_page_header(stored);
  if (!f) {
    fault(where + ": shorter than a page header");
    return false;
  }
  bool usable = true;
  if (f->own_address != page_offset(number)) {
    fault(where + ": own address is " + std::to_string(f->own_address) + ", not " +
          std::to_string(page_offset(number)));
  }
  if (f->stored_size < kPageHeaderSize) {
    fault(where + ": stored size " + std::to_string(f->stored_size) + " is below the header's 13 bytes");
    return false;
  }
  if (round_to_unit(f->stored_size) != stored.size()) {
    fault(where + ": stored size " + std::to_string(f->stored_size) + " does not belong in its block of " +
          std::to_string(stored.size()) + "-byte pages (1477)");
    usable = false;
  }
  if (f->stored_size > f->unpacked_size) {
    fault(where + ": unpacked size " + std::to_string(f->unpacked_size) + " is below the stored size " +
          std::to_string(f->stored_size));
    usable = false;
  }
  if (f->size_bound < f->unpacked_size) {
    fault(where + ": size bound " + std::to_string(f->size_bound) + " is below the unpacked size " +
          std::to_string(f->unpacked_size) + " (1659)");
  }
  for (std::size_t i = std::min<std::size_t>(f->stored_size, stored.size()); i < stored.size(); ++i) {
    if (stored[i] != kPadByte) {
      fault(where + ": padding byte at " + std::to_string(i) + " is " + hex8(stored[i]).substr(6) + ", not B0");
      break;
    }
  }
  const bool leaf = f->level == 0;
  const std::size_t count = f->record_count;
  if (!leaf && count == 0) {
    fault(where + ": inner page (level " + std::to_string(f->level) + ") without records");
    return false;
  }
  const std::size_t prefix = kPageHeaderSize + (leaf ? 0 : kChildEntrySize * count);
  if (prefix > f->stored_size) {
    fault(where + ": the child table of " + std::to_string(count) + " entries does not fit the stored size");
    return false;
  }
  if (!usable) return false;

  Page page;
  page.level = f->level;
  for (std::size_t k = 0; !leaf && k < count; ++k) {
    page.children.push_back(get_le32(stored, kPageHeaderSize + kChildEntrySize * k));
  }
  Bytes expanded;
  ByteView body;
  if (f->stored_size < f->unpacked_size) {
    if (!rle_decompress(stored.subspan(prefix, f->stored_size - prefix), f->unpacked_size - prefix, &expanded).ok()) {
      fault(where + ": the compressed body does not expand to the unpacked size " + std::to_string(f->unpacked_size));
      return false;
    }
    body = expanded;
  } else {
    body = stored.subspan(prefix, f->unpacked_size - prefix);
  }

  std::size_t pos = 0, length = 0, key_length = 0, bound = kPageHeaderSize;
  for (std::size_t k = 0; k < count; ++k) {
    const std::string rec = where + ": record " + std::to_string(k) + " of " + std::to_string(count);
    if (pos >= body.size()) {
      fault(rec + ": the record stream ends early");
      return false;
    }
    const std::uint8_t flag = body[pos++];
    const std::size_t shared = flag & kSharedMask;
    if (k == 0 && ((flag & (kFlagLength | kFlagKeyLength)) != (kFlagLength | kFlagKeyLength) || shared != 0)) {
      fault(rec + ": the first record must give both lengths and share nothing (flag byte " +
            hex8(flag).substr(6) + ")");
      return false;
    }
    const std::size_t previous_length = length;
    if (flag & kFlagLength) {
      if (body.size() - pos < 2) {
        fault(rec + ": the record stream ends inside a length");
        return false;
      }
      length = get_le16(body, pos);
      pos += 2;
    }
    if (flag & kFlagKeyLength) {
      if (body.size() - pos < 2) {
        fault(rec + ": the record stream ends inside a key length");
        return false;
      }
      key_length = get_le16(body, pos);
      pos += 2;
    }
    if (length >= kRecordLimit) {
      fault(rec + ": length " + std::to_string(length) + " is beyond the record limit (824)");
      return false;
    }
    if (key_length > length) {
      fault(rec + ": key length " + std::to_string(key_length) + " exceeds the record length " +
            std::to_string(length));
      return false;
    }
    if (shared > length || shared > previous_length) {
      fault(rec + ": shares " + std::to_string(shared) + " bytes with a shorter record");
      return false;
    }
    const std::size_t fresh = length - shared;
    if (body.size() - pos < fresh) {
      fault(rec + ": the record stream ends inside the record's bytes");
      return false;
    }
    Bytes bytes(length);
    if (shared != 0) std::copy_n(page.records.back().bytes.begin(), shared, bytes.begin());
    std::copy_n(body.begin() + static_cast<std::ptrdiff_t>(pos), fresh, bytes.begin() + static_cast<std::ptrdiff_t>(shared));
    pos += fresh;
    Record r(std::move(bytes), key_length);
    if (k != 0 && compare_keys(page.records.back().key(), r.key()) >= 0) {
      fault(rec + ": key part " + printable(r.key()) + " does not sort above the one before it");
      return false;
    }
    bound += length + kBoundPerRecord + (leaf ? 0 : kBoundPerChild);
    page.records.push_back(std::move(r));
  }
  if (pos != body.size()) {
    fault(where + ": the record stream ends at " + std::to_string(prefix + pos) + ", not at the unpacked size " +
          std::to_string(f->unpacked_size) + " (1602)");
    return false;
  }
  if (bound != f->size_bound) {
    fault(where + ": size bound is " + std::to_string(f->size_bound) + ", its records make " + std::to_string(bound));
  }
  // Whatever the checks above missed, the engine's own decoder must agree.
  Page decoded;
  if (Status s = decode_page(stored, number, &decoded); !s.ok()) {
    fault(where + ": the engine's decoder refuses it (" + s.describe() + ")");
    return false;
  }
  check_packing(stored, *f, prefix, body, where);
  *out = std::move(page);
  return true;
}

// A reader reads a page whether or not it is packed as the writer packs it,
// so another packing is a warning: the writer compresses a body exactly when
// that saves a 256-byte unit, and its run-length encoding is the one
// rle_compress makes. Another writer's pages, or bytes changed by hand, show
// here.
void Checker::check_packing(ByteView stored, const PageHeaderFields& f, std::size_t prefix, ByteView body,
                            const std::string& where) {
  const std::optional<Bytes> canonical = rle_compress(body);
  const bool writer_packs = canonical && round_to_unit(prefix + canonical->size()) < round_to_unit(f.unpacked_size);
  if (f.stored_size == f.unpacked_size) {
    if (writer_packs) {
      warning(where + ": stored uncompressed in " + std::to_string(round_to_unit(f.stored_size)) +
              " bytes, where the writer compresses it into " +
              std::to_string(round_to_unit(prefix + canonical->size())));
    }
    return;
  }
  const ByteView packed = stored.subspan(prefix, f.stored_size - prefix);
  if (!writer_packs) {
    warning(where + ": compressed, though that saves no 256-byte unit; the writer stores it uncompressed");
  } else if (!std::equal(packed.begin(), packed.end(), canonical->begin(), canonical->end())) {
    warning(where + ": the run-length encoding is not the canonical one the writer makes (" +
            std::to_string(packed.size()) + " bytes, canonical " + std::to_string(canonical->size()) + ")");
  }
}

// Descends from `number`. Every key in the subtree must lie in [low, high):
// that is what a bytewise descent by the separators relies on.
void Checker::walk(std::uint32_t number, int expected_level, const std::optional<Bytes>& low,
                   const std::optional<Bytes>& high, bool first_pass, const Visitor& visit) {
  if (!r_.readable) return;
  if (first_pass) {
    if (!visited_.insert(number).second) {
      fault("page " + std::to_string(number) + ": reached twice in the tree");
      tree_whole_ = false;
      return;
    }
  } else if (bad_pages_.count(number) || !visited_again_.insert(number).second) {
    return;
  }
  Bytes stored;
  std::string where;
  Page page;
  bool ok = load_page(number, &stored, &where);
  if (ok) {
    if (first_pass) {
      ++r_.pages;
      ok = diagnose_page(stored, number, where, &page);
    } else {
      ok = decode_page(stored, number, &page).ok();
    }
  }
  if (!ok) {
    if (first_pass) {
      bad_pages_.insert(number);
      tree_whole_ = false;
    }
    return;
  }
  // A page at the wrong level is not descended into: that keeps the walk's
  // depth within the 256 levels a page can state.
  if (expected_level >= 0 && page.level != expected_level) {
    if (first_pass) {
      fault(where + ": level " + std::to_string(page.level) + ", but its parent expects " +
            std::to_string(expected_level));
      bad_pages_.insert(number);
      tree_whole_ = false;
    }
    return;
  }
  for (std::size_t k = 0; k < page.records.size(); ++k) {
    const Record& rec = page.records[k];
    if (first_pass) {
      const bool below = low && compare_keys(rec.key(), *low) < 0;
      const bool above = high && compare_keys(rec.key(), *high) >= 0;
      if (below || above) {
        // The first separator of an inner page stands for its parent's
        // (ours leave it empty): only the child's records count below it.
        if (!(page.level != 0 && k == 0 && below)) {
          fault(where + ": record " + std::to_string(k) + " key part " + printable(rec.key()) +
                (below ? " sorts below" : " does not sort below") + " the range its parent gives the page");
        }
      }
    }
    if (page.level == 0) {
      if (first_pass) {
        ++r_.records;
        if (last_leaf_key_ && compare_keys(*last_leaf_key_, rec.key()) >= 0) {
          fault(where + ": record " + std::to_string(k) + " key part " + printable(rec.key()) +
                " does not sort above the last key of the leaf before");
        }
        last_leaf_key_ = Bytes(rec.key().begin(), rec.key().end());
      }
      visit(rec);
      continue;
    }
    const std::uint32_t child = page.children[k];
    if (block_of(header_, child) == 0) {
      if (first_pass) {
        fault(where + ": child " + std::to_string(k) + " is page " + std::to_string(child) + ", in no block (1735)");
        tree_whole_ = false;
      }
      continue;
    }
    std::optional<Bytes> child_low = low;
    if (k != 0 || !rec.key().empty()) {
      if (!child_low || compare_keys(rec.key(), *child_low) > 0) child_low = Bytes(rec.key().begin(), rec.key().end());
    }
    std::optional<Bytes> child_high = high;
    if (k + 1 < page.records.size()) {
      const ByteView next = page.records[k + 1].key();
      if (!child_high || compare_keys(next, *child_high) < 0) child_high = Bytes(next.begin(), next.end());
    }
    walk(child, page.level - 1, child_low, child_high, first_pass, visit);
  }
}

void Checker::check_orphans() {
  std::uint64_t orphans = 0;
  std::string first;
  for (std::size_t i = 1; i <= kMaxClass; ++i) {
    for (std::uint32_t p = header_.block_start[i]; p < header_.block_end[i]; p += static_cast<std::uint32_t>(i)) {
      if (visited_.count(p)) continue;
      if (orphans++ == 0) first = std::to_string(p) + " (block " + std::to_string(i) + ")";
    }
  }
  if (orphans) {
    fault("blocks: " + std::to_string(orphans) + " page slot(s) that no tree path reaches, the first page " + first);
  }
}

// --- Records and tables --------------------------------------------------------------

void Checker::collect(const Record& rec) {
  const ByteView k = rec.key();
  if (!k.empty() && k[0] == kTagTableName) {
    const std::string name(k.begin() + 1, k.end());
    auto t = parse_table_name_record(rec);
    if (!t) {
      fault("name record of table " + printable(k.subspan(1)) + ": data is not a 4-byte table number");
      return;
    }
    tables_[*t].names.push_back(name);
    named_numbers_.insert(*t);
    max_number_ = std::max(max_number_, *t);
    r_.tables.push_back(name);
    return;
  }
  if (k.size() == 1 && k[0] == kTagTransaction) {
    auto mark = parse_transaction_mark(rec);
    if (!mark) {
      fault("transaction mark: malformed data (" + std::to_string(rec.data().size()) + " bytes)");
    } else {
      r_.notes.push_back("transaction mark: value " + std::to_string(mark->value) + ", control file " +
                         mark->control_file);
    }
    return;
  }
  if (k.size() == kNumberSize && rec.data().empty()) return;  // a transaction control file's record
  if (k.size() <= kNumberSize) {
    fault("record " + printable(k) + ": a key part of no known kind");
    return;
  }
  const std::uint32_t t = get_be32(k, 0);
  const std::uint8_t tag = k[kNumberSize];
  TableInfo& info = tables_[t];
  max_number_ = std::max(max_number_, t);
  auto wrong = [&](const char* kind) {
    fault(table_label(t) + ": " + kind + " record with key part " + printable(k) + " of the wrong length");
  };
  switch (tag) {
    case kTagData:
      if (k.size() != kDataKeySize) return wrong("data");
      ++info.data_records;
      max_number_ = std::max(max_number_, get_be32(k, 5));
      return;
    case kTagStatistics: {
      auto st = parse_statistics(rec);
      if (!st) return wrong("statistics");
      info.statistics[k[5]] = *st;
      return;
    }
    case kTagDefinition:
      if (k.size() != kDefinitionKeySize) return wrong("definition");
      info.definition_blocks[get_le16(k, 5)] = Bytes(rec.data().begin(), rec.data().end());
      return;
    case kTagExtra:
      info.extra_seen = true;
      info.extra = parse_extra(rec);
      if (!info.extra) {
        fault(table_label(t) + ": the table extra record is malformed (" + std::to_string(rec.data().size()) +
              " data bytes, not 1153)");
      }
      return;
    case kTagMemo:
      if (k.size() != kMemoKeySize) return wrong("memo");
      ++info.memo_segments;
      max_number_ = std::max(max_number_, get_be32(k, 5));
      return;
    default:
      ++info.entries[tag];
      return;
  }
}

void Checker::check_tables() {
  for (auto& [t, info] : tables_) {
    const std::string label = table_label(t);
    if (info.names.empty()) fault(label + ": records without a name record for the table");
    if (info.names.size() > 1) {
      std::string all;
      for (const auto& n : info.names) all += (all.empty() ? "" : ", ") + n;
      fault(label + ": the table number is named " + std::to_string(info.names.size()) + " times (" + all + ")");
    }
    // Definition: blocks 0..n-1, every one but the last full.
    if (info.definition_blocks.empty()) {
      fault(label + ": no definition");
    } else {
      Bytes stream;
      bool whole = true;
      std::uint32_t expected = 0;
      for (const auto& [block, bytes] : info.definition_blocks) {
        if (block != expected) {
          fault(label + ": definition block " + std::to_string(expected) + " is missing");
          whole = false;
          break;
        }
        if (block + 1u != info.definition_blocks.size() && bytes.size() != kDefinitionBlockSize) {
          fault(label + ": definition block " + std::to_string(block) + " holds " + std::to_string(bytes.size()) +
                " bytes; only the last may hold fewer than 512");
          whole = false;
        }
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        ++expected;
      }
      Definition def;
      if (whole) {
        if (!decode_definition(stream, &def).ok()) {
          fault(label + ": the definition cannot be decoded");
        } else if (!check_definition(def).ok()) {
          fault(label + ": the definition has a field outside the record or a key component naming no field");
        } else if (def.keys.size() > kTagData) {
          fault(label + ": the definition has " + std::to_string(def.keys.size()) + " keys, more than key numbers allow");
        } else {
          if (def.version != definition_version(def)) {
            fault(label + ": definition version " + std::to_string(def.version) + ", its memos make it " +
                  std::to_string(definition_version(def)));
          }
          info.definition = std::move(def);
        }
      }
    }
    if (!info.extra_seen) fault(label + ": no table extra record (OEM attribute and character tables)");

    // Statistics against the real counts.
    auto data_stats = info.statistics.find(kTagData);
    if (data_stats == info.statistics.end()) {
      fault(label + ": no statistics record for the data records");
    } else if (data_stats->second.count != info.data_records) {
      fault(label + ": statistics count " + std::to_string(data_stats->second.count) + " data records, the file holds " +
            std::to_string(info.data_records));
    }
    if (!info.definition) continue;
    const Definition& def = *info.definition;
    for (const auto& [which, st] : info.statistics) {
      if (which != kTagData && which >= def.keys.size()) {
        fault(label + ": statistics record for key number " + std::to_string(which) + ", which the definition lacks");
      }
    }
    for (const auto& [which, n] : info.entries) {
      if (which >= def.keys.size()) {
        fault(label + ": " + std::to_string(n) + " record(s) of unknown kind " + hex8(which).substr(6) +
              " (no such key number)");
      }
    }
    for (std::size_t k = 0; k < def.keys.size(); ++k) {
      const KeyDef& key = def.keys[k];
      const std::uint8_t kn = static_cast<std::uint8_t>(k);
      const std::uint64_t entries = info.entries.count(kn) ? info.entries.at(kn) : 0;
      auto st = info.statistics.find(kn);
      if (key.flags & kKeyFlagOwnFile) {
        if (entries) fault(label + ": " + key_label(def, k) + " is kept in a file of its own, yet has entries here");
        continue;
      }
      if (st == info.statistics.end()) {
        fault(label + ": no statistics record for " + key_label(def, k));
        continue;
      }
      if (st->second.second == 0 && st->second.count != entries) {
        fault(label + ": statistics count " + std::to_string(st->second.count) + " entries in " + key_label(def, k) +
              ", the file holds " + std::to_string(entries));
      }
    }
  }
  const std::uint32_t counter = counter_value(header_);
  if (max_number_ > counter) {
    fault("header: the number counter " + std::to_string(counter) + " is below number " + std::to_string(max_number_) +
          " in use: new records or tables would take numbers already taken");
  }
}

void Checker::finish_memo() {
  if (memo_group_.empty()) return;
  const ByteView k = memo_group_.front().key();
  const std::uint32_t t = get_be32(k, 0);
  const std::uint32_t record = get_be32(k, 5);
  const std::uint8_t memo = k[9];
  const std::string where = table_label(t) + ": memo " + std::to_string(memo + 1) + " of record " + std::to_string(record);
  const TableInfo& info = tables_[t];
  if (!std::binary_search(data_numbers_.begin(), data_numbers_.end(), record)) {
    fault(where + ": segments of a record that does not exist");
  } else if (info.definition) {
    const Definition& def = *info.definition;
    if (memo >= def.memos.size()) {
      fault(where + ": segments of a memo the definition lacks");
    } else {
      const MemoDef& m = def.memos[memo];
      Bytes content;
      if (!join_memo_segments(memo_group_, m.blob(), &content).ok()) {
        fault(where + ": the segments do not join (numbering from 0, full 256-byte segments but the last" +
              std::string(m.blob() ? ", the BLOB's stored length" : "") + ")");
      } else if (!m.blob() && content.size() > m.length) {
        fault(where + ": " + std::to_string(content.size()) + " bytes stored, the memo holds at most " +
              std::to_string(m.length));
      }
    }
  }
  memo_group_.clear();
}

void Checker::finish_table() {
  finish_memo();
  if (!current_table_) return;
  const std::uint32_t t = *current_table_;
  const TableInfo& info = tables_[t];
  if (info.definition) {
    for (auto& [kn, list] : pending_) {
      const std::uint32_t stale = info.statistics.count(kn) ? info.statistics.at(kn).second : 0;
      for (const PendingEntry& e : list) {
        if (e.matched || (stale != 0 && e.record >= stale)) continue;
        const bool exists = std::binary_search(data_numbers_.begin(), data_numbers_.end(), e.record);
        fault(table_label(t) + ": " + key_label(*info.definition, kn) + " has an entry for record " +
              std::to_string(e.record) + (exists ? " besides the one the record's value makes" : ", which does not exist"));
      }
    }
  }
  pending_.clear();
  pending_sorted_ = false;
  data_numbers_.clear();
  current_table_.reset();
}

void Checker::cross_check(const Record& rec) {
  const ByteView k = rec.key();
  if (k.size() <= kNumberSize || k[0] == kTagTableName) return;
  const std::uint32_t t = get_be32(k, 0);
  if (current_table_ != t) {
    finish_table();
    current_table_ = t;
  }
  const std::uint8_t tag = k[kNumberSize];
  if (tag == kTagMemo && k.size() == kMemoKeySize) {
    if (!memo_group_.empty() && compare_keys(memo_group_.front().key().first(10), k.first(10)) != 0) finish_memo();
    memo_group_.push_back(rec);
    return;
  }
  TableInfo& info = tables_[t];
  if (!info.definition) {
    if (tag == kTagData && k.size() == kDataKeySize) data_numbers_.push_back(get_be32(k, 5));
    return;
  }
  const Definition& def = *info.definition;
  const std::string label = table_label(t);
  if (tag < kTagData) {
    if (tag >= def.keys.size() || (def.keys[tag].flags & kKeyFlagOwnFile)) return;
    const KeyDef& key = def.keys[tag];
    const bool dup = key.flags & (kKeyFlagDup | kKeyFlagIndex);
    auto e = parse_index_entry(rec, dup);
    const std::size_t expected = kNumberSize + 1 + key_value_length(def, key) + (dup ? kNumberSize : 0);
    if (!e || k.size() != expected) {
      fault(label + ": " + key_label(def, tag) + " entry " + printable(k) + " has the wrong shape for a " +
            (dup ? "key with duplicates" : "unique key"));
      return;
    }
    pending_[tag].push_back(PendingEntry{e->record, hash_bytes(e->value), false});
    return;
  }
  if (tag != kTagData || k.size() != kDataKeySize) return;

  const std::uint32_t record = get_be32(k, 5);
  data_numbers_.push_back(record);
  if (named_numbers_.count(record)) {
    fault(label + ": record number " + std::to_string(record) + " is also a table's number");
  }
  if (rec.data().size() != def.record_length) {
    fault(label + ": record " + std::to_string(record) + " holds " + std::to_string(rec.data().size()) +
          " bytes, the definition says " + std::to_string(def.record_length));
    return;
  }
  if (!pending_sorted_) {
    for (auto& [kn, list] : pending_) std::sort(list.begin(), list.end());
    pending_sorted_ = true;
  }
  static const runtime::CharTables defaults = runtime::CharTables::defaults();
  const Collation collation{info.extra ? &info.extra->tables : &defaults, info.extra && info.extra->oem};
  for (std::size_t kn = 0; kn < def.keys.size(); ++kn) {
    const KeyDef& key = def.keys[kn];
    if (key.flags & kKeyFlagOwnFile) continue;
    const std::uint8_t number = static_cast<std::uint8_t>(kn);
    const std::uint32_t stale = info.statistics.count(number) ? info.statistics.at(number).second : 0;
    const bool exempt = stale != 0 && record >= stale;
    std::vector<PendingEntry>& list = pending_[number];
    auto range = std::equal_range(list.begin(), list.end(), PendingEntry{record, 0, false});
    PendingEntry* found = nullptr;
    for (auto it = range.first; it != range.second; ++it) {
      if (!it->matched) {
        found = &*it;
        break;
      }
    }
    if ((key.flags & kKeyFlagOpt) && key_is_blank(def, key, rec.data())) {
      if (found && !exempt) {
        fault(label + ": record " + std::to_string(record) + " is blank in OPT " + key_label(def, kn) +
              " but has an entry");
        found->matched = true;
      }
      continue;
    }
    Bytes value;
    if (!encode_key_value(def, key, rec.data(), collation, &value).ok()) continue;
    if (!found) {
      if (!exempt) fault(label + ": record " + std::to_string(record) + " has no entry in " + key_label(def, kn));
      continue;
    }
    found->matched = true;
    if (found->value_hash != hash_bytes(value) && !exempt) {
      fault(label + ": the entry of " + key_label(def, kn) + " for record " + std::to_string(record) +
            " does not hold the record's value");
    }
  }
}

void Checker::run() {
  if (!check_header() || !r_.readable) return;
  if (!check_blocks_detail()) return;
  const bool has_pages = end_of_data(header_) > kHeaderSize;
  if (header_.root == kNoRoot || (header_.change_counter == 0 && header_.root == 0)) {
    if (has_pages) fault("header: the file has pages but no root");
    return;
  }
  if (block_of(header_, header_.root) == 0) {
    fault("header: the root page " + std::to_string(header_.root) + " lies in no block (1735)");
    return;
  }
  walk(header_.root, -1, std::nullopt, std::nullopt, true, [this](const Record& rec) { collect(rec); });
  if (!r_.readable) return;
  if (tree_whole_) check_orphans();
  check_tables();
  walk(header_.root, -1, std::nullopt, std::nullopt, false, [this](const Record& rec) { cross_check(rec); });
  finish_table();
}

}  // namespace

CheckReport check_file(platform::Env* env, const std::string& path, const std::optional<std::string>& password) {
  CheckReport report;
  std::unique_ptr<platform::File> file;
  platform::OpenMode mode;
  mode.access = platform::Access::read;
  if (platform::Status s = env->open(path, mode, &file); !s.ok()) {
    report.system_error = s.error;
    report.error = "cannot open " + path;
    return report;
  }
  ReaderLock lock(file.get());
  if (int e = lock.acquire(env->ticks()); e != 0) {
    report.system_error = e;
    report.error = e == kAccessDenied ? "the file is in use by a program that denies others reading it"
                                      : "cannot take a reader's lock on " + path;
    return report;
  }
  std::uint64_t size = 0;
  if (platform::Status s = file->size(&size); !s.ok()) {
    report.system_error = s.error;
    report.error = "cannot learn the size of " + path;
    return report;
  }
  report.readable = true;
  std::optional<KeyBlock> key;
  if (password) key = make_key_block(*password);
  Checker checker(env, file.get(), key, size, &report);
  checker.run();
  return report;
}

}  // namespace files::kestrel
