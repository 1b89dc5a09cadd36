// The filter language: every field type a filter reads, the comparison
// rules, precedence, bound variables taken on request, the equalities a
// range is made of, and malformed expressions with their place.
#include "files/view/filter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/files/kestrel/kestrel_fixture.h"

namespace files::kestrel_test {
namespace {

using view::Bindings;
using view::Filter;

class FilterTest : public KestrelTest {
 protected:
  void SetUp() override {
    KestrelTest::SetUp();
    byte_ = f.field(FieldType::BYTE, 1, "F:BYTE");
    short_ = f.field(FieldType::SHORT, 2, "F:SHORT");
    ushort_ = f.field(FieldType::USHORT, 2, "F:USHORT");
    long_ = f.field(FieldType::LONG, 4, "F:LONG");
    ulong_ = f.field(FieldType::ULONG, 4, "F:ULONG");
    sreal_ = f.field(FieldType::SREAL, 4, "F:SREAL");
    real_ = f.field(FieldType::REAL, 8, "F:REAL");
    decimal_ = f.field(FieldType::DECIMAL, 4, "F:DECIMAL", 7, 2);
    string_ = f.field(FieldType::STRING, 6, "F:STRING");
    cstring_ = f.field(FieldType::CSTRING, 6, "F:CSTRING");
    pstring_ = f.field(FieldType::PSTRING, 6, "F:PSTRING");
    array_ = f.field(FieldType::LONG, 4, "F:ARRAY");
    f.fd.fields.back().dims = {3};
    f.finish();
    f.buffer.resize(f.buffer.size() + 8);  // the array's other elements
    f.fd.record = f.buffer.data();
    f.fd.record_length = static_cast<std::uint32_t>(f.buffer.size());
    f.fd.fields[0].size = f.fd.record_length;
    create_open(f);

    f.at(byte_)[0] = 200;
    const std::int16_t s = -3;
    std::memcpy(f.at(short_), &s, 2);
    const std::uint16_t u = 60000;
    std::memcpy(f.at(ushort_), &u, 2);
    f.set_long(long_, -7);
    const std::uint32_t ul = 4000000000u;
    std::memcpy(f.at(ulong_), &ul, 4);
    const float sr = 0.5f;
    std::memcpy(f.at(sreal_), &sr, 4);
    const double r = 2.5;
    std::memcpy(f.at(real_), &r, 8);
    const std::uint8_t packed[] = {0xF1, 0x23, 0x45, 0x67};  // -12345.67
    std::memcpy(f.at(decimal_), packed, 4);
    f.set_string(string_, "ab");
    f.set_cstring(cstring_, "xy");
    const std::uint8_t p[] = {2, 'p', 'q', 'r', 's', 't'};
    std::memcpy(f.at(pstring_), p, 6);
  }

  bool passes(const std::string& expression) {
    Filter filter;
    const auto error = Filter::parse(expression, f.fd, &names, &filter);
    EXPECT_FALSE(error) << expression << ": " << error->message;
    return filter.matches(f.fd.record);
  }

  Declared f{"fields"};
  Bindings names;
  int byte_ = 0, short_ = 0, ushort_ = 0, long_ = 0, ulong_ = 0, sreal_ = 0, real_ = 0, decimal_ = 0;
  int string_ = 0, cstring_ = 0, pstring_ = 0, array_ = 0;
};

TEST_F(FilterTest, ComparesEveryFieldTypeByTheRules) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"F:LONG = -7", true},
      {"f:long < -6 and F:Long <= -7 and F:LONG > -8 and F:LONG >= -7 and F:LONG <> 7", true},
      {"F:BYTE >= 200 AND F:SHORT <> -3", false},
      {"F:BYTE >= 200 AND NOT F:SHORT <> -3", true},
      {"F:USHORT = 60000 AND F:ULONG > 3999999999", true},
      {"F:REAL = 2.5 AND F:SREAL = 0.5 AND F:REAL > 2", true},
      {"F:DECIMAL < -12345.66 AND F:DECIMAL > -12345.68", true},
      {"F:STRING = 'ab' AND F:STRING = 'ab     ' AND 'ab' = F:STRING", true},
      {"F:STRING = 'AB'", false},                  // case counts
      {"F:STRING < 'ab!'", true},                  // the padding blank sorts before '!'
      {"F:CSTRING = \"xy\" AND F:PSTRING = 'pq'", true},
      {"F:LONG = '  -7 ' AND F:LONG <> 'x'", true},  // a text read as a number
      {"'it''s' = \"it's\"", true},
      {"(F:LONG = 1 OR F:LONG = -7) AND F:BYTE = 200", true},
      {"F:LONG = 1 OR F:LONG = -7 AND F:BYTE = 0", false},  // AND binds first
      {"NOT (F:LONG = 1 OR F:BYTE = 1)", true},
      {"   ", true},
  };
  for (const auto& [expression, expected] : cases) EXPECT_EQ(passes(expression), expected) << expression;
}

