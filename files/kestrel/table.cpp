#include "files/kestrel/table.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "files/driver/error_state.h"
#include "files/kestrel/declaration.h"
#include "runtime/char_tables.h"
#include "runtime/charset.h"

namespace files::kestrel {
namespace {

using layout::kErrPageLength;

// The retry test: a held record or a locked table is tried again this often
// for each second the program allows.
constexpr int kRetriesPerSecond = 10;
constexpr auto kRetryPause = std::chrono::milliseconds(100);

bool starts_with(ByteView key, ByteView prefix) {
  return key.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), key.begin());
}

// The smallest key part above every key part that starts with `prefix`;
// empty when there is none (a prefix of 0xFF bytes only).
Bytes successor(Bytes prefix) {
  while (!prefix.empty()) {
    if (prefix.back() != 0xFF) {
      ++prefix.back();
      return prefix;
    }
    prefix.pop_back();
  }
  return prefix;
}

Bytes be32(std::uint32_t v) {
  Bytes b(4);
  put_be32(b.data(), v);
  return b;
}

std::uint32_t counter_value(const std::array<std::uint8_t, 4>& c) { return get_be32(ByteView(c), 0); }

int outcome_of(Status s, int* internal) {
  switch (s.code) {
    case Code::ok:
      return outcome::ok;
    case Code::not_found:
      return outcome::not_found;
    case Code::exists:
      return outcome::duplicate;
    case Code::corruption:
      *internal = s.number;
      return outcome::internal;
    case Code::io_error:
      set_system_error(s.number);
      return s.number >= 2 && s.number <= 5 ? s.number : 300 + s.number;
    case Code::busy:
    case Code::locked:
      return outcome::access_denied;
    case Code::invalid_file:
      return outcome::invalid_file;
  }
  return outcome::internal;
}

// One access of a pager for the functions that have no table yet. Ending
// is explicit; leaving the scope without ending drops what the access
// changed.
class Scope {
 public:
  explicit Scope(Pager& pager) : pager_(pager) {}
  ~Scope() {
    // Abandoning an access abandons the accesses it nests in as well.
    if (active_ && pager_.in_access()) pager_.abandon_access();
  }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

  Status begin(AccessKind kind) {
    Status s = pager_.begin_access(kind, !pager_.flushes_held());
    active_ = s.ok();
    return s;
  }
  Status end() {
    active_ = false;
    return pager_.end_access();
  }

 private:
  Pager& pager_;
  bool active_ = false;
};

Status erase_prefix_in(Tree& tree, ByteView prefix, std::size_t* erased) {
  std::size_t n = 0;
  for (;;) {
    Record r;
    Status s = tree.lower_bound(prefix, &r);
    if (s.is(Code::not_found)) break;
    if (!s.ok()) return s;
    if (!starts_with(r.key(), prefix)) break;
    if (s = tree.erase(r.key()); !s.ok()) return s;
    ++n;
  }
  if (erased) *erased = n;
  return Status::success();
}

// Converts the plain string fields of an image between the two character
// sets. Fields inside other fields are left alone, so no byte is converted
// twice.
void convert_text(const Definition& def, std::uint8_t* image, bool to_oem) {
  auto convert = [to_oem](std::uint8_t* p, std::size_t n) {
    if (to_oem) {
      runtime::ansi_to_oem(reinterpret_cast<char*>(p), n);
    } else {
      runtime::oem_to_ansi(reinterpret_cast<char*>(p), n);
    }
  };
  for (const FieldDef& f : def.fields) {
    if (f.enclosing != 0) continue;
    const auto type = static_cast<FieldType>(f.type);
    if (!is_string_type(type)) continue;
    const std::size_t elements = std::max<std::size_t>(f.elements, 1);
    const std::size_t size = f.length / elements;
    if (size == 0) continue;
    for (std::size_t e = 0; e < elements; ++e) {
      std::uint8_t* p = image + f.offset + e * size;
      if (type == FieldType::STRING) {
        convert(p, size);
      } else if (type == FieldType::CSTRING) {
        const auto* end = static_cast<const std::uint8_t*>(std::memchr(p, 0, size));
        convert(p, end ? static_cast<std::size_t>(end - p) : size);
      } else {
        const std::size_t n = std::min<std::size_t>(p[0], size - 1);
        convert(p + 1, n);
      }
    }
  }
}

Status malformed(Pager& pager) { return pager.note_failure(Status::corruption(kErrPageLength)); }

Status find_table(Tree& tree, Pager& pager, const std::string& name, std::uint32_t* number) {
  Record r;
  Status s = tree.find(table_name_key(name), &r);
  if (!s.ok()) return s;
  const auto t = parse_table_name_record(r);
  if (!t) return malformed(pager);
  *number = *t;
  return Status::success();
}

Bytes table_prefix(std::uint32_t table) { return be32(table); }

}  // namespace

// --- Access of an opened table ------------------------------------------------------

class Table::Access {
 public:
  explicit Access(Table& table) : table_(table) {}
  ~Access() {
    if (active_) table_.pager_->abandon_access();
  }
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;

  int begin(AccessKind kind) {
    if (const int c = table_.check_usable(); c != 0) return c;
    Status s = table_.pager_->begin_access(kind, !table_.pager_->flushes_held());
    if (!s.ok()) return table_.fail(s);
    active_ = true;
    return 0;
  }
  // Ends the access normally (flushing what it changed); an earlier
  // outcome wins over the flush's.
  int finish(int code = 0) {
    active_ = false;
    Status s = table_.pager_->end_access();
    if (code != 0) return code;
    return s.ok() ? 0 : table_.fail(s);
  }
  // Drops what the access changed; the engine status becomes the outcome.
  int abandon(Status s) {
    active_ = false;
    table_.pager_->abandon_access();
    return table_.fail(s);
  }
  int abandon_with(int code) {
    active_ = false;
    table_.pager_->abandon_access();
    return code;
  }

 private:
  Table& table_;
  bool active_ = false;
};

// The lock byte of a record for one change, unless the table already holds
// the record; released when the change's function returns, after it has
// ended its access.
class Table::RecordLock {
 public:
  RecordLock(Pager& pager, const Table* owner, std::uint32_t record, bool held)
      : pager_(pager), owner_(owner), record_(record), needed_(!held) {}
  ~RecordLock() {
    if (taken_) (void)pager_.unlock_number(record_, owner_);
  }
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;

  // locked() when someone else holds the record.
  Status take() {
    if (!needed_) return Status::success();
    Status s = pager_.lock_number(record_, owner_);
    taken_ = s.ok();
    return s;
  }

 private:
  Pager& pager_;
  const Table* owner_;
  std::uint32_t record_;
  bool needed_;
  bool taken_ = false;
};

