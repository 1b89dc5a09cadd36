// Display pictures: short texts such as "@n_4", "@s20", "@d1" or "@t3" that
// say how a value is shown in an entry field or a list column, and how typed
// text is read back. A picture is compiled once into a PictureDescriptor;
// formatting then fills the descriptor's cells from a value.
//
// No Qt here, and nothing that depends on the C locale: numbers are written
// and read with "." internally whatever the process locale says.
//
// ---------------------------------------------------------------------------
// Values
//
//   number pictures  the number. As a double it is taken to 15 significant
//                    digits (all a double holds reliably), so 2.675 shows as
//                    2.68 with two places. For exact decimals (DECIMAL fields
//                    of any length) pass the decimal text instead:
//                    "[+|-]digits[.digits]", blanks around it allowed, an
//                    empty text is 0.
//   date pictures    a day number: day 1 is 1801-01-01, day 2994623 is
//                    9999-12-31; 0 means "no date" and shows blank. See
//                    date_from_ymd / ymd_from_date.
//   time pictures    hundredths of a second since midnight plus 1: 1 is
//                    00:00:00.00, 8640000 is 23:59:59.99; 0 means "no time"
//                    and shows blank. Seconds are shown truncated, never
//                    rounded (23:59:59.99 stays in its day).
//   string pictures  the text, shown left-aligned, blank padded or cut.
//
// Either overload of format_picture takes any value for any picture: a
// double for a string picture is written in its shortest exact form
// ("12.5"); a text for a number, date or time picture is read as a decimal
// number. A value that cannot be shown (too many digits for the width, a
// text that is no number, a day or time out of range, NaN, infinities)
// fills the width with "#", so a wrong figure is never displayed.
//
// ---------------------------------------------------------------------------
// Compiling: the rules that the pictures' own grammar leaves open
//
// - The leading "@" may be omitted ("n_4" compiles like "@n_4").
// - Numbers: after the width, "." or "`" followed by digits is the decimal
//   mark with its places; "v"/"V" must be followed by digits. A ".", "`" or
//   "_" that is not followed by digits is the grouping character ("`" is a
//   comma, "_" a blank), and may itself be followed by the decimal mark.
//   Grouping and decimal mark may not be the same character. A currency text
//   "~~" with nothing in it is invalid. Zero places ("@n5.0") give no
//   decimal mark at all. A leading "-" cannot be combined with a closing
//   "-", and ")" needs "(" (and the other way round).
// - Grouping with the fill "*" is the same as without a fill: "," (or "."
//   with the decimal mark "`").
// - The implied decimal mark ("v") is a cell that shows nothing and takes no
//   display position; every other cell is one display character, so
//   width == cells.size() except for that one cell.
//
// Formatting numbers
// - Values are rounded to the places shown, half away from zero
//   (2.345 with two places is 2.35, -2.345 is -2.35); a value that rounds to
//   zero is zero (no "-0").
// - With a blank fill (no fill or "_") the leading currency and sign float:
//   they are written just left of the first digit (" -1,234.50",
//   "   $12.00"); a sign cell that shows nothing for a positive value is left
//   out there, so positive and negative amounts keep their digits aligned.
//   With the fill "0" or "*" they stay at the left end ("-0012", "$**12").
//   Closing signs and a trailing currency always stay at the right end; for
//   a positive value the closing ")" or "-" shows as a blank.
// - A negative value in a picture without any sign mark still shows its
//   minus: it takes the free position left of the number (the leftmost fill
//   position with the fill "0" or "*"); when there is none, the width is
//   filled with "#". Dropping the sign silently would show a wrong amount.
// - Blank when zero ("B") shows a value that rounds to zero as blanks.
//
// Formatting dates and times
// - Layout letters: "dd", "mm", "yy", "yyyy", "hh", "ss" are always shown
//   with all their digits. A capital first letter ("Dd", "Mm", "Hh") drops
//   the field's leading zero, unless the picture's fill is "0", which keeps
//   it. Month names ("NNN" three letters, "NNNNNNNNN" up to nine) and
//   weekday names take their natural length; the finished text is then
//   right-aligned in the width, padded with blanks, or with "*" when the fill
//   is "*". So "@d1" shows 1998-01-02 as " 1/02/98", "@d01" as "01/02/98",
//   "@t3" shows 13:05 as " 1:05PM".
// - The separator of a date picture replaces every "/" of the layout, that of
//   a time picture every ":" (and for 7 and 8 the regional separator).
// - "@d17" and "@d18" translate the regional short and long date layouts:
//   d (day, no leading zero), dd, ddd (weekday abbreviation), dddd (weekday
//   name), M (month, no leading zero), MM, MMM (month abbreviation), MMMM
//   (month name), y or yy (two-digit year), yyy or yyyy (four digits); text
//   in single quotes is literal ("''" is one quote); any other character is
//   literal. Longer runs count as the longest form. Weekday names are the
//   English ones (the regional settings carry none).
// - "@t7" is the regional short time: hours, separator, minutes; "@t8" adds
//   separator and seconds. The separator is "sTime"; "iTLzero" 0 drops the
//   hours' leading zero; "iTime" 0 runs a 12-hour clock followed by the
//   regional AM or PM text, "iTime" 1 a 24-hour clock without them.
// - Names and AM/PM texts are those in force when the picture is compiled
//   for its width, and when it is formatted for its text; a longer text set
//   in between is cut to the cells compiled for it.
//
// ---------------------------------------------------------------------------
// Deformatting (typed text -> value); anything outside these rules is
// Rejected (no value)
//
// - Strings: the typed text cut to the width; nothing is rejected.
// - Numbers: blanks around the text and around signs are ignored; an empty
//   text is 0. One sign is allowed: leading "-" or "+", closing "-", or
//   parentheses around the number (negative). The picture's currency text is
//   accepted at either end, leading "*" fill is skipped. In the integer part
//   the picture's grouping character is ignored (when it has none: "," or,
//   with the decimal mark "`", "."). The decimal mark is "." or, with "`",
//   ",". With an implied decimal mark, a text without "." carries its places
//   in its last digits, exactly as shown ("1234" in "@n6v2" is 12.34); a "."
//   typed there is taken as an explicit point. More places than the picture
//   has are rounded half away from zero. A value that the picture cannot
//   show (too many digits, a negative value without room for its sign) is
//   Rejected.
// - Dates: fields are read in the layout's order (day, month and year in the
//   order they appear), as digit groups separated by any non-alphanumeric
//   characters, or, without separators, as one digit group that splits by the
//   layout's field lengths (a two-digit year may be typed with four digits).
//   A month may be typed as a name or an abbreviation, in any case, wherever
//   the month stands; weekday names and words the layout writes itself
//   ("de" in "d 'de' MMMM") are skipped, any other word is Rejected. Layouts
//   without a day give the 1st; a (regional) layout without a year cannot be
//   read back and Rejects every non-empty text. A year of one or two digits goes through the century window w:
//   yy < w gives 20yy, otherwise 19yy (window 80: "79" is 2079, "80" 1980).
//   Years outside 1801..9999, months outside 1..12 and days not in the month
//   are Rejected. An empty text is 0 (no date).
// - Times: hours, minutes and optionally seconds, separated by any single
//   non-digit characters ("13:05", "13.05.30", "1 05 PM"), or as one digit
//   group "hmm", "hhmm", "hmmss" or "hhmmss" (one or two digits alone are
//   hours). An AM or PM text at the end (the regional texts, or "AM"/"PM", in
//   any case) makes the hours 1..12 (12 AM is 0:00, 12 PM is noon); without
//   it hours run 0..23. Minutes and seconds are 0..59. An empty text is 0 (no
//   time).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

