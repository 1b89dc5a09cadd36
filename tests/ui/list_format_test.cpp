#include "ui/list_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

namespace {

using ui::Justification;
using ui::ListColumn;
using ui::ListGroup;

std::vector<ListColumn> columns_of(std::string_view text) {
  const auto parsed = ui::parse_list_format(text);
  EXPECT_TRUE(parsed.ok()) << text << " fails at " << parsed.error_position;
  std::vector<ListColumn> columns;
  for (const ListColumn* column : ui::list_columns(parsed.format)) columns.push_back(*column);
  return columns;
}

TEST(ApplicationFormats, ParseToTheirColumns) {
  auto c = columns_of("16R(1)|~Nr.~L@n_4@80L(1)~Name~@s20@");
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].width, 16);
  EXPECT_EQ(c[0].justification, Justification::Right);
  EXPECT_EQ(c[0].indent, 1);
  EXPECT_TRUE(c[0].right_border);
  EXPECT_FALSE(c[0].resizable);
  EXPECT_EQ(c[0].header, "Nr.");
  EXPECT_EQ(c[0].header_justification_or_column(), Justification::Left);
  EXPECT_EQ(c[0].picture_text, "@n_4");
  EXPECT_EQ(c[0].picture.kind, runtime::PictureKind::number);
  EXPECT_EQ(c[0].picture.width, 4);
  EXPECT_EQ(c[1].width, 80);
  EXPECT_EQ(c[1].justification, Justification::Left);
  EXPECT_EQ(c[1].indent, 1);
  EXPECT_FALSE(c[1].right_border);
  EXPECT_EQ(c[1].header, "Name");
  EXPECT_EQ(c[1].picture_text, "@s20");
  EXPECT_EQ(c[1].picture.kind, runtime::PictureKind::string);
  EXPECT_EQ(c[1].picture.width, 20);

  c = columns_of("16R(1)@n03@21C(2)|~Char~L@s2@44L(2)|M~Html code~@s10@");
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].width, 16);
  EXPECT_EQ(c[0].justification, Justification::Right);
  EXPECT_EQ(c[0].indent, 1);
  EXPECT_FALSE(c[0].has_header);
  EXPECT_FALSE(c[0].right_border);
  EXPECT_EQ(c[0].picture_text, "@n03");
  EXPECT_EQ(c[0].picture.width, 3);
  EXPECT_EQ(c[1].width, 21);
  EXPECT_EQ(c[1].justification, Justification::Centre);
  EXPECT_EQ(c[1].indent, 2);
  EXPECT_TRUE(c[1].right_border);
  EXPECT_EQ(c[1].header, "Char");
  EXPECT_EQ(c[1].header_justification_or_column(), Justification::Left);
  EXPECT_EQ(c[1].picture_text, "@s2");
  EXPECT_EQ(c[2].width, 44);
  EXPECT_EQ(c[2].justification, Justification::Left);
  EXPECT_EQ(c[2].indent, 2);
  EXPECT_TRUE(c[2].right_border);
  EXPECT_TRUE(c[2].resizable);
  EXPECT_EQ(c[2].header, "Html code");
  EXPECT_EQ(c[2].picture_text, "@s10");
  EXPECT_EQ(c[2].picture.width, 10);

  c = columns_of("80L(2)|M~Command~@s40@");
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].width, 80);
  EXPECT_EQ(c[0].indent, 2);
  EXPECT_TRUE(c[0].right_border);
  EXPECT_TRUE(c[0].resizable);
  EXPECT_EQ(c[0].header, "Command");
  EXPECT_EQ(c[0].picture_text, "@s40");

  c = columns_of("80L(2)~Table Name~@s20@");
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].width, 80);
  EXPECT_EQ(c[0].indent, 2);
  EXPECT_FALSE(c[0].right_border);
  EXPECT_EQ(c[0].header, "Table Name");
  EXPECT_FALSE(c[0].header_justification.has_value());
  EXPECT_EQ(c[0].header_justification_or_column(), Justification::Left);
  EXPECT_EQ(c[0].picture_text, "@s20");
}

TEST(ApplicationFormats, WriteBackIdentically) {
  for (const char* text :
       {"16R(1)|~Nr.~L@n_4@80L(1)~Name~@s20@", "16R(1)@n03@21C(2)|~Char~L@s2@44L(2)|M~Html code~@s10@",
        "80L(2)|M~Command~@s40@", "80L(2)~Table Name~@s20@"}) {
    const auto parsed = ui::parse_list_format(text);
    ASSERT_TRUE(parsed.ok()) << text;
    EXPECT_EQ(ui::write_list_format(parsed.format), text);
  }
}

TEST(ListFormatErrors, ReportTheFirstPositionThatDoesNotFit) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"", 0},          {"80X", 3},          {"80", 3},           {"L", 1},
      {"-L", 2},        {"80L(x)", 5},       {"80L(2", 6},        {"80L)", 4},
      {"80L@s20", 4},   {"80L~Name", 4},     {"80L~h~X", 7},      {"80L@s20@x", 9},
      {"80LE(1)E(2)", 8}, {"80LE()", 6},     {"80LE(1,2,3,4,5)", 13}, {"80Le(1)", 4},
      {"80LH", 5},      {"80L#1", 6},        {"80L##", 5},        {"80LT(X)", 6},
      {"80LT(L", 7},    {"80l", 3},          {"80L~h~L(", 9},     {"2147483648L", 10},
      {"80L-", 5},      {"[]", 2},           {"[80L", 1},         {"80L]", 4},
      {"[80L[80L]]", 5}, {"[80L]X", 6},      {"[80L]S", 7},       {"[80L]~h~L", 9},
      {"[80L](", 7},    {"[80L@s2", 5},      {"80L[", 4},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ui::validateListFormat(text), expected) << text;
    const auto parsed = ui::parse_list_format(text);
    EXPECT_EQ(parsed.error_position, expected) << text;
    if (expected != 0) {
      EXPECT_TRUE(parsed.format.items.empty()) << text;
    }
  }
}

