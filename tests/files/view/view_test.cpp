// Views over real keyed files on the in-memory file system: order, filter
// ranges, both ends, position strings across refills and other programs'
// changes, locating, and what a range saves in driver reads.
#include "files/view/view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/files/kestrel/kestrel_fixture.h"

namespace files::kestrel_test {
namespace {

using view::Bindings;
using view::View;

constexpr char kReset[] = "BRW1::Sort1:Reset:TTB:IDNr";
constexpr char kFilter[] = "TRA:TranslationTableID = BRW1::Sort1:Reset:TTB:IDNr";

// The characters file: id LONG, code LONG, character STRING(2), html
// STRING(10); key (id, character), unique and case-sensitive.
struct Characters : Declared {
  explicit Characters(std::string name = "TRANSLAT") : Declared(std::move(name)) {
    id = field(FieldType::LONG, 4, "TRA:TRANSLATIONTABLEID");
    code = field(FieldType::LONG, 4, "TRA:ASCIINR");
    character = field(FieldType::STRING, 2, "TRA:CHARACTER");
    html = field(FieldType::STRING, 10, "TRA:HTMLCHARS");
    by_char = key("TRA:CHARACTERSKEY", {{id, false}, {character, false}}, key_flag::OPT | key_flag::PRIMARY);
    finish();
  }
  void add_char(std::int32_t table, std::string_view c) {
    clear();
    set_long(id, table);
    set_long(code, static_cast<unsigned char>(c[0]));
    set_string(character, c);
    set_string(html, std::string("&") + std::string(c));
    files::add(fd);
    ASSERT_EQ(ERRORCODE(), 0) << ERROR();
  }
  KeyDescriptor& key_() { return k(by_char); }
  int id = 0, code = 0, character = 0, html = 0, by_char = 0;
};

class ViewTest : public KestrelTest {
 protected:
  // Tables 1, 2 and 3 with the characters of `letters` each (table 2 also
  // "B", which sorts before the lower-case letters).
  void fill(Characters& c, std::string_view letters = "aceg") {
    for (std::int32_t t : {2, 1, 3}) {
      for (char l : letters) c.add_char(t, std::string(1, l));
    }
    c.add_char(2, "B");
  }

  // Reads on in one direction to the end: "table:char" per record.
  std::vector<std::string> read_all(View& v, Characters& c, bool forward = true) {
    std::vector<std::string> out;
    while ((forward ? v.next() : v.previous()) == 0) {
      out.push_back(std::to_string(c.get_long(c.id)) + ":" + c.get_string(c.character));
    }
    EXPECT_EQ(ERRORCODE(), 33) << ERROR();
    return out;
  }

