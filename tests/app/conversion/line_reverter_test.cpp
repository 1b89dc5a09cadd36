// The way back: revert(convert(x)) = x for any options, and lines of
// another shape refused with what is wrong.
#include "app/conversion/line_reverter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "app/conversion/line_converter.h"
#include "app/conversion/replacement_table.h"

namespace {

using conversion::LineConverter;
using conversion::LineReverter;
using conversion::Options;
using conversion::ReplacementTable;

// A table of distinct entities for some characters, "&" alone or the
// character itself for others, and sometimes two quotes for the quote.
ReplacementTable user_table(std::mt19937& random) {
  ReplacementTable t;
  const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int code = 32; code < 256; ++code) {
    const auto c = static_cast<std::uint8_t>(code);
    switch (random() % (code == ' ' ? 2 : 5)) {  // a blank's own text would be blank
      case 0: {
        // Distinct: the code itself is part of the name.
        std::string name = "&" + std::string(1, letters[random() % 52]) + std::to_string(code);
        for (std::size_t n = random() % 4; n > 0; --n) name += letters[random() % 62];
        t.set(c, name);
        break;
      }
      case 1:
        t.set(c, "&");
        break;
      case 2:
        t.set(c, std::string(1, static_cast<char>(c)));
        break;
      default:
        break;
    }
  }
  if (random() % 2 != 0) t.set('\'', "''");
  return t;
}

// The texts the conversion writes for characters, which the input must not
// hold already.
std::vector<std::string> produced(const Options& o, const ReplacementTable& t, bool utf8) {
  std::vector<std::string> texts;
  for (int code = 0; code < 256; ++code) {
    bool identity = false;
    const std::string text = conversion::written_text(o, t, static_cast<std::uint8_t>(code), &identity);
    if (identity || code == '<' || (text[0] != '&' && text != "''")) continue;
    std::string encoded;
    if (utf8) {
      conversion::append_ansi_as_utf8(encoded, text);
    } else {
      encoded = text;
    }
    texts.push_back(encoded);
  }
  return texts;
}

TEST(LineReverterTest, RevertUndoesConvertForAnyOptionsAndTable) {
  std::mt19937 random(20261208);
  const ReplacementTable standard = ReplacementTable::standard();
  const char* const befores[] = {"", "HtmlLine('", "  Out (\"x\") ", "\xAB'"};
  const char* const afters[] = {"", "')", " );  ", "\xBB"};
  const std::string alphabet = "ab <<>&;#'' xyz\"=/0123456789";
  int checked = 0;
  for (int round = 0; round < 1500; ++round) {
    Options o;
    o.mode = static_cast<std::int32_t>(random() % 3);
    o.indent = static_cast<int>(random() % 4);
    o.before = befores[random() % 4];
    o.after = afters[random() % 4];
    o.double_quotes = random() % 2 != 0;
    o.max_line = 0;
    const bool utf8 = random() % 2 != 0;
    const ReplacementTable table = random() % 2 != 0 ? standard : user_table(random);

    std::string ansi;
    for (std::size_t n = random() % 40; n > 0; --n) {
      ansi += random() % 4 == 0 ? static_cast<char>(128 + random() % 128) : alphabet[random() % alphabet.size()];
    }
    while (!ansi.empty() && ansi.back() == ' ') ansi.pop_back();
    std::string input;
    if (utf8) {
      conversion::append_ansi_as_utf8(input, ansi);
    } else {
      input = ansi;
    }
    bool holds_produced = false;
    for (const std::string& text : produced(o, table, utf8)) holds_produced |= input.find(text) != std::string::npos;
    if (holds_produced) continue;

    LineConverter to_code(o, table, utf8);
    bool cut = false;
    const std::string code(to_code.convert(input, false, &cut));
    LineReverter back(o, table, utf8);
    std::string_view html;
    std::string problem;
    ASSERT_TRUE(back.revert(code, &html, &problem)) << problem << " in [" << code << "]";
    ASSERT_EQ(html, input) << "code [" << code << "] mode " << o.mode << " quotes " << o.double_quotes;
    ++checked;
  }
  EXPECT_GT(checked, 500);
}

TEST(LineReverterTest, LinesOfAnotherShapeAreRefusedWithTheirProblem) {
  Options o;
  o.mode = conversion::kModeInternational;
  o.indent = 2;
  o.before = "Html('";
  o.after = "')";
  o.double_quotes = true;
  ReplacementTable t = ReplacementTable::standard();
  t.set(0xE8, "&eacute");  // the same entity as 0xE9: the first one wins
  struct Case {
    std::string line;
    std::string html;  // or the problem
    bool ok;
  };
  const Case cases[] = {
      {"  Html('<<p>Caf&eacute;&amp;&eacute<</p>')", "<p>Caf\xE8&amp;&eacute</p>", true},
      {"  Html('don''t')", "don't", true},
      {"  Html('')", "", true},
      {"Html('x')", "does not start with the indent and before-text", false},
      {"  Html('x'", "does not end with the after-text", false},
      {"  Html(')", "does not end with the after-text", false},
      {"  Html('a<b')", "holds a \"<\" that is not doubled", false},
      {"  Html('don't')", "holds a quote (') that is not doubled", false},
  };
  LineReverter back(o, t, false);
  for (const Case& c : cases) {
    std::string_view html;
    std::string problem;
    EXPECT_EQ(back.revert(c.line, &html, &problem), c.ok) << c.line;
    EXPECT_EQ(c.ok ? std::string(html) : problem, c.html) << c.line;
  }
  // Without texts an empty line has lost its indent; entities kept on request.
  Options bare;
  bare.mode = conversion::kModeAll;
  bare.indent = 3;
  bare.keep_entities = true;
  LineReverter keep(bare, t, false);
  std::string_view html;
  std::string problem;
  EXPECT_TRUE(keep.revert("", &html, &problem));
  EXPECT_EQ(html, "");
  EXPECT_TRUE(keep.revert("   &eacute;", &html, &problem));
  EXPECT_EQ(html, "&eacute;");
}

}  // namespace