enum class PictureKind : std::uint8_t { invalid, number, date, time, string };

// What one display position shows.
enum class CellCode : std::uint8_t {
  literal,         // the cell's character itself (separators, currency text)
  sign,            // "-", "(" or ")": shown for a negative value, else blank
  digit,           // a digit always shown (decimal places, the last integer digit)
  digit_or_fill,   // a digit, or the fill when the number does not reach it
  grouping,        // the grouping character, or the fill left of the number
  decimal_mark,    // "." or ","
  implied_mark,    // the decimal point of a "v" picture: shows nothing, no position
  character,       // a string picture's position
  day,             // two digits
  day_lead,        // its leading zero dropped ("Dd")
  month,
  month_lead,
  month_abbrev,    // the month's abbreviation, up to as many cells as it has
  month_name,
  weekday_abbrev,
  weekday_name,
  year2,
  year4,
  hour,
  hour_lead,
  minute,
  second,
  am_pm,
};

struct PictureCell {
  char character = ' ';   // the layout letter, the fill, or the literal shown
  CellCode code = CellCode::literal;
};

enum class SignMark : std::uint8_t { none, leading_minus, trailing_minus, parentheses };

struct PictureDescriptor {
  PictureKind kind = PictureKind::invalid;
  std::uint8_t width = 0;           // display characters; 0 for an invalid picture
  bool blank_when_zero = false;     // a trailing "B"
  int number = 0;                   // the date or time number
  int century_window = 80;          // dates: two-digit years below it are 20yy
  std::vector<PictureCell> cells;   // left to right

