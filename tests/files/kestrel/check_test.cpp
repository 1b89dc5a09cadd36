#include "files/kestrel/check.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "files/kestrel/format.h"
#include "files/kestrel/pager.h"
#include "files/kestrel/tree.h"
#include "platform/memory_env.h"

namespace files::kestrel {
namespace {

using namespace layout;

constexpr const char* kPath = "/people.ksf";

// What the writer below leaves out or gets wrong on purpose.
struct Damage {
  std::uint32_t skip_entry_of = 0;      // record number whose name-key entry is left out
  int data_count_delta = 0;             // added to the data records' statistics count
  bool index_key_stale_from_10 = false; // the third key is an INDEX, stale from record 10, entries left out from there
  bool memo_of_missing_record = false;
  bool counter_behind = false;          // the number counter is set back below the numbers in use
  bool blank_name_entry = false;        // record 3 gets a blank name, yet keeps its (OPT) name-key entry
  bool stray_records = false;           // records of a table number without a name, and of no known kind
};

// A table PEOPLE (LONG id, STRING(10) name, a text memo) with a unique key
// on id, a NOCASE key with duplicates on name and an INDEX on name, written
// record by record through the tree as a careful table layer would.
class CheckTest : public ::testing::Test {
 protected:
  static Definition people() {
    Definition def;
    def.record_length = 14;
    FieldDef id;
    id.type = 6;
    id.offset = 0;
    id.name = "PEO:ID";
    id.length = 4;
    FieldDef name;
    name.type = 18;
    name.offset = 4;
    name.name = "PEO:NAME";
    name.length = 10;
    name.string_length = 10;
    def.fields = {id, name};
    MemoDef notes;
    notes.name = "PEO:NOTES";
    notes.length = 2000;
    def.memos = {notes};
    KeyDef by_id{std::nullopt, "PEO:IDKEY", kKeyFlagPrimary, {{0, 0}}};
    KeyDef by_name{std::nullopt, "PEO:NAMEKEY", kKeyFlagDup | kKeyFlagNocase | kKeyFlagOpt, {{1, 0}}};
    KeyDef index{std::nullopt, "PEO:NAMEINDEX", kKeyFlagIndex, {{1, 1}}};
    def.keys = {by_id, by_name, index};
    return def;
  }

  static Bytes image(std::uint32_t id) {
    Bytes b(14, ' ');
    put_le32(b.data(), id);
    const std::string name = "Name" + std::to_string(id % 37);
    std::copy(name.begin(), name.end(), b.begin() + 4);
    return b;
  }

  Status write(int records, const Damage& damage = {}, OpenOptions options = {}) {
    options.truncate = true;
    std::shared_ptr<Pager> pager;
    if (Status s = Pager::open(&env_, kPath, options, &pager); !s.ok()) return s;
    if (Status s = pager->begin_access(AccessKind::update, true); !s.ok()) return s;
    Tree tree(*pager);
    const Definition def = people();
    const runtime::CharTables tables = runtime::CharTables::defaults();
    const Collation collation{&tables, false};
    std::uint32_t t = 0;
    Status s = tree.next_number(&t);
    auto insert = [&](const Record& r) {
      if (s.ok()) s = tree.insert(r);
    };
    insert(table_name_record("PEOPLE", t));
    std::vector<Record> blocks;
    if (s.ok()) s = definition_records(t, encode_definition(def), &blocks);
    for (const Record& r : blocks) insert(r);
    insert(extra_record(t, false, tables));
    std::uint32_t entries[3] = {0, 0, 0};
    std::uint32_t last = 0;
    for (int i = 0; i < records && s.ok(); ++i) {
      std::uint32_t r = 0;
      s = tree.next_number(&r);
      last = r;
      Bytes img = image(r);
      if (damage.blank_name_entry && r == 3) std::fill(img.begin() + 4, img.end(), ' ');
      insert(data_record(t, r, img));
      for (std::uint8_t k = 0; k < 3; ++k) {
        if (k == 1 && r == damage.skip_entry_of) continue;
        if (k == 2 && damage.index_key_stale_from_10 && r >= 10) continue;
        Bytes value;
        if (s.ok()) s = encode_key_value(def, def.keys[k], damage.blank_name_entry && r == 3 ? image(r) : img, collation, &value);
        insert(index_entry(t, k, value, r, k != 0));
        ++entries[k];
      }
      if (r % 3 == 0) {
        std::vector<Record> segments;
        const std::string text(r % 700, static_cast<char>('a' + r % 26));
        if (s.ok()) s = memo_segments(t, r, 0, view_of(text), false, &segments);
        for (const Record& seg : segments) insert(seg);
      }
    }
    if (damage.memo_of_missing_record) {
      std::vector<Record> segments;
      if (s.ok()) s = memo_segments(t, last + 1000, 0, view_of(std::string("orphan")), false, &segments);
      for (const Record& seg : segments) insert(seg);
    }
    insert(statistics_record(t, kTagData, static_cast<std::uint32_t>(records + damage.data_count_delta), 0));
    insert(statistics_record(t, 0, entries[0], 0));
    insert(statistics_record(t, 1, entries[1], 0));
    insert(statistics_record(t, 2, entries[2], damage.index_key_stale_from_10 ? 10 : 0));
    if (damage.stray_records) {
      insert(statistics_record(t + 500, kTagData, 0, 0));
      insert(Record::make(view_of(std::string("\x01\x02", 2)), view_of(std::string("x"))));
    }
    if (s.ok() && damage.counter_behind) pager->set_number_counter({0, 0, 0, 2});
    if (!s.ok()) {
      pager->abandon_access();
      return s;
    }
    return pager->end_access();
  }