// --- Tables of a file ------------------------------------------------------------------

Table::Table(std::shared_ptr<Pager> pager, TableName name) : pager_(std::move(pager)), name_(std::move(name)) {}

Table::~Table() {
  drop_hold();
  if (table_locked_) (void)pager_->unlock_number(number_, this);
}

int Table::open(std::shared_ptr<Pager> pager, const TableName& name, std::unique_ptr<Table>* out,
                int* internal_error) {
  std::unique_ptr<Table> t(new Table(pager, name));
  Scope scope(*pager);
  if (Status s = scope.begin(AccessKind::read); !s.ok()) return outcome_of(s, internal_error);
  Tree tree(*pager);
  Status s = find_table(tree, *pager, name.table, &t->number_);
  if (s.is(Code::not_found)) {
    (void)scope.end();
    return outcome::file_not_found;
  }
  if (s.ok()) s = t->load(tree);
  if (!s.ok()) return outcome_of(s, internal_error);
  if (s = scope.end(); !s.ok()) return outcome_of(s, internal_error);
  *out = std::move(t);
  return outcome::ok;
}

Status Table::load(Tree& tree) {
  // Definition blocks sort by their little-endian numbers' bytes, not by the
  // numbers: gather them all, then join them in numeric order.
  std::map<std::uint16_t, Bytes> blocks;
  const Bytes prefix = definition_prefix(number_);
  Record r;
  Status s = tree.lower_bound(prefix, &r);
  while (s.ok() && starts_with(r.key(), prefix)) {
    if (r.key_length != layout::kDefinitionKeySize) return malformed(*pager_);
    const std::uint16_t block = get_le16(r.key(), 5);
    blocks[block].assign(r.data().begin(), r.data().end());
    s = tree.next(r.key(), &r);
  }
  if (!s.ok() && !s.is(Code::not_found)) return s;
  Bytes stream;
  std::uint16_t expected = 0;
  for (const auto& [block, data] : blocks) {
    if (block != expected++) return malformed(*pager_);
    stream.insert(stream.end(), data.begin(), data.end());
  }
  if (blocks.empty()) return malformed(*pager_);
  if (s = decode_definition(stream, &def_); !s.ok()) return pager_->note_failure(s);
  if (s = check_definition(def_); !s.ok()) return pager_->note_failure(s);

  s = tree.find(extra_key(number_), &r);
  if (s.ok()) {
    const auto extra = parse_extra(r);
    if (!extra) return malformed(*pager_);
    oem_ = extra->oem;
    tables_ = extra->tables;
  } else if (s.is(Code::not_found)) {
    // A table without its extra record still reads: with the tables of
    // the running program and no OEM text.
    oem_ = false;
    tables_ = runtime::char_tables();
  } else {
    return s;
  }
  collation_ = Collation{&tables_, oem_};
  return Status::success();
}

int Table::create(Pager& pager, const std::string& name, const Definition& def, bool oem, int* internal_error) {
  Scope scope(pager);
  if (Status s = scope.begin(AccessKind::update); !s.ok()) return outcome_of(s, internal_error);
  Tree tree(pager);
  std::uint32_t old = 0;
  Status s = find_table(tree, pager, name, &old);
  if (s.ok()) {
    s = erase_prefix_in(tree, table_prefix(old), nullptr);
    if (s.ok()) s = tree.erase(table_name_key(name));
  } else if (s.is(Code::not_found)) {
    s = Status::success();
  }
  std::uint32_t table = 0;
  if (s.ok()) s = tree.next_number(&table);
  if (s.ok()) s = tree.insert(table_name_record(name, table));
  std::vector<Record> blocks;
  if (s.ok()) s = definition_records(table, encode_definition(def), &blocks);
  for (std::size_t i = 0; s.ok() && i < blocks.size(); ++i) s = tree.insert(blocks[i]);
  if (s.ok()) s = tree.insert(statistics_record(table, layout::kTagData, 0, 0));
  for (std::size_t k = 0; s.ok() && k < def.keys.size(); ++k) {
    s = tree.insert(statistics_record(table, static_cast<std::uint8_t>(k), 0, 0));
  }
  if (s.ok()) s = tree.insert(extra_record(table, oem, runtime::char_tables()));
  if (s.is(Code::exists)) s = malformed(pager);
  if (!s.ok()) return outcome_of(s, internal_error);
  return outcome_of(scope.end(), internal_error);
}

int Table::remove(Pager& pager, const std::string& name, int* internal_error) {
  Scope scope(pager);
  if (Status s = scope.begin(AccessKind::update); !s.ok()) return outcome_of(s, internal_error);
  Tree tree(pager);
  std::uint32_t table = 0;
  Status s = find_table(tree, pager, name, &table);
  if (s.is(Code::not_found)) {
    (void)scope.end();
    return outcome::file_not_found;
  }
  if (s.ok()) s = erase_prefix_in(tree, table_prefix(table), nullptr);
  if (s.ok()) s = tree.erase(table_name_key(name));
  if (!s.ok()) return outcome_of(s, internal_error);
  return outcome_of(scope.end(), internal_error);
}