  kestrel::FileRegistry other_;  // the other program's file objects
};

using Rows = std::vector<std::string>;

TEST_F(ViewTest, FilterRangeReadsOneTableBothWaysAndTakesTheVariableWhenPlaced) {
  Characters c;
  create_open(c);
  fill(c);
  std::int32_t reset = 2;
  Bindings names;
  names.bind(kReset, &reset);
  View v(c.fd, c.key_(), &names);
  ASSERT_FALSE(v.set_filter(kFilter));

  // Table 2 lies between two others: both ends are the range's, not the file's.
  ASSERT_EQ(v.first(), 0);
  EXPECT_EQ(v.range_components(), 1u);
  reset = 3;  // a change after placing does not reach this read
  EXPECT_EQ(read_all(v, c), (Rows{"2:B", "2:a", "2:c", "2:e", "2:g"}));
  EXPECT_EQ(v.next(), 33);  // stays at the end until placed again
  reset = 2;
  ASSERT_EQ(v.last(), 0);
  EXPECT_EQ(read_all(v, c, false), (Rows{"2:g", "2:e", "2:c", "2:a", "2:B"}));
  ASSERT_EQ(v.first(), 0);
  EXPECT_EQ(v.previous(), 33);
  ASSERT_EQ(v.last(), 0);
  EXPECT_EQ(v.next(), 33);

  // A read at the end leaves the record buffer as it was.
  ASSERT_EQ(v.first(), 0);
  ASSERT_EQ(v.next(), 0);
  ASSERT_EQ(v.next(), 0);  // 2:a
  EXPECT_EQ(v.previous(), 0);  // reads on backward from the record read last
  EXPECT_EQ(c.get_string(c.character), "B");
  EXPECT_EQ(v.previous(), 33);
  EXPECT_EQ(c.get_string(c.character), "B");
  EXPECT_EQ(c.get_string(c.html), "&B");

  // The tables at the file's two ends, and one with no characters.
  reset = 1;
  v.first();
  EXPECT_EQ(read_all(v, c), (Rows{"1:a", "1:c", "1:e", "1:g"}));
  v.last();
  EXPECT_EQ(read_all(v, c, false).size(), 4u);
  reset = 3;
  v.last();
  EXPECT_EQ(read_all(v, c, false), (Rows{"3:g", "3:e", "3:c", "3:a"}));
  reset = 7;
  v.first();
  EXPECT_EQ(c.get_string(c.character), "a");  // placing leaves the buffer alone
  EXPECT_EQ(v.next(), 33);
  v.last();
  EXPECT_EQ(v.previous(), 33);
  reset = -5;  // before every table
  v.last();
  EXPECT_EQ(v.previous(), 33);

  // A string variable works as well; without a filter the view reads all.
  std::string text_id = "3";
  names.bind("Tid", &text_id);
  ASSERT_FALSE(v.set_filter("tra:translationtableid = tid and TRA:CHARACTER > 'c'"));
  v.first();
  EXPECT_EQ(read_all(v, c), (Rows{"3:e", "3:g"}));
  EXPECT_EQ(v.range_components(), 0u);  // a text against a LONG: record by record
  ASSERT_FALSE(v.set_filter(""));
  v.first();
  EXPECT_EQ(read_all(v, c).size(), 13u);
}

TEST_F(ViewTest, ProjectionAndUnfilteredOrderOfACaseInsensitiveKey) {
  Declared t("TRANSTAB");
  const int id = t.field(FieldType::LONG, 4, "TTB:IDNR");
  const int name = t.field(FieldType::STRING, 20, "TTB:NAME");
  t.key("TTB:TRANSTABLEKEY", {{id, false}}, key_flag::OPT | key_flag::NOCASE | key_flag::PRIMARY);
  const int by_name = t.key("TTB:TABLENAMEKEY", {{name, false}}, key_flag::DUP | key_flag::OPT | key_flag::NOCASE);
  t.finish();
  create_open(t);
  const std::vector<std::pair<int, std::string>> tables = {{1, "Zeta"}, {2, "alpha"}, {3, "Standard"}, {4, "sigma"}};
  for (const auto& [i, n] : tables) {
    t.set_long(id, i);
    t.set_string(name, n);
    add(t.fd);
  }

  View v(t.fd, t.k(by_name));
  std::string unknown;
  EXPECT_FALSE(v.project({"TTB:IDNR", "TTB:NOSUCH"}, &unknown));
  EXPECT_EQ(unknown, "TTB:NOSUCH");
  ASSERT_TRUE(v.project({"ttb:idnr", "TTB:Name"}));
  ASSERT_EQ(v.first(), 0);
  std::vector<std::string> rows;
  while (v.next() == 0) rows.push_back(std::to_string(v.value(0).integer) + v.value(1).text.substr(0, 8));
  EXPECT_EQ(rows, (Rows{"2alpha   ", "4sigma   ", "3Standard", "1Zeta    "}));
  v.first();
  EXPECT_EQ(v.previous(), 33);  // nothing before the first, though the driver reads from either end
  v.last();
  EXPECT_EQ(v.next(), 33);
  EXPECT_EQ(v.bytes(1).size(), 20u);

  // Locating by typing "s": the first name at or after it, either case.
  t.clear();
  t.set_string(name, "s");
  ASSERT_EQ(v.locate(), 0);
  ASSERT_EQ(v.next(), 0);
  EXPECT_EQ(v.value(0).integer, 4);
  t.set_string(name, "zz");
  v.locate();
  EXPECT_EQ(v.next(), 33);
  v.locate();
  ASSERT_EQ(v.previous(), 0);
  EXPECT_EQ(v.value(1).text.substr(0, 4), "Zeta");
}

TEST_F(ViewTest, LocateStaysInTheRangeWhateverTheBufferHolds) {
  Characters c;
  create_open(c);
  fill(c);
  std::int32_t reset = 2;
  Bindings names;
  names.bind(kReset, &reset);
  View v(c.fd, c.key_(), &names);
  ASSERT_FALSE(v.set_filter(kFilter));

  c.clear();
  c.set_long(c.id, 3);  // the buffer's table is not the range's
  c.set_string(c.character, "d");
  ASSERT_EQ(v.locate(), 0);
  EXPECT_EQ(c.get_long(c.id), 3);  // the caller's buffer is given back
  EXPECT_EQ(read_all(v, c), (Rows{"2:e", "2:g"}));
  c.set_string(c.character, "c");
  v.locate();
  EXPECT_EQ(read_all(v, c, false), (Rows{"2:c", "2:a", "2:B"}));  // at or before
  c.set_string(c.character, "z");
  v.locate();
  EXPECT_EQ(v.next(), 33);  // past the table's last character
  v.locate();
  ASSERT_EQ(v.previous(), 0);
  EXPECT_EQ(c.get_string(c.character), "g");
}

TEST_F(ViewTest, PositionsFindTheirRecordAfterRefillsAndOtherProgramsChanges) {
  Characters c;
  create_open(c);
  fill(c);
  std::int32_t reset = 2;
  Bindings names;
  names.bind(kReset, &reset);
  std::string kept;
  {
    View v(c.fd, c.key_(), &names);
    ASSERT_FALSE(v.set_filter(kFilter));
    v.first();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(v.next(), 0);  // 2:c
    kept = v.position();
    ASSERT_EQ(kept.size(), View::kPositionLength);
    ASSERT_EQ(v.next(), 0);
    EXPECT_NE(v.position(), kept);
  }

  // Another program adds a character in front and deletes one behind.
  Characters other;
  set_kestrel_registry(&other_);
  open(other.fd, 0x42);
  set_kestrel_registry(nullptr);
  ASSERT_EQ(ERRORCODE(), 0);
  other.add_char(2, "b");
  other.clear();
  other.set_long(other.id, 2);
  other.set_string(other.character, "e");
  get(other.fd, other.key_());
  erase(other.fd);
  ASSERT_EQ(ERRORCODE(), 0);

  // A new view (the browse made one after a form) finds the row again.
  View v(c.fd, c.key_(), &names);
  ASSERT_FALSE(v.set_filter(kFilter));
  ASSERT_EQ(v.reset(kept), 0);
  ASSERT_EQ(v.next(), 0);
  EXPECT_EQ(v.position(), kept);
  EXPECT_EQ(read_all(v, c), (Rows{"2:g"}));
  v.reset(kept);
  ASSERT_EQ(v.previous(), 0);  // the position's record is met both ways
  EXPECT_EQ(v.position(), kept);
  EXPECT_EQ(read_all(v, c, false), (Rows{"2:b", "2:a", "2:B"}));
  c.clear();
  EXPECT_EQ(v.reget(kept), 0);
  EXPECT_EQ(c.get_string(c.character), "c");

  // The row's record is deleted: the position leads to its neighbours.
  other.set_string(other.character, "c");
  get(other.fd, other.key_());
  erase(other.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(v.reget(kept), 35);
  ASSERT_EQ(v.reset(kept), 0);
  ASSERT_EQ(v.next(), 0);
  EXPECT_EQ(c.get_string(c.character), "g");
  v.reset(kept);
  ASSERT_EQ(v.previous(), 0);
  EXPECT_EQ(c.get_string(c.character), "b");

  // A position outside the range: the range lies ahead of it, or is behind.
  reset = 3;
  v.reset(kept);
  EXPECT_EQ(read_all(v, c), (Rows{"3:a", "3:c", "3:e", "3:g"}));
  v.reset(kept);
  EXPECT_EQ(v.previous(), 33);
  reset = 1;
  v.reset(kept);
  EXPECT_EQ(v.next(), 33);
  v.reset(kept);
  EXPECT_EQ(read_all(v, c, false), (Rows{"1:g", "1:e", "1:c", "1:a"}));
}

TEST_F(ViewTest, BadPositionsAndDriverErrorsReachTheCaller) {
  Characters c;
  create_open(c);
  fill(c, "a");
  View v(c.fd, c.key_());
  EXPECT_EQ(v.reset(std::string(512, ' ')), 35);
  EXPECT_EQ(ERRORFILE(), &c.fd);
  EXPECT_EQ(v.reset("garbage"), 35);
  EXPECT_EQ(v.next(), 33);  // not placed
  EXPECT_EQ(v.reget(""), 35);

  // Driver positions are bytes: blanks and zeros at their end survive.
  const std::string raw = std::string("\0ab ", 4) + std::string(3, ' ');
  const auto wrapped = View::view_position(raw);
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(wrapped->size(), 512u);
  EXPECT_EQ(View::driver_position(*wrapped), raw);
  EXPECT_FALSE(View::view_position(std::string(509, 'x')));
  EXPECT_TRUE(View::view_position(std::string(508, 'x')));
  std::string tampered = *wrapped;
  tampered[100] = 'x';
  EXPECT_FALSE(View::driver_position(tampered));

  // A read error other than 33 comes back as the driver posted it.
  ASSERT_EQ(v.first(), 0);
  close(c.fd);
  EXPECT_EQ(v.next(), 37);
  EXPECT_EQ(ERRORCODE(), 37);
  EXPECT_EQ(ERRORFILE(), &c.fd);
  EXPECT_EQ(v.first(), 37);

  // A malformed filter is reported and the view reads without it.
  open(c.fd, 0x42);
  const auto error = v.set_filter("TRA:TranslationTableID = ");
  ASSERT_TRUE(error);
  EXPECT_FALSE(v.filtered());
  v.first();
  EXPECT_EQ(read_all(v, c).size(), 4u);
}

TEST_F(ViewTest, ARangePageCostsItsRowsAndNotTheFile) {
  Characters c;
  create_open(c);
  const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  logout(c.fd);
  for (std::int32_t t = 1; t <= 40; ++t) {
    for (char l : letters) c.add_char(t, std::string(1, l));
  }
  commit(c.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  std::int32_t reset = 20;
  Bindings names;
  names.bind(kReset, &reset);
  View v(c.fd, c.key_(), &names);
  ASSERT_FALSE(v.set_filter("(BRW1::Sort1:Reset:TTB:IDNr = TRA:TranslationTableID) AND TRA:ASCIINR <> 0"));

  auto page = [&](bool forward) {
    const std::uint64_t before = v.driver_reads();
    for (int i = 0; i < 15; ++i) EXPECT_EQ(forward ? v.next() : v.previous(), 0);
    return v.driver_reads() - before;
  };
  v.first();
  EXPECT_EQ(page(true), 15u);
  EXPECT_EQ(c.get_string(c.character), "O");
  const std::string row = v.position();
  v.reset(row);  // the next page, as the browse reads it
  const std::uint64_t before = v.driver_reads();
  EXPECT_EQ(v.next(), 0);
  EXPECT_EQ(v.position(), row);
  EXPECT_EQ(read_all(v, c).size(), 11u);
  EXPECT_EQ(v.driver_reads() - before, 13u);  // 12 records and the one past the range
  v.last();
  EXPECT_EQ(page(false), 15u);

  // The same records chosen by a filter that fixes no component: the view
  // reads every record in front of the table.
  ASSERT_FALSE(v.set_filter("TRA:TranslationTableID >= 20 AND TRA:TranslationTableID <= 20"));
  v.first();
  EXPECT_GT(page(true), 19u * 26u);
}

}  // namespace
}  // namespace files::kestrel_test
