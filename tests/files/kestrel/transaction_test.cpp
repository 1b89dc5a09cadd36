// Transactions between real programs: what LOGOUT takes, how long it waits,
// and what the other programs see meanwhile.
#include "files/kestrel/transaction.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>

#include "files/kestrel/check.h"
#include "files/kestrel/tree.h"
#include "platform/fault_env.h"
#include "platform/memory_env.h"
#include "tests/files/kestrel/programs.h"

namespace files::kestrel_test {
namespace {

using Clock = std::chrono::steady_clock;

class TransactionTest : public ProgramsTest {};

TEST_F(TransactionTest, LogoutWaitsForTheOtherProgramsTransactionAtMostItsTimeOut) {
  {
    People a(path("a"));
    People b(path("b"));
    make(a);
    make(b);
  }
  Channel to_child;
  Channel to_parent;
  const pid_t child = start_program([&] {
    People a(path("a"));
    People b(path("b"));
    open(a.fd, 0x42);
    open(b.fd, 0x42);
    logout(5, {&a.fd, &b.fd});
    if (ERRORCODE() != 0) return 1;
    a.set(1, "child");
    add(a.fd);
    if (ERRORCODE() != 0) return 2;
    to_parent.say('T');
    if (to_child.hear() != 'C') return 3;
    commit(b.fd);
    if (ERRORCODE() != 0) return 4;
    to_parent.say('D');
    return to_child.hear() == 'E' ? 0 : 5;
  });

  ASSERT_EQ(to_parent.hear(), 'T');
  People a(path("a"));
  People b(path("b"));
  People c(path("c"));
  make(c);
  for (People* p : {&a, &b, &c}) {
    open(p->fd, 0x42);
    ASSERT_EQ(ERRORCODE(), 0);
  }
  EXPECT_EQ(records(a.fd), 0);  // readers go on reading the committed state

  // Refused after its time-out, with no file enlisted and nothing held.
  Clock::time_point started = Clock::now();
  logout(1, {&c.fd, &a.fd});
  const double waited = seconds_since(started);
  EXPECT_EQ(ERRORCODE(), 5);
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 5.0);
  EXPECT_EQ(c.fd.fcb->state & state::T, 0u);
  EXPECT_EQ(a.fd.fcb->state & state::T, 0u);
  EXPECT_FALSE(kestrel::enlisted(*c.fd.fcb));
  People c_elsewhere(path("c"));
  kestrel::FileRegistry elsewhere;
  set_kestrel_registry(&elsewhere);
  open(c_elsewhere.fd, 0x42);
  logout(0, {&c_elsewhere.fd});  // c's writer byte was given back
  EXPECT_EQ(ERRORCODE(), 0);
  rollback(c_elsewhere.fd);
  close(c_elsewhere.fd);
  set_kestrel_registry(nullptr);