int Table::copy(Pager& source, const std::string& from, Pager& target, const std::string& to, bool rename,
                int* internal_error) {
  const bool same_file = &source == &target;
  if (same_file && from == to) return outcome::access_denied;
  // The target's update access comes first: on one file the source's
  // access then only nests inside it, and a copy never waits for a writer
  // byte while it holds a reader slot (a committing transaction may be
  // waiting for that slot). A rename takes two writer bytes, always in the
  // order of the full paths, so that a rename a to b and one b to a in
  // two programs cannot each hold one and wait for the other.
  Scope target_scope(target);
  Scope source_scope(source);
  const bool source_first = rename && !same_file && source.path() < target.path();
  if (source_first) {
    if (Status s = source_scope.begin(AccessKind::update); !s.ok()) return outcome_of(s, internal_error);
  }
  if (Status s = target_scope.begin(AccessKind::update); !s.ok()) return outcome_of(s, internal_error);
  if (!source_first) {
    if (Status s = source_scope.begin(rename ? AccessKind::update : AccessKind::read); !s.ok()) {
      return outcome_of(s, internal_error);
    }
  }
  Tree in(source);
  Tree out(target);

  std::uint32_t from_number = 0;
  Status s = find_table(in, source, from, &from_number);
  if (s.is(Code::not_found)) {
    (void)source_scope.end();
    (void)target_scope.end();
    return outcome::file_not_found;
  }
  if (!s.ok()) return outcome_of(s, internal_error);

  std::uint32_t existing = 0;
  s = find_table(out, target, to, &existing);
  if (s.ok()) {
    if (rename) {
      (void)source_scope.end();
      (void)target_scope.end();
      return outcome::access_denied;
    }
    s = erase_prefix_in(out, table_prefix(existing), nullptr);
    if (s.ok()) s = out.erase(table_name_key(to));
  } else if (s.is(Code::not_found)) {
    s = Status::success();
  }
  std::uint32_t to_number = 0;
  if (s.ok()) s = out.next_number(&to_number);
  if (!s.ok()) return outcome_of(s, internal_error);

  // Record numbers move past everything the target has issued, so they
  // never meet its own records or tables.
  const std::uint64_t shift = to_number;
  std::uint64_t highest = to_number;
  const std::uint64_t limit = std::uint64_t{layout::kCounterLimit} << 24;
  auto shifted = [&](std::uint32_t n, std::uint32_t* result) {
    const std::uint64_t v = n + shift;
    if (v >= limit) return false;
    highest = std::max(highest, v);
    *result = static_cast<std::uint32_t>(v);
    return true;
  };

  const Bytes prefix = table_prefix(from_number);
  Record r;
  s = in.lower_bound(prefix, &r);
  while (s.ok() && starts_with(r.key(), prefix)) {
    Record copy = r;
    put_be32(copy.bytes.data(), to_number);
    bool ok = true;
    std::uint32_t moved = 0;
    if (copy.key_length > 4) {
      const std::uint8_t tag = copy.bytes[4];
      if ((tag == layout::kTagData || tag == layout::kTagMemo) && copy.key_length >= 9) {
        ok = shifted(get_be32(copy.bytes, 5), &moved);
        if (ok) put_be32(copy.bytes.data() + 5, moved);
      } else if (tag == layout::kTagStatistics && copy.key_length == layout::kStatisticsKeySize &&
                 copy.bytes[5] != layout::kTagData && copy.data().size() == layout::kStatisticsDataSize) {
        const std::uint32_t mark = get_le32(copy.bytes, copy.key_length + 4);
        if (mark != 0) {
          ok = shifted(mark, &moved);
          if (ok) put_le32(copy.bytes.data() + copy.key_length + 4, moved);
        }
      } else if (tag < layout::kTagData) {
        // An index entry: the record number ends the key part (keys with
        // duplicates, no data) or is the data (unique keys).
        if (copy.data().empty() && copy.key_length >= 9) {
          ok = shifted(get_be32(copy.bytes, copy.key_length - 4), &moved);
          if (ok) put_be32(copy.bytes.data() + copy.key_length - 4, moved);
        } else if (copy.data().size() == 4) {
          ok = shifted(get_be32(copy.bytes, copy.key_length), &moved);
          if (ok) put_be32(copy.bytes.data() + copy.key_length, moved);
        } else {
          s = malformed(source);
          break;
        }
      }
    }
    if (!ok) {
      s = target.note_failure(Status::corruption(layout::kErrCounterExhausted));
      break;
    }
    if (s = out.insert(copy); !s.ok()) break;
    if (rename) {
      if (s = in.erase(r.key()); !s.ok()) break;
    }
    s = in.next(r.key(), &r);
  }
  if (s.is(Code::not_found)) s = Status::success();
  if (s.is(Code::exists)) s = malformed(target);
  if (s.ok()) s = out.insert(table_name_record(to, to_number));
  if (s.ok() && rename) s = in.erase(table_name_key(from));
  if (s.ok()) {
    std::array<std::uint8_t, 4> counter{};
    put_be32(counter.data(), static_cast<std::uint32_t>(highest));
    if (counter_value(target.number_counter()) < highest) target.set_number_counter(counter);
  }
  if (!s.ok()) return outcome_of(s, internal_error);
  if (s = source_scope.end(); !s.ok()) return outcome_of(s, internal_error);
  return outcome_of(target_scope.end(), internal_error);
}

int Table::table_at_or_after(Pager& pager, std::string_view text, std::string* name, int* internal_error) {
  Scope scope(pager);
  if (Status s = scope.begin(AccessKind::read); !s.ok()) return outcome_of(s, internal_error);
  Tree tree(pager);
  Record r;
  Status s = tree.lower_bound(table_name_key(text), &r);
  name->clear();
  if (s.ok() && r.key_length > 0 && r.bytes[0] == layout::kTagTableName) {
    name->assign(r.bytes.begin() + 1, r.bytes.begin() + static_cast<std::ptrdiff_t>(r.key_length));
  } else if (!s.ok() && !s.is(Code::not_found)) {
    return outcome_of(s, internal_error);
  }
  return outcome_of(scope.end(), internal_error);
}

// --- Helpers ------------------------------------------------------------------------------

void Table::bind(std::uint8_t* record, std::vector<MemoDescriptor>* memos) {
  record_ = record;
  memos_ = memos;
}

int Table::fail(Status s) { return outcome_of(s, &internal_); }

int Table::check_usable() const { return internal_ != 0 ? outcome::internal : outcome::ok; }

bool Table::dup_key(int key) const { return entries_have_duplicates(def_.keys[static_cast<std::size_t>(key)]); }

bool Table::skipped_key(int key) const {
  return def_.keys[static_cast<std::size_t>(key)].flags & layout::kKeyFlagOwnFile;
}

Bytes Table::stored_image(const std::uint8_t* program) const {
  Bytes image(program, program + def_.record_length);
  if (oem_) convert_text(def_, image.data(), true);
  return image;
}

void Table::to_program(ByteView stored, std::uint8_t* program) const {
  std::memcpy(program, stored.data(), def_.record_length);
  if (oem_) convert_text(def_, program, false);
}

Status Table::key_value(int key, ByteView stored, Bytes* value) const {
  return encode_key_value(def_, def_.keys[static_cast<std::size_t>(key)], stored, collation_, value);
}

Status Table::entry_of(int key, ByteView stored, std::uint32_t record, std::optional<Record>* out) const {
  out->reset();
  const KeyDef& k = def_.keys[static_cast<std::size_t>(key)];
  if ((k.flags & layout::kKeyFlagOpt) && key_is_blank(def_, k, stored)) return Status::success();
  Bytes value;
  if (Status s = key_value(key, stored, &value); !s.ok()) return s;
  *out = index_entry(number_, static_cast<std::uint8_t>(key), value, record, dup_key(key));
  return Status::success();
}

Status Table::entry_record(int key, const Record& entry, std::uint32_t* record) const {
  const auto parsed = parse_index_entry(entry, dup_key(key));
  if (!parsed) return malformed(*pager_);
  *record = parsed->record;
  return Status::success();
}

