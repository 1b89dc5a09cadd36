// What the data-file commands add to the JSON library: numbers kept as
// written, one name per object, places in errors, the dump's layout, the
// Windows-1252 mapping and base64.
#include "cli/json_document.h"

#include <gtest/gtest.h>

#include <random>

namespace cli::json {
namespace {

Json must_parse(std::string_view text) {
  ParseError e;
  std::optional<Json> v = parse(text, &e);
  EXPECT_TRUE(v.has_value()) << e.describe();
  return v.value_or(Json());
}

std::string error_of(std::string_view text) {
  ParseError e;
  EXPECT_FALSE(parse(text, &e).has_value()) << text;
  return e.describe();
}

TEST(JsonDocumentTest, NumbersKeepTheirTextExactly) {
  const std::string text = "[12345678901234567890123456789.01,-0,1e+20,9223372036854775807,2.5E-3,5.00,-7,0]";
  const Json v = must_parse(text);
  EXPECT_EQ(write(v), text);
  EXPECT_EQ(as_int64(v[3]), 9223372036854775807LL);
  EXPECT_EQ(as_int64(v[6]), -7);
  EXPECT_EQ(as_int64(v[0]), std::nullopt);  // not an integer that fits
  EXPECT_EQ(as_int64(v[5]), std::nullopt);  // "5.00" has a fraction
  EXPECT_EQ(as_double(v[4]), 0.0025);
  EXPECT_TRUE(std::signbit(*as_double(v[1])));
  EXPECT_EQ(number_string(v[5]), "5.00");
  EXPECT_FALSE(is_number(Json("1")));
  for (const char* bad : {"01", "1.", ".5", "+1", "1e", "-", "0x10", "NaN"}) error_of(bad);
}

TEST(JsonDocumentTest, ObjectsKeepOrderAndRefuseANameTwiceWithItsPlace) {
  const Json v = must_parse(R"({"b": 1, "a": [true, false, null], "c": {}})");
  EXPECT_EQ(write(v), R"({"b":1,"a":[true,false,null],"c":{}})");
  EXPECT_EQ(member(v, "zz"), nullptr);
  EXPECT_EQ(error_of("{\"a\":1,\n \"a\":2}"), "line 2, column 4: the name \"a\" occurs twice in one object");
  // Large objects too (their names are looked up another way).
  std::string many = "{";
  for (int i = 0; i < 40; ++i) many += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  EXPECT_EQ(member(must_parse(many + "\"end\":0}"), "k39")->get<int>(), 39);
  EXPECT_NE(error_of(many + "\"k7\":0}").find("\"k7\" occurs twice"), std::string::npos);
}

TEST(JsonDocumentTest, ErrorsTellLineAndColumn) {
  EXPECT_EQ(error_of("{\n  \"a\": 1,\n  \"b\" 2\n}").substr(0, 18), "line 3, column 7: ");
  EXPECT_EQ(error_of("[1, 2] x").substr(0, 18), "line 1, column 8: ");
  EXPECT_NE(error_of("\"\xC0\xAF\"").find("UTF-8"), std::string::npos);
  EXPECT_NE(error_of(std::string(kMaxDepth + 1, '[')).find("nested deeper than 200"), std::string::npos);
  must_parse(std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']'));
}

TEST(JsonDocumentTest, PrettyOutputKeepsARecordOnOneLineAndReadsBack) {
  Json doc = Json::object();
  Json row = Json::object();
  row["ID"] = 1;
  row["NAME"] = "A \"q\"\x01";
  row["DEC"] = number_text("-0.50");
  doc["records"] = Json::array({row, row});
  const std::string pretty = write(doc, true);
  const std::string line = R"({"ID": 1, "NAME": "A \"q\"\u0001", "DEC": -0.50})";
  EXPECT_EQ(pretty, "{\n  \"records\": [\n    " + line + ",\n    " + line + "\n  ]\n}");
  EXPECT_EQ(must_parse(pretty), doc);
}

TEST(JsonDocumentTest, EveryWindows1252ByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string utf8 = windows1252_to_utf8(all);
  EXPECT_EQ(utf8_to_windows1252(utf8), all);
  EXPECT_EQ(windows1252_to_utf8("\x80\x81"), "\xE2\x82\xAC\xC2\x81");  // the euro sign; undefined as C1
  EXPECT_EQ(must_parse(write(Json(utf8))).get<std::string>(), utf8);
  char32_t bad = 0;
  EXPECT_EQ(utf8_to_windows1252("a\xE4\xB8\xAD", &bad), std::nullopt);
  EXPECT_EQ(character_name(bad), "U+4E2D (\xE4\xB8\xAD)");
  EXPECT_EQ(utf8_to_windows1252("\xFF", &bad), std::nullopt);
  EXPECT_EQ(character_name(bad), "U+FFFD (not UTF-8)");
}

TEST(JsonDocumentTest, Base64IsCanonical) {
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
  EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
  std::mt19937 rng(3);
  for (int n = 0; n < 40; ++n) {
    std::string b(static_cast<std::size_t>(n), '\0');
    for (auto& c : b) c = static_cast<char>(rng());
    EXPECT_EQ(base64_decode(base64_encode(b)), b);
  }
  for (const char* bad : {"Zg=", "Zh==", "Z===", "Zm9v YmFy", "Zg==Zg==", "Zm=v"}) {
    EXPECT_EQ(base64_decode(bad), std::nullopt) << bad;
  }
}

TEST(JsonDocumentTest, ArbitraryBytesNeverCrashAndWhatParsesWritesBack) {
  std::mt19937 rng(11);
  const std::string alphabet = "{}[]\",:\\u0123456789.eE+-truefalsnl \n\x80\xC3\xA9";
  for (int round = 0; round < 3000; ++round) {
    std::string s(rng() % 40, ' ');
    for (auto& c : s) c = alphabet[rng() % alphabet.size()];
    ParseError e;
    if (std::optional<Json> v = parse(s, &e)) EXPECT_EQ(parse(write(*v), &e), v) << s;
  }
}

}  // namespace
}  // namespace cli::json