  // Once the other program commits, the transaction begins and sees its
  // change.
  to_child.say('C');
  ASSERT_EQ(to_parent.hear(), 'D');
  started = Clock::now();
  logout(1, {&a.fd, &b.fd, &c.fd});
  EXPECT_EQ(ERRORCODE(), 0) << ERROR();
  EXPECT_LT(seconds_since(started), 1.0);
  for (People* p : {&a, &b, &c}) EXPECT_NE(p->fd.fcb->state & state::T, 0u);
  EXPECT_EQ(records(a.fd), 1);
  logout(1, {&c.fd});
  EXPECT_EQ(ERRORCODE(), 56);
  a.set(2, "parent");
  add(a.fd);
  commit(a.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  for (People* p : {&a, &b, &c}) EXPECT_EQ(p->fd.fcb->state & state::T, 0u);
  to_child.say('E');
  EXPECT_EQ(finish_program(child), 0);
  EXPECT_EQ(records(a.fd), 2);
}

// A program killed at any sync of a two-file commit (a table deleted from
// one file with its characters from the other) leaves files that readers
// read, before any program writes, exactly as the next updater resolves
// them: all before or all after, never half, never a state that will be
// rolled back; and reading writes nothing, to the files or the control
// file.
TEST_F(TransactionTest, ReadersOfACommitCutAtAnySyncSeeTheStateThatWillStand) {
  {
    People tables(path("tables"));
    People characters(path("characters"));
    make(tables);
    make(characters);
    open(tables.fd, 0x42);
    open(characters.fd, 0x42);
    tables.set(1, "table");
    add(tables.fd);
    for (int i = 1; i <= 30; ++i) {
      characters.set(i, "character");
      add(characters.fd);
    }
    ASSERT_EQ(ERRORCODE(), 0);
  }
  namespace fs = std::filesystem;
  const std::vector<std::string> files{path("tables.KSF"), path("characters.KSF"), path("kestrel.tcf")};
  for (int f = 0; f < 2; ++f) fs::copy_file(files[f], files[f] + ".before");
  const auto read_all = [&] {
    std::vector<std::string> contents;
    for (const std::string& f : files) {
      std::ifstream in(f, std::ios::binary);
      contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return contents;
  };
  // The commit in a program that ends itself before its `die_at`th sync
  // (never for 0); the program's exit status is the number of syncs the
  // commit made when it lived.
  const auto commit_in_a_program = [&](std::uint64_t die_at) {
    for (int f = 0; f < 2; ++f) fs::copy_file(files[f] + ".before", files[f], fs::copy_options::overwrite_existing);
    (void)platform::Env::posix()->remove(path("kestrel.tcf"));
    const pid_t pid = start_program([&] {
      platform::FaultEnv faults(platform::Env::posix());
      set_kestrel_env(&faults);
      People tables(path("tables"));
      People characters(path("characters"));
      open(tables.fd, 0x42);
      open(characters.fd, 0x42);
      logout(1, {&tables.fd, &characters.fd});
      set(tables.fd);
      next(tables.fd);
      erase(tables.fd);
      for (set(characters.fd), next(characters.fd); ERRORCODE() == 0; next(characters.fd)) erase(characters.fd);
      const std::uint64_t before = faults.operations(platform::fault_op::sync);
      if (die_at != 0) faults.at_nth(die_at, platform::fault_op::sync, [] { ::_exit(100); });
      commit(tables.fd);
      if (ERRORCODE() != 0) return 101;
      return static_cast<int>(faults.operations(platform::fault_op::sync) - before);
    });
    return finish_program(pid);
  };
  // (tables, characters) as a reader and then as an updater sees them.
  const auto counts = [&](std::uint32_t mode) {
    People tables(path("tables"));
    People characters(path("characters"));
    open(tables.fd, mode);
    open(characters.fd, mode);
    if (mode != 0x40) {
      (void)send(tables.fd, "FLAGS=0");  // an update: decides the journal
      (void)send(characters.fd, "FLAGS=0");
    }
    const auto seen = std::make_pair(records(tables.fd), records(characters.fd));
    EXPECT_EQ(ERRORCODE(), 0) << ERROR();
    close(tables.fd);
    close(characters.fd);
    return seen;
  };

  // What the checker finds: it too must judge the file as the next updater
  // will leave it.
  const auto checked = [&] {
    std::vector<std::uint64_t> records;
    for (const char* f : {"tables.KSF", "characters.KSF"}) {
      const kestrel::CheckReport r = kestrel::check_file(platform::Env::posix(), path(f), std::nullopt);
      EXPECT_TRUE(r.clean()) << f;
      records.push_back(r.records);
    }
    return records;
  };

  const int syncs = commit_in_a_program(0);
  ASSERT_GT(syncs, 8);
  ASSERT_LT(syncs, 100);
  int before = 0, after = 0;
  for (int n = 1; n <= syncs; ++n) {
    ASSERT_EQ(commit_in_a_program(static_cast<std::uint64_t>(n)), 100) << "sync " << n;
    const auto cut = read_all();
    const auto seen = counts(0x40);
    const auto seen_by_check = checked();
    EXPECT_EQ(read_all(), cut) << "a reader wrote, cut at sync " << n;
    const auto stands = counts(0x42);
    EXPECT_EQ(seen, stands) << "cut at sync " << n;
    EXPECT_EQ(seen_by_check, checked()) << "cut at sync " << n;
    if (stands == std::make_pair(1, 30)) ++before;
    if (stands == std::make_pair(0, 0)) ++after;
  }
  EXPECT_EQ(before + after, syncs);
  EXPECT_GT(before, 0);
  EXPECT_GT(after, 0);
}

// What the transaction read stays true until it commits: another
// program's update waits for the commit (and is not lost under it).
TEST_F(TransactionTest, AnotherProgramsUpdateWaitsForTheCommit) {
  People a(path("a"));
  make(a);
  open(a.fd, 0x42);
  a.set(1, "first");
  add(a.fd);
  logout(1, {&a.fd});
  ASSERT_EQ(ERRORCODE(), 0);
  ASSERT_EQ(records(a.fd), 1);

  Channel to_parent;
  const pid_t child = start_program([&] {
    People a(path("a"));
    open(a.fd, 0x42);
    to_parent.say('O');
    a.set(2, "child");
    add(a.fd);
    if (ERRORCODE() != 0) return 1;
    to_parent.say('A');
    return 0;
  });
  ASSERT_EQ(to_parent.hear(), 'O');
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(to_parent.hear(0), 0);
  EXPECT_EQ(records(a.fd), 1);
  a.set(3, "parent");
  add(a.fd);
  commit(a.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(to_parent.hear(), 'A');
  EXPECT_EQ(finish_program(child), 0);
  EXPECT_EQ(records(a.fd), 3);
}

// --- Commits cut short ---------------------------------------------------------------------------

platform::FaultEnv* g_power = nullptr;
kestrel::CrashPoint g_cut_at = kestrel::CrashPoint::after_commit_point;
// The power goes at that point of the commit: nothing written after it
// reaches the disk.
void power_fails_here(kestrel::CrashPoint point) {
  if (point == g_cut_at) g_power->fail_nth(1, platform::fault_op::mutating, 0, true);
}

class CutCommitTest : public KestrelTest {
 protected:
  void SetUp() override {
    KestrelTest::SetUp();
    ASSERT_TRUE(disk_.make_directory("/d").ok());
    kestrel::set_control_file("/d/kestrel.tcf");
  }
  void TearDown() override {
    kestrel::set_crash_hook(nullptr);
    kestrel::set_wait_hook(nullptr);
    KestrelTest::TearDown();
  }
  // A transaction over /d/a and /d/b adding record 1 to each, whose commit
  // loses the power at `point`.
  void commit_cut_at(kestrel::CrashPoint point) {
    platform::FaultEnv faults(&disk_);
    faults.set_names_need_directory_sync(false);
    set_kestrel_env(&faults);
    {
      People a("/d/a");
      People b("/d/b");
      create_open(a);
      create_open(b);
      logout(1, {&a.fd, &b.fd});
      a.set(1, "a");
      add(a.fd);
      b.set(1, "b");
      add(b.fd);
      g_power = &faults;
      g_cut_at = point;
      kestrel::set_crash_hook(power_fails_here);
      commit(a.fd);
      kestrel::set_crash_hook(nullptr);
      EXPECT_NE(ERRORCODE(), 0);
      if (a.fd.fcb->state & state::T) rollback(a.fd);
      close(a.fd);
      close(b.fd);
    }
    ASSERT_TRUE(faults.power_cut(platform::PowerCut::drop_unsynced).ok());
    set_kestrel_env(&disk_);
  }
  platform::MemoryEnv disk_;
};

// The control file refuses access (another program holds it): the journal
// is decided only once it can be read, however long that takes, by readers
// and updaters alike; the user may end the wait, and then the access fails
// and the journal stays.
TEST_F(CutCommitTest, APendingJournalWaitsForAControlFileThatRefusesAccess) {
  commit_cut_at(kestrel::CrashPoint::after_commit_point);
  std::shared_ptr<kestrel::Pager> holder;
  kestrel::OpenOptions deny_all;
  deny_all.sharing = kestrel::Sharing::deny_all;
  ASSERT_TRUE(kestrel::Pager::open(&disk_, "/d/kestrel.tcf", deny_all, &holder).ok());

  // Readers decide the journal as updaters do: even opening waits.
  People a("/d/a");
  int asked = 0;
  kestrel::set_wait_hook([&](const std::string& path) {
    EXPECT_EQ(path, "/d/kestrel.tcf");
    return ++asked < 3;
  });
  open(a.fd, 0x42);
  EXPECT_EQ(ERRORCODE(), 5);
  EXPECT_EQ(asked, 3);

  // Well past five seconds of refusals, then the other program lets go.
  kestrel::set_wait_hook([&](const std::string&) {
    if (++asked == 60) holder.reset();
    return true;
  });
  open(a.fd, 0x42);
  ASSERT_EQ(ERRORCODE(), 0);
  a.set(2, "a");
  add(a.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(records(a.fd), 2);
  People b("/d/b");
  open(b.fd, 0x42);
  b.set(2, "b");
  add(b.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(records(b.fd), 2);
}

// Before the moment of commit neither file gets the change, after it both,
// also when the control file was deleted in between.
TEST_F(CutCommitTest, EachFileOfACutCommitEndsInTheSameState) {
  struct Case {
    kestrel::CrashPoint point;
    bool delete_control;
    std::int32_t records;
  };
  for (const Case c : {Case{kestrel::CrashPoint::before_commit_point, false, 1},
                       Case{kestrel::CrashPoint::before_commit_point, true, 1},
                       Case{kestrel::CrashPoint::after_commit_point, false, 2}}) {
    for (const char* name : {"/d/a.KSF", "/d/b.KSF", "/d/kestrel.tcf"}) (void)disk_.remove(name);
    commit_cut_at(kestrel::CrashPoint::after_commit_point);  // record 1 in both
    platform::FaultEnv faults(&disk_);
    set_kestrel_env(&faults);
    {
      People a("/d/a");
      People b("/d/b");
      open(a.fd, 0x42);
      open(b.fd, 0x42);
      logout(1, {&a.fd, &b.fd});
      a.set(2, "a");
      add(a.fd);
      b.set(2, "b");
      add(b.fd);
      g_power = &faults;
      g_cut_at = c.point;
      if (c.delete_control) {
        kestrel::set_crash_hook([](kestrel::CrashPoint p) {
          if (p == kestrel::CrashPoint::before_commit_point) (void)g_power->remove("/d/kestrel.tcf");
        });
      } else {
        kestrel::set_crash_hook(power_fails_here);
      }
      commit(a.fd);
      kestrel::set_crash_hook(nullptr);
      if (c.delete_control) {
        EXPECT_EQ(ERRORCODE(), 48);
      }
      if (a.fd.fcb->state & state::T) rollback(a.fd);
      close(a.fd);
      close(b.fd);
    }
    ASSERT_TRUE(faults.power_cut(platform::PowerCut::drop_unsynced).ok());
    set_kestrel_env(&disk_);
    for (const char* name : {"/d/a", "/d/b"}) {
      People p(name);
      open(p.fd, 0x42);
      EXPECT_EQ(send(p.fd, "FLAGS=0"), "0");  // an update: decides the journal
      EXPECT_EQ(records(p.fd), c.records) << name << " cut " << static_cast<int>(c.point);
      close(p.fd);
      EXPECT_TRUE(kestrel::check_file(&disk_, std::string(name) + ".KSF", std::nullopt).clean());
    }
  }
}

// A disk that fills up during a two-file commit: the commit fails and says
// so, and both files keep their last committed state.
TEST_F(CutCommitTest, ADiskThatFillsUpDuringACommitLandsNothing) {
  commit_cut_at(kestrel::CrashPoint::after_commit_point);  // record 1 in both
  for (std::uint64_t room : {0u, 600u, 3000u, 9000u}) {
    platform::FaultEnv faults(&disk_);
    set_kestrel_env(&faults);
    {
      People a("/d/a");
      People b("/d/b");
      open(a.fd, 0x42);
      open(b.fd, 0x42);
      logout(1, {&a.fd, &b.fd});
      for (int i = 0; i < 40; ++i) {
        a.set(100 + i, std::string(20, 'a'));
        add(a.fd);
        b.set(100 + i, std::string(20, 'b'));
        add(b.fd);
      }
      faults.set_space(room);
      commit(a.fd);
      const int code = ERRORCODE();
      faults.clear_faults();
      if (code == 0) {
        // Enough room after all: both files have it.
        EXPECT_EQ(records(a.fd), 41);
        EXPECT_EQ(records(b.fd), 41);
      } else {
        EXPECT_EQ(code, 48) << "room " << room;
        if (a.fd.fcb->state & state::T) rollback(a.fd);
        EXPECT_EQ(records(a.fd), 1) << "room " << room;
        EXPECT_EQ(records(b.fd), 1) << "room " << room;
      }
      close(a.fd);
      close(b.fd);
    }
    set_kestrel_env(&disk_);
    for (const char* name : {"/d/a.KSF", "/d/b.KSF"}) {
      EXPECT_TRUE(kestrel::check_file(&disk_, name, std::nullopt).clean()) << name << " room " << room;
    }
    if (room == 0) continue;
    // Put the files back as they were for the next round.
    People a("/d/a");
    People b("/d/b");
    for (People* p : {&a, &b}) {
      open(p->fd, 0x42);
      for (int i = 0; i < 40; ++i) {
        p->set_long(p->id, 100 + i);
        get(p->fd, p->k(p->by_id));
        if (ERRORCODE() == 0) erase(p->fd);
      }
      close(p->fd);
    }
  }
}

// The power fails at every write and every sync of a workload of
// single-file changes and two-file transactions, in turn, the last write of
// each file torn at 512-byte sectors (or every unsynced write, or none of
// them landing). After each cut both files pass the check and hold the
// state after one and the same prefix of the workload, no shorter than
// what was acknowledged. MARKFIT_CRASH_SEEDS sets the torn variants per
// point (default 9; each point also gets one cut that drops what was not
// synced and one that tears every unsynced write).
using Contents = std::map<std::int32_t, std::string>;
struct Step {
  int kind;  // 0 add to a, 1 change in b, 2 transaction over both
  int n;
};

class CrashExplorationTest : public KestrelTest {
 protected:
  static constexpr int kBaseline = 60;

  static std::vector<Step> workload() {
    std::vector<Step> steps;
    for (int i = 0; i < 9; ++i) steps.push_back(Step{i % 3, i});
    return steps;
  }

  // The expected contents after each step (index 0: before the first).
  static std::vector<std::pair<Contents, Contents>> model() {
    std::pair<Contents, Contents> now;
    for (int i = 1; i <= kBaseline; ++i) now.first[i] = now.second[i] = "base" + std::to_string(i);
    std::vector<std::pair<Contents, Contents>> states{now};
    for (const Step& s : workload()) {
      const std::string tag = "s" + std::to_string(s.n);
      if (s.kind == 0) now.first[1000 + s.n] = tag;
      if (s.kind == 1) now.second[1 + s.n * 7 % kBaseline] = tag;
      if (s.kind == 2) {
        now.first[2000 + s.n] = tag;
        now.second[1 + s.n * 11 % kBaseline] = tag;
        now.first.erase(1 + s.n);
      }
      states.push_back(now);
    }
    return states;
  }

  static bool change(People& p, std::int32_t id, const std::string& name) {
    p.set_long(p.id, id);
    get(p.fd, p.k(p.by_id));
    if (ERRORCODE() != 0) return false;
    p.set_string(p.name_field, name);
    put(p.fd);
    return ERRORCODE() == 0;
  }

  // Runs the workload until the power is gone; returns the number of steps
  // acknowledged before that.
  static int run(People& a, People& b, platform::FaultEnv& faults) {
    int acknowledged = 0;
    for (const Step& s : workload()) {
      const std::string tag = "s" + std::to_string(s.n);
      bool ok = true;
      if (s.kind == 0) {
        a.set(1000 + s.n, tag);
        add(a.fd);
        ok = ERRORCODE() == 0;
      } else if (s.kind == 1) {
        ok = change(b, 1 + s.n * 7 % kBaseline, tag);
      } else {
        logout(1, {&a.fd, &b.fd});
        ok = ERRORCODE() == 0;
        if (ok) {
          a.set(2000 + s.n, tag);
          add(a.fd);
          ok = ERRORCODE() == 0 && change(b, 1 + s.n * 11 % kBaseline, tag);
        }
        if (ok) {
          a.set_long(a.id, 1 + s.n);
          get(a.fd, a.k(a.by_id));
          ok = ERRORCODE() == 0;
          if (ok) erase(a.fd);
          ok = ok && ERRORCODE() == 0;
        }
        if (ok) {
          commit(a.fd);
          ok = ERRORCODE() == 0;
        }
        if (a.fd.fcb->state & state::T) rollback(a.fd);
      }
      if (!ok || faults.faults_fired() != 0) break;
      ++acknowledged;
    }
    return acknowledged;
  }

  // The records of the file's one table, read in one pass of the tree
  // (id at 0, name at 4 of each image).
  static Contents read_all(platform::Env* env, const std::string& path) {
    Contents c;
    std::shared_ptr<kestrel::Pager> pager;
    EXPECT_TRUE(kestrel::Pager::open(env, path, kestrel::OpenOptions{}, &pager).ok());
    if (!pager || !pager->begin_access(kestrel::AccessKind::read, true).ok()) return c;
    kestrel::Tree tree(*pager);
    kestrel::Record r;
    kestrel::Tree::Hint hint;
    for (kestrel::Status s = tree.first(&r); s.ok(); s = tree.next(r.key(), &r, &hint)) {
      if (!kestrel::parse_data_key(r.key()) || r.data().size() < 24) continue;
      std::int32_t id = 0;
      std::memcpy(&id, r.data().data(), 4);
      std::string name(reinterpret_cast<const char*>(r.data().data()) + 4, 20);
      name.erase(name.find_last_not_of(' ') + 1);
      c[id] = name;
    }
    pager->abandon_access();
    return c;
  }
};

TEST_F(CrashExplorationTest, EveryCutOfSingleAndTwoFileChangesLeavesOneCommittedPrefix) {
  // The files as they are before the workload, copied into every run.
  platform::MemoryEnv start;
  ASSERT_TRUE(start.make_directory("/d").ok());
  set_kestrel_env(&start);
  kestrel::set_control_file("/d/kestrel.tcf");
  {
    People a("/d/a");
    People b("/d/b");
    create_open(a);
    create_open(b);
    for (People* p : {&a, &b}) {
      logout(p->fd);
      for (int i = 1; i <= kBaseline; ++i) {
        p->set(i, "base" + std::to_string(i));
        add(p->fd);
      }
      commit(p->fd);
      ASSERT_EQ(ERRORCODE(), 0);
    }
  }
  std::map<std::string, std::string> files;
  for (const char* name : {"/d/a.KSF", "/d/b.KSF"}) ASSERT_TRUE(start.read_file(name, &files[name]));

  const auto states = model();
  const int seeds = std::getenv("MARKFIT_CRASH_SEEDS") ? std::atoi(std::getenv("MARKFIT_CRASH_SEEDS")) : 9;
  std::uint64_t points = 0;
  int trials = 0;
  for (std::uint64_t cut = 1;; ++cut) {
    // One run up to the cut, then the disk as every kind of cut leaves it.
    platform::MemoryEnv disk;
    ASSERT_TRUE(disk.make_directory("/d").ok());
    for (const auto& [name, bytes] : files) ASSERT_TRUE(disk.write_file(name, bytes).ok());
    platform::FaultEnv faults(&disk);
    set_kestrel_env(&faults);
    int acknowledged = 0;
    {
      People a("/d/a");
      People b("/d/b");
      open(a.fd, 0x42);
      open(b.fd, 0x42);
      ASSERT_EQ(ERRORCODE(), 0);
      faults.fail_nth(cut, platform::fault_op::write | platform::fault_op::sync, 0, true);
      acknowledged = run(a, b, faults);
      close(a.fd);
      close(b.fd);
    }
    if (faults.faults_fired() == 0) {
      ASSERT_EQ(acknowledged, static_cast<int>(workload().size()));
      points = cut - 1;
      break;
    }
    for (int variant = 0; variant < seeds + 2; ++variant) {
      const platform::PowerCut mode = variant == 0   ? platform::PowerCut::drop_unsynced
                                      : variant == 1 ? platform::PowerCut::tear_all_writes
                                                     : platform::PowerCut::tear_last_write;
      platform::MemoryEnv after;
      ASSERT_TRUE(after.make_directory("/d").ok());
      for (const auto& [name, bytes] : faults.disk_after_cut(mode, cut * 7919 + static_cast<std::uint64_t>(variant))) {
        ASSERT_TRUE(after.write_file(name, bytes).ok());
      }
      ++trials;
      set_kestrel_env(&after);
      std::pair<Contents, Contents> found;
      for (const char* name : {"/d/a", "/d/b"}) {
        People p(name);
        open(p.fd, 0x42);
        ASSERT_EQ(ERRORCODE(), 0) << "cut " << cut;
        EXPECT_EQ(send(p.fd, "FLAGS=0"), "0") << "cut " << cut;  // recovers
        close(p.fd);
        const std::string file = std::string(name) + ".KSF";
        (name[3] == 'a' ? found.first : found.second) = read_all(&after, file);
        const kestrel::CheckReport report = kestrel::check_file(&after, file, std::nullopt);
        ASSERT_TRUE(report.clean()) << name << " cut " << cut << " variant " << variant << ": "
                                    << (report.faults.empty() ? report.error : report.faults.front());
      }
      int prefix = -1;
      for (std::size_t j = static_cast<std::size_t>(acknowledged); j < states.size(); ++j) {
        if (states[j] == found) prefix = static_cast<int>(j);
      }
      ASSERT_GE(prefix, 0) << "cut " << cut << " variant " << variant << ": no prefix from step " << acknowledged
                           << " on matches both files";
    }
  }
  std::cout << "crash trials: " << trials << " (" << points << " writes and syncs)\n";
  RecordProperty("crash_trials", trials);
  EXPECT_GE(trials, 2000);
}

}  // namespace
}  // namespace files::kestrel_test