Status Table::read_stats(Tree& tree, std::uint8_t which, Statistics* out) {
  Record r;
  Status s = tree.find(statistics_key(number_, which), &r);
  if (s.is(Code::not_found)) {
    *out = Statistics{};
    return Status::success();
  }
  if (!s.ok()) return s;
  const auto stats = parse_statistics(r);
  if (!stats) return malformed(*pager_);
  *out = *stats;
  return Status::success();
}

Status Table::change_stats(Tree& tree, std::uint8_t which, const std::function<void(Statistics*)>& change) {
  Status s = tree.update(statistics_key(number_, which), [&](Record* r) {
    auto stats = parse_statistics(*r);
    if (!stats) return malformed(*pager_);
    change(&*stats);
    *r = statistics_record(number_, which, stats->count, stats->second);
    return Status::success();
  });
  if (!s.is(Code::not_found)) return s;
  Statistics fresh;
  change(&fresh);
  return tree.insert(statistics_record(number_, which, fresh.count, fresh.second));
}

Status Table::write_stats(Tree& tree, std::uint8_t which, const Statistics& stats) {
  const Record r = statistics_record(number_, which, stats.count, stats.second);
  Status s = tree.replace(r);
  if (s.is(Code::not_found)) s = tree.insert(r);
  return s;
}

Status Table::read_data(Tree& tree, std::uint32_t record, Bytes* stored) {
  Record r;
  Status s = tree.find(data_key(number_, record), &r);
  if (!s.ok()) return s;
  if (r.data().size() != def_.record_length) return malformed(*pager_);
  stored->assign(r.data().begin(), r.data().end());
  return Status::success();
}

Status Table::unique_conflict(Tree& tree, ByteView stored, std::uint32_t record, int only_key, bool include_dup,
                              bool* found) {
  *found = false;
  for (std::size_t k = 0; k < def_.keys.size(); ++k) {
    const int key = static_cast<int>(k);
    if (only_key >= 0 && key != only_key) continue;
    if (skipped_key(key)) continue;
    const bool dup = dup_key(key);
    if (dup && !include_dup) continue;
    std::optional<Record> entry;
    if (Status s = entry_of(key, stored, record, &entry); !s.ok()) return s;
    if (!entry) continue;
    if (!dup) {
      Record r;
      Status s = tree.find(entry->key(), &r);
      if (s.is(Code::not_found)) continue;
      if (!s.ok()) return s;
      std::uint32_t owner = 0;
      if (s = entry_record(key, r, &owner); !s.ok()) return s;
      if (owner != record) *found = true;
    } else {
      const ByteView value = entry->key().subspan(5, entry->key_length - 9);
      const Bytes same = index_key(number_, static_cast<std::uint8_t>(key), value, std::nullopt);
      Record r;
      Status s = tree.lower_bound(same, &r);
      while (s.ok() && starts_with(r.key(), same) && r.key_length == entry->key_length) {
        std::uint32_t owner = 0;
        if (s = entry_record(key, r, &owner); !s.ok()) return s;
        if (owner != record) {
          *found = true;
          break;
        }
        s = tree.next(r.key(), &r);
      }
      if (!s.ok() && !s.is(Code::not_found)) return s;
    }
    if (*found) return Status::success();
  }
  return Status::success();
}

Status Table::maintain(Tree& tree, const Bytes* old_image, const Bytes* new_image, std::uint32_t record,
                       bool append) {
  for (std::size_t k = 0; k < def_.keys.size(); ++k) {
    const int key = static_cast<int>(k);
    if (skipped_key(key)) continue;
    std::optional<Record> old_entry;
    std::optional<Record> new_entry;
    if (old_image) {
      if (Status s = entry_of(key, *old_image, record, &old_entry); !s.ok()) return s;
    }
    if (new_image) {
      if (Status s = entry_of(key, *new_image, record, &new_entry); !s.ok()) return s;
    }
    if (old_entry.has_value() == new_entry.has_value() && (!old_entry || old_entry->bytes == new_entry->bytes)) {
      continue;
    }
    const auto which = static_cast<std::uint8_t>(key);
    if (append || (def_.keys[k].flags & layout::kKeyFlagIndex)) {
      Status s = change_stats(tree, which, [&](Statistics* st) {
        if (st->second == 0 || record < st->second) st->second = record;
      });
      if (!s.ok()) return s;
      continue;
    }
    std::int64_t delta = 0;
    if (new_entry) {
      Status s = tree.insert(*new_entry);
      if (s.ok()) {
        ++delta;
      } else if (s.is(Code::exists)) {
        // Only an entry of this very record can be there (the caller
        // checked the unique keys first): bring it up to date.
        Record r;
        if (s = tree.find(new_entry->key(), &r); !s.ok()) return s;
        std::uint32_t owner = 0;
        if (s = entry_record(key, r, &owner); !s.ok()) return s;
        if (owner != record) return Status::exists();
        if (s = tree.replace(*new_entry); !s.ok()) return s;
      } else {
        return s;
      }
    }
    if (old_entry) {
      Record r;
      Status s = tree.find(old_entry->key(), &r);
      if (s.ok()) {
        std::uint32_t owner = 0;
        if (s = entry_record(key, r, &owner); !s.ok()) return s;
        if (owner == record) {
          if (s = tree.erase(old_entry->key()); !s.ok()) return s;
          --delta;
        }
      } else if (!s.is(Code::not_found)) {
        return s;
      }
    }
    if (delta != 0) {
      Status s = change_stats(tree, which, [&](Statistics* st) { st->count = static_cast<std::uint32_t>(st->count + delta); });
      if (!s.ok()) return s;
    }
  }
  return Status::success();
}

Status Table::memo_content(std::size_t memo, Bytes* out) const {
  out->clear();
  if (!memos_ || memo >= memos_->size()) return Status::success();
  const MemoDef& md = def_.memos[memo];
  const Bytes& buffer = (*memos_)[memo].buffer;
  if (md.blob()) {
    *out = buffer;
    return Status::success();
  }
  std::size_t n = buffer.size();
  if (md.length != 0) n = std::min<std::size_t>(n, md.length);
  n = trimmed_memo_length(ByteView(buffer).first(n));
  out->assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
  if (oem_ && !(md.flags & layout::kMemoFlagBinary)) {
    runtime::ansi_to_oem(reinterpret_cast<char*>(out->data()), out->size());
  }
  return Status::success();
}

