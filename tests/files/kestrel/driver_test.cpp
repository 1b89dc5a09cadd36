// The driver entry: names, opening and creating tables, errors, commands,
// tables of one file, copies, transactions.
#include <gtest/gtest.h>

#include "files/kestrel/format.h"
#include "files/kestrel/layout.h"
#include "files/kestrel/table_names.h"
#include "tests/files/kestrel/kestrel_fixture.h"

namespace files::kestrel_test {
namespace {

using kestrel::TableName;

// --- Names -----------------------------------------------------------------------------

TEST_F(KestrelTest, NamesSplitAtTheMarkerAndCompleteThePath) {
  TableName n;
  ASSERT_EQ(kestrel::split_table_name(env_.get(), "people\\!staff", &n), 0);
  EXPECT_EQ(n.path, "/data/people.KSF");
  EXPECT_EQ(n.table, "STAFF");
  EXPECT_EQ(n.message_name(), "/data/people.KSF\\!STAFF");

  ASSERT_EQ(kestrel::split_table_name(env_.get(), "TRANSLAT   ", &n), 0);
  EXPECT_EQ(n.path, "/data/TRANSLAT.KSF");
  EXPECT_EQ(n.table, "UNNAMED");
  EXPECT_EQ(n.message_name(), "/data/TRANSLAT.KSF");

  ASSERT_EQ(kestrel::split_table_name(env_.get(), "/data/x.dat", &n), 0);
  EXPECT_EQ(n.path, "/data/x.dat");
}

TEST_F(KestrelTest, AMarkerAfterAnExistingDirectoryIsPartOfThePath) {
  ASSERT_TRUE(env_->make_directory("/data/dir").ok());
  TableName n;
  ASSERT_EQ(kestrel::split_table_name(env_.get(), "dir\\!sub/f\\!t", &n), 0);
  EXPECT_EQ(n.path, "/data/dir\\!sub/f.KSF");
  EXPECT_EQ(n.table, "T");
}

TEST_F(KestrelTest, NamesOf260CharactersOrMoreAreInvalid) {
  TableName n;
  EXPECT_EQ(kestrel::split_table_name(env_.get(), "   ", &n), 45);
  EXPECT_EQ(kestrel::split_table_name(env_.get(), std::string(250, 'a'), &n), 45);  // "/data/" + ".KSF" makes 260
  EXPECT_EQ(kestrel::split_table_name(env_.get(), std::string(249, 'a'), &n), 0);
  People p(std::string(300, 'b'));
  open(p.fd);
  EXPECT_EQ(ERRORCODE(), 45);
}

// --- Open and create -------------------------------------------------------------------

TEST_F(KestrelTest, OpenOfAMissingFileIsFileNotFoundAndMakesNoFile) {
  People p("people");
  open(p.fd);
  EXPECT_EQ(ERRORCODE(), 2);
  EXPECT_FALSE(env_->exists("/data/people.KSF"));
}

TEST_F(KestrelTest, CreateNeedsTheCreateAttribute) {
  People p("people", 0);
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

}  // namespace
}  // namespace files::kestrel_test