  // Numbers and dates/times: how the picture was written, kept so that the
  // formatter and the reader need not rediscover it from the cells.
  char fill = 0;                    // '0', '_', '*' or 0 for none
  char separator = 0;               // dates/times: replaces "/" or ":"; 0 none
  char grouping = 0;                // numbers: shown grouping character, 0 none
  char decimal_mark = 0;            // numbers: '.', ',', 'v' (implied) or 0
  int places = 0;                   // numbers: decimal places
  SignMark sign = SignMark::none;
  std::string currency;             // numbers: the currency text, empty none
  bool currency_after = false;      // ... written after the number

  bool valid() const { return kind != PictureKind::invalid; }
};

// Compiles a picture text. Takes any bytes; a text that is not an acceptable
// picture gives kind invalid (width 0, no cells).
PictureDescriptor compilePicture(std::string_view text);
inline PictureDescriptor compile_picture(std::string_view text) { return compilePicture(text); }

// Shows a value through a picture. The result always has exactly
// picture.width characters (an invalid picture gives ""). See the top of
// this file for what the value means for each kind.
std::string format_picture(const PictureDescriptor& picture, double value);
std::string format_picture(const PictureDescriptor& picture, std::string_view value);

// The value read back from typed text.
struct PictureValue {
  // numbers: the value; dates: the day number; times: the time value;
  // strings: 0.
  double number = 0;
  // numbers: the exact decimal text with the picture's places ("-1234.50");
  // dates and times: the day number or time value in decimal; strings: the
  // typed text cut to the width.
  std::string text;
};

// Reads typed text back through a picture (rules at the top of this file).
// Takes any bytes; returns no value when the text is Rejected or the picture
// is invalid.
std::optional<PictureValue> deformat_picture(const PictureDescriptor& picture,
                                             std::string_view typed);

// Day numbers. date_from_ymd gives 0 for a date that does not exist or lies
// outside 1801-01-01 .. 9999-12-31. ymd_from_date gives {0, 0, 0} for a day
// number outside 1 .. kLastDay.
struct Ymd {
  int year = 0;
  int month = 0;
  int day = 0;
  bool operator==(const Ymd&) const = default;
};
inline constexpr std::int32_t kLastDay = 2994623;  // 9999-12-31
std::int32_t date_from_ymd(int year, int month, int day);
Ymd ymd_from_date(std::int32_t day_number);
// 0 Sunday .. 6 Saturday; -1 outside 1 .. kLastDay. Day 1 was a Thursday.
int weekday_of_date(std::int32_t day_number);

// Time values: 0 for a time outside 00:00:00.00 .. 23:59:59.99.
std::int32_t time_from_hms(int hours, int minutes, int seconds, int hundredths = 0);

}  // namespace runtime