Status Table::read_memos(Tree& tree, std::uint32_t record) {
  if (!memos_) return Status::success();
  std::vector<Bytes> contents(def_.memos.size());
  for (std::size_t m = 0; m < def_.memos.size(); ++m) {
    const MemoDef& md = def_.memos[m];
    const Bytes prefix = memo_prefix(number_, record, static_cast<std::uint8_t>(m));
    std::vector<Record> segments;
    Record r;
    Status s = tree.lower_bound(prefix, &r);
    while (s.ok() && starts_with(r.key(), prefix)) {
      segments.push_back(r);
      s = tree.next(r.key(), &r);
    }
    if (!s.ok() && !s.is(Code::not_found)) return s;
    if (s = join_memo_segments(segments, md.blob(), &contents[m]); !s.ok()) return pager_->note_failure(s);
    if (!md.blob()) {
      if (oem_ && !(md.flags & layout::kMemoFlagBinary)) {
        runtime::oem_to_ansi(reinterpret_cast<char*>(contents[m].data()), contents[m].size());
      }
      if (contents[m].size() < md.length) contents[m].resize(md.length, ' ');
    }
  }
  for (std::size_t m = 0; m < contents.size() && m < memos_->size(); ++m) {
    (*memos_)[m].buffer = std::move(contents[m]);
  }
  return Status::success();
}

Status Table::write_memos(Tree& tree, std::uint32_t record, bool only_changed) {
  for (std::size_t m = 0; m < def_.memos.size(); ++m) {
    const auto memo = static_cast<std::uint8_t>(m);
    const bool blob = def_.memos[m].blob();
    Bytes content;
    if (Status s = memo_content(m, &content); !s.ok()) return s;
    std::vector<Record> segments;
    if (Status s = memo_segments(number_, record, memo, content, blob, &segments); !s.ok()) {
      return pager_->note_failure(s);
    }
    const Bytes prefix = memo_prefix(number_, record, memo);
    if (only_changed) {
      std::vector<Record> stored;
      Record r;
      Status s = tree.lower_bound(prefix, &r);
      while (s.ok() && starts_with(r.key(), prefix)) {
        stored.push_back(r);
        s = tree.next(r.key(), &r);
      }
      if (!s.ok() && !s.is(Code::not_found)) return s;
      if (stored == segments) continue;
    }
    if (Status s = erase_prefix_in(tree, prefix, nullptr); !s.ok()) return s;
    for (const Record& seg : segments) {
      if (Status s = tree.insert(seg); !s.ok()) return s.is(Code::exists) ? malformed(*pager_) : s;
    }
  }
  return Status::success();
}

// --- Holding and delivering ------------------------------------------------------------------

int Table::hold_record(std::uint32_t record, const ReadRequest& how) {
  if (!how.hold) return outcome::ok;
  Status s = pager_->lock_number(record, this);
  if (s.is(Code::locked)) return outcome::held;
  if (!s.ok()) return fail(s);
  if (held_ != 0 && held_ != record) (void)pager_->unlock_number(held_, this);
  held_ = record;
  return outcome::ok;
}

void Table::drop_hold() {
  if (held_ != 0) (void)pager_->unlock_number(held_, this);
  held_ = 0;
}

int Table::deliver(Tree& tree, std::uint32_t record, const Bytes& stored, const ReadRequest& how) {
  if (const int c = hold_record(record, how); c != 0) return c;
  if (how.memos) {
    if (Status s = read_memos(tree, record); !s.ok()) return fail(s);
  }
  if (record_) to_program(stored, record_);
  current_ = record;
  current_image_ = stored;
  memos_skipped_ = !how.memos;
  if (how.watch) {
    watched_ = stored;
  } else {
    watched_.reset();
  }
  return outcome::ok;
}

namespace {

// Runs `attempt` again while it answers 43 and the retry test allows.
template <class F>
int with_retries(const ReadRequest& how, F attempt) {
  int tries = how.hold ? static_cast<int>(std::min<std::uint32_t>(how.hold_seconds, 3600)) * kRetriesPerSecond : 0;
  for (;;) {
    const int c = attempt();
    if (c != outcome::held || tries-- <= 0) return c;
    std::this_thread::sleep_for(kRetryPause);
  }
}

}  // namespace

int Table::read_record(std::uint32_t record, const ReadRequest& how, bool missing_is_gone) {
  return with_retries(how, [&] {
    Access a(*this);
    if (const int c = a.begin(AccessKind::read); c != 0) return c;
    Tree tree(*pager_);
    Bytes stored;
    Status s = record == 0 ? Status::not_found() : read_data(tree, record, &stored);
    if (s.is(Code::not_found)) return a.finish(missing_is_gone ? outcome::not_available : outcome::not_found);
    if (!s.ok()) return a.abandon(s);
    const int c = deliver(tree, record, stored, how);
    return a.finish(c);
  });
}

// --- Records ------------------------------------------------------------------------------------

int Table::add(bool append) {
  if (!record_) return outcome::not_available;
  Access a(*this);
  if (const int c = a.begin(AccessKind::update); c != 0) return c;
  Tree tree(*pager_);
  const Bytes image = stored_image(record_);
  if (!append) {
    bool found = false;
    if (Status s = unique_conflict(tree, image, 0, -1, false, &found); !s.ok()) return a.abandon(s);
    if (found) return a.finish(outcome::duplicate);
  }
  std::uint32_t record = 0;
  Status s = tree.next_number(&record);
  if (s.ok()) s = maintain(tree, nullptr, &image, record, append);
  if (s.ok()) {
    s = tree.insert(data_record(number_, record, image));
    if (s.is(Code::exists)) s = malformed(*pager_);
  }
  if (s.ok()) s = change_stats(tree, layout::kTagData, [](Statistics* st) { ++st->count; });
  if (s.ok()) s = write_memos(tree, record, false);
  if (!s.ok()) return a.abandon(s);
  if (const int c = a.finish(); c != 0) return c;
  current_ = record;
  current_image_ = image;
  watched_.reset();
  memos_skipped_ = false;
  return outcome::ok;
}

int Table::get_by_key(int key, const ReadRequest& how) {
  if (!record_) return outcome::not_found;
  return with_retries(how, [&] {
    Access a(*this);
    if (const int c = a.begin(AccessKind::read); c != 0) return c;
    Tree tree(*pager_);
    Bytes value;
    if (Status s = key_value(key, stored_image(record_), &value); !s.ok()) return a.abandon(s);
    const auto k = static_cast<std::uint8_t>(key);
    const Bytes same = index_key(number_, k, value, std::nullopt);
    Record r;
    Status s = dup_key(key) ? tree.lower_bound(index_key(number_, k, value, 0u), &r) : tree.find(same, &r);
    // An entry whose record is gone (an INDEX not yet rebuilt) is passed
    // over; only entries of exactly this value count.
    while (s.ok() && starts_with(r.key(), same) && r.key_length == same.size() + (dup_key(key) ? 4 : 0)) {
      std::uint32_t record = 0;
      if (s = entry_record(key, r, &record); !s.ok()) return a.abandon(s);
      Bytes stored;
      s = read_data(tree, record, &stored);
      if (s.ok()) return a.finish(deliver(tree, record, stored, how));
      if (!s.is(Code::not_found)) return a.abandon(s);
      if (!dup_key(key)) break;
      s = tree.next(r.key(), &r);
    }
    if (!s.ok() && !s.is(Code::not_found)) return a.abandon(s);
    return a.finish(outcome::not_found);
  });
}

