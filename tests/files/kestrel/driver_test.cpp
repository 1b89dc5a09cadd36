// The driver entry: names, opening and creating tables, errors, commands,
// tables of one file, copies, transactions.
#include <gtest/gtest.h>

#include <thread>

#include "files/kestrel/check.h"
#include "files/kestrel/format.h"
#include "files/kestrel/layout.h"
#include "files/kestrel/table_names.h"
#include "platform/fault_env.h"
#include "tests/files/kestrel/kestrel_fixture.h"
#include "tests/files/kestrel/programs.h"

namespace files::kestrel_test {
namespace {

using kestrel::TableName;

// --- Names -----------------------------------------------------------------------------

TEST_F(KestrelTest, NamesSplitAtTheFirstMarkerNotAfterADirectory) {
  ASSERT_TRUE(env_->make_directory("/data/dir").ok());
  TableName n;
  ASSERT_EQ(kestrel::split_table_name(env_.get(), "dir\\!sub/people\\!staff", &n), 0);
  EXPECT_EQ(n.path, "/data/dir\\!sub/people.KSF");
  EXPECT_EQ(n.message_name(), "/data/dir\\!sub/people.KSF\\!STAFF");
  ASSERT_EQ(kestrel::split_table_name(env_.get(), "TRANSLAT   ", &n), 0);
  EXPECT_EQ(n.message_name(), "/data/TRANSLAT.KSF");
  EXPECT_EQ(n.table, "UNNAMED");
  ASSERT_EQ(kestrel::split_table_name(env_.get(), "/data/x.dat", &n), 0);
  EXPECT_EQ(n.path, "/data/x.dat");
  EXPECT_EQ(kestrel::split_table_name(env_.get(), "   ", &n), 45);
  EXPECT_EQ(kestrel::split_table_name(env_.get(), std::string(250, 'a'), &n), 45);  // "/data/" + ".KSF" makes 260
  EXPECT_EQ(kestrel::split_table_name(env_.get(), std::string(249, 'a'), &n), 0);
}

// --- Open and create -------------------------------------------------------------------

TEST_F(KestrelTest, OpenNeverMakesAFileAndCreateNeedsTheAttribute) {
  People p("people", 0);
  open(p.fd);
  EXPECT_EQ(ERRORCODE(), 2);
  create(p.fd);
  EXPECT_EQ(ERRORCODE(), 54);
  EXPECT_FALSE(env_->exists("/data/people.KSF"));
}

TEST_F(KestrelTest, AZeroLengthFileIsAnEmptyFileThatCreateFills) {
  ASSERT_TRUE(env_->write_file("/data/people.KSF", "").ok());
  People p("people");
  open(p.fd);
  EXPECT_EQ(ERRORCODE(), 2);  // no table in it yet
  create(p.fd);
  ASSERT_EQ(ERRORCODE(), 0) << ERROR();
  const std::string bytes = bytes_of("/data/people.KSF");
  ASSERT_GE(bytes.size(), 512u);
  EXPECT_EQ(bytes.substr(14, 4), "kEsT");
  open(p.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(records(p.fd), 0);
}

TEST_F(KestrelTest, AShortOrForeignHeaderIsAnInvalidDataFile) {
  People p("people");
  ASSERT_TRUE(env_->write_file("/data/people.KSF", "short").ok());
  open(p.fd);
  EXPECT_EQ(ERRORCODE(), 36);
  ASSERT_TRUE(env_->write_file("/data/people.KSF", std::string(1024, 'x')).ok());
  open(p.fd);
  EXPECT_EQ(ERRORCODE(), 36);
  create(p.fd);  // a foreign file is never overwritten
  EXPECT_EQ(ERRORCODE(), 36);
  EXPECT_EQ(bytes_of("/data/people.KSF"), std::string(1024, 'x'));
}

TEST_F(KestrelTest, ADeclarationThatDiffersFromTheStoredOneIsRefused) {
  People p("people");
  create_open(p);
  close(p.fd);

  People wider("people");
  wider.fd.fields[2].size = 30;  // NAME STRING(30) instead of 20
  wider.fd.fields[2].declared_length = 30;
  wider.fd.fields[0].size += 10;
  wider.fd.record_length += 10;
  wider.buffer.resize(wider.fd.record_length, ' ');
  wider.fd.record = wider.buffer.data();
  open(wider.fd);
  EXPECT_EQ(ERRORCODE(), 47);

  People other_key("people");
  other_key.k(other_key.by_city).flags = key_flag::DUP;  // OPT dropped
  open(other_key.fd);
  EXPECT_EQ(ERRORCODE(), 47);

  People primary_only("people");
  primary_only.k(primary_only.by_id).flags = 0;  // PRIMARY is not compared
  open(primary_only.fd);
  EXPECT_EQ(ERRORCODE(), 0) << ERROR();
}

TEST_F(KestrelTest, AFileWithoutDeclaredLayoutTakesTheStoredOne) {
  People p("people");
  create_open(p);
  p.set(7, "Ann", "Oslo");
  p.set_memo(0, "a note");
  add(p.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  close(p.fd);

  FileDescriptor bare;
  bare.driver = &kestrel_driver();
  bare.name = TextSource("people");
  open(bare, 0x40);
  ASSERT_EQ(ERRORCODE(), 0) << ERROR();
  ASSERT_EQ(bare.record_length, p.fd.record_length);
  ASSERT_EQ(bare.keys.size(), 3u);
  ASSERT_EQ(bare.memos.size(), 1u);
  EXPECT_EQ(bare.fields[2].label, "PEO:NAME");
  EXPECT_EQ(bare.keys[1].flags, key_flag::DUP | key_flag::NOCASE);
  set(bare.keys[1]);
  next(bare);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bare.record) + 4, 3), "Ann");
  EXPECT_EQ(std::string(bare.memos[0].buffer.begin(), bare.memos[0].buffer.begin() + 6), "a note");
  close(bare);

