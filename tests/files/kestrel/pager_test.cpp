#include "files/kestrel/pager.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "files/kestrel/tree.h"
#include "platform/fault_env.h"
#include "platform/memory_env.h"

namespace files::kestrel {
namespace {

using namespace layout;
using Model = std::map<std::string, std::string>;

const std::string kPath = "/data.ksf";

std::string to_string(ByteView b) { return std::string(b.begin(), b.end()); }
Record rec(const std::string& key, const std::string& data) { return Record::make(view_of(key), view_of(data)); }

std::shared_ptr<Pager> open_file(platform::Env* env, const OpenOptions& options = {}) {
  std::shared_ptr<Pager> p;
  EXPECT_TRUE(Pager::open(env, kPath, options, &p).ok());
  return p;
}

template <class F>
Status in_access(Pager& p, AccessKind kind, F f, bool wait = true) {
  if (Status s = p.begin_access(kind, wait); !s.ok()) return s;
  Tree tree(p);
  Status s = f(tree);
  Status e = p.end_access();
  return s.ok() ? e : s;
}

Status put(Pager& p, const std::string& k, const std::string& d) {
  return in_access(p, AccessKind::update, [&](Tree& t) { return t.insert(rec(k, d)); });
}

Status scan(Pager& p, Model* out, AccessKind kind = AccessKind::read) {
  out->clear();
  return in_access(p, kind, [&](Tree& t) {
    Tree::Shape shape;
    if (Status s = t.check(&shape); !s.ok()) return s;
    Record r;
    Status s = t.first(&r);
    while (s.ok()) {
      (*out)[to_string(r.key())] = to_string(r.data());
      s = t.next(r.key(), &r);
    }
    return s.is(Code::not_found) ? Status::success() : s;
  });
}

Model contents(Pager& p, AccessKind kind = AccessKind::read) {
  Model m;
  EXPECT_TRUE(scan(p, &m, kind).ok());
  return m;
}

Header raw_header(platform::MemoryEnv& mem) {
  std::string bytes;
  Header h;
  EXPECT_TRUE(mem.read_file(kPath, &bytes));
  EXPECT_TRUE(decode_header(view_of(bytes), &h).ok());
  return h;
}

// A file of a few hundred records over two levels, and one update access
// that inserts, deletes and resizes enough to move pages between blocks.
Model fill_baseline(Pager& p) {
  Model m;
  EXPECT_TRUE(in_access(p, AccessKind::update, [&](Tree& t) {
                for (int i = 0; i < 300; ++i) {
                  const std::string k = "rec" + std::to_string(1000 + i);
                  m[k] = std::string(static_cast<std::size_t>(i * 37 % 200), static_cast<char>('a' + i % 26));
                  if (Status s = t.insert(rec(k, m[k])); !s.ok()) return s;
                }
                return Status::success();
              }).ok());
  return m;
}

Status workload(Pager& p, Model* m) {
  return in_access(p, AccessKind::update, [&](Tree& t) {
    for (int i = 0; i < 40; ++i) {
      const std::string k = "new" + std::to_string(i);
      (*m)[k] = std::string(static_cast<std::size_t>(20 + i * 11), 'n');
      if (Status s = t.insert(rec(k, (*m)[k])); !s.ok()) return s;
    }
    for (int i = 0; i < 300; i += 7) {
      const std::string k = "rec" + std::to_string(1000 + i);
      m->erase(k);
      if (Status s = t.erase(view_of(k)); !s.ok()) return s;
    }
    for (int i = 3; i < 300; i += 11) {
      const std::string k = "rec" + std::to_string(1000 + i);
      if (!m->count(k)) continue;
      (*m)[k] = std::string(static_cast<std::size_t>(300 - i), 'R');
      if (Status s = t.replace(rec(k, (*m)[k])); !s.ok()) return s;
    }
    return Status::success();
  });
}

// --- Opening and the file's life ----------------------------------------------------------

TEST(FileTest, MissingFileIsMadeEmptyAndGetsAHeaderAtTheFirstFlush) {
  platform::MemoryEnv mem;
  auto p = open_file(&mem);
  std::string bytes;
  ASSERT_TRUE(mem.read_file(kPath, &bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_TRUE(contents(*p).empty());
  ASSERT_TRUE(put(*p, "k", "v").ok());
  const Header h = raw_header(mem);
  EXPECT_EQ(h.committed_end, h.journal_end);
  EXPECT_EQ(h.committed_end, end_of_data(h));
  EXPECT_NE(h.root, kNoRoot);
  EXPECT_EQ(h.change_counter, 3u);  // 1 when first used, +1 journal, +1 commit
  p.reset();
  p = open_file(&mem);
  EXPECT_EQ(contents(*p), (Model{{"k", "v"}}));
  OpenOptions create;
  create.truncate = true;
  p = open_file(&mem, create);
  EXPECT_TRUE(contents(*p).empty());
}

TEST(FileTest, ShortOrForeignHeaderIsInvalid) {
  platform::MemoryEnv mem;
  ASSERT_TRUE(mem.write_file(kPath, std::string(100, 'x')).ok());
  auto p = open_file(&mem);
  EXPECT_EQ(p->begin_access(AccessKind::read, true), Status::invalid_file());
  ASSERT_TRUE(mem.write_file(kPath, std::string(512, 'x')).ok());
  EXPECT_EQ(p->begin_access(AccessKind::read, true), Status::invalid_file());
}

TEST(FileTest, EncipheredFileNeedsItsPassword) {
  platform::MemoryEnv mem;
  OpenOptions secret;
  secret.password = "swordfish";
  auto p = open_file(&mem, secret);
  ASSERT_TRUE(put(*p, "plainkey", std::string(300, 'q')).ok());
  p.reset();
  std::string bytes;
  ASSERT_TRUE(mem.read_file(kPath, &bytes));
  EXPECT_EQ(bytes.find("plainkey"), std::string::npos);
  EXPECT_EQ(bytes.find("kEsT"), std::string::npos);
  p = open_file(&mem, secret);
  EXPECT_EQ(contents(*p), (Model{{"plainkey", std::string(300, 'q')}}));
  p = open_file(&mem);
  EXPECT_EQ(p->begin_access(AccessKind::read, true), Status::invalid_file());
}

TEST(FileTest, DamagedPageIsInternalErrorUntilClosed) {
  platform::MemoryEnv mem;
  auto p = open_file(&mem);
  fill_baseline(*p);
  std::string bytes;
  ASSERT_TRUE(mem.read_file(kPath, &bytes));
  const Header h = raw_header(mem);
  bytes[page_offset(h.root) + kPgRecordCount] ^= 0x40;
  ASSERT_TRUE(mem.write_file(kPath, bytes).ok());
  p = open_file(&mem);
  Model m;
  const Status s = scan(*p, &m);
  EXPECT_TRUE(s.is_internal()) << s.describe();
  EXPECT_EQ(p->begin_access(AccessKind::read, true), s);
  EXPECT_EQ(p->failure(), s);
}

TEST(FileTest, RegistrySharesOneObjectPerPath) {
  platform::MemoryEnv mem;
  FileRegistry registry;
  std::shared_ptr<Pager> a, b, c;
  OpenOptions read_only;
  read_only.writable = false;
  ASSERT_TRUE(registry.open(&mem, kPath, read_only, &a).ok());
  ASSERT_TRUE(registry.open(&mem, "/./data.ksf", read_only, &b).ok());
  EXPECT_EQ(a, b);
  EXPECT_EQ(registry.open(&mem, kPath, OpenOptions{}, &c), Status::io_error(5));
  a.reset();
  b.reset();
  EXPECT_EQ(registry.open_files(), 0u);
  EXPECT_TRUE(registry.open(&mem, kPath, OpenOptions{}, &c).ok());
}

TEST(FileTest, CacheStaysWithinItsBound) {
  platform::MemoryEnv mem;
  OpenOptions small;
  small.cache_pages = 8;
  auto p = open_file(&mem, small);
  const Model m = fill_baseline(*p);
  EXPECT_EQ(contents(*p), m);
  EXPECT_LE(p->cached_pages(), 8u);
  EXPECT_GT(p->stats().evictions, 0u);
}

// Leaves met by a lookup are cached as stored. Such pages must come out
// right when they are then changed (decoded on demand), moved by a flush
// that compacts their block, or freed.
TEST(FileTest, LeavesCachedAsStoredSurviveChangesAndMoves) {
  platform::MemoryEnv mem;
  // Leaves of one size class, so that freeing the first ones moves the
  // last ones of the block into their places.
  Model m;
  auto data_of = [](int i) {
    std::string d;
    for (int c = 0; c < 30; ++c) d += static_cast<char>('a' + (i * 7 + c * 3) % 26);
    return d;
  };
  {
    auto p = open_file(&mem);
    ASSERT_TRUE(in_access(*p, AccessKind::update, [&](Tree& t) {
                  for (int i = 0; i < 2000; ++i) {
                    const std::string k = "r" + std::to_string(10000 + i);
                    m[k] = data_of(i);
                    if (Status s = t.insert(rec(k, m[k])); !s.ok()) return s;
                  }
                  return Status::success();
                }).ok());
  }
  OpenOptions big;
  big.cache_pages = 10000;
  auto find_all = [&](Tree& t, const Model& want) -> Status {
    for (const auto& [k, d] : want) {
      Record r;
      if (Status s = t.find(view_of(k), &r); !s.ok()) return s;
      if (to_string(r.data()) != d) return Status::corruption(1);
    }
    Record r;
    return t.find(view_of("r0999"), &r).is(Code::not_found) ? Status::success() : Status::corruption(2);
  };
  auto p = open_file(&mem, big);
  ASSERT_TRUE(in_access(*p, AccessKind::read, [&](Tree& t) { return find_all(t, m); }).ok());
  const std::uint64_t reads = p->stats().page_reads;
  ASSERT_TRUE(in_access(*p, AccessKind::read, [&](Tree& t) { return find_all(t, m); }).ok());
  EXPECT_EQ(p->stats().page_reads, reads);  // the stored leaves were kept (and are decoded now)
  p.reset();
  p = open_file(&mem, big);  // a cold cache again: the leaves below are met once, as stored
  ASSERT_TRUE(in_access(*p, AccessKind::update, [&](Tree& t) {
                // One lookup a leaf at most (a second one decodes it).
                int n = 0;
                for (const auto& [k, d] : m) {
                  Record r;
                  if (n++ % 150 != 0) continue;
                  if (Status s = t.find(view_of(k), &r); !s.ok()) return s;
                }
                // The first leaves go; the leaves after them are only
                // looked at, so they stay stored, and those at the end
                // of their block move into the holes.
                n = 0;
                for (auto it = m.begin(); it != m.end(); ++n) {
                  if (n < 600) {
                    if (Status s = t.erase(view_of(it->first)); !s.ok()) return s;
                    it = m.erase(it);
                  } else if (n == 1000) {
                    it->second = "changed";
                    if (Status s = t.replace(rec(it->first, it->second)); !s.ok()) return s;
                    ++it;
                  } else {
                    ++it;
                  }
                }
                return Status::success();
              }).ok());
  ASSERT_TRUE(in_access(*p, AccessKind::read, [&](Tree& t) { return find_all(t, m); }).ok());
  EXPECT_EQ(contents(*p), m);
  p.reset();
  auto fresh = open_file(&mem);
  EXPECT_EQ(contents(*fresh), m);
}

// --- Journal ---------------------------------------------------------------------------------

class JournalTest : public ::testing::Test {
 protected:
  // Leaves the file with a durable, pending journal: the process "dies"
  // between the passes.
  void crash_between_passes() {
    (void)mem_.remove(kPath);
    {
      auto p = open_file(&mem_);
      old_ = fill_baseline(*p);
    }
    platform::FaultEnv faults(&mem_);
    auto p = open_file(&faults);
    new_ = old_;
    p->hold_flushes(true);
    ASSERT_TRUE(workload(*p, &new_).ok());
    ASSERT_TRUE(p->journal_pass().ok());
    ASSERT_TRUE(faults.power_cut(platform::PowerCut::drop_unsynced).ok());
    const Header h = raw_header(mem_);
    ASSERT_NE(h.committed_end, h.journal_end);
  }

  platform::MemoryEnv mem_;
  Model old_, new_;
};

TEST_F(JournalTest, PowerCutBetweenPassesIsReplayedByNextUpdater) {
  crash_between_passes();
  auto p = open_file(&mem_);
  EXPECT_EQ(contents(*p), new_);  // a reader reads the copies ...
  EXPECT_NE(raw_header(mem_).committed_end, raw_header(mem_).journal_end);  // ... and leaves them
  EXPECT_EQ(contents(*p, AccessKind::update), new_);
  EXPECT_EQ(p->stats().replays, 1u);
  const Header h = raw_header(mem_);
  EXPECT_EQ(h.committed_end, h.journal_end);
  p = open_file(&mem_);
  EXPECT_EQ(contents(*p), new_);
}

TEST_F(JournalTest, TornJournalIsDiscardedAndOldStateRemains) {
  crash_between_passes();
  std::string bytes;
  ASSERT_TRUE(mem_.read_file(kPath, &bytes));
  bytes[raw_header(mem_).committed_end + 40] ^= 0x5A;  // inside the first copy
  ASSERT_TRUE(mem_.write_file(kPath, bytes).ok());
  auto p = open_file(&mem_);
  EXPECT_EQ(contents(*p), old_);
  EXPECT_EQ(contents(*p, AccessKind::update), old_);
  EXPECT_EQ(p->stats().discards, 1u);
  const Header h = raw_header(mem_);
  EXPECT_EQ(h.committed_end, h.journal_end);

  // A journal cut short is torn too.
  crash_between_passes();
  ASSERT_TRUE(mem_.read_file(kPath, &bytes));
  bytes.resize(raw_header(mem_).journal_end - 100);
  ASSERT_TRUE(mem_.write_file(kPath, bytes).ok());
  p = open_file(&mem_);
  EXPECT_EQ(contents(*p, AccessKind::update), old_);

  // So is one whose header copy is missing: the journal ends before it.
  crash_between_passes();
  ASSERT_TRUE(mem_.read_file(kPath, &bytes));
  Header at0 = raw_header(mem_);
  at0.journal_end -= kHeaderSize;
  const auto encoded = encode_header(at0);
  std::copy(encoded.begin(), encoded.end(), bytes.begin());
  ASSERT_TRUE(mem_.write_file(kPath, bytes).ok());
  p = open_file(&mem_);
  EXPECT_EQ(contents(*p), old_);
  EXPECT_EQ(contents(*p, AccessKind::update), old_);
}

TEST_F(JournalTest, ReplayCutShortAtAnyPointIsReplayedAgain) {
  crash_between_passes();
  std::string pending;
  ASSERT_TRUE(mem_.read_file(kPath, &pending));
  for (std::uint64_t n = 1;; ++n) {
    ASSERT_TRUE(mem_.write_file(kPath, pending).ok());
    platform::FaultEnv faults(&mem_, n);
    faults.fail_nth(n, platform::fault_op::mutating, 0, true);
    {
      auto p = open_file(&faults);
      (void)p->begin_access(AccessKind::update, true);
      if (p->in_access()) p->abandon_access();
    }
    const bool fired = faults.faults_fired() != 0;
    ASSERT_TRUE(faults.power_cut(platform::PowerCut::tear_all_writes).ok());
    auto p = open_file(&mem_);
    EXPECT_EQ(contents(*p, AccessKind::update), new_) << "n=" << n;
    if (!fired) break;
  }
}

TEST_F(JournalTest, DeciderSeesTheJournalStateAndMayDiscardIt) {
  crash_between_passes();
  auto p = open_file(&mem_);
  bool saw_new_record = false;
  p->set_journal_decider([&](Pager& pager, JournalVerdict* verdict) {
    Record r;
    saw_new_record = Tree(pager).find(view_of(std::string("new0")), &r).ok();
    *verdict = JournalVerdict::discard;
    return Status::success();
  });
  EXPECT_EQ(contents(*p, AccessKind::update), old_);
  EXPECT_TRUE(saw_new_record);
  EXPECT_EQ(p->stats().discards, 1u);
}

// Fails the nth write (or sync) of one update access, for every n, then
// cuts the power: the file must reopen to the old or the new state.
class FailingWriteTest : public ::testing::TestWithParam<int> {};

TEST_P(FailingWriteTest, EveryFailurePointLeavesOldOrNewState) {
  const int variant = GetParam();
  platform::MemoryEnv base;
  Model old_model, new_model;
  {
    auto p = open_file(&base);
    old_model = fill_baseline(*p);
  }
  std::string baseline;
  ASSERT_TRUE(base.read_file(kPath, &baseline));
  {
    new_model = old_model;
    auto p = open_file(&base);
    ASSERT_TRUE(workload(*p, &new_model).ok());
  }
  int saw_old = 0, saw_new = 0;
  for (std::uint64_t n = 1;; ++n) {
    platform::MemoryEnv mem;
    ASSERT_TRUE(mem.write_file(kPath, baseline).ok());
    platform::FaultEnv faults(&mem, n);
    if (variant == 0) faults.fail_nth(n);                                      // one write or sync fails
    if (variant == 1) faults.short_write_nth(n, 100);                          // one write stops short
    if (variant == 2) faults.fail_nth(n, platform::fault_op::mutating, 0, true);  // the process dies at n
    Model ignored = old_model;
    {
      auto p = open_file(&faults);
      (void)workload(*p, &ignored);
    }
    const bool fired = faults.faults_fired() != 0;
    ASSERT_TRUE(faults.power_cut(variant == 2 ? platform::PowerCut::tear_all_writes
                                              : platform::PowerCut::tear_last_write).ok());
    auto p = open_file(&mem);
    Model after;
    ASSERT_TRUE(scan(*p, &after, AccessKind::update).ok()) << "n=" << n;
    EXPECT_TRUE(after == old_model || after == new_model) << "n=" << n;
    (after == old_model ? saw_old : saw_new)++;
    if (!fired) break;
    ASSERT_LT(n, 10000u);
  }
  EXPECT_GT(saw_old, 0);
  EXPECT_GT(saw_new, 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, FailingWriteTest, ::testing::Values(0, 1, 2));

// A write that fails anywhere in a flush leaves the object usable: its next
// access sees the file as it is (replaying a journal the failed flush had
// already activated), whether the open mode lets others write or not (an
// exclusive opener does not read the header again while it knows it).
class FailedFlushThenGoOnTest : public ::testing::TestWithParam<Sharing> {};

TEST_P(FailedFlushThenGoOnTest, NextAccessOfTheSameObjectSeesOldOrNewState) {
  OpenOptions options;
  options.sharing = GetParam();
  platform::MemoryEnv base;
  Model old_model, new_model;
  {
    auto p = open_file(&base, options);
    old_model = fill_baseline(*p);
    new_model = old_model;
    ASSERT_TRUE(workload(*p, &new_model).ok());
  }
  std::string baseline;
  {
    platform::MemoryEnv again;
    auto p = open_file(&again, options);
    (void)fill_baseline(*p);
    ASSERT_TRUE(again.read_file(kPath, &baseline));
  }
  int failures = 0;
  for (std::uint64_t n = 1;; ++n) {
    platform::MemoryEnv mem;
    ASSERT_TRUE(mem.write_file(kPath, baseline).ok());
    platform::FaultEnv faults(&mem);
    auto p = open_file(&faults, options);
    ASSERT_EQ(contents(*p), old_model);
    faults.fail_nth(n, platform::fault_op::write, 39);
    Model ignored = old_model;
    const Status s = workload(*p, &ignored);
    const bool fired = faults.faults_fired() != 0;
    faults.clear_faults();
    if (!fired) {
      ASSERT_TRUE(s.ok());
      break;
    }
    ++failures;
    EXPECT_FALSE(s.ok()) << "n=" << n;
    ASSERT_TRUE(put(*p, "zz", "after").ok()) << "n=" << n;
    Model seen = contents(*p);
    ASSERT_EQ(seen.erase("zz"), 1u) << "n=" << n;
    EXPECT_TRUE(seen == old_model || seen == new_model) << "n=" << n;
    p.reset();
    auto fresh = open_file(&mem, options);
    Model reread = contents(*fresh);
    ASSERT_EQ(reread.erase("zz"), 1u) << "n=" << n;
    EXPECT_EQ(reread, seen) << "n=" << n;
    ASSERT_LT(n, 10000u);
  }
  EXPECT_GT(failures, 3);
}

INSTANTIATE_TEST_SUITE_P(Sharing, FailedFlushThenGoOnTest, ::testing::Values(Sharing::deny_none, Sharing::deny_all));

TEST(NewFileCrashTest, CrashInTheFirstFlushLeavesAnEmptyFileNotAnInvalidOne) {
  for (std::uint64_t n = 1;; ++n) {
    platform::MemoryEnv mem;
    platform::FaultEnv faults(&mem, n);
    faults.fail_nth(n, platform::fault_op::mutating, 0, true);
    {
      auto p = open_file(&faults);
      (void)put(*p, "k", "v");
    }
    const bool fired = faults.faults_fired() != 0;
    ASSERT_TRUE(faults.power_cut(platform::PowerCut::tear_all_writes).ok());
    auto p = open_file(&mem);
    Model after;
    ASSERT_TRUE(scan(*p, &after, AccessKind::update).ok()) << "n=" << n;
    EXPECT_TRUE(after.empty() || after == (Model{{"k", "v"}})) << "n=" << n;
    if (!fired) break;
  }
}

TEST(FailedSyncTest, FailedSyncIsFatalForTheObject) {
  platform::MemoryEnv mem;
  platform::FaultEnv faults(&mem);
  auto p = open_file(&faults);
  faults.fail_nth(1, platform::fault_op::sync);
  const Status s = put(*p, "k", "v");
  EXPECT_TRUE(s.is(Code::io_error));
  EXPECT_EQ(p->begin_access(AccessKind::read, true), s);
  faults.clear_faults();
  EXPECT_EQ(p->begin_access(AccessKind::read, true), s);
}

TEST(FailedSyncTest, FailedWriteDropsTheChangeButNotTheObject) {
  platform::MemoryEnv mem;
  platform::FaultEnv faults(&mem);
  auto p = open_file(&faults);
  ASSERT_TRUE(put(*p, "a", "1").ok());
  faults.fail_nth(1, platform::fault_op::write, 39);
  EXPECT_EQ(put(*p, "b", "2"), Status::io_error(39));
  EXPECT_EQ(contents(*p), (Model{{"a", "1"}}));
  EXPECT_TRUE(put(*p, "c", "3").ok());
  EXPECT_EQ(contents(*p), (Model{{"a", "1"}, {"c", "3"}}));
}

// --- Two processes ------------------------------------------------------------------------------

TEST(TwoProcessTest, EachSeesTheOthersChangesThroughTheChangeCounter) {
  platform::MemoryEnv mem;
  auto a = open_file(&mem);
  auto b = open_file(&mem);
  ASSERT_TRUE(put(*a, "from-a", "1").ok());
  EXPECT_EQ(contents(*b), (Model{{"from-a", "1"}}));
  ASSERT_TRUE(put(*b, "from-b", "2").ok());
  const std::uint64_t drops = a->stats().cache_drops;
  EXPECT_EQ(contents(*a), (Model{{"from-a", "1"}, {"from-b", "2"}}));
  EXPECT_EQ(a->stats().cache_drops, drops + 1);
  // Unchanged file: the cache stays.
  EXPECT_EQ(contents(*a).size(), 2u);
  EXPECT_EQ(a->stats().cache_drops, drops + 1);
}

TEST(TwoProcessTest, UpdatersExcludeEachOtherReadersTakeFreeSlots) {
  platform::MemoryEnv mem;
  auto a = open_file(&mem);
  auto b = open_file(&mem);
  ASSERT_EQ(a->reader_slot(), b->reader_slot());  // same clock
  ASSERT_TRUE(a->begin_access(AccessKind::read, false).ok());
  ASSERT_TRUE(b->begin_access(AccessKind::read, false).ok());
  EXPECT_EQ(b->reader_slot(), (a->reader_slot() + 1) % kReaderSlots);
  ASSERT_TRUE(b->end_access().ok());
  ASSERT_TRUE(a->end_access().ok());

  ASSERT_TRUE(a->begin_access(AccessKind::update, false).ok());
  EXPECT_EQ(b->begin_access(AccessKind::update, false), Status::busy());
  ASSERT_TRUE(b->begin_access(AccessKind::read, false).ok());  // readers wait only for a flush
  ASSERT_TRUE(b->end_access().ok());
  ASSERT_TRUE(a->end_access().ok());
  ASSERT_TRUE(b->begin_access(AccessKind::update, false).ok());
  ASSERT_TRUE(b->end_access().ok());

  ASSERT_TRUE(a->lock_number(7, &a).ok());
  EXPECT_EQ(b->lock_number(7, &b), Status::locked());
  ASSERT_TRUE(a->unlock_number(7, &a).ok());
  EXPECT_TRUE(b->lock_number(7, &b).ok());
}

// A reader whose permissions allow no writing still takes its slot:
// another user may be writing the file, and must wait for the read.
TEST(TwoProcessTest, AReaderWithoutWritePermissionStillKeepsWritersOut) {
  platform::MemoryEnv mem;
  auto writer = open_file(&mem);
  ASSERT_TRUE(put(*writer, "k", "v").ok());
  std::unique_ptr<platform::File> other_user;
  ASSERT_TRUE(mem.open(kPath, platform::OpenMode{platform::Access::read_write}, &other_user).ok());
  ASSERT_TRUE(mem.set_read_only(kPath, true).ok());
  OpenOptions read_only;
  read_only.writable = false;
  auto reader = open_file(&mem, read_only);
  ASSERT_TRUE(reader->begin_access(AccessKind::read, false).ok());
  EXPECT_EQ(other_user->lock(kAllReaderSlots, kReaderSlots, platform::LockKind::exclusive, false).error, 33);
  ASSERT_TRUE(reader->end_access().ok());
  EXPECT_TRUE(other_user->lock(kAllReaderSlots, kReaderSlots, platform::LockKind::exclusive, false).ok());
}

TEST(TwoProcessTest, SharingModesRefuseWhatOthersDeny) {
  platform::MemoryEnv mem;
  OpenOptions deny_all;
  deny_all.sharing = Sharing::deny_all;
  OpenOptions deny_write;
  deny_write.sharing = Sharing::deny_write;
  OpenOptions reader;
  reader.writable = false;
  std::shared_ptr<Pager> a, b;
  ASSERT_TRUE(Pager::open(&mem, kPath, deny_all, &a).ok());
  EXPECT_EQ(Pager::open(&mem, kPath, reader, &b), Status::io_error(5));
  a.reset();
  ASSERT_TRUE(Pager::open(&mem, kPath, deny_write, &a).ok());
  EXPECT_TRUE(Pager::open(&mem, kPath, reader, &b).ok());
  EXPECT_EQ(Pager::open(&mem, kPath, OpenOptions{}, &b), Status::io_error(5));
  a.reset();
  ASSERT_TRUE(Pager::open(&mem, kPath, OpenOptions{}, &a).ok());
  EXPECT_EQ(Pager::open(&mem, kPath, deny_write, &b), Status::io_error(5));
}

// --- Transactions ---------------------------------------------------------------------------------

TEST(TransactionTest, HeldChangesReachTheFileOnlyThroughBothPasses) {
  platform::MemoryEnv mem;
  auto a = open_file(&mem);
  auto b = open_file(&mem);
  ASSERT_TRUE(put(*a, "old", "1").ok());
  a->hold_flushes(true);
  ASSERT_TRUE(put(*a, "held", "2").ok());
  EXPECT_EQ(contents(*a).size(), 2u);      // this process sees its changes
  EXPECT_EQ(contents(*b).size(), 1u);      // the file does not have them
  EXPECT_EQ(b->begin_access(AccessKind::update, false), Status::busy());
  ASSERT_TRUE(a->journal_pass().ok());
  ASSERT_TRUE(a->home_pass().ok());
  a->hold_flushes(false);
  EXPECT_EQ(contents(*b).size(), 2u);
}

TEST(TransactionTest, RollbackAndDiscardKeepTheOldState) {
  platform::MemoryEnv mem;
  auto a = open_file(&mem);
  ASSERT_TRUE(put(*a, "old", "1").ok());
  a->hold_flushes(true);
  ASSERT_TRUE(put(*a, "gone", "2").ok());
  a->rollback();
  EXPECT_EQ(contents(*a), (Model{{"old", "1"}}));

  ASSERT_TRUE(put(*a, "gone", "2").ok());
  ASSERT_TRUE(a->journal_pass().ok());
  ASSERT_TRUE(a->discard_journal().ok());
  a->hold_flushes(false);
  const Header h = raw_header(mem);
  EXPECT_EQ(h.committed_end, h.journal_end);
  EXPECT_EQ(contents(*a), (Model{{"old", "1"}}));
  auto b = open_file(&mem);
  EXPECT_EQ(contents(*b, AccessKind::update), (Model{{"old", "1"}}));
}

}  // namespace
}  // namespace files::kestrel
