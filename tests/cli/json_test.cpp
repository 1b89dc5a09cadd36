#include "cli/json.h"

#include <gtest/gtest.h>

#include <random>

namespace cli::json {
namespace {

Value must_parse(std::string_view text) {
  ParseError e;
  std::optional<Value> v = parse(text, &e);
  EXPECT_TRUE(v.has_value()) << e.describe();
  return v.value_or(Value());
}

std::string error_of(std::string_view text) {
  ParseError e;
  EXPECT_FALSE(parse(text, &e).has_value()) << text;
  return e.describe();
}

TEST(JsonTest, NumbersKeepTheirTextExactly) {
  const Value v = must_parse(R"([12345678901234567890123456789.01, -0, 1e+20, 9223372036854775807, 2.5E-3])");
  EXPECT_EQ(write(v), "[12345678901234567890123456789.01,-0,1e+20,9223372036854775807,2.5E-3]");
  EXPECT_EQ(v.items()[3].as_int64(), 9223372036854775807LL);
  EXPECT_EQ(v.items()[0].as_int64(), std::nullopt);  // not an integer that fits
  EXPECT_EQ(v.items()[4].as_double(), 0.0025);
  EXPECT_EQ(Value::number(0.1).text(), "0.1");
  EXPECT_EQ(Value::number(-3.0e-300).as_double(), -3.0e-300);
  EXPECT_TRUE(Value::number(std::numeric_limits<double>::infinity()).is_null());
  for (const char* bad : {"01", "1.", ".5", "+1", "1e", "-", "0x10", "NaN"}) error_of(bad);
}

TEST(JsonTest, ObjectsKeepMemberOrderAndRefuseRepeatedNames) {
  const Value v = must_parse(R"({"b": 1, "a": [true, false, null], "c": {}})");
  ASSERT_EQ(v.members().size(), 3u);
  EXPECT_EQ(v.members()[0].first, "b");
  EXPECT_EQ(v.find("a")->items().size(), 3u);
  EXPECT_EQ(v.find("zz"), nullptr);
  EXPECT_EQ(write(v), R"({"b":1,"a":[true,false,null],"c":{}})");
  EXPECT_NE(error_of(R"({"a":1,"a":2})").find("occurs twice"), std::string::npos);
}

TEST(JsonTest, StringsEscapeAndUnescape) {
  const Value v = must_parse(R"("tab\there \"q\" \\ \/ \u00e9 \ud83d\ude00 \u0001")");
  EXPECT_EQ(v.text(), "tab\there \"q\" \\ / \xC3\xA9 \xF0\x9F\x98\x80 \x01");
  EXPECT_EQ(write(v), R"("tab\there \"q\" \\ / )" "\xC3\xA9 \xF0\x9F\x98\x80" R"( \u0001")");
  EXPECT_EQ(must_parse(write(v)), v);
  error_of("\"\\ud83d\"");         // lone high surrogate
  error_of("\"\\udc00\"");         // lone low surrogate
  error_of("\"a\nb\"");            // raw control character
  error_of("\"\xC0\xAF\"");        // overlong UTF-8
  error_of("\"\xED\xA0\x80\"");    // encoded surrogate
  error_of("\"abc");
}

TEST(JsonTest, ErrorsTellLineAndColumn) {
  EXPECT_EQ(error_of("{\n  \"a\": 1,\n  \"b\" 2\n}"), "line 3, column 7: ':' expected");
  EXPECT_EQ(error_of("[1, 2] x"), "line 1, column 8: unexpected text after the JSON value");
  EXPECT_NE(error_of(std::string(kMaxDepth + 1, '[')).find("nesting"), std::string::npos);
  must_parse(std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']'));
}

TEST(JsonTest, PrettyOutputKeepsScalarRowsOnOneLineAndReadsBack) {
  Value doc = Value::object();
  Value& rows = doc.set("records", Value::array());
  Value row = Value::object();
  row.set("ID", Value::number(1));
  row.set("NAME", Value::string("A "));
  rows.push(row);
  rows.push(row);
  const std::string pretty = write(doc, true);
  EXPECT_EQ(pretty, "{\n  \"records\": [\n    {\"ID\": 1, \"NAME\": \"A \"},\n    {\"ID\": 1, \"NAME\": \"A \"}\n  ]\n}");
  EXPECT_EQ(must_parse(pretty), doc);
}

TEST(JsonTest, EveryWindows1252ByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string utf8 = windows1252_to_utf8(all);
  EXPECT_EQ(utf8_to_windows1252(utf8), all);
  // The euro sign, and an undefined byte as its C1 control.
  EXPECT_EQ(windows1252_to_utf8("\x80\x81"), "\xE2\x82\xAC\xC2\x81");
  // Through JSON text as well.
  EXPECT_EQ(must_parse(write(Value::string(utf8))).text(), utf8);
  char32_t bad = 0;
  EXPECT_EQ(utf8_to_windows1252("\xE2\x80\x8B", &bad), std::nullopt);  // zero width space: not in 1252
  EXPECT_EQ(bad, U'\u200B');
  EXPECT_EQ(utf8_to_windows1252("\xFF", &bad), std::nullopt);
  EXPECT_EQ(bad, U'\uFFFD');
}

TEST(JsonTest, Base64IsCanonical) {
  EXPECT_EQ(base64_encode(""), "");
  EXPECT_EQ(base64_encode("f"), "Zg==");
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
  EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
  std::mt19937 rng(3);
  for (int n = 0; n < 40; ++n) {
    std::string b(n, '\0');
    for (auto& c : b) c = static_cast<char>(rng());
    EXPECT_EQ(base64_decode(base64_encode(b)), b);
  }
  for (const char* bad : {"Zg=", "Zh==", "Z===", "Zm9v YmFy", "Zg==Zg==", "Zm=v"}) {
    EXPECT_EQ(base64_decode(bad), std::nullopt) << bad;
  }
}

TEST(JsonTest, ArbitraryBytesNeverCrashTheParser) {
  std::mt19937 rng(11);
  const std::string alphabet = "{}[]\",:\\u0123456789.eE+-truefalsnl \n\x80\xC3\xA9";
  for (int round = 0; round < 3000; ++round) {
    std::string s(rng() % 40, ' ');
    for (auto& c : s) c = alphabet[rng() % alphabet.size()];
    ParseError e;
    std::optional<Value> v = parse(s, &e);
    if (v) {
      EXPECT_EQ(parse(write(*v), &e), v) << s;
    }
  }
}

}  // namespace
}  // namespace cli::json