TEST(ListFormatErrors, IntegersAtTheEdgeOfTheRange) {
  EXPECT_EQ(ui::validateListFormat("2147483647L(-2147483648)"), 0);
  EXPECT_EQ(ui::validateListFormat("-2147483649L"), 11);
  EXPECT_EQ(ui::validateListFormat("1L(99999999999999999999)"), 13);
  EXPECT_EQ(columns_of("-2147483648L")[0].width, INT_MIN);
}

TEST(ListColumnElements, EveryElementIsRead) {
  const auto c = columns_of("-5D(3)s(7)h(8)t(LB)E(1,-2,3,4)#12#_fmi*/?~H~(4)@d6@")[0];
  EXPECT_EQ(c.width, -5);
  EXPECT_EQ(c.justification, Justification::Decimal);
  EXPECT_EQ(c.indent, 3);
  EXPECT_TRUE(c.scroll && c.tree && c.underline && c.fixed && c.resizable && c.icon && c.colour &&
              c.slash && c.question);
  EXPECT_FALSE(c.right_border);
  EXPECT_EQ(c.scroll_number, 7);
  EXPECT_EQ(c.header_number, 8);
  EXPECT_EQ(c.tree_options, (ui::TreeOptions{.l = true, .b = true}));
  EXPECT_EQ(c.colours, (std::vector<int>{1, -2, 3, 4}));
  EXPECT_EQ(c.field_number, 12);
  EXPECT_EQ(c.header, "H");
  EXPECT_FALSE(c.header_justification.has_value());
  EXPECT_EQ(c.header_indent, 4);
  EXPECT_EQ(c.picture_text, "@d6");
}

TEST(ListColumnElements, OnlyTheFirstValueOfAnElementIsKept) {
  const auto parsed = ui::parse_list_format("80L@s2@~a~R(1)@s9@~b~C#1##2#S(3)S(4)");
  ASSERT_TRUE(parsed.ok());
  const auto& c = std::get<ListColumn>(parsed.format.items[0]);
  EXPECT_EQ(c.picture_text, "@s2");
  EXPECT_EQ(c.picture.width, 2);
  EXPECT_EQ(c.header, "a");
  EXPECT_EQ(c.header_justification, Justification::Right);
  EXPECT_EQ(c.header_indent, 1);
  EXPECT_EQ(c.field_number, 1);
  EXPECT_EQ(c.scroll_number, 3);
  EXPECT_EQ(ui::write_list_format(parsed.format), "80LS(3)#1#~a~R(1)@s2@");
}

TEST(ListColumnElements, PictureThatDoesNotCompileLeavesTheFormatValid) {
  const auto c = columns_of("80L@x@90L")[0];
  EXPECT_EQ(c.picture_text, "@x");
  EXPECT_FALSE(c.picture.valid());
  EXPECT_FALSE(columns_of("80L")[0].picture.valid());
}

TEST(ListGroups, HoldColumnsAndModifiers) {
  EXPECT_EQ(columns_of("[80L]").size(), 1u);
  const auto parsed = ui::parse_list_format("10L[20R|30C](5)|_FM*IT(R)~Grp~S(1)H(2)[40D]50L");
  ASSERT_TRUE(parsed.ok());
  ASSERT_EQ(parsed.format.items.size(), 4u);
  const auto& g = std::get<ListGroup>(parsed.format.items[1]);
  ASSERT_EQ(g.columns.size(), 2u);
  EXPECT_TRUE(g.columns[0].right_border);
  EXPECT_EQ(g.columns[1].width, 30);
  EXPECT_EQ(g.number, 5);
  EXPECT_TRUE(g.right_border && g.underline && g.fixed && g.resizable && g.colour && g.icon && g.tree);
  EXPECT_TRUE(g.tree_options.r);
  EXPECT_EQ(g.header, "Grp");
  EXPECT_EQ(g.scroll_number, 1);
  EXPECT_EQ(g.header_number, 2);
  std::vector<int> widths;
  for (const ListColumn* c : ui::list_columns(parsed.format)) widths.push_back(c->width);
  EXPECT_EQ(widths, (std::vector<int>{10, 20, 30, 40, 50}));
}

TEST(ListFormatRoundTrip, WritingWhatWasParsedReadsTheSame) {
  for (const char* text :
       {"80L", "0L(0)", "-0R", "80L~~", "80L~~D", "80L~x~(3)@s2@", "80Lt()T(1I)T(L)",
        "80LS", "80LS(0)", "80L@@@x@", "1L2R3C4D", "80L#-1#/?*E(0)~ ~C(0)", "[1L]", "[1L](0)",
        "[1L|2R]tT(B)~~~x~H(3)S(4)h(9)[3L]4R", "10L(1)|_fmS(2)H(3)iT(LRB)*E(5,6)#7#~Hd~D(2)@n_4@"}) {
    const auto first = ui::parse_list_format(text);
    ASSERT_TRUE(first.ok()) << text << " fails at " << first.error_position;
    const std::string written = ui::write_list_format(first.format);
    const auto second = ui::parse_list_format(written);
    ASSERT_TRUE(second.ok()) << written;
    EXPECT_EQ(second.format, first.format) << text << " -> " << written;
    EXPECT_EQ(ui::write_list_format(second.format), written);
  }
}

}  // namespace
