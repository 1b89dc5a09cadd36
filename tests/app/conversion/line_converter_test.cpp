// The per-line rules: modes, replacements, blanks, tabs, limits, UTF-8 and
// the two options beyond the window.
#include "app/conversion/line_converter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "app/conversion/replacement_table.h"

namespace {

using conversion::LineConverter;
using conversion::Options;
using conversion::ReplacementTable;

std::string convert(const Options& o, const ReplacementTable& t, std::string_view line, bool utf8 = false,
                    bool* cut = nullptr, bool more = false) {
  LineConverter c(o, t, utf8);
  bool ignored = false;
  return std::string(c.convert(line, more, cut ? cut : &ignored));
}

Options mode(std::int32_t m) {
  Options o;
  o.mode = m;
  return o;
}

TEST(LineConverterTest, WorkedExample) {
  Options o = mode(conversion::kModeInternational);
  o.indent = 2;
  o.before = "HtmlLine('";
  o.after = "')";
  ReplacementTable t;
  t.set(233, "&eacute");
  EXPECT_EQ(convert(o, t, "  <p>Caf\xE9</p>      "), "  HtmlLine('  <<p>Caf&eacute;<</p>')");
  EXPECT_EQ(convert(o, t, ""), "  HtmlLine('')");
}

TEST(LineConverterTest, EachModeLooksUpItsOwnCharacters) {
  ReplacementTable t;
  for (int c : {int{'&'}, int{'"'}, int{'a'}, int{' '}, 233}) t.set(static_cast<std::uint8_t>(c), "X");
  t.set('"', "\"\"");
  const std::string line = "a \"<\xE9&\" b";
  EXPECT_EQ(convert(mode(0), t, line), "a \"<<\xE9&\" b");
  EXPECT_EQ(convert(mode(1), t, line), "a \"<<X&\" b");
  // All: blanks and letters inside the line too; the quote entry doubles quotes.
  EXPECT_EQ(convert(mode(2), t, line), "XX\"\"<<XX\"\"Xb");
  Options other = mode(3);
  other.indent = 1;
  other.before = "B(";
  other.after = ")";
  EXPECT_EQ(convert(other, t, line), " B()");
}

TEST(LineConverterTest, ReplacementTextsFollowTheirRules) {
  ReplacementTable t;
  t.set(200, "&");       // alone: the character itself
  t.set(201, "x");       // no "&": as it is, no ";"
  t.set(202, "      ");  // blank: the character goes
  t.set(203, "&Ecirc");  // an entity: ";" added
  // 204 has no entry: itself.
  EXPECT_EQ(convert(mode(1), t, "\xC8|\xC9|\xCA|\xCB|\xCC"), "\xC8|x||&Ecirc;|\xCC");
  EXPECT_EQ(convert(mode(1), ReplacementTable::standard(), "\xE9\xA0\x80"), "&eacute;&nbsp;\x80");
}

TEST(LineConverterTest, BlanksTabsAndIndent) {
  Options o = mode(0);
  o.before = "b  ";
  o.after = "a  ";
  EXPECT_EQ(convert(o, {}, "   x  y   "), "b   x  ya");
  o.before = o.after = "";
  EXPECT_EQ(convert(o, {}, "   \t  "), "");
  // Tabs stop every 8 columns, counted in the input line.
  EXPECT_EQ(convert(o, {}, "A\tB\t\tC"), "A       B               C");
  o.indent = 3;
  EXPECT_EQ(convert(o, {}, "x"), "   x");
  // In mode All a tab's blanks are looked up like any blank.
  ReplacementTable t;
  t.set(' ', "_");
  EXPECT_EQ(convert(mode(2), t, "a\tb"), "a_______b");
}

TEST(LineConverterTest, LimitsCutLinesAndSayWhenTextWasLost) {
  Options o = mode(1);
  o.max_line = 10;
  bool cut = false;
  EXPECT_EQ(convert(o, {}, "0123456789ABC", false, &cut), "0123456789");
  EXPECT_TRUE(cut);
  // Only blanks past the limit: nothing lost.
  EXPECT_EQ(convert(o, {}, "0123456789    ", false, &cut), "0123456789");
  EXPECT_FALSE(cut);
  // A tab reaching past the limit is blanks only, and ends the line there.
  EXPECT_EQ(convert(o, {}, "0123\t", false, &cut), "0123");
  EXPECT_FALSE(cut);
  EXPECT_EQ(convert(o, {}, "\x84" "012345678\t\x86x", true, &cut), "\x84" "012345678");
  EXPECT_TRUE(cut);
  // The work line: replacements make it longer than the input.
  ReplacementTable t;
  t.set(233, "&eacute");
  EXPECT_EQ(convert(o, t, "ab\xE9\xE9", false, &cut), "ab&eacute;");
  EXPECT_TRUE(cut);
  // The output line: indent and texts count too.
  o.before = "1234567";
  o.after = "')";
  EXPECT_EQ(convert(o, t, "abc", false, &cut), "1234567abc");
  EXPECT_TRUE(cut);
  // Text the reader did not hand on counts as lost; in another mode
  // nothing of the line is written anyway.
  EXPECT_EQ(convert(mode(0), {}, "x", false, &cut, true), "x");
  EXPECT_TRUE(cut);
  EXPECT_EQ(convert(mode(7), {}, "x", false, &cut, true), "");
  EXPECT_FALSE(cut);
  Options unlimited = mode(0);
  unlimited.max_line = 0;
  const std::string long_line(100000, '<');
  EXPECT_EQ(convert(unlimited, {}, long_line, false, &cut), std::string(200000, '<'));
  EXPECT_FALSE(cut);
}

TEST(LineConverterTest, Utf8CharactersAreLookedUpAsTheirAnsiCharacter) {
  const ReplacementTable standard = ReplacementTable::standard();
  // é as two bytes is one character: one entity, not two.
  EXPECT_EQ(convert(mode(1), standard, "Caf\xC3\xA9 <b>", true), "Caf&eacute; <<b>");
  // € is 1252's 128, which the standard table keeps as itself: back in UTF-8.
  EXPECT_EQ(convert(mode(1), standard, "5 \xE2\x82\xAC", true), "5 \xE2\x82\xAC");
  // → is not in 1252: unchanged, or a numeric reference when asked.
  EXPECT_EQ(convert(mode(2), standard, "a\xE2\x86\x92" "b", true), "a\xE2\x86\x92" "b");
  Options numeric = mode(2);
  numeric.numeric = true;
  EXPECT_EQ(convert(numeric, standard, "a\xE2\x86\x92" "b", true), "a&#8594;b");
  // ... also for a 1252 character the table lacks, and never below 128.
  ReplacementTable empty;
  EXPECT_EQ(convert(numeric, empty, "\xC3\xA9 x", true), "&#233; x");
  EXPECT_EQ(convert(numeric, empty, "\xE9\x80", false), "&#233;&#8364;");
  // A byte that starts no sequence passes unchanged.
  EXPECT_EQ(convert(mode(1), standard, "a\xFF<", true), "a\xFF<<");
  // Replacement and before-texts in 1252 are written in UTF-8; characters count once.
  Options o = mode(1);
  o.before = "\xAB";
  o.max_line = 4;
  bool cut = true;
  EXPECT_EQ(convert(o, empty, "\xC3\xA9\xC3\xA9\xC3\xA9", true, &cut), "\xC2\xAB\xC3\xA9\xC3\xA9\xC3\xA9");
  EXPECT_FALSE(cut);
  // Tab stops count characters, not bytes.
  EXPECT_EQ(convert(mode(0), empty, "\xC3\xA9\tx", true), "\xC3\xA9       x");
}

TEST(LineConverterTest, DoubleQuotesWritesEachQuoteTwiceInEveryMode) {
  ReplacementTable twice;  // a mode-All table that doubles quotes itself
  twice.set('\'', "''");
  ReplacementTable entity;
  entity.set('\'', "&#39");
  entity.set(233, "e'");  // a replacement holding a quote
  struct Case {
    std::int32_t mode;
    const ReplacementTable* table;
    bool utf8;
    std::string line;
    std::string doubled;  // with double quotes
    bool lone;            // without: an odd number of quotes in the work line
  };
  const ReplacementTable none;
  const Case cases[] = {
      {0, &none, false, "onclick='go()' <b>", "onclick=''go()'' <<b>", false},
      {0, &none, false, "don't", "don''t", true},
      {0, &none, true, "caf\xC3\xA9 don't", "caf\xC3\xA9 don''t", true},
      {1, &entity, false, "l'\xE9t\xE9", "l''e''te''", true},
      {2, &twice, false, "it's", "it''s", false},  // twice already: never four
      {2, &entity, false, "it's \xE9", "it&#39;s e''", true},
      {7, &none, false, "it's", "", false},
  };
  for (const Case& c : cases) {
    Options o = mode(c.mode);
    o.before = "Html('";  // the texts' own quotes neither count nor double
    o.after = "')";
    LineConverter plain(o, *c.table, c.utf8);
    bool cut = false;
    (void)plain.convert(c.line, false, &cut);
    EXPECT_EQ(plain.lone_quote(), c.lone) << c.line;
    o.double_quotes = true;
    LineConverter doubling(o, *c.table, c.utf8);
    const std::string expected = c.mode == 7 ? "Html('')" : "Html('" + c.doubled + "')";
    EXPECT_EQ(std::string(doubling.convert(c.line, false, &cut)), expected) << c.line;
    EXPECT_FALSE(doubling.lone_quote());
  }
}

TEST(LineConverterTest, KeepEntitiesLeavesReferencesAsTheyStand) {
  ReplacementTable t = ReplacementTable::standard();
  t.set('&', "&amp");
  Options o = mode(2);
  const std::string line = "&amp; &eacute; &#233; &#xE9; & &x &#; &#x; &1;";
  EXPECT_EQ(convert(o, t, line), "&amp;amp; &amp;eacute; &amp;#233; &amp;#xE9; &amp; &amp;x &amp;#; &amp;#x; &amp;1;");
  o.keep_entities = true;
  EXPECT_EQ(convert(o, t, line), "&amp; &eacute; &#233; &#xE9; &amp; &amp;x &amp;#; &amp;#x; &amp;1;");
  EXPECT_EQ(conversion::reference_length("&a23456789012345678901234567890123;"), 0u);  // name too long
  EXPECT_EQ(conversion::reference_length("&#1114111;"), 10u);
}

// A line given in pieces, cut anywhere (inside a character, a reference,
// a run of blanks and tabs), gives the line convert() gives for the whole,
// and the same word on its quotes.
TEST(LineConverterTest, ALineInPiecesConvertsAsTheWhole) {
  ReplacementTable t = ReplacementTable::standard();
  t.set(' ', "&nbsp");
  const char* const atoms[] = {"a", "<", " ", "   ", "\t", "\xC3\xA9", "\xE2\x86\x92", "\xE9", "&amp;", "&#233;", "&", "x;", "\xF0\x9F\x98\x80", "'"};
  std::mt19937 random(17);
  for (int round = 0; round < 400; ++round) {
    std::string line;
    const int atoms_in = static_cast<int>(random() % 60);
    for (int i = 0; i < atoms_in; ++i) line += atoms[random() % std::size(atoms)];
    Options o = mode(static_cast<std::int32_t>(random() % 4));
    o.max_line = 0;
    o.indent = static_cast<int>(random() % 3);
    o.before = random() % 2 ? "B( " : "";
    o.after = random() % 2 ? ")" : "";
    o.keep_entities = random() % 2;
    o.numeric = random() % 2;
    o.double_quotes = random() % 2;
    const bool utf8 = random() % 2;
    SCOPED_TRACE(::testing::Message() << "round " << round << " mode " << o.mode << " utf8 " << utf8 << ": " << line);
    // The table without its blank entry too: then blanks stay blanks.
    const ReplacementTable& table = random() % 2 ? t : ReplacementTable::standard();
    LineConverter at_once(o, table, utf8);
    bool cut = false;
    const std::string whole(at_once.convert(line, false, &cut));
    LineConverter c(o, table, utf8);
    c.begin_pieces();
    std::string pieces;
    std::size_t at = 0;
    do {
      const std::size_t n = std::min<std::size_t>(line.size() - at, random() % 7);
      const bool last = at + n == line.size() && random() % 3 == 0;
      ASSERT_TRUE(c.piece(std::string_view(line).substr(at, n), last, [&](std::string_view part) {
        pieces += part;
        return true;
      }));
      at += n;
      if (last) break;
    } while (true);
    EXPECT_EQ(pieces, whole);
    EXPECT_EQ(c.lone_quote(), at_once.lone_quote());
  }
}

}  // namespace
