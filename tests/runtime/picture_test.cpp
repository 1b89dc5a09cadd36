#include "runtime/picture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "runtime/regional.h"

namespace runtime {
namespace {

std::string show(const char* picture, double value) {
  return format_picture(compilePicture(picture), value);
}
std::string show_text(const char* picture, std::string_view value) {
  return format_picture(compilePicture(picture), value);
}
std::optional<double> read(const char* picture, std::string_view typed) {
  const auto v = deformat_picture(compilePicture(picture), typed);
  return v ? std::optional<double>(v->number) : std::nullopt;
}

class PictureTest : public ::testing::Test {
 protected:
  void SetUp() override { regional() = Regional{}; }
  void TearDown() override { regional() = Regional{}; }
};

// ---------------------------------------------------------------------------

TEST_F(PictureTest, CompileValidityTable) {
  struct Row {
    std::string text;
    int width;  // 0: invalid
    const char* why;
  };
  const Row rows[] = {
      {"@s255", 255, "longest string"},
      {"@s256", 0, "string too long"},
      {"@s0", 0, "empty string"},
      {"@S20", 20, "kind letter in either case"},
      {"s20", 20, "leading @ may be omitted"},
      {"@s5x", 0, "nothing may follow a string width"},
      {"@s", 0, "no width"},
      {"@", 0, "empty text"},
      {"", 0, "empty text"},
      {"@n" + std::string(98, '0') + "5", 5, "100 characters after @"},
      {"@n" + std::string(99, '0') + "5", 0, "101 characters after @"},
      {"@n_4", 4, "application picture"},
      {"@n03", 3, "application picture"},
      {"@n_4B", 4, "blank when zero"},
      {"@nB", 0, "one character left after B"},
      {"@n0", 0, "fill without width"},
      {"@n100", 100, "widest number"},
      {"@n101", 0, "number too wide"},
      {"@n-10.2", 10, "leading minus"},
      {"@n(10.2)", 10, "parentheses"},
      {"@n(10.2", 0, "parenthesis never closed"},
      {"@n10.2)", 0, "closing parenthesis without opening"},
      {"@n-10.2-", 0, "two minus signs"},
      {"@n$10.2", 10, "currency in front"},
      {"@n10.2~ EUR~", 10, "currency text after"},
      {"@n$10.2$", 0, "currency on both sides"},
      {"@n~EUR10", 0, "currency text never closed"},
      {"@n~~10", 0, "empty currency text"},
      {"@n*9.2", 9, "asterisk fill"},
      {"@n10`2", 10, "decimal comma"},
      {"@n12_.2", 12, "blank grouping with decimals"},
      {"@n10..2", 0, "grouping equal to decimal mark"},
      {"@n6v2", 6, "implied decimals"},
      {"@n6v", 0, "implied mark without places"},
      {"@n3.2", 3, "decimals fill the width"},
      {"@n3.3", 0, "width below the decimal cells"},
      {"@n$-3.1", 0, "width below currency, sign and decimals"},
      {"@n10.2x", 0, "trailing junk"},
      {"@x5", 0, "unknown kind"},
      {"@d1", 8, "date"},
      {"@d4", 18, "date with full month name"},
      {"@d01<50-B", 8, "date with fill, window, separator and B"},
      {"@d2>10", 10, "window from above"},
      {"@d19", 0, "date number 19"},
      {"@d20", 0, "date number 20"},
      {"@d0", 0, "fill but no date number"},
      {"@d1<123", 0, "three-digit window"},
      {"@d1<", 0, "window without digits"},
      {"@d1x", 0, "unknown separator"},
      {"@t1", 5, "time"},
      {"@t6", 10, "time with seconds and AM/PM"},
      {"@t9", 0, "time number 9"},
      {"@t1<50", 0, "century window on a time"},
  };
  for (const auto& row : rows) {
    const PictureDescriptor pic = compilePicture(row.text);
    EXPECT_EQ(pic.valid(), row.width != 0) << row.text << ": " << row.why;
    EXPECT_EQ(pic.width, row.width) << row.text << ": " << row.why;
  }
}

TEST_F(PictureTest, CompileSetsDescriptorFields) {
  const auto d = compilePicture("@d*3<50.b");
  EXPECT_EQ(d.kind, PictureKind::date);
  EXPECT_EQ(d.number, 3);
  EXPECT_EQ(d.fill, '*');
  EXPECT_EQ(d.century_window, 50);
  EXPECT_EQ(d.separator, '.');
  EXPECT_TRUE(d.blank_when_zero);
  EXPECT_EQ(compilePicture("@d1<0").century_window, 80);
  EXPECT_EQ(compilePicture("@d1>0").century_window, 19);
  EXPECT_EQ(compilePicture("@d1>10").century_window, 89);
  EXPECT_EQ(compilePicture("@d1").century_window, 80);

  // Cells from the right: decimals, mark, last digit, fill, grouping every
  // fourth cell but never the leftmost.
  const auto n = compilePicture("@n-9.2");
  std::string codes;
  for (const auto& c : n.cells) codes += c.code == CellCode::sign ? 'S'
                                         : c.code == CellCode::grouping ? 'G'
                                         : c.code == CellCode::digit_or_fill ? 'f'
                                         : c.code == CellCode::digit ? 'd'
                                         : c.code == CellCode::decimal_mark ? '.' : '?';
  EXPECT_EQ(codes, "SfGffd.dd");
  EXPECT_EQ(compilePicture("@n6v2").cells.size(), 7u);  // the implied mark takes no position
}

// ---------------------------------------------------------------------------

TEST_F(PictureTest, NumberFillsAndBlankWhenZero) {
  EXPECT_EQ(show("@n03", 5), "005");
  EXPECT_EQ(show("@n03", 123), "123");
  EXPECT_EQ(show("@n_4", 0), "   0");
  EXPECT_EQ(show("@n_4B", 0), "    ");
  EXPECT_EQ(show("@n_4B", 7), "   7");
  EXPECT_EQ(show("@n*6", 12), "****12");
  EXPECT_EQ(show("@n8.2B", 0.001), "        ");
  EXPECT_EQ(show("@n3.2", 0.5), ".50");
}

TEST_F(PictureTest, NumberGrouping) {
  EXPECT_EQ(show("@n5", 1234), "1,234");
  EXPECT_EQ(show("@n4", 1234), "1234");  // the leftmost cell never groups
  EXPECT_EQ(show("@n12.2", 1234567.891), "1,234,567.89");
  EXPECT_EQ(show("@n10`2", 1234.5), "  1.234,50");
  EXPECT_EQ(show("@n07`", 12), "000,012");
  EXPECT_EQ(show("@n9_", 1234567), "1 234 567");
  EXPECT_EQ(show("@n_8", 1234567), " 1234567");  // fill "_" alone: no grouping
  EXPECT_EQ(show("@n*9.2", 1234.5), "*1,234.50");
  EXPECT_EQ(show("@n*9.2", 12.5), "****12.50");
}

TEST_F(PictureTest, NumberRoundsHalfAwayFromZero) {
  EXPECT_EQ(show("@n-8.2", 2.345), "    2.35");
  EXPECT_EQ(show("@n-8.2", -2.345), "   -2.35");
  EXPECT_EQ(show("@n8.2", 2.675), "    2.68");
  EXPECT_EQ(show("@n8.2", 9.995), "   10.00");
  EXPECT_EQ(show("@n-8.2", -0.004), "    0.00");  // no "-0.00"
  EXPECT_EQ(show("@n_3", 0.5), "  1");
  // Exact decimals beyond a double's reach, given as text.
  EXPECT_EQ(show_text("@n25.2", "12345678901234567.125"), "12,345,678,901,234,567.13");
  EXPECT_EQ(show_text("@n25.2", "  -0.005 "), "                    -0.01");
}

TEST_F(PictureTest, NumberImpliedDecimals) {
  EXPECT_EQ(show("@n6v2", 12.34), "  1234");
  EXPECT_EQ(show("@n6v2", 0.05), "   005");
}

TEST_F(PictureTest, NumberSigns) {
  EXPECT_EQ(show("@n-10.2", -1234.5), " -1,234.50");
  EXPECT_EQ(show("@n-10.2", 1234.5), "  1,234.50");
  EXPECT_EQ(show("@n(10.2)", -1234.5), "(1,234.50)");
  EXPECT_EQ(show("@n(10.2)", 1234.5), " 1,234.50 ");
  EXPECT_EQ(show("@n10.2-", -1234.5), " 1,234.50-");
  EXPECT_EQ(show("@n-010.2", -12.5), "-000012.50");
  // Without a sign mark the minus still shows when there is room ...
  EXPECT_EQ(show("@n5", -12), "  -12");
  EXPECT_EQ(show("@n05", -12), "-0012");
  // ... and never silently disappears.
  EXPECT_EQ(show("@n3", -123), "###");
  EXPECT_EQ(show("@n-4", -1234), "####");
}

TEST_F(PictureTest, NumberCurrency) {
  EXPECT_EQ(show("@n$10.2", 1234.5), " $1,234.50");
  EXPECT_EQ(show("@n$-10.2", -5), "    $-5.00");
  EXPECT_EQ(show("@n$-10.2", 5), "     $5.00");
  EXPECT_EQ(show("@n10.2~ EUR~", 5), "  5.00 EUR");
  EXPECT_EQ(show("@n$*10.2", 12.5), "$****12.50");
}

TEST_F(PictureTest, NumberThatCannotBeShownFillsWithHashes) {
  EXPECT_EQ(show("@n03", 1234), "###");
  EXPECT_EQ(show("@n5.2", 123.45), "#####");
  EXPECT_EQ(show("@n8.2", std::numeric_limits<double>::quiet_NaN()), "########");
  EXPECT_EQ(show("@n8.2", 1e300), "########");
  EXPECT_EQ(show_text("@n8.2", "12a"), "########");
  EXPECT_EQ(show_text("@n8.2", ""), "    0.00");
}

TEST_F(PictureTest, StringsPadCutAndAcceptNumbers) {
  EXPECT_EQ(show_text("@s3", "abcdef"), "abc");
  EXPECT_EQ(show_text("@s4", "ab"), "ab  ");
  EXPECT_EQ(show("@s6", 12.5), "12.5  ");
  EXPECT_EQ(deformat_picture(compilePicture("@s3"), "abcdef")->text, "abc");
  EXPECT_EQ(format_picture(compilePicture("@x"), 1.0), "");
  EXPECT_FALSE(deformat_picture(compilePicture("@x"), "1"));
}

// ---------------------------------------------------------------------------

TEST_F(PictureTest, DateLayoutsOneToEighteen) {
  const double day = date_from_ymd(1998, 1, 2);  // a Friday
  const char* expected[] = {
      " 1/02/98",     " 1/02/1998", " Jan 2, 1998", "   January 2, 1998", " 2/01/98",
      " 2/01/1998",   " 2 Jan 98",  " 2 Jan 1998",  "98/01/02",           "1998/01/02",
      "980102",       "19980102",   " 1/98",        " 1/1998",            "98/01",
      "1998/01",      "01/02/98",   "  Fri, January 02, 1998"};
  for (int n = 1; n <= 18; ++n) {
    const std::string picture = "@d" + std::to_string(n);
    EXPECT_EQ(format_picture(compilePicture(picture), day), expected[n - 1]) << picture;
  }
  const double later = date_from_ymd(2005, 11, 23);
  EXPECT_EQ(show("@d1", later), "11/23/05");
  EXPECT_EQ(show("@d4", later), " November 23, 2005");
  EXPECT_EQ(show("@d7", later), "23 Nov 05");
}

TEST_F(PictureTest, DateFillSeparatorAndEmptyValues) {
  const double day = date_from_ymd(1998, 1, 2);
  EXPECT_EQ(show("@d01", day), "01/02/98");
  EXPECT_EQ(show("@d*3", day), "*Jan 2, 1998");
  EXPECT_EQ(show("@d1-", day), " 1-02-98");
  EXPECT_EQ(show("@d6.", day), " 2.01.1998");
  EXPECT_EQ(show("@d1_", day), " 1 02 98");
  EXPECT_EQ(show("@d5`", day), " 2,01,98");
  EXPECT_EQ(show("@d1", 0), "        ");
  EXPECT_EQ(show("@d1", kLastDay + 1), "########");
  EXPECT_EQ(show("@d1", -1), "########");
  EXPECT_EQ(show_text("@d10", std::to_string(kLastDay)), "9999/12/31");
}

TEST_F(PictureTest, DateRegionalLayouts) {
  regional().short_date = "d.M.yyyy";
  regional().long_date = "dddd d 'de' MMMM, ''yy";
  regional().month_names[0] = "Enero";
  const double day = date_from_ymd(1998, 1, 2);
  EXPECT_EQ(show("@d17", day), "  2.1.1998");
  EXPECT_EQ(show("@d017", day), "02.01.1998");
  EXPECT_EQ(show("@d18", day), "        Friday 2 de Enero, '98");
  EXPECT_EQ(read("@d18", "viernes 2 de enero, '98"), std::nullopt);  // unknown word
  EXPECT_EQ(read("@d18", "friday 2 de enero, '98"), day);
}

TEST_F(PictureTest, TimeLayoutsOneToEight) {
  const double t = time_from_hms(13, 5, 9);
  const char* expected[] = {"13:05", "1305", " 1:05PM", "13:05:09", "130509", " 1:05:09PM",
                            "01:05PM", "01:05:09PM"};
  for (int n = 1; n <= 8; ++n) {
    const std::string picture = "@t" + std::to_string(n);
    EXPECT_EQ(format_picture(compilePicture(picture), t), expected[n - 1]) << picture;
  }
  EXPECT_EQ(show("@t3", time_from_hms(0, 0, 0)), "12:00AM");
  EXPECT_EQ(show("@t3", time_from_hms(12, 0, 0)), "12:00PM");
  EXPECT_EQ(show("@t03", t), "01:05PM");
  EXPECT_EQ(show("@t*3", t), "*1:05PM");
  EXPECT_EQ(show("@t1.", t), "13.05");
  EXPECT_EQ(show("@t4", time_from_hms(23, 59, 59, 99)), "23:59:59");  // seconds never round up
  EXPECT_EQ(show("@t1", 0), "     ");
  EXPECT_EQ(show("@t1", 8640001), "#####");

  regional().itime = 1;
  regional().itlzero = 0;
  regional().time_separator = ".";
  EXPECT_EQ(show("@t8", time_from_hms(9, 5, 0)), " 9.05.00");
  EXPECT_EQ(show("@t7-", t), "13-05");
  regional() = Regional{};
  regional().am = "vm";
  regional().pm = "nm";
  EXPECT_EQ(show("@t7", time_from_hms(9, 5, 0)), "09:05vm");
  EXPECT_EQ(read("@t7", "9:05 NM"), time_from_hms(21, 5, 0));
}

// ---------------------------------------------------------------------------

TEST_F(PictureTest, NumberRoundTrips) {
  const char* pictures[] = {"@n_4",    "@n03",         "@n-10.2", "@n(10.2)", "@n10.2-",
                            "@n$10.2", "@n10.2~ EUR~", "@n*9.2",  "@n10`2",   "@n6v2",
                            "@n-012.3", "@n12_.2",     "@n8",     "@n5"};
  const double values[] = {0, 1, -1, 7, 12.5, -12.5, 999.99, -1234.56, 4321, 0.01, 123456.7};
  for (const char* p : pictures) {
    const PictureDescriptor pic = compilePicture(p);
    for (double v : values) {
      const std::string shown = format_picture(pic, v);
      if (shown.find('#') != std::string::npos) continue;
      const auto back = deformat_picture(pic, shown);
      ASSERT_TRUE(back) << p << " '" << shown << "'";
      const double scale = std::pow(10.0, pic.places);
      EXPECT_EQ(back->number, std::round(v * scale) / scale) << p << " '" << shown << "'";
    }
  }
}

TEST_F(PictureTest, NumberDeformatRules) {
  EXPECT_EQ(read("@n10.2", "1,234.5"), 1234.5);
  EXPECT_EQ(read("@n10.2", "(5)"), -5);
  EXPECT_EQ(read("@n10.2", " 5 -"), -5);
  EXPECT_EQ(read("@n10.2", "+5"), 5);
  EXPECT_EQ(read("@n$10.2", "$ 5"), 5);
  EXPECT_EQ(read("@n10.2", ""), 0);
  EXPECT_EQ(read("@n10.2", "2.345"), 2.35);
  EXPECT_EQ(read("@n6v2", "1234"), 12.34);
  EXPECT_EQ(read("@n6v2", "12.34"), 12.34);
  EXPECT_EQ(read("@n6v2", "5"), 0.05);
  EXPECT_EQ(read("@n10`2", "1.234,5"), 1234.5);
  EXPECT_EQ(read("@n03", "-5"), -5);
  EXPECT_EQ(deformat_picture(compilePicture("@n10.2"), "-7")->text, "-7.00");
  for (const char* bad : {"abc", "1.2.3", "(5", "5)", "--5", "-(5)", "-", "$5"})
    EXPECT_EQ(read("@n10.2", bad), std::nullopt) << bad;
  EXPECT_EQ(read("@n_4", "12345"), std::nullopt);  // does not fit
  EXPECT_EQ(read("@n03", "-123"), std::nullopt);   // no room for the sign
}

TEST_F(PictureTest, DateRoundTrips) {
  const Ymd dates[] = {{1980, 2, 29}, {1998, 1, 2}, {2000, 2, 29}, {2024, 12, 31}, {2079, 6, 15}};
  for (int n = 1; n <= 18; ++n) {
    const PictureDescriptor pic = compilePicture("@d" + std::to_string(n));
    for (const Ymd& ymd : dates) {
      const std::int32_t day = date_from_ymd(ymd.year, ymd.month, ymd.day);
      const bool has_day = n < 13 || n > 16;
      const std::int32_t expected = has_day ? day : date_from_ymd(ymd.year, ymd.month, 1);
      const std::string shown = format_picture(pic, day);
      const auto back = deformat_picture(pic, shown);
      ASSERT_TRUE(back) << n << " '" << shown << "'";
      EXPECT_EQ(back->number, expected) << n << " '" << shown << "'";
    }
  }
}

TEST_F(PictureTest, DateDeformatRules) {
  const auto ymd = [](const char* picture, std::string_view typed) {
    const auto v = read(picture, typed);
    return v ? ymd_from_date(static_cast<std::int32_t>(*v)) : Ymd{};
  };
  EXPECT_EQ(ymd("@d1", "1/2/98"), (Ymd{1998, 1, 2}));
  EXPECT_EQ(ymd("@d1", "01/02/79"), (Ymd{2079, 1, 2}));
  EXPECT_EQ(ymd("@d1", "01/02/80"), (Ymd{1980, 1, 2}));
  EXPECT_EQ(ymd("@d1<50", "1/2/49"), (Ymd{2049, 1, 2}));
  EXPECT_EQ(ymd("@d1<50", "1/2/50"), (Ymd{1950, 1, 2}));
  EXPECT_EQ(ymd("@d2", "1/2/1850"), (Ymd{1850, 1, 2}));
  EXPECT_EQ(ymd("@d5", "2-1-1998"), (Ymd{1998, 1, 2}));
  EXPECT_EQ(ymd("@d3", "jan 2, 1998"), (Ymd{1998, 1, 2}));
  EXPECT_EQ(ymd("@d8", "2 JANUARY 1998"), (Ymd{1998, 1, 2}));
  EXPECT_EQ(ymd("@d1", "Feb 3 98"), (Ymd{1998, 2, 3}));  // a month name anywhere the month is
  EXPECT_EQ(ymd("@d11", "980102"), (Ymd{1998, 1, 2}));
  EXPECT_EQ(ymd("@d11", "19980102"), (Ymd{1998, 1, 2}));
  EXPECT_EQ(ymd("@d13", "3/98"), (Ymd{1998, 3, 1}));
  EXPECT_EQ(read("@d1", ""), 0);
  for (const char* bad : {"2/30/98", "13/01/98", "1/2", "1/2/3/4", "1/2/98x", "2/29/1900",
                          "1/1/1800", "Jan Feb 98", "0/1/98"})
    EXPECT_EQ(read("@d2", bad), std::nullopt) << bad;
}

TEST_F(PictureTest, TimeRoundTripsAndRules) {
  const std::int32_t times[] = {time_from_hms(0, 0, 0), time_from_hms(9, 7, 0),
                                time_from_hms(12, 0, 0), time_from_hms(23, 59, 0)};
  for (int n = 1; n <= 8; ++n) {
    const PictureDescriptor pic = compilePicture("@t" + std::to_string(n));
    for (std::int32_t t : times) {
      const std::string shown = format_picture(pic, t);
      EXPECT_EQ(deformat_picture(pic, shown)->number, t) << n << " '" << shown << "'";
    }
  }
  EXPECT_EQ(read("@t3", "1:05PM"), time_from_hms(13, 5, 0));
  EXPECT_EQ(read("@t3", "12:00am"), time_from_hms(0, 0, 0));
  EXPECT_EQ(read("@t1", "13.05.30"), time_from_hms(13, 5, 30));
  EXPECT_EQ(read("@t2", "905"), time_from_hms(9, 5, 0));
  EXPECT_EQ(read("@t5", "130509"), time_from_hms(13, 5, 9));
  EXPECT_EQ(read("@t1", "7"), time_from_hms(7, 0, 0));
  EXPECT_EQ(read("@t1", ""), 0);
  for (const char* bad : {"13:05pm", "25:00", "13:60", "1:2:3:4", "1:", "noon", "1x05"})
    EXPECT_EQ(read("@t1", bad), std::nullopt) << bad;
}

// ---------------------------------------------------------------------------

TEST_F(PictureTest, DayNumbersFromEighteenOhOne) {
  EXPECT_EQ(date_from_ymd(1801, 1, 1), 1);
  EXPECT_EQ(date_from_ymd(9999, 12, 31), kLastDay);
  EXPECT_EQ(date_from_ymd(1998, 1, 2), 71955);
  EXPECT_EQ(date_from_ymd(2000, 2, 29), 72743);
  EXPECT_EQ(date_from_ymd(1900, 2, 29), 0);  // 1900 was no leap year
  EXPECT_EQ(date_from_ymd(1900, 3, 1) - date_from_ymd(1900, 2, 28), 1);
  EXPECT_EQ(date_from_ymd(2000, 3, 1) - date_from_ymd(2000, 2, 28), 2);
  EXPECT_EQ(date_from_ymd(1800, 12, 31), 0);
  EXPECT_EQ(date_from_ymd(10000, 1, 1), 0);
  EXPECT_EQ(date_from_ymd(1998, 4, 31), 0);
  EXPECT_EQ(ymd_from_date(0), Ymd{});
  EXPECT_EQ(ymd_from_date(kLastDay + 1), Ymd{});
  EXPECT_EQ(weekday_of_date(1), 4);                             // Thursday
  EXPECT_EQ(weekday_of_date(date_from_ymd(1998, 1, 2)), 5);     // Friday

  // Every day of the range reads back, and each is the calendar's next day.
  Ymd prev = ymd_from_date(1);
  for (std::int32_t n = 2; n <= kLastDay; ++n) {
    const Ymd cur = ymd_from_date(n);
    const bool next_day = cur.year == prev.year && cur.month == prev.month && cur.day == prev.day + 1;
    const bool next_month = cur.year == prev.year && cur.month == prev.month + 1 && cur.day == 1;
    const bool next_year = cur.year == prev.year + 1 && cur.month == 1 && cur.day == 1 &&
                           prev.month == 12 && prev.day == 31;
    ASSERT_TRUE(next_day || next_month || next_year) << n;
    ASSERT_EQ(date_from_ymd(cur.year, cur.month, cur.day), n);
    prev = cur;
  }
}

}  // namespace
}  // namespace runtime