int Table::get_by_number(std::uint32_t record, const ReadRequest& how) {
  return read_record(record, how, false);
}

int Table::put() { return put_record(current_); }

int Table::put_at(std::uint32_t record) { return put_record(record); }

int Table::put_record(std::uint32_t record) {
  if (record == 0 || !record_) return outcome::not_available;
  Access a(*this);
  if (const int c = a.begin(AccessKind::update); c != 0) return c;
  RecordLock lock(*pager_, this, record, held_ == record);
  if (Status s = lock.take(); !s.ok()) return s.is(Code::locked) ? a.finish(outcome::access_denied) : a.abandon(s);
  Tree tree(*pager_);
  Bytes stored;
  Status s = read_data(tree, record, &stored);
  if (s.is(Code::not_found)) return a.finish(outcome::not_available);
  if (!s.ok()) return a.abandon(s);
  const bool is_current = record == current_;
  if (is_current && watched_ && *watched_ != stored) return a.finish(outcome::changed);
  const Bytes image = stored_image(record_);
  if (image != stored) {
    bool found = false;
    if (s = unique_conflict(tree, image, record, -1, false, &found); !s.ok()) return a.abandon(s);
    if (found) return a.finish(outcome::duplicate);
    s = maintain(tree, &stored, &image, record, false);
    if (s.ok()) s = tree.replace(data_record(number_, record, image));
  }
  if (s.ok() && !(is_current && memos_skipped_)) s = write_memos(tree, record, true);
  if (!s.ok()) return a.abandon(s);
  const int c = a.finish();
  if (c != 0) return c;
  if (held_ == record) drop_hold();
  watched_.reset();
  current_ = record;
  current_image_ = image;
  return outcome::ok;
}

int Table::erase() {
  if (current_ == 0) return outcome::not_available;
  const std::uint32_t record = current_;
  Access a(*this);
  if (const int c = a.begin(AccessKind::update); c != 0) return c;
  RecordLock lock(*pager_, this, record, held_ == record);
  if (Status s = lock.take(); !s.ok()) return s.is(Code::locked) ? a.finish(outcome::not_available) : a.abandon(s);
  Tree tree(*pager_);
  Bytes stored;
  Status s = read_data(tree, record, &stored);
  if (s.is(Code::not_found)) return a.finish(outcome::not_available);
  if (s.ok()) s = maintain(tree, &stored, nullptr, record, false);
  if (s.ok()) s = tree.erase(data_key(number_, record));
  if (s.ok()) s = change_stats(tree, layout::kTagData, [](Statistics* st) { --st->count; });
  if (s.ok()) {
    Bytes memos = data_key(number_, record);
    memos[4] = layout::kTagMemo;
    s = erase_prefix_in(tree, memos, nullptr);
  }
  if (!s.ok()) return a.abandon(s);
  const int c = a.finish();
  if (c != 0) return c;
  if (held_ == record) drop_hold();
  watched_.reset();
  current_ = 0;
  return outcome::ok;
}

int Table::empty() {
  Access a(*this);
  if (const int c = a.begin(AccessKind::update); c != 0) return c;
  Tree tree(*pager_);
  Bytes memos = data_prefix(number_);
  memos[4] = layout::kTagMemo;
  Status s = erase_prefix_in(tree, data_prefix(number_), nullptr);
  if (s.ok()) s = erase_prefix_in(tree, memos, nullptr);
  for (std::size_t k = 0; s.ok() && k < def_.keys.size(); ++k) {
    const auto which = static_cast<std::uint8_t>(k);
    if (!skipped_key(static_cast<int>(k))) s = erase_prefix_in(tree, index_prefix(number_, which), nullptr);
    if (s.ok()) s = write_stats(tree, which, Statistics{});
  }
  Statistics st;
  if (s.ok()) s = read_stats(tree, layout::kTagData, &st);
  if (s.ok()) s = write_stats(tree, layout::kTagData, Statistics{0, st.second});
  if (!s.ok()) return a.abandon(s);
  if (const int c = a.finish(); c != 0) return c;
  drop_hold();
  current_ = 0;
  watched_.reset();
  return outcome::ok;
}

int Table::duplicate(int key, bool* result) {
  *result = false;
  if (!record_) return outcome::ok;
  Access a(*this);
  if (const int c = a.begin(AccessKind::read); c != 0) return c;
  Tree tree(*pager_);
  Status s = unique_conflict(tree, stored_image(record_), current_, key, key >= 0, result);
  if (!s.ok()) return a.abandon(s);
  return a.finish();
}

// --- Sequences ------------------------------------------------------------------------------------

int Table::set_record_order() {
  if (const int c = check_usable(); c != 0) return c;
  seq_ = Sequence{};
  seq_.active = true;
  seq_.prefix = data_prefix(number_);
  return outcome::ok;
}

int Table::set_record_order_at(std::uint32_t record) {
  if (const int c = set_record_order(); c != 0) return c;
  seq_.from_ends = false;
  seq_.forward = seq_.backward = data_key(number_, record);
  seq_.inclusive = true;
  return outcome::ok;
}

int Table::set_record_order_from_key(int key) {
  if (!record_) return outcome::not_found;
  Access a(*this);
  if (const int c = a.begin(AccessKind::read); c != 0) return c;
  Tree tree(*pager_);
  Bytes value;
  if (Status s = key_value(key, stored_image(record_), &value); !s.ok()) return a.abandon(s);
  Sequence probe_seq;
  probe_seq.active = true;
  probe_seq.key = key;
  probe_seq.prefix = index_prefix(number_, static_cast<std::uint8_t>(key));
  probe_seq.from_ends = false;
  probe_seq.forward = index_key(number_, static_cast<std::uint8_t>(key), value,
                                dup_key(key) ? std::optional<std::uint32_t>(0u) : std::nullopt);
  probe_seq.backward = probe_seq.forward;
  probe_seq.inclusive = true;
  Record entry;
  std::uint32_t record = 0;
  Bytes stored;
  Status s = probe(tree, probe_seq, true, &entry, &record, &stored);
  if (!s.ok() && !s.is(Code::not_found)) return a.abandon(s);
  if (const int c = a.finish(); c != 0) return c;
  (void)set_record_order();
  seq_.from_ends = false;
  seq_.inclusive = s.ok();
  // No record at or after the value: the sequence stands past the end.
  seq_.forward = seq_.backward = s.ok() ? data_key(number_, record) : successor(data_prefix(number_));
  return outcome::ok;
}