  // A second, empty table EXTRA, written as far as the journal: a crash
  // between the two passes of its flush.
  void pend_extra_table() {
    std::shared_ptr<Pager> pager;
    ASSERT_TRUE(Pager::open(&env_, kPath, OpenOptions{}, &pager).ok());
    pager->hold_flushes(true);
    ASSERT_TRUE(pager->begin_access(AccessKind::update, true).ok());
    Tree tree(*pager);
    std::uint32_t t = 0;
    ASSERT_TRUE(tree.next_number(&t).ok());
    Definition def = people();
    def.keys.clear();
    def.memos.clear();
    std::vector<Record> records{table_name_record("EXTRA", t), extra_record(t, false, runtime::CharTables::defaults()),
                                statistics_record(t, kTagData, 0, 0)};
    std::vector<Record> blocks;
    ASSERT_TRUE(definition_records(t, encode_definition(def), &blocks).ok());
    records.insert(records.end(), blocks.begin(), blocks.end());
    for (const Record& r : records) ASSERT_TRUE(tree.insert(r).ok());
    ASSERT_TRUE(pager->end_access().ok());
    ASSERT_TRUE(pager->journal_pass().ok());
  }

  // What the engine makes of the file: the records a reader sees (or its
  // failure), and the same for an updater that first resolves the journal.
  Status engine_reads(AccessKind kind, std::size_t* records) {
    std::shared_ptr<Pager> pager;
    OpenOptions options;
    options.writable = kind == AccessKind::update;
    Status s = Pager::open(&env_, kPath, options, &pager);
    if (s.ok()) s = pager->begin_access(kind, true);
    if (!s.ok()) return s;
    Tree tree(*pager);
    Tree::Shape shape;
    s = tree.check(&shape);
    *records = shape.records;
    if (s.ok()) s = pager->end_access();
    return s;
  }

  std::string bytes() {
    std::string b;
    EXPECT_TRUE(env_.read_file(kPath, &b));
    return b;
  }
  CheckReport check(const std::optional<std::string>& password = std::nullopt) {
    return check_file(&env_, kPath, password);
  }

  // The file offset and stored size of the first page found in the block
  // tables that satisfies `want`.
  bool find_page(const std::function<bool(const PageHeaderFields&)>& want, std::size_t* offset,
                 PageHeaderFields* fields) {
    const std::string b = bytes();
    Header h;
    if (!decode_header(view_of(b), &h).ok()) return false;
    for (std::size_t i = 1; i <= kMaxClass; ++i) {
      for (std::uint32_t p = h.block_start[i]; p < h.block_end[i]; p += static_cast<std::uint32_t>(i)) {
        auto f = peek_page_header(view_of(b).subspan(page_offset(p), i * kPageUnit));
        if (f && want(*f)) {
          *offset = page_offset(p);
          *fields = *f;
          return true;
        }
      }
    }
    return false;
  }

  void patch(std::size_t at, std::uint8_t value) {
    std::string b = bytes();
    b[at] = static_cast<char>(value);
    ASSERT_TRUE(env_.write_file(kPath, b).ok());
  }

