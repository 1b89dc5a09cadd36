// The table layer through the driver: memos, OEM text, index builds, stale
// marks, sequences and positions, space given back.
#include <gtest/gtest.h>

#include "files/kestrel/check.h"
#include "files/kestrel/format.h"
#include "runtime/char_tables.h"
#include "runtime/charset.h"
#include "tests/files/kestrel/kestrel_fixture.h"

namespace files::kestrel_test {
namespace {

bool clean(platform::Env* env, const std::string& path) {
  const kestrel::CheckReport r = kestrel::check_file(env, path, std::nullopt);
  if (!r.clean()) ADD_FAILURE() << (r.faults.empty() ? r.error : r.faults.front());
  return r.clean();
}

TEST_F(KestrelTest, MemosAndBlobsSpanSegmentsAndFollowTheirRecord) {
  People p("memos");
  p.memo("PEO:PHOTO", 0, true);
  create_open(p);
  const std::string text = std::string(600, 'm') + "end";
  std::string blob(700, '\0');
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(i * 7);
  blob += "   ";  // a BLOB keeps its trailing blanks
  p.set(1, "Ann");
  p.set_memo(0, text + "      ");
  p.set_memo(1, blob);
  add(p.fd);
  ASSERT_EQ(ERRORCODE(), 0) << ERROR();
  const auto ann = static_cast<std::uint32_t>(pointer(p.fd));
  p.set(2, "Bob");
  p.set_memo(0, "short");
  p.set_memo(1, "");
  add(p.fd);
  const auto bob = static_cast<std::uint32_t>(pointer(p.fd));
  close(p.fd);

  open(p.fd);
  p.clear();
  get(p.fd, ann);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(p.memo_text(0), text);
  EXPECT_EQ(p.fd.memos[0].buffer.size(), 1000u);  // a MEMO reads back blank-padded to its size
  EXPECT_EQ(std::string(p.fd.memos[1].buffer.begin(), p.fd.memos[1].buffer.end()), blob);

  // NOMEMO: the read leaves the buffers alone, and the PUT after it keeps
  // the stored memos.
  p.set_memo(0, "scratch");
  Operands o;
  dispatch(p.fd, Op::NOMEMO, o);
  get(p.fd, bob);
  EXPECT_EQ(p.memo_text(0), "scratch");
  p.set_string(p.city, "Pisa");
  put(p.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  get(p.fd, bob);
  EXPECT_EQ(p.memo_text(0), "short");

  // A shorter BLOB replaces every old segment.
  get(p.fd, ann);
  p.set_memo(1, "tiny");
  put(p.fd);
  get(p.fd, ann);
  EXPECT_EQ(std::string(p.fd.memos[1].buffer.begin(), p.fd.memos[1].buffer.end()), "tiny");
  erase(p.fd);
  close(p.fd);
  EXPECT_TRUE(clean(env_.get(), "/data/memos.KSF"));  // no segment outlives its record
}

// Keys keep the collation of the program that created the table.
TEST_F(KestrelTest, KeyOrderFollowsTheTablesOwnCharacterTables) {
  runtime::set_collating_sequence("ba", false);
  People p("collate");
  create_open(p);
  runtime::reset_char_tables();
  for (const char* n : {"a", "b", "c"}) {
    p.set(n[0], n);
    add(p.fd);
  }
  close(p.fd);
  open(p.fd);
  std::string order;
  set(p.k(p.by_name));
  for (next(p.fd); ERRORCODE() == 0; next(p.fd)) order += p.get_string(p.name_field);
  EXPECT_EQ(order, "bac");
}

TEST_F(KestrelTest, AnOemTableStoresOemTextAndReadsAnsi) {
  People p("oem", attr::CREATE | attr::OEM);
  create_open(p);
  p.set(1, "Caf\xE9 M\xFCller", "Z\xFCrich");
  p.set_memo(0, "na\xEFve");
  add(p.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  const std::string bytes = bytes_of("/data/oem.KSF");
  EXPECT_EQ(bytes.find("Caf\xE9"), std::string::npos);
  close(p.fd);

  People plain("oem");  // the stored attribute rules, not the declaration's
  open(plain.fd);
  plain.set_long(plain.id, 1);
  get(plain.fd, plain.k(plain.by_id));
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(plain.get_string(plain.name_field), "Caf\xE9 M\xFCller");
  EXPECT_EQ(plain.memo_text(0), "na\xEFve");
  plain.set_string(plain.city, "Z\xFCrich");
  get(plain.fd, plain.k(plain.by_city));
  EXPECT_EQ(ERRORCODE(), 0);
}

// APPEND leaves the keys stale; BUILD makes them whole. With the full-build
// switch off only entries from the stale mark on are rebuilt.
TEST_F(KestrelTest, BuildRepairsKeysFromTheirStaleMarks) {
  People p("build");
  create_open(p, 0x12);
  for (int i = 1; i <= 5; ++i) {
    p.set(i, "n" + std::to_string(i), "c");
    i <= 2 ? add(p.fd) : append(p.fd);
    ASSERT_EQ(ERRORCODE(), 0);
  }
  EXPECT_EQ(records(p.fd), 5);
  EXPECT_EQ(records(p.k(p.by_id)), 2);
  p.set_long(p.id, 4);
  get(p.fd, p.k(p.by_id));
  EXPECT_EQ(ERRORCODE(), 35);

  build(p.k(p.by_id));
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(records(p.k(p.by_id)), 5);
  get(p.fd, p.k(p.by_id));
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(records(p.k(p.by_name)), 2);
  close(p.fd);
  build(p.fd);  // a closed file is opened for the build alone
  ASSERT_EQ(ERRORCODE(), 0) << ERROR();
  EXPECT_TRUE(clean(env_.get(), "/data/build.KSF"));

  // An appended duplicate of a unique key: the build fails and changes nothing.
  open(p.fd, 0x12);
  p.set(3, "again");
  append(p.fd);
  const std::string before = bytes_of("/data/build.KSF");
  build(p.fd);
  EXPECT_EQ(ERRORCODE(), 40);
  EXPECT_EQ(bytes_of("/data/build.KSF"), before);
  EXPECT_EQ(send(p.fd, "FULLBUILD=ON"), "OFF");
  EXPECT_EQ(send(p.fd, "FULLBUILD"), "ON");

  empty(p.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(records(p.fd), 0);
  EXPECT_EQ(records(p.k(p.by_name)), 0);
  close(p.fd);
  EXPECT_TRUE(clean(env_.get(), "/data/build.KSF"));
}

TEST_F(KestrelTest, SequencesSkipAndReportTheirEnds) {
  People p("seq");
  create_open(p);
  for (int i = 1; i <= 6; ++i) {
    p.set(i * 10, i % 2 ? "odd" : "even", "");
    add(p.fd);
  }
  set(p.fd);
  EXPECT_FALSE(eof(p.fd));
  next(p.fd);
  EXPECT_TRUE(bof(p.fd));  // nothing before the first record
  skip(p.fd, 1);
  next(p.fd);
  EXPECT_EQ(p.get_long(p.id), 30);
  skip(p.fd, 3);
  EXPECT_TRUE(eof(p.fd));
  skip(p.fd, 1);
  EXPECT_EQ(ERRORCODE(), 33);

  // SETfilekey: record order, starting at the record the key value finds.
  p.set_long(p.id, 40);
  set(p.fd, p.k(p.by_id));
  next(p.fd);
  EXPECT_EQ(p.get_long(p.id), 40);
  previous(p.fd);
  EXPECT_EQ(p.get_long(p.id), 30);

  // From a value backwards: every entry of the value, last record first.
  p.set_string(p.name_field, "ODD");
  set(p.k(p.by_name), p.k(p.by_name));
  previous(p.fd);
  EXPECT_EQ(p.get_long(p.id), 50);

  // A position in a blank-padded variable still resets; one too short does not.
  const std::string pos = position(p.k(p.by_name)) + std::string(100, ' ');
  next(p.fd);
  reset(p.k(p.by_name), pos);
  next(p.fd);
  EXPECT_EQ(p.get_long(p.id), 50);
  reset(p.k(p.by_name), "x");
  EXPECT_EQ(ERRORCODE(), 35);

  // A sequence set at a deleted record starts with the one after it.
  p.set_long(p.id, 20);
  get(p.fd, p.k(p.by_id));
  const auto gone = static_cast<std::uint32_t>(pointer(p.fd));
  erase(p.fd);
  set_pointer(p.fd, gone);
  next(p.fd);
  EXPECT_EQ(p.get_long(p.id), 30);
}

// The end of the data (the header's committed end) comes back near where the
// empty table had it: emptied pages are given back, shrunken ones stay.
TEST_F(KestrelTest, DeletingEverythingGivesTheSpaceBack) {
  People p("shrink");
  create_open(p);
  auto data_end = [&] { return kestrel::get_le32(kestrel::view_of(bytes_of("/data/shrink.KSF")), 6); };
  const std::uint32_t empty_end = data_end();
  for (int i = 0; i < 400; ++i) {
    p.set(i, "name" + std::to_string(i), "city");
    std::string note(300, ' ');
    for (std::size_t j = 0; j < note.size(); ++j) note[j] = static_cast<char>('a' + (i * 31 + j * 7) % 26);
    p.set_memo(0, note);
    add(p.fd);
  }
  EXPECT_GT(data_end(), 100 * empty_end);
  set(p.fd);
  for (next(p.fd); ERRORCODE() == 0; next(p.fd)) erase(p.fd);
  EXPECT_EQ(records(p.fd), 0);
  EXPECT_LE(data_end(), empty_end + 4 * 256);
  close(p.fd);
  EXPECT_TRUE(clean(env_.get(), "/data/shrink.KSF"));
}

}  // namespace
}  // namespace files::kestrel_test