int Table::set_key_order(int key) {
  if (const int c = check_usable(); c != 0) return c;
  seq_ = Sequence{};
  seq_.active = true;
  seq_.key = key;
  seq_.prefix = index_prefix(number_, static_cast<std::uint8_t>(key));
  return outcome::ok;
}

int Table::set_key_order_at_value(int key, std::optional<std::uint32_t> record) {
  if (!record_) return outcome::not_found;
  if (const int c = check_usable(); c != 0) return c;
  Bytes value;
  if (Status s = key_value(key, stored_image(record_), &value); !s.ok()) return fail(pager_->note_failure(s));
  (void)set_key_order(key);
  const auto k = static_cast<std::uint8_t>(key);
  seq_.from_ends = false;
  seq_.inclusive = true;
  if (dup_key(key)) {
    seq_.forward = index_key(number_, k, value, record.value_or(0u));
    seq_.backward = index_key(number_, k, value, record.value_or(0xFFFF'FFFFu));
  } else {
    seq_.forward = seq_.backward = index_key(number_, k, value, std::nullopt);
  }
  return outcome::ok;
}

int Table::set_key_order_at_record(int key, std::uint32_t record) {
  Access a(*this);
  if (const int c = a.begin(AccessKind::read); c != 0) return c;
  Tree tree(*pager_);
  Bytes stored;
  Status s = record == 0 ? Status::not_found() : read_data(tree, record, &stored);
  if (s.is(Code::not_found)) return a.finish(outcome::not_found);
  if (!s.ok()) return a.abandon(s);
  Bytes value;
  if (s = key_value(key, stored, &value); !s.ok()) return a.abandon(s);
  if (const int c = a.finish(); c != 0) return c;
  (void)set_key_order(key);
  seq_.from_ends = false;
  seq_.inclusive = true;
  seq_.forward = seq_.backward = index_key(number_, static_cast<std::uint8_t>(key), value,
                                           dup_key(key) ? std::optional<std::uint32_t>(record) : std::nullopt);
  return outcome::ok;
}

Status Table::seek(Tree& tree, const Sequence& seq, bool forward, Record* found, Tree::Hint* hint) {
  if (seq.from_ends) {
    if (forward) return tree.lower_bound(seq.prefix, found);
    const Bytes above = successor(seq.prefix);
    return above.empty() ? tree.last(found) : tree.prev(above, found);
  }
  if (forward && seq.inclusive) return tree.lower_bound(seq.forward, found);
  if (forward) return hint ? tree.next(seq.forward, found, hint) : tree.next(seq.forward, found);
  if (seq.inclusive) {
    Status s = tree.find(seq.backward, found);
    if (!s.is(Code::not_found)) return s;
  }
  return tree.prev(seq.backward, found);
}

Status Table::probe(Tree& tree, const Sequence& seq, bool forward, Record* entry, std::uint32_t* record,
                    Bytes* stored, Tree::Hint* hint) {
  std::optional<Sequence> passed;  // the place after entries passed over
  for (;;) {
    const Sequence& at = passed ? *passed : seq;
    if (Status s = seek(tree, at, forward, entry, hint); !s.ok()) return s;
    if (!starts_with(entry->key(), at.prefix)) return Status::not_found();
    if (at.key < 0) {
      const auto parsed = parse_data_key(entry->key());
      if (!parsed || entry->data().size() != def_.record_length) return malformed(*pager_);
      *record = parsed->record;
      stored->assign(entry->data().begin(), entry->data().end());
      return Status::success();
    }
    if (Status s = entry_record(at.key, *entry, record); !s.ok()) return s;
    Status s = read_data(tree, *record, stored);
    if (!s.is(Code::not_found)) return s;
    // The entry's record is gone (an INDEX not yet rebuilt): pass it over.
    if (!passed) passed = seq;
    passed->from_ends = false;
    passed->forward.assign(entry->key().begin(), entry->key().end());
    passed->backward = passed->forward;
    passed->inclusive = false;
  }
}

void Table::place_after(ByteView key_part) {
  seq_.from_ends = false;
  // Assigned in place: a step of a sequence allocates nothing here.
  seq_.forward.assign(key_part.begin(), key_part.end());
  seq_.backward.assign(key_part.begin(), key_part.end());
  seq_.inclusive = false;
}

int Table::move(bool forward, const ReadRequest& how) {
  if (!seq_.active) return outcome::not_available;
  return with_retries(how, [&] {
    Access a(*this);
    if (const int c = a.begin(AccessKind::read); c != 0) return c;
    Tree tree(*pager_);
    Record entry;
    std::uint32_t record = 0;
    Bytes& stored = step_image_;  // kept, so that a step allocates nothing for it
    Status s = probe(tree, seq_, forward, &entry, &record, &stored, &seq_.hint);
    if (s.is(Code::not_found)) return a.finish(outcome::not_available);
    if (!s.ok()) return a.abandon(s);
    const int c = deliver(tree, record, stored, how);
    if (c == 0) place_after(entry.key());
    return a.finish(c);
  });
}

int Table::skip(std::int32_t count) {
  if (!seq_.active) return outcome::not_available;
  Access a(*this);
  if (const int c = a.begin(AccessKind::read); c != 0) return c;
  Tree tree(*pager_);
  const bool forward = count >= 0;
  std::int64_t left = count >= 0 ? std::int64_t{count} : -std::int64_t{count};
  int code = outcome::ok;
  while (left-- > 0) {
    Record entry;
    std::uint32_t record = 0;
    Bytes stored;
    Status s = probe(tree, seq_, forward, &entry, &record, &stored);
    if (s.is(Code::not_found)) {
      code = outcome::not_available;
      break;
    }
    if (!s.ok()) return a.abandon(s);
    place_after(entry.key());
  }
  current_ = 0;
  return a.finish(code);
}

int Table::at_end(bool forward, bool* result) {
  *result = true;
  if (!seq_.active) return outcome::ok;
  Access a(*this);
  if (const int c = a.begin(AccessKind::read); c != 0) return c;
  Tree tree(*pager_);
  Record entry;
  std::uint32_t record = 0;
  Bytes stored;
  Status s = probe(tree, seq_, forward, &entry, &record, &stored);
  if (!s.ok() && !s.is(Code::not_found)) return a.abandon(s);
  *result = !s.ok();
  return a.finish();
}

// --- Positions ---------------------------------------------------------------------------------------

int Table::position(int key, std::string* out) {
  if (const int c = check_usable(); c != 0) return c;
  if (current_ == 0) return outcome::not_available;
  Bytes text;
  if (key >= 0) {
    if (Status s = key_value(key, current_image_, &text); !s.ok()) return fail(pager_->note_failure(s));
  }
  const Bytes r = be32(current_);
  text.insert(text.end(), r.begin(), r.end());
  out->assign(text.begin(), text.end());
  return outcome::ok;
}

namespace {

// The record number a position string names, and for key order the value
// before it; false when the text is too short for the order.
bool split_position(std::string_view text, std::size_t value_length, Bytes* value, std::uint32_t* record) {
  if (text.size() < value_length + 4) return false;
  const ByteView b = view_of(text);
  value->assign(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(value_length));
  *record = get_be32(b, value_length);
  return true;
}

}  // namespace

int Table::reset(int key, std::string_view position) {
  if (const int c = check_usable(); c != 0) return c;
  const std::size_t value_length = key < 0 ? 0 : key_value_length(def_, def_.keys[static_cast<std::size_t>(key)]);
  Bytes value;
  std::uint32_t record = 0;
  if (!split_position(position, value_length, &value, &record)) return outcome::not_found;
  if (key < 0) return set_record_order_at(record);
  (void)set_key_order(key);
  seq_.from_ends = false;
  seq_.inclusive = true;
  seq_.forward = seq_.backward = index_key(number_, static_cast<std::uint8_t>(key), value,
                                           dup_key(key) ? std::optional<std::uint32_t>(record) : std::nullopt);
  return outcome::ok;
}

int Table::reget(int key, std::string_view position, const ReadRequest& how) {
  if (const int c = check_usable(); c != 0) return c;
  const std::size_t value_length = key < 0 ? 0 : key_value_length(def_, def_.keys[static_cast<std::size_t>(key)]);
  Bytes value;
  std::uint32_t record = 0;
  if (!split_position(position, value_length, &value, &record)) return outcome::not_found;
  return read_record(record, how, false);
}

// --- Counts, keys, flags ---------------------------------------------------------------------------

int Table::records(int key, std::uint32_t* count) {
  Access a(*this);
  if (const int c = a.begin(AccessKind::read); c != 0) return c;
  Tree tree(*pager_);
  Statistics st;
  Status s = read_stats(tree, key < 0 ? layout::kTagData : static_cast<std::uint8_t>(key), &st);
  if (!s.ok()) return a.abandon(s);
  *count = st.count;
  return a.finish();
}

int Table::flags(std::uint32_t* value) {
  Access a(*this);
  if (const int c = a.begin(AccessKind::read); c != 0) return c;
  Tree tree(*pager_);
  Statistics st;
  if (Status s = read_stats(tree, layout::kTagData, &st); !s.ok()) return a.abandon(s);
  *value = st.second;
  return a.finish();
}

int Table::set_flags(std::uint32_t value) {
  Access a(*this);
  if (const int c = a.begin(AccessKind::update); c != 0) return c;
  Tree tree(*pager_);
  Statistics st;
  Status s = read_stats(tree, layout::kTagData, &st);
  if (s.ok() && st.second != value) {
    st.second = value;
    s = write_stats(tree, layout::kTagData, st);
  }
  if (!s.ok()) return a.abandon(s);
  return a.finish();
}

Status Table::build_key(Tree& tree, int key, bool full, int* outcome_code) {
  const auto which = static_cast<std::uint8_t>(key);
  Statistics st;
  if (Status s = read_stats(tree, which, &st); !s.ok()) return s;
  if (!full && st.second == 0) return Status::success();
  const std::uint32_t from = full ? 0 : st.second;

  // Entries of records before the mark are sound and stay; the rest go.
  const Bytes prefix = index_prefix(number_, which);
  std::uint32_t count = 0;
  Record r;
  Status s = tree.lower_bound(prefix, &r);
  while (s.ok() && starts_with(r.key(), prefix)) {
    std::uint32_t owner = 0;
    if (s = entry_record(key, r, &owner); !s.ok()) return s;
    if (owner >= from) {
      if (s = tree.erase(r.key()); !s.ok()) return s;
    } else {
      ++count;
    }
    s = tree.next(r.key(), &r);
  }
  if (!s.ok() && !s.is(Code::not_found)) return s;

  const Bytes data = data_prefix(number_);
  s = tree.lower_bound(data_key(number_, from), &r);
  while (s.ok() && starts_with(r.key(), data)) {
    const auto parsed = parse_data_key(r.key());
    if (!parsed || r.data().size() != def_.record_length) return malformed(*pager_);
    std::optional<Record> entry;
    if (s = entry_of(key, r.data(), parsed->record, &entry); !s.ok()) return s;
    if (entry) {
      s = tree.insert(*entry);
      if (s.is(Code::exists)) {
        *outcome_code = outcome::duplicate;
        return Status::success();
      }
      if (!s.ok()) return s;
      ++count;
    }
    s = tree.next(r.key(), &r);
  }
  if (!s.ok() && !s.is(Code::not_found)) return s;
  return write_stats(tree, which, Statistics{count, 0});
}

int Table::build(int key, bool full) {
  Access a(*this);
  if (const int c = a.begin(AccessKind::update); c != 0) return c;
  Tree tree(*pager_);
  for (std::size_t k = 0; k < def_.keys.size(); ++k) {
    if (key >= 0 && static_cast<int>(k) != key) continue;
    if (skipped_key(static_cast<int>(k))) continue;
    int code = outcome::ok;
    if (Status s = build_key(tree, static_cast<int>(k), full, &code); !s.ok()) return a.abandon(s);
    // A unique key that the data no longer fits: nothing of the build stays.
    if (code != 0) return a.abandon_with(code);
  }
  return a.finish();
}

// --- Locks -------------------------------------------------------------------------------------------

int Table::release() {
  drop_hold();
  return outcome::ok;
}

int Table::lock(std::uint32_t seconds) {
  if (const int c = check_usable(); c != 0) return c;
  int tries = static_cast<int>(std::min<std::uint32_t>(seconds, 3600)) * kRetriesPerSecond;
  for (;;) {
    Status s = pager_->lock_number(number_, this);
    if (s.ok()) break;
    if (!s.is(Code::locked)) return fail(s);
    if (tries-- <= 0) return outcome::table_locked;
    std::this_thread::sleep_for(kRetryPause);
  }
  table_locked_ = true;
  return outcome::ok;
}

int Table::unlock() {
  if (table_locked_) (void)pager_->unlock_number(number_, this);
  table_locked_ = false;
  return outcome::ok;
}

}  // namespace files::kestrel