  static bool mentions(const CheckReport& r, const std::string& what) {
    for (const std::string& f : r.faults) {
      if (f.find(what) != std::string::npos) return true;
    }
    return false;
  }
  static std::string all(const CheckReport& r) {
    std::string s;
    for (const std::string& f : r.faults) s += f + "\n";
    return s;
  }

  platform::MemoryEnv env_;
};

TEST_F(CheckTest, SoundFilesHaveNoFaults) {
  ASSERT_TRUE(write(2000).ok());
  CheckReport r = check();
  EXPECT_TRUE(r.clean()) << all(r);
  EXPECT_GT(r.pages, 3u);  // inner pages and several leaves
  EXPECT_EQ(r.tables, std::vector<std::string>{"PEOPLE"});
  EXPECT_TRUE(r.notes.empty());
}

TEST_F(CheckTest, EmptyAndNewFilesAreNotFaulty) {
  ASSERT_TRUE(env_.write_file(kPath, "").ok());
  CheckReport r = check();
  EXPECT_TRUE(r.clean());
  EXPECT_EQ(r.notes.size(), 1u);
  ASSERT_TRUE(write(0).ok());
  r = check();
  EXPECT_TRUE(r.clean()) << all(r);
}

TEST_F(CheckTest, CheckLeavesEveryByteAsItWas) {
  ASSERT_TRUE(write(300).ok());
  const std::string before = bytes();
  (void)check();
  EXPECT_EQ(bytes(), before);
  patch(600, 0x77);
  const std::string damaged = bytes();
  (void)check();
  EXPECT_EQ(bytes(), damaged);
}

TEST_F(CheckTest, MissingFileIsUnreadableNotFaulty) {
  CheckReport r = check();
  EXPECT_FALSE(r.readable);
  EXPECT_EQ(r.system_error, 2);
}

TEST_F(CheckTest, ForeignOrShortHeaderIsAFault) {
  ASSERT_TRUE(env_.write_file(kPath, std::string(512, 'x')).ok());
  CheckReport r = check();
  EXPECT_TRUE(r.readable);
  EXPECT_TRUE(mentions(r, "magic")) << all(r);
  ASSERT_TRUE(env_.write_file(kPath, "kEsT").ok());
  EXPECT_TRUE(mentions(check(), "fewer than the 512"));
}

TEST_F(CheckTest, EveryByteOfAPageHeaderIsChecked) {
  ASSERT_TRUE(write(400).ok());
  std::size_t at = 0;
  PageHeaderFields f;
  ASSERT_TRUE(find_page([](const PageHeaderFields& p) { return p.level == 0 && p.record_count > 5; }, &at, &f));
  const std::string good = bytes();
  for (std::size_t i = 0; i < kPageHeaderSize; ++i) {
    ASSERT_TRUE(env_.write_file(kPath, good).ok());
    patch(at + i, static_cast<std::uint8_t>(good[at + i] ^ 0x01));
    CheckReport r = check();
    EXPECT_GT(r.fault_count, 0u) << "byte " << i;
    EXPECT_TRUE(mentions(r, "page ")) << "byte " << i << "\n" << all(r);
  }
}

TEST_F(CheckTest, BadPaddingIsAFault) {
  ASSERT_TRUE(write(400).ok());
  std::size_t at = 0;
  PageHeaderFields f;
  ASSERT_TRUE(find_page([](const PageHeaderFields& p) { return p.stored_size % kPageUnit != 0; }, &at, &f));
  patch(at + round_to_unit(f.stored_size) - 1, 0x00);
  CheckReport r = check();
  EXPECT_EQ(r.fault_count, 1u) << all(r);
  EXPECT_TRUE(mentions(r, "padding")) << all(r);
}

TEST_F(CheckTest, KeyOutOfOrderInALeafIsAFault) {
  ASSERT_TRUE(write(400).ok());
  std::size_t at = 0;
  PageHeaderFields f;
  // An uncompressed leaf: its first record's key part starts right after
  // the flag byte and the two lengths.
  ASSERT_TRUE(find_page([](const PageHeaderFields& p) { return p.level == 0 && p.stored_size == p.unpacked_size; },
                        &at, &f));
  patch(at + kPageHeaderSize + 5, 0xEE);  // the table number's first byte
  CheckReport r = check();
  EXPECT_GT(r.fault_count, 0u);
  EXPECT_TRUE(mentions(r, "sort")) << all(r);
}

TEST_F(CheckTest, WrongStatisticsCountIsAFault) {
  ASSERT_TRUE(write(50, Damage{.data_count_delta = 1}).ok());
  CheckReport r = check();
  EXPECT_EQ(r.fault_count, 1u) << all(r);
  EXPECT_TRUE(mentions(r, "statistics count 51 data records, the file holds 50")) << all(r);
}

TEST_F(CheckTest, MissingIndexEntryIsFoundAndCounted) {
  ASSERT_TRUE(write(50, Damage{.skip_entry_of = 7}).ok());
  CheckReport r = check();
  EXPECT_TRUE(mentions(r, "record 7 has no entry in key PEO:NAMEKEY")) << all(r);
  // The writer counted the entries it wrote, so the counts agree.
  EXPECT_EQ(r.fault_count, 1u) << all(r);
}

TEST_F(CheckTest, EntriesFromTheStaleMarkOnMayBeMissing) {
  ASSERT_TRUE(write(50, Damage{.index_key_stale_from_10 = true}).ok());
  CheckReport r = check();
  EXPECT_TRUE(r.clean()) << all(r);
}

TEST_F(CheckTest, EntryHoldingAnotherValueIsAFault) {
  ASSERT_TRUE(write(30).ok());
  // Change record 5's name in place, leaving its entries as they were.
  std::shared_ptr<Pager> pager;
  ASSERT_TRUE(Pager::open(&env_, kPath, OpenOptions{}, &pager).ok());
  ASSERT_TRUE(pager->begin_access(AccessKind::update, true).ok());
  Tree tree(*pager);
  Bytes img = image(5);
  img[4] = 'Q';
  ASSERT_TRUE(tree.replace(data_record(1, 5, img)).ok());
  ASSERT_TRUE(pager->end_access().ok());
  pager.reset();
  CheckReport r = check();
  EXPECT_TRUE(mentions(r, "the entry of key PEO:NAMEKEY for record 5 does not hold the record's value")) << all(r);
  EXPECT_TRUE(mentions(r, "the entry of key PEO:NAMEINDEX for record 5")) << all(r);
  EXPECT_EQ(r.fault_count, 2u) << all(r);
}

TEST_F(CheckTest, EntryOfABlankOptRecordAndStrayRecordsAreFaults) {
  ASSERT_TRUE(write(20, Damage{.blank_name_entry = true, .stray_records = true}).ok());
  CheckReport r = check();
  EXPECT_TRUE(mentions(r, "record 3 is blank in OPT key PEO:NAMEKEY but has an entry")) << all(r);
  EXPECT_TRUE(mentions(r, "table number 501: records without a name record")) << all(r);
  EXPECT_TRUE(mentions(r, "record \\x01\\x02: a key part of no known kind")) << all(r);
}

TEST_F(CheckTest, MemoOfAMissingRecordAndAStaleCounterAreFaults) {
  ASSERT_TRUE(write(20, Damage{.memo_of_missing_record = true}).ok());
  CheckReport r = check();
  EXPECT_TRUE(mentions(r, "segments of a record that does not exist")) << all(r);
  ASSERT_TRUE(write(20, Damage{.counter_behind = true}).ok());
  r = check();
  EXPECT_TRUE(mentions(r, "number counter 2 is below number 21")) << all(r);
}

TEST_F(CheckTest, PendingJournalIsReadThroughAndATornOneIgnored) {
  ASSERT_TRUE(write(200).ok());
  pend_extra_table();
  CheckReport r = check();
  EXPECT_TRUE(r.clean()) << all(r);
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_NE(r.notes[0].find("complete journal"), std::string::npos);
  EXPECT_EQ(r.tables, (std::vector<std::string>{"EXTRA", "PEOPLE"}));

  std::string b = bytes();
  Header h;
  ASSERT_TRUE(decode_header(view_of(b), &h).ok());
  ASSERT_NE(h.committed_end, h.journal_end);
  b.resize(h.journal_end - kPageUnit);  // the header copy is lost
  ASSERT_TRUE(env_.write_file(kPath, b).ok());
  r = check();
  EXPECT_TRUE(r.clean()) << all(r);
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_NE(r.notes[0].find("torn journal"), std::string::npos);
  EXPECT_EQ(r.tables, std::vector<std::string>{"PEOPLE"});
}

// Damage under a pending journal: whenever the checker finds no fault, a
// reader and an updater read the file, and the same records. Damaged block
// tables in the header at offset 0 are no fault while the journal stands:
// its header copy replaces that header, and the updater does so.
TEST_F(CheckTest, CheckJudgesAPendingJournalAsReadersAndUpdatersDo) {
  ASSERT_TRUE(write(120).ok());
  pend_extra_table();
  const std::string pending = bytes();
  Header h;
  ASSERT_TRUE(decode_header(view_of(pending), &h).ok());
  std::uint32_t seed = 99;
  int clean = 0;
  for (int m = 0; m < 80; ++m) {
    std::string b = pending;
    seed = seed * 1103515245u + 12345u;
    // Mostly the header's block tables, and some anywhere in the journal.
    const std::size_t at = m % 4 != 3 ? kHdrBlockStart + (seed >> 8) % (kHeaderSize - kHdrBlockStart)
                                      : h.committed_end + (seed >> 8) % (h.journal_end - h.committed_end);
    b[at] = static_cast<char>(b[at] ^ (1 + (seed >> 24) % 255));
    ASSERT_TRUE(env_.write_file(kPath, b).ok());
    const CheckReport r = check();
    if (!r.clean()) continue;
    ++clean;
    std::size_t seen = 0, updated = 0, after = 0;
    EXPECT_TRUE(engine_reads(AccessKind::read, &seen).ok()) << "byte " << at;
    EXPECT_TRUE(engine_reads(AccessKind::update, &updated).ok()) << "byte " << at;
    EXPECT_TRUE(engine_reads(AccessKind::read, &after).ok()) << "byte " << at;
    EXPECT_EQ(seen, updated) << "byte " << at;
    EXPECT_EQ(seen, after) << "byte " << at;
    if (at < kHeaderSize) {
      EXPECT_TRUE(check().notes.empty()) << "byte " << at << ": the journal was replayed";
    }
  }
  EXPECT_GT(clean, 50);
}

// Pages packed otherwise than the writer packs them are read alike, so they
// are warnings: a page left uncompressed, a run cut in two, a body packed
// although that saves nothing.
TEST_F(CheckTest, PackingTheWriterNeverMakesIsAWarning) {
  ASSERT_TRUE(write(0).ok());  // one page, the root, compressed
  const std::string good = bytes();
  Header h;
  ASSERT_TRUE(decode_header(view_of(good), &h).ok());
  const std::uint32_t root = h.root;
  const std::size_t cls = block_of(h, root);
  const std::size_t at = page_offset(root);
  const auto f = peek_page_header(view_of(good).subspan(at, cls * kPageUnit));
  ASSERT_TRUE(f && f->level == 0 && f->stored_size < f->unpacked_size);
  Bytes body;
  ASSERT_TRUE(rle_decompress(view_of(good).subspan(at + kPageHeaderSize, f->stored_size - kPageHeaderSize),
                             f->unpacked_size - kPageHeaderSize, &body).ok());
  const Bytes packed = *rle_compress(body);
  // The first run written as two: its repeat count one less, then a skip of
  // one with the run's byte, then a repeat of none.
  const std::size_t skip = packed[0];
  ASSERT_TRUE(skip < 0x80 && packed[1 + skip] >= 2 && packed[1 + skip] < 0x80);
  Bytes split(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(1 + skip));
  split.insert(split.end(), {static_cast<std::uint8_t>(packed[1 + skip] - 1), 1, packed[skip], 0});
  split.insert(split.end(), packed.begin() + static_cast<std::ptrdiff_t>(2 + skip), packed.end());
  // A small body whose packing saves no unit: one record, 0xFF and 20 a.
  Bytes tiny{0x80 | 0x40, 21, 0, 21, 0, 0xFF};
  tiny.resize(tiny.size() + 20, 'a');
  const Bytes tiny_packed = *rle_compress(tiny);

  // The root page rewritten with `stored` as its stored body and
  // `unpacked` as what it expands to, in the block of its new size.
  const auto rewrite = [&](const Bytes& unpacked, const Bytes& stored) {
    const std::size_t size = kPageHeaderSize + stored.size();
    const std::size_t units = round_to_unit(size) / kPageUnit;
    std::string b = good.substr(0, at);
    Bytes page(units * kPageUnit, kPadByte);
    std::copy_n(good.begin() + static_cast<std::ptrdiff_t>(at), kPageHeaderSize, page.begin());
    put_le16(page.data() + kPgStoredSize, static_cast<std::uint16_t>(size));
    put_le16(page.data() + kPgUnpackedSize, static_cast<std::uint16_t>(kPageHeaderSize + unpacked.size()));
    if (&unpacked == &tiny) {
      put_le16(page.data() + kPgSizeBound, static_cast<std::uint16_t>(kPageHeaderSize + 21 + kBoundPerRecord));
      put_le16(page.data() + kPgRecordCount, 1);
    }
    std::copy(stored.begin(), stored.end(), page.begin() + kPageHeaderSize);
    b.append(page.begin(), page.end());
    Header moved = h;
    moved.block_start[cls] = moved.block_end[cls] = cls == 1 ? 0 : root;
    moved.block_start[units] = root;
    moved.block_end[units] = root + static_cast<std::uint32_t>(units);
    moved.committed_end = moved.journal_end = end_of_data(moved);
    const HeaderBytes header = encode_header(moved);
    std::copy(header.begin(), header.end(), b.begin());
    ASSERT_TRUE(env_.write_file(kPath, b).ok());
  };
  struct Case {
    const Bytes& unpacked;
    const Bytes& stored;
    const char* warning;
  };
  for (const Case& c : {Case{body, packed, nullptr}, Case{body, body, "stored uncompressed"},
                        Case{body, split, "not the canonical one"}, Case{tiny, tiny, nullptr},
                        Case{tiny, tiny_packed, "saves no 256-byte unit"}}) {
    rewrite(c.unpacked, c.stored);
    const CheckReport r = check();
    if (&c.unpacked == &tiny) {
      // Not a sound table any more, but the page itself is all that counts here.
      EXPECT_FALSE(mentions(r, "page ")) << all(r);
    } else {
      EXPECT_TRUE(r.clean()) << all(r);
    }
    ASSERT_EQ(r.warning_count, c.warning ? 1u : 0u) << (c.warning ? c.warning : "canonical");
    if (c.warning) {
      EXPECT_NE(r.warnings[0].find(c.warning), std::string::npos) << r.warnings[0];
    }
  }
}

TEST_F(CheckTest, EncipheredFileNeedsItsPassword) {
  OpenOptions options;
  options.password = "Secret";
  ASSERT_TRUE(write(100, {}, options).ok());
  EXPECT_TRUE(check("Secret").clean()) << all(check("Secret"));
  CheckReport wrong = check("secret");
  EXPECT_TRUE(mentions(wrong, "another owner password")) << all(wrong);
  EXPECT_TRUE(mentions(check(), "give its owner password"));
}

TEST_F(CheckTest, PlainFileCheckedWithAPasswordSaysSo) {
  ASSERT_TRUE(write(5).ok());
  EXPECT_TRUE(mentions(check("pw"), "not enciphered"));
}

TEST_F(CheckTest, ReaderIsRefusedWhileAnOpenerDeniesReading) {
  ASSERT_TRUE(write(5).ok());
  std::shared_ptr<Pager> owner;
  OpenOptions exclusive;
  exclusive.sharing = Sharing::deny_all;
  ASSERT_TRUE(Pager::open(&env_, kPath, exclusive, &owner).ok());
  CheckReport r = check();
  EXPECT_FALSE(r.readable);
  EXPECT_EQ(r.system_error, 5);
  owner.reset();
  EXPECT_TRUE(check().clean());
}

TEST_F(CheckTest, ArbitraryDamageNeverCrashes) {
  ASSERT_TRUE(write(120).ok());
  const std::string good = bytes();
  std::uint32_t seed = 12345;
  for (int round = 0; round < 60; ++round) {
    std::string b = good;
    for (int flips = 0; flips < 1 + round % 5; ++flips) {
      seed = seed * 1103515245u + 12345u;
      b[(seed >> 8) % b.size()] = static_cast<char>(seed >> 24);
    }
    ASSERT_TRUE(env_.write_file(kPath, b).ok());
    CheckReport r = check();
    EXPECT_TRUE(r.readable);
  }
}

}  // namespace
}  // namespace files::kestrel