  // The layout it took is a declaration that matches the file.
  open(bare, 0x40);
  EXPECT_EQ(ERRORCODE(), 0) << ERROR();
}

TEST_F(KestrelTest, ReadOnlyOpenRefusesWrites) {
  People p("people");
  create_open(p);
  close(p.fd);
  open(p.fd, 0x40);
  ASSERT_EQ(ERRORCODE(), 0);
  p.set(1, "A");
  add(p.fd);
  EXPECT_EQ(ERRORCODE(), 5);
}

// --- Records ------------------------------------------------------------------------------

TEST_F(KestrelTest, AddedRecordsComeBackByKeyByPointerAndInOrder) {
  People p("people");
  create_open(p);
  const char* names[] = {"carl", "Anna", "bert", "anna"};
  for (int i = 0; i < 4; ++i) {
    p.set(10 - i, names[i], i % 2 ? "Rome" : "");
    add(p.fd);
    ASSERT_EQ(ERRORCODE(), 0) << ERROR();
    EXPECT_GT(pointer(p.fd), 0);
  }
  EXPECT_EQ(records(p.fd), 4);
  EXPECT_EQ(records(p.k(p.by_name)), 4);
  EXPECT_EQ(records(p.k(p.by_city)), 2);  // OPT leaves the blank cities out

  p.clear();
  p.set_long(p.id, 8);
  get(p.fd, p.k(p.by_id));
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(p.get_string(p.name_field), "bert");
  const std::int32_t ptr = pointer(p.fd);

  p.clear();
  get(p.fd, static_cast<std::uint32_t>(ptr));
  EXPECT_EQ(p.get_long(p.id), 8);

  // NOCASE key order, duplicates by record number.
  std::vector<std::int32_t> ids;
  set(p.k(p.by_name));
  for (next(p.fd); ERRORCODE() == 0; next(p.fd)) ids.push_back(p.get_long(p.id));
  EXPECT_EQ(ERRORCODE(), 33);
  EXPECT_EQ(ids, (std::vector<std::int32_t>{9, 7, 8, 10}));

  p.set_long(p.id, 99);
  get(p.fd, p.k(p.by_id));
  EXPECT_EQ(ERRORCODE(), 35);
}

TEST_F(KestrelTest, ADuplicateInAUniqueKeyStoresNothing) {
  Declared d("dups");
  const int a = d.field(FieldType::LONG, 4, "D:A");
  const int b = d.field(FieldType::LONG, 4, "D:B");
  const int ka = d.key("D:AKEY", {{a, false}});
  d.key("D:BKEY", {{b, false}});
  d.finish();
  create_open(d);
  d.set_long(a, 1);
  d.set_long(b, 1);
  add(d.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  const std::string before = bytes_of("/data/dups.KSF");

  d.set_long(a, 2);  // A is new, B collides: the A entry must not stay behind
  add(d.fd);
  EXPECT_EQ(ERRORCODE(), 40);
  EXPECT_EQ(bytes_of("/data/dups.KSF"), before);
  d.set_long(a, 2);
  get(d.fd, d.k(ka));
  EXPECT_EQ(ERRORCODE(), 35);
  EXPECT_EQ(records(d.fd), 1);
}

// --- Several tables in one file -----------------------------------------------------------

TEST_F(KestrelTest, CreateReplacesOnlyItsOwnTableAndPnmListsTables) {
  People a("multi\\!alpha");
  People b("multi\\!beta");
  People g("multi\\!gamma");
  for (People* p : {&a, &b, &g}) {
    create_open(*p);
    p->set(1, "x");
    add(p->fd);
  }
  EXPECT_EQ(send(a.fd, "PNM="), "ALPHA");
  EXPECT_EQ(send(a.fd, "PNM=BETA"), "BETA");
  EXPECT_EQ(send(a.fd, "PNM=BETB"), "GAMMA");
  EXPECT_EQ(send(a.fd, "PNM=H"), "");
  People closed("multi");  // no table UNNAMED, yet its tables can be listed
  EXPECT_EQ(send(closed.fd, "PNM=B"), "BETA");
  EXPECT_EQ(name(b.fd), "/data/multi.KSF\\!BETA");
  EXPECT_EQ(send(b.fd, "FLAGS=7"), "0");
  close(b.fd);
  create(b.fd);  // beta again, empty; alpha and gamma keep their records
  open(b.fd);
  EXPECT_EQ(records(b.fd), 0);
  EXPECT_EQ(send(b.fd, "FLAGS"), "0");
  EXPECT_EQ(records(a.fd), 1);
  EXPECT_EQ(records(g.fd), 1);
  EXPECT_EQ(send(b.fd, "NOSUCH"), "");
  EXPECT_EQ(ERRORCODE(), 80);

  // REMOVE of a named table leaves the others.
  close(g.fd);
  remove(g.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  open(g.fd);
  EXPECT_EQ(ERRORCODE(), 2);
  EXPECT_EQ(records(a.fd), 1);
}

TEST_F(KestrelTest, CopyAndRenameMoveATableWithItsRecords) {
  People src("src\\!t");
  create_open(src);
  for (int i = 1; i <= 30; ++i) {
    src.set(i, "n" + std::to_string(31 - i), "c");
    src.set_memo(0, "memo " + std::to_string(i));
    add(src.fd);
  }
  People other("dst\\!other");  // the target's counter is ahead of the source's
  create_open(other);
  for (int i = 0; i < 50; ++i) {
    other.set(i, "o");
    add(other.fd);
  }
  close(src.fd);
  copy(src.fd, "dst\\!t");
  ASSERT_EQ(ERRORCODE(), 0) << ERROR();
  rename(src.fd, "dst\\!other");
  EXPECT_EQ(ERRORCODE(), 5);  // renaming never replaces a table
  rename(src.fd, "dst\\!moved");
  ASSERT_EQ(ERRORCODE(), 0);
  open(src.fd);
  EXPECT_EQ(ERRORCODE(), 2);

  for (const char* n : {"dst\\!t", "dst\\!moved"}) {
    People c(n);
    open(c.fd);
    ASSERT_EQ(ERRORCODE(), 0) << n;
    EXPECT_EQ(records(c.fd), 30);
    set(c.k(c.by_name));
    next(c.fd);
    EXPECT_EQ(c.get_long(c.id), 30);
    EXPECT_EQ(c.memo_text(0), "memo 30");
    c.set(99, "new");  // new records get numbers above every copied one
    add(c.fd);
    EXPECT_EQ(ERRORCODE(), 0);
  }
  EXPECT_EQ(records(other.fd), 50);
  People moved("dst\\!moved");
  open(moved.fd);
  moved.set(100, "one more");
  add(moved.fd);
  close(moved.fd);
  copy(moved.fd, "dst\\!t");  // copying replaces the target table whole
  ASSERT_EQ(ERRORCODE(), 0);
  People t("dst\\!t");
  open(t.fd);
  EXPECT_EQ(records(t.fd), 32);
  close(t.fd);
  People whole("dst");  // without a marker REMOVE takes the whole file
  remove(whole.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_FALSE(env_->exists("/data/dst.KSF"));
}

// --- Failures ---------------------------------------------------------------------------------

TEST_F(KestrelTest, AnInternalErrorAnswers90UntilClose) {
  People p("broken");
  create_open(p);
  for (int i = 0; i < 100; ++i) {
    p.set(i, "name");
    add(p.fd);
  }
  // Every page garbled, and the change counter moved so the cache goes.
  std::string bytes = bytes_of("/data/broken.KSF");
  for (std::size_t i = 512; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13);
  bytes[24] = static_cast<char>(bytes[24] + 1);
  ASSERT_TRUE(env_->write_file("/data/broken.KSF", bytes).ok());

  set(p.fd);
  next(p.fd);
  EXPECT_EQ(ERRORCODE(), 90);
  const std::string number = FILEERRORCODE();
  EXPECT_EQ(FILEERROR(), "Possible data corruption in file /data/broken.KSF (" + number + ")");
  EXPECT_EQ(records(p.fd), 0);
  EXPECT_EQ(ERRORCODE(), 90);
  p.set(500, "new");
  add(p.fd);
  EXPECT_EQ(ERRORCODE(), 90);
  close(p.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_FALSE(p.is_open());
}

TEST_F(KestrelTest, AnOwnerPasswordEnciphersTheFile) {
  People p("secret");
  p.fd.owner = TextSource("Pa55word");
  create_open(p);
  p.set(1, "VisibleName");
  add(p.fd);
  close(p.fd);
  EXPECT_EQ(bytes_of("/data/secret.KSF").find("VisibleName"), std::string::npos);
  EXPECT_EQ(bytes_of("/data/secret.KSF").find("kEsT"), std::string::npos);

  People wrong("secret");
  wrong.fd.owner = TextSource("other");
  open(wrong.fd);
  EXPECT_EQ(ERRORCODE(), 36);
  People none("secret");
  open(none.fd);
  EXPECT_EQ(ERRORCODE(), 36);
  open(p.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  get(p.fd, p.k(p.by_id));
  EXPECT_EQ(p.get_string(p.name_field), "VisibleName");
}

TEST_F(KestrelTest, WriteFailuresAreReportedAndLeaveTheOldState) {
  platform::FaultEnv faults(env_.get());
  set_kestrel_env(&faults);
  People p("faulty");
  create_open(p);
  p.set(1, "first");
  add(p.fd);
  faults.short_write_nth(1, 10);
  p.set(2, "second");
  add(p.fd);
  EXPECT_EQ(ERRORCODE(), 5);  // a short write
  faults.fail_nth(1, platform::fault_op::write, 39);
  add(p.fd);
  EXPECT_EQ(ERRORCODE(), 339);
  EXPECT_EQ(records(p.fd), 1);
  close(p.fd);
  open(p.fd);
  EXPECT_EQ(records(p.fd), 1);
  add(p.fd);  // the file object is usable again
  EXPECT_EQ(ERRORCODE(), 0);
}

// --- Two programs ------------------------------------------------------------------------------

class TwoProgramsTest : public KestrelTest {
 protected:
  // Opens `p` as the second program: its file objects are its own.
  void open_as_other(Declared& p) {
    set_kestrel_registry(&other_);
    open(p.fd, 0x42);
    set_kestrel_registry(nullptr);
    ASSERT_EQ(ERRORCODE(), 0);
  }
  kestrel::FileRegistry other_;
};

TEST_F(TwoProgramsTest, HoldWatchAndLockMeetTheOtherProgram) {
  People one("shared");
  create_open(one);
  one.set(1, "original");
  add(one.fd);
  People two("shared");
  open_as_other(two);

  two.set_long(two.id, 1);
  get(two.fd, two.k(two.by_id));
  ASSERT_EQ(ERRORCODE(), 0);
  hold(one.fd);
  get(one.fd, one.k(one.by_id));
  ASSERT_EQ(ERRORCODE(), 0);
  put(two.fd);
  EXPECT_EQ(ERRORCODE(), 5);  // the record's byte is the other program's
  hold(two.fd);
  get(two.fd, two.k(two.by_id));
  EXPECT_EQ(ERRORCODE(), 43);
  release(one.fd);
  get(two.fd, two.k(two.by_id));  // the hold request stands until a read succeeds
  EXPECT_EQ(ERRORCODE(), 0);
  release(two.fd);

  // WATCH: a record changed by the other program since it was read.
  watch(one.fd);
  get(one.fd, one.k(one.by_id));
  two.set_string(two.name_field, "changed");
  put(two.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  one.set_string(one.name_field, "mine");
  put(one.fd);
  EXPECT_EQ(ERRORCODE(), 89);
  get(one.fd, one.k(one.by_id));
  EXPECT_EQ(one.get_string(one.name_field), "changed");

  lock(one.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  lock(two.fd);
  EXPECT_EQ(ERRORCODE(), 32);
  unlock(one.fd);
  lock(two.fd);
  EXPECT_EQ(ERRORCODE(), 0);
}

// Two opens of one file in one program share its file object (and its
// system locks); a hold or a lock of one still keeps the other out.
TEST_F(KestrelTest, TwoOpensInOneProgramHoldAndLockAgainstEachOther) {
  People one("twice");
  create_open(one);
  one.set(1, "original");
  add(one.fd);
  People two("twice");
  open(two.fd, 0x42);
  ASSERT_EQ(ERRORCODE(), 0);

  hold(one.fd);
  get(one.fd, one.k(one.by_id));
  ASSERT_EQ(ERRORCODE(), 0);
  two.set_long(two.id, 1);
  get(two.fd, two.k(two.by_id));
  ASSERT_EQ(ERRORCODE(), 0);
  two.set_string(two.name_field, "other");
  put(two.fd);
  EXPECT_EQ(ERRORCODE(), 5);
  erase(two.fd);
  EXPECT_EQ(ERRORCODE(), 33);
  hold(two.fd);
  get(two.fd, two.k(two.by_id));
  EXPECT_EQ(ERRORCODE(), 43);
  hold(two.fd);
  get(two.fd, two.k(two.by_id));
  EXPECT_EQ(ERRORCODE(), 43);  // the failed attempts gave nothing of the hold away
  one.set_string(one.name_field, "mine");
  put(one.fd);  // ends the hold
  ASSERT_EQ(ERRORCODE(), 0);
  hold(two.fd);
  get(two.fd, two.k(two.by_id));
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(two.get_string(two.name_field), "mine");
  release(two.fd);

  lock(one.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  lock(two.fd);
  EXPECT_EQ(ERRORCODE(), 32);
  unlock(one.fd);
  lock(two.fd);
  EXPECT_EQ(ERRORCODE(), 0);
}

// --- Transactions --------------------------------------------------------------------------------

// A failure inside a transaction never lets part of it land: a failed read
// leaves what the transaction holds; an update that fails half way fails
// the transaction, and its COMMIT drops all of it.
TEST_F(KestrelTest, AFailureInsideATransactionNeverLetsPartOfItLand) {
  platform::FaultEnv faults(env_.get());
  set_kestrel_env(&faults);
  People p("/data/big");
  create_open(p);
  logout(p.fd);
  for (int i = 1; i <= 1500; ++i) {
    p.set(i, std::to_string(100000 + i * 7919 % 90000));
    add(p.fd);
  }
  commit(p.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  close(p.fd);
  open(p.fd, 0x42);  // nothing cached

  logout(1, {&p.fd});
  p.set(5001, "held");
  add(p.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  faults.fail_nth(1, platform::fault_op::read);
  p.set_long(p.id, 700);
  get(p.fd, p.k(p.by_id));
  EXPECT_EQ(ERRORCODE(), 330);
  ASSERT_EQ(faults.faults_fired(), 1u);
  p.set(5002, "after");
  add(p.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  commit(p.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(records(p.fd), 1502);

  // Another program's change makes this one read the file afresh.
  kestrel::FileRegistry elsewhere;
  set_kestrel_registry(&elsewhere);
  People other("/data/big");
  open(other.fd, 0x42);
  other.set(7000, "other");
  add(other.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  set_kestrel_registry(nullptr);

  logout(1, {&p.fd});
  p.set(6001, "held");
  add(p.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  faults.clear_faults();
  faults.fail_nth(1, platform::fault_op::read);
  p.set(6002, "150000");  // its name entry goes into a leaf not yet read
  add(p.fd);
  EXPECT_EQ(ERRORCODE(), 330);
  ASSERT_EQ(faults.faults_fired(), 1u);
  p.set(6003, "after");
  add(p.fd);
  EXPECT_EQ(ERRORCODE(), 48);
  commit(p.fd);
  EXPECT_EQ(ERRORCODE(), 48);
  EXPECT_EQ(p.fd.fcb->state & state::T, 0u);
  EXPECT_EQ(records(p.fd), 1503);
  close(other.fd);
  set_kestrel_env(env_.get());
}

TEST_F(KestrelTest, RollbackDropsAndCommitKeepsChangesOfEveryFile) {
  People a("ta");
  People b("tb");
  create_open(a);
  create_open(b);
  for (bool keep : {false, true}) {
    logout(a.fd);
    logout(b.fd);
    ASSERT_EQ(ERRORCODE(), 0);
    a.set(keep ? 2 : 1, "a");
    add(a.fd);
    b.set(keep ? 2 : 1, "b");
    add(b.fd);
    EXPECT_EQ(records(a.fd), 1);  // the program sees its own changes
    keep ? commit(a.fd) : rollback(b.fd);
    ASSERT_EQ(ERRORCODE(), 0) << ERROR();
    EXPECT_EQ(a.fd.fcb->state & state::T, 0u);
    EXPECT_EQ(b.fd.fcb->state & state::T, 0u);
  }
  close(a.fd);
  close(b.fd);
  for (People* p : {&a, &b}) {
    open(p->fd);
    EXPECT_EQ(records(p->fd), 1);
    p->set_long(p->id, 2);
    get(p->fd, p->k(p->by_id));
    EXPECT_EQ(ERRORCODE(), 0);
  }
}

// A crash at any write of a two-file commit leaves both files with the
// change or neither, once an updater has looked at the journals.
TEST_F(KestrelTest, ACommitAcrossTwoFilesIsAllOrNothingAtEveryCrashPoint) {
  int crash_points = 0;
  for (std::uint64_t crash_at = 1;; ++crash_at) {
    platform::MemoryEnv disk;
    ASSERT_TRUE(disk.make_directory("/d").ok());
    platform::FaultEnv faults(&disk, crash_at);
    faults.set_names_need_directory_sync(false);
    set_kestrel_env(&faults);
    kestrel::set_control_file("/d/kestrel.tcf");
    People a("/d/a");
    People b("/d/b");
    create_open(a);
    create_open(b);
    logout(a.fd);
    logout(b.fd);
    a.set(1, "a");
    add(a.fd);
    b.set(1, "b");
    add(b.fd);
    faults.fail_nth(crash_at, platform::fault_op::mutating, 0, true);
    commit(a.fd);
    const bool crashed = faults.faults_fired() > 0;
    if (crashed) ++crash_points;
    if (ERRORCODE() != 0) rollback(a.fd);
    close(a.fd);
    close(b.fd);
    ASSERT_TRUE(faults.power_cut(platform::PowerCut::drop_unsynced).ok());

    std::int32_t counts[2];
    People* files[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
      open(files[i]->fd);
      ASSERT_EQ(ERRORCODE(), 0) << crash_at;
      files[i]->set(9, "probe");  // an update decides a pending journal
      add(files[i]->fd);
      counts[i] = records(files[i]->fd) - 1;
      close(files[i]->fd);
    }
    EXPECT_EQ(counts[0], counts[1]) << "crash at write " << crash_at;
    if (!crashed) {
      EXPECT_EQ(counts[0], 1);
      EXPECT_GT(crash_points, 10);
      break;
    }
    ASSERT_LT(crash_at, 200u);
  }
  set_kestrel_env(env_.get());
}

// --- Real programs ---------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

// Where a program stops inside a flush: it says so and waits for the go.
Channel* g_flush_says = nullptr;
Channel* g_flush_waits = nullptr;
void pause_in_flush(kestrel::CrashPoint point) {
  if (point != kestrel::CrashPoint::journal_written) return;
  g_flush_says->say('F');
  (void)g_flush_waits->hear();
}

kestrel::CrashPoint g_kill_at = kestrel::CrashPoint::journal_written;
void kill_here(kestrel::CrashPoint point) {
  if (point == g_kill_at) ::raise(SIGKILL);
}

class RealProgramsTest : public ProgramsTest {
 protected:
  kestrel::CheckReport check(const std::string& name) {
    return kestrel::check_file(platform::Env::posix(), path(name) + ".KSF", std::nullopt);
  }
  std::int32_t count_after_recovery(const std::string& name) {
    People p(path(name));
    open(p.fd, 0x42);
    p.set(999999, "probe");  // an update decides a pending journal
    add(p.fd);
    EXPECT_EQ(ERRORCODE(), 0) << ERROR();
    erase(p.fd);
    const std::int32_t n = records(p.fd);
    close(p.fd);
    EXPECT_TRUE(check(name).clean()) << name;
    return n;
  }
};

TEST_F(RealProgramsTest, TwoProgramsMeetThroughWatchHoldLockAndFlush) {
  {
    People p(path("s"));
    make(p);
    open(p.fd, 0x42);
    p.set(1, "original");
    add(p.fd);
    p.set(2, "second");
    add(p.fd);
    close(p.fd);
  }
  Channel to_child;
  Channel to_parent;
  const pid_t child = start_program([&] {
    People p(path("s"));
    open(p.fd, 0x42);
    if (to_child.hear() != 'w') return 1;
    p.set_long(p.id, 1);
    get(p.fd, p.k(p.by_id));
    p.set_string(p.name_field, "changed");
    put(p.fd);
    if (ERRORCODE() != 0) return 2;
    to_parent.say('1');
    if (to_child.hear() != 'h') return 3;
    hold(p.fd);
    get(p.fd, p.k(p.by_id));
    if (ERRORCODE() != 0) return 4;
    to_parent.say('2');
    if (to_child.hear() != 'r') return 5;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    release(p.fd);
    lock(p.fd);
    if (ERRORCODE() != 0) return 6;
    to_parent.say('3');
    if (to_child.hear() != 'u') return 7;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    unlock(p.fd);
    if (to_child.hear() != 'f') return 8;
    Channel* says = &to_parent;
    Channel* waits = &to_child;
    g_flush_says = says;
    g_flush_waits = waits;
    kestrel::set_crash_hook(pause_in_flush);
    p.set(3, "third");
    add(p.fd);
    kestrel::set_crash_hook(nullptr);
    return ERRORCODE() == 0 ? 0 : 9;
  });

  People p(path("s"));
  open(p.fd, 0x42);
  ASSERT_EQ(ERRORCODE(), 0);
  // WATCH: the other program changed the record since it was read.
  watch(p.fd);
  p.set_long(p.id, 1);
  get(p.fd, p.k(p.by_id));
  to_child.say('w');
  ASSERT_EQ(to_parent.hear(), '1');
  p.set_string(p.name_field, "mine");
  put(p.fd);
  EXPECT_EQ(ERRORCODE(), 89);
  EXPECT_EQ(p.get_string(p.name_field), "mine");
  get(p.fd, p.k(p.by_id));
  EXPECT_EQ(p.get_string(p.name_field), "changed");

  // HOLD: 43 to the other, and a held record cannot be deleted.
  to_child.say('h');
  ASSERT_EQ(to_parent.hear(), '2');
  get(p.fd, p.k(p.by_id));
  ASSERT_EQ(ERRORCODE(), 0);
  erase(p.fd);
  EXPECT_EQ(ERRORCODE(), 33);
  hold(p.fd);
  get(p.fd, p.k(p.by_id));
  EXPECT_EQ(ERRORCODE(), 43);
  Clock::time_point t = Clock::now();
  hold(p.fd, 1);
  get(p.fd, p.k(p.by_id));
  EXPECT_EQ(ERRORCODE(), 43);
  EXPECT_GE(seconds_since(t), 0.9);
  to_child.say('r');
  t = Clock::now();
  hold(p.fd, 10);
  get(p.fd, p.k(p.by_id));
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_LT(seconds_since(t), 5.0);
  release(p.fd);

  // LOCK: 32, also after waiting; and it waits for a lock let go in time.
  ASSERT_EQ(to_parent.hear(), '3');
  lock(p.fd);
  EXPECT_EQ(ERRORCODE(), 32);
  t = Clock::now();
  lock(p.fd, 1);
  EXPECT_EQ(ERRORCODE(), 32);
  EXPECT_GE(seconds_since(t), 0.9);
  to_child.say('u');
  t = Clock::now();
  lock(p.fd, 10);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_LT(seconds_since(t), 5.0);
  unlock(p.fd);

  // A reader is kept out while the other program's flush holds the reader
  // slots, and goes on after.
  to_child.say('f');
  ASSERT_EQ(to_parent.hear(), 'F');
  int waits = 0;
  kestrel::set_wait_hook([&](const std::string&) {
    if (++waits == 1) to_child.say('g');
    return true;
  });
  EXPECT_EQ(records(p.fd), 3);
  kestrel::set_wait_hook(nullptr);
  EXPECT_GE(waits, 1);
  EXPECT_EQ(finish_program(child), 0);
}

// A rename a to b and one b to a, started while a third program keeps both
// files: once it lets go, both finish (neither holds one file while
// waiting for the other).
TEST_F(RealProgramsTest, CrossedRenamesDoNotWaitForEachOther) {
  {
    People x(path("a") + "\\!x");
    People y(path("b") + "\\!y");
    make(x);
    make(y);
  }
  Channel go;
  auto rename_program = [&](const std::string& from, const std::string& to) {
    return start_program([&go, from, to] {
      if (go.hear() != 'g') return 1;
      People t(from);
      rename(t.fd, to);
      return ERRORCODE() == 0 ? 0 : 2;
    });
  };
  const pid_t one = rename_program(path("a") + "\\!x", path("b") + "\\!x");
  const pid_t two = rename_program(path("b") + "\\!y", path("a") + "\\!y");
  People x(path("a") + "\\!x");
  People y(path("b") + "\\!y");
  open(x.fd, 0x42);
  open(y.fd, 0x42);
  logout(1, {&x.fd, &y.fd});
  ASSERT_EQ(ERRORCODE(), 0);
  go.say('g');
  go.say('g');
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  rollback(x.fd);
  close(x.fd);
  close(y.fd);
  const Clock::time_point started = Clock::now();
  int status[2] = {-1, -1};
  const pid_t programs[2] = {one, two};
  while ((status[0] < 0 || status[1] < 0) && seconds_since(started) < 20) {
    for (int i = 0; i < 2; ++i) {
      int raw = 0;
      if (status[i] < 0 && ::waitpid(programs[i], &raw, WNOHANG) == programs[i]) {
        status[i] = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (int i = 0; i < 2; ++i) {
    if (status[i] < 0) {
      ::kill(programs[i], SIGKILL);
      (void)finish_program(programs[i]);
    }
  }
  ASSERT_TRUE(status[0] >= 0 && status[1] >= 0) << "the two renames wait for each other";
  EXPECT_EQ(status[0], 0);
  EXPECT_EQ(status[1], 0);
  People moved_x(path("b") + "\\!x");
  People moved_y(path("a") + "\\!y");
  open(moved_x.fd, 0x42);
  EXPECT_EQ(ERRORCODE(), 0);
  open(moved_y.fd, 0x42);
  EXPECT_EQ(ERRORCODE(), 0);
}

// A program killed inside a flush or a commit leaves a state the next
// updater recovers: the old one when it died before its change was
// durable, the new one after; both files of a transaction or neither.
TEST_F(RealProgramsTest, KilledProgramsLeaveOldOrNewStateInEveryFile) {
  struct Case {
    kestrel::CrashPoint point;
    bool lands;
  };
  for (const Case c : {Case{kestrel::CrashPoint::journal_writing, false},
                       Case{kestrel::CrashPoint::journal_written, true}}) {
    {
      People p(path("k"));
      make(p);
    }
    const pid_t child = start_program([&] {
      People p(path("k"));
      open(p.fd, 0x42);
      for (int i = 1; i <= 300; ++i) {  // enough that the change rewrites pages below the journal
        p.set(i, "before");
        add(p.fd);
      }
      logout(p.fd);
      for (int i = 1; i <= 300; i += 3) {
        p.set_long(p.id, i);
        get(p.fd, p.k(p.by_id));
        p.set_string(p.name_field, "after");
        put(p.fd);
      }
      p.set(301, "after");
      add(p.fd);
      g_kill_at = c.point;
      kestrel::set_crash_hook(kill_here);
      commit(p.fd);
      return 0;
    });
    ASSERT_EQ(finish_program(child), 128 + SIGKILL);
    if (c.lands) {
      const kestrel::CheckReport r = check("k");
      ASSERT_FALSE(r.notes.empty());
      EXPECT_NE(r.notes.front().find("complete journal"), std::string::npos) << r.notes.front();
    }
    EXPECT_EQ(count_after_recovery("k"), c.lands ? 301 : 300);
  }

  for (const Case c : {Case{kestrel::CrashPoint::before_commit_point, false},
                       Case{kestrel::CrashPoint::after_commit_point, true}}) {
    {
      People a(path("ta"));
      People b(path("tb"));
      make(a);
      make(b);
    }
    const pid_t child = start_program([&] {
      People a(path("ta"));
      People b(path("tb"));
      open(a.fd, 0x42);
      open(b.fd, 0x42);
      logout(1, {&a.fd, &b.fd});
      for (int i = 1; i <= 50; ++i) {
        a.set(i, "a");
        add(a.fd);
        b.set(i, "b");
        add(b.fd);
      }
      g_kill_at = c.point;
      kestrel::set_crash_hook(kill_here);
      commit(a.fd);
      return 0;
    });
    ASSERT_EQ(finish_program(child), 128 + SIGKILL);
    EXPECT_EQ(count_after_recovery("ta"), c.lands ? 50 : 0);
    EXPECT_EQ(count_after_recovery("tb"), c.lands ? 50 : 0);
  }
}

// Four programs add 5,000 records each in small transactions while two
// others read the file through again and again.
TEST_F(RealProgramsTest, SeveralProgramsAtOnceLoseNothingAndNoReaderSeesABrokenState) {
  constexpr int kWriters = 4;
  constexpr int kPerWriter = 5000;
  constexpr int kBatch = 50;
  {
    People p(path("many"));
    make(p);
  }
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(start_program([&, w] {
      People p(path("many"));
      open(p.fd, 0x42);
      for (int i = 0; i < kPerWriter; i += kBatch) {
        logout(p.fd);
        if (ERRORCODE() != 0) return 1;
        for (int j = i; j < i + kBatch; ++j) {
          p.set((w + 1) * 100000 + j, "w" + std::to_string(w) + "-" + std::to_string(j));
          add(p.fd);
          if (ERRORCODE() != 0) return 2;
        }
        commit(p.fd);
        if (ERRORCODE() != 0) return 3;
      }
      return 0;
    }));
  }
  Channel stop;
  std::vector<pid_t> readers;
  for (int r = 0; r < 2; ++r) {
    readers.push_back(start_program([&, r] {
      People p(path("many"));
      open(p.fd, 0x42);
      int last = 0;
      int scans = 0;
      for (;;) {
        // Record order on one reader, key order on the other; either way a
        // record's image is whole and the order holds.
        r == 0 ? set(p.fd) : set(p.k(p.by_id));
        std::int32_t previous = -1;
        int seen = 0;
        for (;;) {
          next(p.fd);
          if (ERRORCODE() == 33) break;
          if (ERRORCODE() != 0) return 10;
          const std::int32_t id = p.get_long(p.id);
          const std::int32_t order = r == 0 ? pointer(p.fd) : id;
          if (order <= previous) return 11;
          previous = order;
          const int w = id / 100000 - 1;
          if (p.get_string(p.name_field) != "w" + std::to_string(w) + "-" + std::to_string(id % 100000)) return 12;
          ++seen;
        }
        if (seen < last || seen % kBatch != 0) return 13;  // whole transactions only, never fewer
        last = seen;
        ++scans;
        if (stop.hear(20) == 's') return scans > 1 ? 0 : 14;
      }
    }));
  }
  for (pid_t w : writers) EXPECT_EQ(finish_program(w), 0);
  for (std::size_t r = 0; r < readers.size(); ++r) stop.say('s');
  for (pid_t r : readers) EXPECT_EQ(finish_program(r), 0);

  // Every record there once: the count, and the checker's cross check of
  // the data records (one per record number) against it and every key.
  People p(path("many"));
  open(p.fd, 0x42);
  EXPECT_EQ(records(p.fd), kWriters * kPerWriter);
  EXPECT_EQ(records(p.k(p.by_id)), kWriters * kPerWriter);
  close(p.fd);
  const kestrel::CheckReport report = check("many");
  EXPECT_TRUE(report.clean()) << (report.faults.empty() ? report.error : report.faults.front());
}

}  // namespace
}  // namespace files::kestrel_test