TEST_F(FilterTest, VariablesAreTakenWhenAskedAndEqualitiesAtTheTopFixFields) {
  std::int32_t id = -7;
  std::string text = "ab";
  names.bind("BRW1::Sort1:Reset:TTB:IDNr", &id);
  names.bind("Txt", &text);
  Filter filter;
  ASSERT_FALSE(Filter::parse("F:LONG = brw1::sort1:reset:ttb:idnr AND F:STRING = TXT", f.fd, &names, &filter));
  EXPECT_TRUE(filter.matches(f.fd.record));
  id = 1;
  EXPECT_TRUE(filter.matches(f.fd.record));  // not taken yet
  filter.take_values();
  EXPECT_FALSE(filter.matches(f.fd.record));
  std::int32_t other = -7;
  names.bind("BRW1::SORT1:RESET:TTB:IDNR", &other);  // bound again: the new variable
  filter.take_values();
  EXPECT_TRUE(filter.matches(f.fd.record));

  ASSERT_FALSE(Filter::parse("F:LONG = Txt AND (F:BYTE = 1 OR F:SHORT = 2) AND 'cd' = F:STRING AND F:USHORT > 3 "
                             "AND F:LONG = F:BYTE AND NOT F:ULONG = 1",
                             f.fd, &names, &filter));
  const auto fixed = filter.fixed();
  ASSERT_EQ(fixed.size(), 2u);
  EXPECT_EQ(fixed[0].field.index, long_);
  EXPECT_EQ(fixed[0].value.text, "ab");
  EXPECT_EQ(fixed[1].field.index, string_);
  EXPECT_EQ(fixed[1].value.text, "cd");
  ASSERT_FALSE(Filter::parse("F:LONG = 1 OR F:BYTE = 1", f.fd, &names, &filter));
  EXPECT_TRUE(filter.fixed().empty());
}

TEST_F(FilterTest, MalformedExpressionsAreReportedWithTheirPlace) {
  struct Case {
    std::string expression;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"F:LONG =", "Expression ends too early at 9"},
      {"(F:LONG = 1", "Missing ')' at 1"},
      {"F:LONG 1", "Expected a comparison at 8"},
      {"F:NOSUCH = 1", "Unknown name 'F:NOSUCH' at 1"},
      {"F:LONG = 1 AND F:ARRAY = 1", "The field F:ARRAY is an array at 16"},
      {"F:STRING = 'ab", "Unterminated text at 12"},
      {"F:LONG = 1 F:BYTE", "Unexpected 'F:BYTE' at 12"},
      {"F:LONG == 1", "Expected a name or a value at 9"},
      {"F:LONG = 99999999999999999999", "Number out of range at 10"},
      {"F:LONG = 1 # 2", "Unexpected '#' at 12"},
      {"AND = 1", "Expected a name or a value at 1"},
      {std::string(100, '(') + "F:LONG = 1" + std::string(100, ')'), "Expression nested too deeply at 65"},
  };
  Filter filter;
  ASSERT_FALSE(Filter::parse("F:LONG = 1", f.fd, &names, &filter));
  for (const Case& c : cases) {
    const auto error = Filter::parse(c.expression, f.fd, &names, &filter);
    ASSERT_TRUE(error) << c.expression;
    EXPECT_EQ(error->message, c.message) << c.expression;
  }
  std::string chain = "F:LONG = 1";
  for (int i = 0; i < 600; ++i) chain += " AND F:LONG = 1";  // past what the evaluator recurses through
  const auto long_chain = Filter::parse(chain, f.fd, &names, &filter);
  ASSERT_TRUE(long_chain);
  EXPECT_THAT(long_chain->message, ::testing::StartsWith("Expression too long at "));
  EXPECT_FALSE(filter.empty());  // a failed parse leaves the filter as it was
  f.set_long(long_, 1);
  EXPECT_TRUE(filter.matches(f.fd.record));

  close(f.fd);
  const auto closed = Filter::parse("F:LONG = 1", f.fd, &names, &filter);
  ASSERT_TRUE(closed);
  EXPECT_THAT(closed->message, ::testing::HasSubstr("is not open"));
}

}  // namespace
}  // namespace files::kestrel_test
