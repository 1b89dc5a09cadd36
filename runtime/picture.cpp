#include "runtime/picture.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "runtime/regional.h"

namespace runtime {
namespace {

constexpr std::size_t kMaxPictureText = 100;
constexpr std::size_t kMaxWidth = 255;
constexpr std::int32_t kLastTime = 8640000;  // 23:59:59.99

// Weekday names for "ddd"/"dddd": the regional settings carry only months.
constexpr std::array<std::string_view, 7> kWeekdayNames = {
    "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 7> kWeekdayAbbrevs = {"Sun", "Mon", "Tue", "Wed",
                                                             "Thu", "Fri", "Sat"};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }
// Bytes above 127 count as letters: month names may be written in the ANSI
// code page ("M\xE4rz").
bool is_letter(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u >= 0x80;
}

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// Reads decimal digits at p. Long digit strings saturate instead of
// overflowing, so "@s99999999999" is simply too wide.
bool read_number(std::string_view t, std::size_t& p, int& value) {
  if (p >= t.size() || !is_digit(t[p])) return false;
  long v = 0;
  while (p < t.size() && is_digit(t[p])) {
    v = std::min(v * 10 + (t[p] - '0'), 1000000L);
    ++p;
  }
  value = static_cast<int>(v);
  return true;
}

std::string hashes(const PictureDescriptor& pic) { return std::string(pic.width, '#'); }
std::string blanks(const PictureDescriptor& pic) { return std::string(pic.width, ' '); }

// ---------------------------------------------------------------------------
// Day numbers

std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

const std::int64_t kDayZero = days_from_civil(1801, 1, 1) - 1;

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[static_cast<std::size_t>(m - 1)];
}

// ---------------------------------------------------------------------------
// Exact decimals

struct Decimal {
  bool negative = false;
  std::string int_digits;   // no leading zeros; empty for 0
  std::string frac_digits;
};

void strip_leading_zeros(std::string& s) {
  const std::size_t nz = s.find_first_not_of('0');
  s.erase(0, nz == std::string::npos ? s.size() : nz);
}

bool is_zero(const Decimal& d) {
  return d.int_digits.find_first_not_of('0') == std::string::npos &&
         d.frac_digits.find_first_not_of('0') == std::string::npos;
}

// "[+|-]digits[.digits]" with blanks around; at least one digit.
std::optional<Decimal> parse_decimal(std::string_view s) {
  s = trim(s);
  Decimal d;
  if (s.empty()) return d;
  std::size_t p = 0;
  if (s[p] == '-' || s[p] == '+') d.negative = s[p++] == '-';
  bool point = false, any = false;
  for (; p < s.size(); ++p) {
    const char c = s[p];
    if (is_digit(c)) {
      (point ? d.frac_digits : d.int_digits) += c;
      any = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return std::nullopt;
    }
  }
  if (!any) return std::nullopt;
  strip_leading_zeros(d.int_digits);
  return d;
}

// Requires a finite value. 15 significant digits: what a double carries
// reliably, so that 2.675 is taken as written rather than as 2.67499999...
Decimal decimal_from_double(double v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 14);
  std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
  Decimal d;
  if (!s.empty() && s.front() == '-') {
    d.negative = true;
    s.remove_prefix(1);
  }
  const std::size_t e = s.find('e');
  std::string mantissa;
  for (char c : s.substr(0, e))
    if (is_digit(c)) mantissa += c;
  int exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view es = s.substr(e + 1);
    if (!es.empty() && es.front() == '+') es.remove_prefix(1);
    std::from_chars(es.data(), es.data() + es.size(), exponent);
  }
  // mantissa is d.ddd... x 10^exponent: the point sits after exponent+1 digits.
  const int point = exponent + 1;
  if (point <= 0) {
    d.frac_digits = std::string(static_cast<std::size_t>(-point), '0') + mantissa;
  } else if (static_cast<std::size_t>(point) >= mantissa.size()) {
    d.int_digits = mantissa + std::string(static_cast<std::size_t>(point) - mantissa.size(), '0');
  } else {
    d.int_digits = mantissa.substr(0, static_cast<std::size_t>(point));
    d.frac_digits = mantissa.substr(static_cast<std::size_t>(point));
  }
  strip_leading_zeros(d.int_digits);
  return d;
}

// Rounds to exactly `places` decimals, half away from zero: only the first
// dropped digit decides, since any later digits only push further from the
// half-way point.
void round_decimal(Decimal& d, int places) {
  const auto n = static_cast<std::size_t>(places);
  const bool up = d.frac_digits.size() > n && d.frac_digits[n] >= '5';
  d.frac_digits.resize(n, '0');
  if (up) {
    std::string all = d.int_digits + d.frac_digits;
    std::size_t i = all.size();
    while (i > 0 && all[i - 1] == '9') all[--i] = '0';
    if (i == 0) all.insert(all.begin(), '1');
    else ++all[i - 1];
    d.int_digits = all.substr(0, all.size() - n);
    d.frac_digits = all.substr(all.size() - n);
    strip_leading_zeros(d.int_digits);
  }
  if (is_zero(d)) d.negative = false;
}

// ---------------------------------------------------------------------------
// Numeric pictures

char fill_char(char fill) { return fill == '0' ? '0' : fill == '*' ? '*' : ' '; }

// Reads "$" or "~text~". Returns true when a currency was read; sets bad for
// an unterminated or empty "~~".
bool read_currency(std::string_view t, std::size_t& p, std::string& out, bool& bad) {
  if (p >= t.size()) return false;
  if (t[p] == '$') {
    out = "$";
    ++p;
    return true;
  }
  if (t[p] != '~') return false;
  const std::size_t close = t.find('~', p + 1);
  if (close == std::string_view::npos || close == p + 1) {
    bad = true;
    return false;
  }
  out = std::string(t.substr(p + 1, close - p - 1));
  p = close + 1;
  return true;
}

bool is_mark_char(char c) { return c == '.' || c == '`' || c == 'v' || c == 'V'; }

PictureDescriptor compile_number(std::string_view t) {
  PictureDescriptor pic;
  pic.kind = PictureKind::number;
  std::size_t p = 0;
  const std::size_t n = t.size();
  bool bad = false;

  std::string front;
  const bool has_front = read_currency(t, p, front, bad);
  if (bad) return {};
  if (p < n && t[p] == '-') {
    pic.sign = SignMark::leading_minus;
    ++p;
  } else if (p < n && t[p] == '(') {
    pic.sign = SignMark::parentheses;
    ++p;
  }
  if (p < n && (t[p] == '0' || t[p] == '_' || t[p] == '*')) pic.fill = t[p++];
  int width = 0;
  if (!read_number(t, p, width) || width < 1 || width > 100) return {};

  // A decimal mark is always followed by its places; that is what tells a
  // "." or "`" mark from the same character used as the grouping.
  auto mark_here = [&] { return p + 1 < n && is_mark_char(t[p]) && is_digit(t[p + 1]); };
  auto read_mark = [&] {
    const char c = t[p++];
    pic.decimal_mark = c == '`' ? ',' : c == '.' ? '.' : 'v';
    read_number(t, p, pic.places);
  };
  bool grouping_written = false;
  if (mark_here()) {
    read_mark();
  } else if (p < n && (t[p] == '.' || t[p] == '`' || t[p] == '_')) {
    pic.grouping = t[p] == '`' ? ',' : t[p] == '_' ? ' ' : '.';
    grouping_written = true;
    ++p;
    if (mark_here()) read_mark();
    else if (p < n && is_mark_char(t[p])) return {};
  }
  if (p < n && (t[p] == 'v' || t[p] == 'V')) return {};  // an implied mark with no places
  if (pic.places > 100) return {};
  if (grouping_written && pic.grouping == pic.decimal_mark) return {};

  bool closed = false;
  if (p < n && t[p] == '-') {
    if (pic.sign != SignMark::none) return {};
    pic.sign = SignMark::trailing_minus;
    ++p;
  } else if (p < n && t[p] == ')') {
    if (pic.sign != SignMark::parentheses) return {};
    closed = true;
    ++p;
  }
  if (pic.sign == SignMark::parentheses && !closed) return {};

  std::string back;
  const bool has_back = read_currency(t, p, back, bad);
  if (bad || (has_front && has_back) || p != n) return {};
  pic.currency = has_front ? front : back;
  pic.currency_after = has_back;

  if (!grouping_written) {
    if (pic.fill == 0 || pic.fill == '*') pic.grouping = pic.decimal_mark == ',' ? '.' : ',';
  }

  const int sign_cells = pic.sign == SignMark::parentheses ? 2 : pic.sign == SignMark::none ? 0 : 1;
  const bool implied = pic.decimal_mark == 'v';
  const int decimal_cells = pic.places > 0 ? pic.places + (implied ? 0 : 1) : 0;
  const int fixed = sign_cells + static_cast<int>(pic.currency.size()) + decimal_cells;
  if (width < fixed) return {};
  pic.width = static_cast<std::uint8_t>(width);

  auto& cells = pic.cells;
  if (!pic.currency_after)
    for (char c : pic.currency) cells.push_back({c, CellCode::literal});
  if (pic.sign == SignMark::leading_minus) cells.push_back({'-', CellCode::sign});
  if (pic.sign == SignMark::parentheses) cells.push_back({'(', CellCode::sign});

  const int int_cells = width - fixed;
  std::vector<PictureCell> integer;
  for (int i = 1; i <= int_cells; ++i) {
    if (i == 1) integer.push_back({'0', CellCode::digit});
    else if (pic.grouping != 0 && i % 4 == 0 && i != int_cells)
      integer.push_back({pic.grouping, CellCode::grouping});
    else integer.push_back({fill_char(pic.fill), CellCode::digit_or_fill});
  }
  cells.insert(cells.end(), integer.rbegin(), integer.rend());

  if (pic.places > 0) {
    if (implied) cells.push_back({'.', CellCode::implied_mark});
    else cells.push_back({pic.decimal_mark, CellCode::decimal_mark});
    for (int i = 0; i < pic.places; ++i) cells.push_back({'0', CellCode::digit});
  }
  if (pic.sign == SignMark::trailing_minus) cells.push_back({'-', CellCode::sign});
  if (pic.sign == SignMark::parentheses) cells.push_back({')', CellCode::sign});
  if (pic.currency_after)
    for (char c : pic.currency) cells.push_back({c, CellCode::literal});
  return pic;
}

// The number in the picture's cells, or nothing when it does not fit.
std::optional<std::string> render_number(const PictureDescriptor& pic, Decimal d) {
  round_decimal(d, pic.places);
  if (pic.blank_when_zero && is_zero(d)) return blanks(pic);

  const bool leading_sign = pic.sign == SignMark::leading_minus || pic.sign == SignMark::parentheses;
  const bool trailing_sign = pic.sign == SignMark::trailing_minus || pic.sign == SignMark::parentheses;
  const std::size_t lead = (pic.currency_after ? 0 : pic.currency.size()) + (leading_sign ? 1 : 0);
  const std::size_t trail = (pic.currency_after ? pic.currency.size() : 0) + (trailing_sign ? 1 : 0);
  const std::size_t decimals = pic.places > 0 ? static_cast<std::size_t>(pic.places) + 1 : 0;
  const auto& cells = pic.cells;
  if (lead + trail + decimals > cells.size()) return std::nullopt;
  const std::size_t int_count = cells.size() - lead - trail - decimals;

  // Integer cells, filled from the right.
  const std::string& digits = d.int_digits;
  std::string ip(int_count, ' ');
  std::vector<bool> significant(int_count, false);
  std::size_t k = 0;
  const char fill = fill_char(pic.fill);
  for (std::size_t i = int_count; i-- > 0;) {
    const PictureCell& cell = cells[lead + i];
    const bool more = k < digits.size();
    switch (cell.code) {
      case CellCode::digit:
        ip[i] = more ? digits[digits.size() - 1 - k++] : '0';
        significant[i] = true;
        break;
      case CellCode::grouping:
        // With zero fill the zeros to the left make the grouping visible too.
        ip[i] = (more || pic.fill == '0') ? pic.grouping : fill;
        significant[i] = more;
        break;
      default:
        if (more) {
          ip[i] = digits[digits.size() - 1 - k++];
          significant[i] = true;
        } else {
          ip[i] = fill;
        }
        break;
    }
  }
  if (k < digits.size()) return std::nullopt;

  const bool negative = d.negative;
  std::string out;
  out.reserve(pic.width);
  const std::string front_currency = pic.currency_after ? std::string() : pic.currency;
  if (pic.fill == 0 || pic.fill == '_') {
    // Floating currency and sign, just left of the first digit.
    std::string prefix = front_currency;
    if (negative && pic.sign == SignMark::leading_minus) prefix += '-';
    if (negative && pic.sign == SignMark::parentheses) prefix += '(';
    if (negative && pic.sign == SignMark::none) prefix += '-';
    std::size_t free = 0;
    while (free < int_count && !significant[free]) ++free;
    const std::size_t available = lead + free;
    if (prefix.size() > available) return std::nullopt;
    out.append(available - prefix.size(), ' ');
    out += prefix;
    out.append(ip, free);
  } else {
    out += front_currency;
    if (leading_sign) out += negative ? (pic.sign == SignMark::parentheses ? '(' : '-') : ' ';
    if (negative && pic.sign == SignMark::none) {
      if (int_count == 0 || significant[0]) return std::nullopt;
      ip[0] = '-';
    }
    out += ip;
  }
  if (pic.places > 0) {
    if (pic.decimal_mark != 'v') out += pic.decimal_mark;
    out += d.frac_digits;
  }
  if (pic.sign == SignMark::trailing_minus) out += negative ? '-' : ' ';
  if (pic.sign == SignMark::parentheses) out += negative ? ')' : ' ';
  if (pic.currency_after) out += pic.currency;
  if (out.size() != pic.width) return std::nullopt;
  return out;
}

std::string format_number(const PictureDescriptor& pic, const Decimal& d) {
  auto text = render_number(pic, d);
  return text ? *text : hashes(pic);
}

std::optional<PictureValue> deformat_number(const PictureDescriptor& pic, std::string_view typed) {
  std::string_view s = trim(typed);
  bool negative = false, open = false, close = false, currency_seen = false;
  int signs = 0;
  for (bool changed = true; changed && !s.empty();) {
    changed = true;
    if (!currency_seen && !pic.currency.empty() && s.starts_with(pic.currency)) {
      s.remove_prefix(pic.currency.size());
      currency_seen = true;
    } else if (s.front() == '-' || s.front() == '+') {
      negative = s.front() == '-';
      ++signs;
      s.remove_prefix(1);
    } else if (s.front() == '(') {
      open = true;
      ++signs;
      s.remove_prefix(1);
    } else if (s.front() == '*') {
      s.remove_prefix(1);
    } else {
      changed = false;
    }
    s = trim(s);
  }
  for (bool changed = true; changed && !s.empty();) {
    changed = true;
    if (!currency_seen && !pic.currency.empty() && s.ends_with(pic.currency)) {
      s.remove_suffix(pic.currency.size());
      currency_seen = true;
    } else if (s.back() == '-') {
      negative = true;
      ++signs;
      s.remove_suffix(1);
    } else if (s.back() == ')') {
      if (close) return std::nullopt;
      close = true;
      s.remove_suffix(1);
    } else {
      changed = false;
    }
    s = trim(s);
  }
  if (open != close || signs > 1) return std::nullopt;
  if (open) negative = true;

  const bool implied = pic.decimal_mark == 'v';
  char point = pic.decimal_mark == ',' ? ',' : '.';
  const char grouping = pic.grouping != 0 ? pic.grouping : (point == ',' ? '.' : ',');
  if (point == grouping) point = 0;  // an implied picture grouped with "."

  Decimal d;
  d.negative = negative;
  bool seen_point = false, any = false;
  for (char c : s) {
    if (is_digit(c)) {
      (seen_point ? d.frac_digits : d.int_digits) += c;
      any = true;
    } else if (point != 0 && c == point && !seen_point) {
      seen_point = true;
    } else if (c == grouping && !seen_point) {
      continue;
    } else {
      return std::nullopt;
    }
  }
  if (!any && (signs > 0 || currency_seen || !s.empty())) return std::nullopt;
  if (implied && !seen_point) {
    const auto places = static_cast<std::size_t>(pic.places);
    if (d.int_digits.size() < places) d.int_digits.insert(0, places - d.int_digits.size(), '0');
    d.frac_digits = d.int_digits.substr(d.int_digits.size() - places);
    d.int_digits.resize(d.int_digits.size() - places);
  }
  strip_leading_zeros(d.int_digits);
  round_decimal(d, pic.places);
  if (!render_number(pic, d)) return std::nullopt;

  PictureValue value;
  value.text = (d.negative ? "-" : "") + (d.int_digits.empty() ? std::string("0") : d.int_digits);
  if (pic.places > 0) value.text += "." + d.frac_digits;
  std::from_chars(value.text.data(), value.text.data() + value.text.size(), value.number);
  return value;
}

// ---------------------------------------------------------------------------
// Date and time pictures

constexpr std::array<std::string_view, 16> kDateLayouts = {
    "Mm/dd/yy",    "Mm/dd/yyyy",  "NNN Dd, yyyy", "NNNNNNNNN Dd, yyyy",
    "Dd/mm/yy",    "Dd/mm/yyyy",  "Dd NNN yy",    "Dd NNN yyyy",
    "yy/mm/dd",    "yyyy/mm/dd",  "yymmdd",       "yyyymmdd",
    "Mm/yy",       "Mm/yyyy",     "yy/mm",        "yyyy/mm"};
constexpr std::array<std::string_view, 6> kTimeLayouts = {"hh:mm",    "hhmm",   "Hh:mmPP",
                                                          "hh:mm:ss", "hhmmss", "Hh:mm:ssPP"};

void add_cells(std::vector<PictureCell>& cells, std::size_t count, char c, CellCode code) {
  cells.insert(cells.end(), count, PictureCell{c, code});
}

// The fixed layouts of the tables above: a capital first letter marks the
// field whose leading zero is dropped.
void table_layout_cells(std::string_view layout, bool time, std::vector<PictureCell>& cells) {
  for (std::size_t i = 0; i < layout.size();) {
    const char c = layout[i];
    std::size_t j = i;
    while (j < layout.size() && ascii_lower(layout[j]) == ascii_lower(c)) ++j;
    const std::size_t run = j - i;
    const bool capital = c >= 'A' && c <= 'Z';
    std::optional<CellCode> code;
    switch (ascii_lower(c)) {
      case 'd': code = capital ? CellCode::day_lead : CellCode::day; break;
      case 'm':
        code = time ? CellCode::minute : capital ? CellCode::month_lead : CellCode::month;
        break;
      case 'y': code = run == 4 ? CellCode::year4 : CellCode::year2; break;
      case 'n': code = run == 3 ? CellCode::month_abbrev : CellCode::month_name; break;
      case 'h': code = capital ? CellCode::hour_lead : CellCode::hour; break;
      case 's': code = CellCode::second; break;
      case 'p': code = CellCode::am_pm; break;
      default: break;
    }
    if (code) {
      for (std::size_t k = i; k < j; ++k) cells.push_back({layout[k], *code});
    } else {
      for (std::size_t k = i; k < j; ++k) cells.push_back({layout[k], CellCode::literal});
    }
    i = j;
  }
}

template <std::size_t N>
std::size_t longest(const std::array<std::string, N>& names) {
  std::size_t n = 1;
  for (const auto& s : names) n = std::max(n, s.size());
  return n;
}
template <std::size_t N>
std::size_t longest(const std::array<std::string_view, N>& names) {
  std::size_t n = 1;
  for (const auto& s : names) n = std::max(n, s.size());
  return n;
}

// The regional layout letters (d, dd, ddd, dddd, M .. MMMM, yy, yyyy) and
// quoted literals, turned into cells. Stops early once the picture is too
// wide to be valid anyway.
void regional_layout_cells(std::string_view layout, std::vector<PictureCell>& cells) {
  const Regional& r = regional();
  for (std::size_t i = 0; i < layout.size() && cells.size() <= kMaxWidth;) {
    const char c = layout[i];
    if (c == '\'') {
      if (i + 1 < layout.size() && layout[i + 1] == '\'') {
        cells.push_back({'\'', CellCode::literal});
        i += 2;
        continue;
      }
      std::size_t j = i + 1;
      while (j < layout.size() && layout[j] != '\'') cells.push_back({layout[j++], CellCode::literal});
      i = j + 1;
      continue;
    }
    std::size_t j = i;
    while (j < layout.size() && layout[j] == c) ++j;
    const std::size_t run = j - i;
    if (c == 'd') {
      if (run == 1) add_cells(cells, 2, 'd', CellCode::day_lead);
      else if (run == 2) add_cells(cells, 2, 'd', CellCode::day);
      else if (run == 3) add_cells(cells, longest(kWeekdayAbbrevs), 'd', CellCode::weekday_abbrev);
      else add_cells(cells, longest(kWeekdayNames), 'd', CellCode::weekday_name);
    } else if (c == 'M') {
      if (run == 1) add_cells(cells, 2, 'M', CellCode::month_lead);
      else if (run == 2) add_cells(cells, 2, 'M', CellCode::month);
      else if (run == 3) add_cells(cells, longest(r.month_abbrevs), 'M', CellCode::month_abbrev);
      else add_cells(cells, longest(r.month_names), 'M', CellCode::month_name);
    } else if (c == 'y') {
      if (run <= 2) add_cells(cells, 2, 'y', CellCode::year2);
      else add_cells(cells, 4, 'y', CellCode::year4);
    } else {
      for (std::size_t k = i; k < j; ++k) cells.push_back({c, CellCode::literal});
    }
    i = j;
  }
}

void regional_time_cells(bool seconds, char separator, std::vector<PictureCell>& cells) {
  const Regional& r = regional();
  const std::string sep = separator != 0 ? std::string(1, separator) : r.time_separator;
  add_cells(cells, 2, 'h', r.itlzero != 0 ? CellCode::hour : CellCode::hour_lead);
  for (char c : sep) cells.push_back({c, CellCode::literal});
  add_cells(cells, 2, 'm', CellCode::minute);
  if (seconds) {
    for (char c : sep) cells.push_back({c, CellCode::literal});
    add_cells(cells, 2, 's', CellCode::second);
  }
  if (r.itime == 0) add_cells(cells, std::max<std::size_t>({1, r.am.size(), r.pm.size()}), 'P',
                              CellCode::am_pm);
}

PictureDescriptor compile_date_time(std::string_view t, bool date) {
  PictureDescriptor pic;
  pic.kind = date ? PictureKind::date : PictureKind::time;
  std::size_t p = 0;
  const std::size_t n = t.size();
  if (p < n && (t[p] == '0' || t[p] == '_' || t[p] == '*')) pic.fill = t[p++];
  if (!read_number(t, p, pic.number)) return {};
  if (pic.number < 1 || pic.number > (date ? 18 : 8)) return {};
  if (date && p < n && (t[p] == '<' || t[p] == '>')) {
    const bool below = t[p++] == '<';
    std::size_t start = p;
    int nn = 0;
    while (p < n && is_digit(t[p]) && p - start < 2) nn = nn * 10 + (t[p++] - '0');
    if (p == start || (p < n && is_digit(t[p]))) return {};
    pic.century_window = below ? (nn == 0 ? 80 : nn) : (nn == 0 ? 19 : 99 - nn);
  }
  if (p < n) {
    switch (t[p]) {
      case '.': pic.separator = '.'; break;
      case '-': pic.separator = '-'; break;
      case '_': pic.separator = ' '; break;
      case '`': pic.separator = ','; break;
      default: return {};
    }
    ++p;
  }
  if (p != n) return {};

  const auto index = static_cast<std::size_t>(pic.number - 1);
  if (date) {
    if (pic.number <= 16) table_layout_cells(kDateLayouts[index], false, pic.cells);
    else regional_layout_cells(pic.number == 17 ? regional().short_date : regional().long_date,
                               pic.cells);
  } else {
    if (pic.number <= 6) table_layout_cells(kTimeLayouts[index], true, pic.cells);
    else regional_time_cells(pic.number == 8, pic.separator, pic.cells);
  }
  if (pic.cells.empty() || pic.cells.size() > kMaxWidth) return {};
  if (pic.separator != 0) {
    const char replaced = date ? '/' : ':';
    for (auto& cell : pic.cells)
      if (cell.code == CellCode::literal && cell.character == replaced) cell.character = pic.separator;
  }
  pic.width = static_cast<std::uint8_t>(pic.cells.size());
  return pic;
}

std::string two_digits(int v) {
  return {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
}

std::string lead_digits(int v, char fill) {
  return (v >= 10 || fill == '0') ? two_digits(v) : std::string(1, static_cast<char>('0' + v));
}

bool is_twelve_hour(const PictureDescriptor& pic) {
  return std::any_of(pic.cells.begin(), pic.cells.end(),
                     [](const PictureCell& c) { return c.code == CellCode::am_pm; });
}

// The AM and PM texts: the regional ones for the regional layouts.
std::pair<std::string, std::string> am_pm_texts(const PictureDescriptor& pic) {
  if (pic.kind == PictureKind::time && pic.number >= 7) return {regional().am, regional().pm};
  return {"AM", "PM"};
}

struct Fields {
  Ymd date;
  int weekday = 0;
  int hour = 0;  // as shown: 1..12 on a 12-hour clock
  int minute = 0, second = 0;
  bool pm = false;
};

// Walks the cells field by field (a run of cells with one code); each field
// gives at most as many characters as it has cells, so the text never
// outgrows the width. Right-aligned, since dropped zeros and short names
// shorten it.
std::string render_fields(const PictureDescriptor& pic, const Fields& f) {
  const Regional& r = regional();
  const auto [am, pm] = am_pm_texts(pic);
  std::string text;
  const auto& cells = pic.cells;
  for (std::size_t i = 0; i < cells.size();) {
    std::size_t j = i + 1;
    if (cells[i].code != CellCode::literal)
      while (j < cells.size() && cells[j].code == cells[i].code) ++j;
    const std::size_t room = j - i;
    std::string field;
    const int month = std::clamp(f.date.month, 1, 12) - 1;
    switch (cells[i].code) {
      case CellCode::day: field = two_digits(f.date.day); break;
      case CellCode::day_lead: field = lead_digits(f.date.day, pic.fill); break;
      case CellCode::month: field = two_digits(f.date.month); break;
      case CellCode::month_lead: field = lead_digits(f.date.month, pic.fill); break;
      case CellCode::month_abbrev: field = r.month_abbrevs[static_cast<std::size_t>(month)]; break;
      case CellCode::month_name: field = r.month_names[static_cast<std::size_t>(month)]; break;
      case CellCode::weekday_abbrev: field = kWeekdayAbbrevs[static_cast<std::size_t>(f.weekday)]; break;
      case CellCode::weekday_name: field = kWeekdayNames[static_cast<std::size_t>(f.weekday)]; break;
      case CellCode::year2: field = two_digits(f.date.year % 100); break;
      case CellCode::year4: field = two_digits(f.date.year / 100) + two_digits(f.date.year % 100); break;
      case CellCode::hour: field = two_digits(f.hour); break;
      case CellCode::hour_lead: field = lead_digits(f.hour, pic.fill); break;
      case CellCode::minute: field = two_digits(f.minute); break;
      case CellCode::second: field = two_digits(f.second); break;
      case CellCode::am_pm: field = f.pm ? pm : am; break;
      default: field = std::string(room, cells[i].character); break;
    }
    if (field.size() > room) field.resize(room);
    text += field;
    i = j;
  }
  if (text.size() > pic.width) text.resize(pic.width);
  return std::string(pic.width - text.size(), pic.fill == '*' ? '*' : ' ') + text;
}

std::string format_date(const PictureDescriptor& pic, std::int64_t day) {
  if (day == 0) return blanks(pic);
  if (day < 0 || day > kLastDay) return hashes(pic);
  Fields f;
  f.date = ymd_from_date(static_cast<std::int32_t>(day));
  f.weekday = weekday_of_date(static_cast<std::int32_t>(day));
  return render_fields(pic, f);
}

std::string format_time(const PictureDescriptor& pic, std::int64_t value) {
  if (value == 0) return blanks(pic);
  if (value < 0 || value > kLastTime) return hashes(pic);
  const std::int64_t t = value - 1;
  Fields f;
  f.hour = static_cast<int>(t / 360000);
  f.minute = static_cast<int>(t / 6000 % 60);
  f.second = static_cast<int>(t / 100 % 60);
  f.pm = f.hour >= 12;
  if (is_twelve_hour(pic)) f.hour = f.hour % 12 == 0 ? 12 : f.hour % 12;
  return render_fields(pic, f);
}

// Whole-number text for date and time values ("[-]digits", blanks around).
std::optional<std::int64_t> parse_whole(std::string_view s) {
  s = trim(s);
  if (s.empty()) return 0;
  bool negative = false;
  if (s.front() == '-' || s.front() == '+') {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 12) return std::nullopt;
  std::int64_t v = 0;
  for (char c : s) {
    if (!is_digit(c)) return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return negative ? -v : v;
}

int small_value(std::string_view digits) {
  int v = 0;
  for (char c : digits) v = v * 10 + (c - '0');
  return v;
}

std::optional<PictureValue> whole_value(std::int64_t v) {
  PictureValue value;
  value.number = static_cast<double>(v);
  value.text = std::to_string(v);
  return value;
}

std::optional<PictureValue> deformat_date(const PictureDescriptor& pic, std::string_view typed) {
  const std::string_view s = trim(typed);
  if (s.empty()) return whole_value(0);
  const Regional& r = regional();

  // Words the layout itself writes ("de" in "d 'de' MMMM") may be typed too.
  std::vector<std::string> literal_words(1);
  for (const auto& cell : pic.cells) {
    if (cell.code == CellCode::literal && is_letter(cell.character)) literal_words.back() += cell.character;
    else if (!literal_words.back().empty()) literal_words.emplace_back();
  }

  // Digit groups and words; everything else separates them.
  std::vector<std::string_view> numbers;
  int month_word = 0;
  for (std::size_t i = 0; i < s.size();) {
    const bool digit = is_digit(s[i]);
    if (!digit && !is_letter(s[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < s.size() && (digit ? is_digit(s[j]) : is_letter(s[j]))) ++j;
    const std::string_view token = s.substr(i, j - i);
    i = j;
    if (digit) {
      numbers.push_back(token);
      continue;
    }
    int found = 0;
    for (std::size_t m = 0; m < 12 && found == 0; ++m)
      if (equal_nocase(token, r.month_names[m]) || equal_nocase(token, r.month_abbrevs[m]))
        found = static_cast<int>(m) + 1;
    if (found != 0) {
      if (month_word != 0) return std::nullopt;
      month_word = found;
      continue;
    }
    bool skipped = false;
    for (std::size_t w = 0; w < 7; ++w)
      skipped = skipped || equal_nocase(token, kWeekdayNames[w]) || equal_nocase(token, kWeekdayAbbrevs[w]);
    for (const auto& word : literal_words) skipped = skipped || equal_nocase(token, word);
    if (!skipped) return std::nullopt;
  }

  // The layout's field order; each field counts once.
  struct Field {
    char kind;     // 'd', 'm', 'y'
    std::size_t length;
  };
  std::vector<Field> order;
  auto add = [&](char kind, std::size_t length) {
    for (const auto& f : order)
      if (f.kind == kind) return;
    order.push_back({kind, length});
  };
  for (const auto& cell : pic.cells) {
    switch (cell.code) {
      case CellCode::day: case CellCode::day_lead: add('d', 2); break;
      case CellCode::month: case CellCode::month_lead: case CellCode::month_abbrev:
      case CellCode::month_name: add('m', 2); break;
      case CellCode::year2: add('y', 2); break;
      case CellCode::year4: add('y', 4); break;
      default: break;
    }
  }
  if (month_word != 0)
    std::erase_if(order, [](const Field& f) { return f.kind == 'm'; });
  const bool has_year = std::any_of(order.begin(), order.end(), [](const Field& f) { return f.kind == 'y'; });
  if (!has_year) return std::nullopt;

  std::vector<std::string_view> parts;
  if (numbers.size() == order.size()) {
    parts = numbers;
  } else if (numbers.size() == 1 && order.size() > 1) {
    std::size_t total = 0;
    for (const auto& f : order) total += f.length;
    const std::string_view all = numbers.front();
    bool widen_year = false;
    if (all.size() != total) {
      bool two_digit_year = false;
      for (const auto& f : order) two_digit_year = two_digit_year || (f.kind == 'y' && f.length == 2);
      if (!two_digit_year || all.size() != total + 2) return std::nullopt;
      widen_year = true;
    }
    std::size_t at = 0;
    for (const auto& f : order) {
      const std::size_t len = f.length + (widen_year && f.kind == 'y' ? 2 : 0);
      parts.push_back(all.substr(at, len));
      at += len;
    }
  } else {
    return std::nullopt;
  }

  int year = 0, month = month_word, day = 1;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::string_view part = parts[i];
    if (part.size() > 4) return std::nullopt;
    const int v = small_value(part);
    switch (order[i].kind) {
      case 'd': day = v; break;
      case 'm': month = v; break;
      default:
        year = part.size() <= 2 ? (v < pic.century_window ? 2000 + v : 1900 + v) : v;
        break;
    }
  }
  if (month == 0 && std::none_of(order.begin(), order.end(), [](const Field& f) { return f.kind == 'm'; }))
    month = 1;
  const std::int32_t date = date_from_ymd(year, month, day);
  if (date == 0) return std::nullopt;
  return whole_value(date);
}

bool strip_suffix_nocase(std::string_view& s, std::string_view suffix) {
  if (suffix.empty() || s.size() < suffix.size()) return false;
  if (!equal_nocase(s.substr(s.size() - suffix.size()), suffix)) return false;
  s.remove_suffix(suffix.size());
  return true;
}

std::optional<PictureValue> deformat_time(const PictureDescriptor& pic, std::string_view typed) {
  std::string_view s = trim(typed);
  if (s.empty()) return whole_value(0);
  const auto [am, pm] = am_pm_texts(pic);
  int half = 0;  // 1 AM, 2 PM
  if (strip_suffix_nocase(s, am) || strip_suffix_nocase(s, "AM")) half = 1;
  else if (strip_suffix_nocase(s, pm) || strip_suffix_nocase(s, "PM")) half = 2;
  s = trim(s);

  std::vector<std::string_view> parts;
  for (std::size_t i = 0; i < s.size();) {
    if (!is_digit(s[i])) return std::nullopt;
    std::size_t j = i;
    while (j < s.size() && is_digit(s[j])) ++j;
    parts.push_back(s.substr(i, j - i));
    i = j;
    if (i < s.size()) {
      if (is_letter(s[i])) return std::nullopt;
      if (++i == s.size()) return std::nullopt;  // a separator with nothing after it
    }
  }
  if (parts.empty()) return std::nullopt;
  std::string_view hh, mm = "0", ss = "0";
  if (parts.size() == 1) {
    const std::string_view all = parts.front();
    if (all.size() <= 2) hh = all;
    else if (all.size() <= 4) hh = all.substr(0, all.size() - 2), mm = all.substr(all.size() - 2);
    else if (all.size() <= 6)
      hh = all.substr(0, all.size() - 4), mm = all.substr(all.size() - 4, 2), ss = all.substr(all.size() - 2);
    else return std::nullopt;
  } else if (parts.size() <= 3) {
    hh = parts[0];
    mm = parts[1];
    if (parts.size() == 3) ss = parts[2];
  } else {
    return std::nullopt;
  }
  if (hh.size() > 2 || mm.size() > 2 || ss.size() > 2) return std::nullopt;
  int h = small_value(hh);
  const int m = small_value(mm), sec = small_value(ss);
  if (half != 0) {
    if (h > 12) return std::nullopt;
    if (h == 12) h = 0;
    if (half == 2) h += 12;
  }
  const std::int32_t value = time_from_hms(h, m, sec);
  if (value == 0) return std::nullopt;
  return whole_value(value);
}

// Shortest text that reads back as the same double.
std::string double_text(double v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::string format_string(const PictureDescriptor& pic, std::string_view text) {
  std::string out(text.substr(0, pic.width));
  out.resize(pic.width, ' ');
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------

PictureDescriptor compilePicture(std::string_view text) {
  if (!text.empty() && text.front() == '@') text.remove_prefix(1);
  if (text.empty() || text.size() > kMaxPictureText) return {};
  bool blank = false;
  if (text.back() == 'B' || text.back() == 'b') {
    blank = true;
    text.remove_suffix(1);
  }
  if (text.size() < 2) return {};
  const char kind = ascii_lower(text.front());
  const std::string_view rest = text.substr(1);
  PictureDescriptor pic;
  switch (kind) {
    case 's': {
      std::size_t p = 0;
      int width = 0;
      if (!read_number(rest, p, width) || p != rest.size() || width < 1 ||
          width > static_cast<int>(kMaxWidth))
        return {};
      pic.kind = PictureKind::string;
      pic.width = static_cast<std::uint8_t>(width);
      pic.cells.assign(static_cast<std::size_t>(width), PictureCell{' ', CellCode::character});
      break;
    }
    case 'n': pic = compile_number(rest); break;
    case 'd': pic = compile_date_time(rest, true); break;
    case 't': pic = compile_date_time(rest, false); break;
    default: return {};
  }
  if (!pic.valid()) return {};
  pic.blank_when_zero = blank;
  return pic;
}

std::string format_picture(const PictureDescriptor& pic, double value) {
  switch (pic.kind) {
    case PictureKind::number:
      if (!std::isfinite(value)) return hashes(pic);
      return format_number(pic, decimal_from_double(value));
    case PictureKind::string: return format_string(pic, double_text(value));
    case PictureKind::date:
    case PictureKind::time: {
      if (!std::isfinite(value) || std::fabs(value) > 1e12) return hashes(pic);
      const auto whole = static_cast<std::int64_t>(value);
      return pic.kind == PictureKind::date ? format_date(pic, whole) : format_time(pic, whole);
    }
    case PictureKind::invalid: break;
  }
  return {};
}

std::string format_picture(const PictureDescriptor& pic, std::string_view value) {
  switch (pic.kind) {
    case PictureKind::number: {
      const auto d = parse_decimal(value);
      return d ? format_number(pic, *d) : hashes(pic);
    }
    case PictureKind::string: return format_string(pic, value);
    case PictureKind::date:
    case PictureKind::time: {
      const auto whole = parse_whole(value);
      if (!whole) return hashes(pic);
      return pic.kind == PictureKind::date ? format_date(pic, *whole) : format_time(pic, *whole);
    }
    case PictureKind::invalid: break;
  }
  return {};
}

std::optional<PictureValue> deformat_picture(const PictureDescriptor& pic, std::string_view typed) {
  switch (pic.kind) {
    case PictureKind::number: return deformat_number(pic, typed);
    case PictureKind::date: return deformat_date(pic, typed);
    case PictureKind::time: return deformat_time(pic, typed);
    case PictureKind::string: {
      PictureValue value;
      value.text = std::string(typed.substr(0, pic.width));
      return value;
    }
    case PictureKind::invalid: break;
  }
  return std::nullopt;
}

std::int32_t date_from_ymd(int year, int month, int day) {
  if (year < 1801 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > days_in_month(year, month))
    return 0;
  return static_cast<std::int32_t>(days_from_civil(year, static_cast<unsigned>(month),
                                                   static_cast<unsigned>(day)) -
                                   kDayZero);
}

Ymd ymd_from_date(std::int32_t day_number) {
  if (day_number < 1 || day_number > kLastDay) return {};
  std::int64_t z = day_number + kDayZero + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const auto d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const auto m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const auto y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  return {y, m, d};
}

int weekday_of_date(std::int32_t day_number) {
  if (day_number < 1 || day_number > kLastDay) return -1;
  return static_cast<int>((day_number - 1 + 4) % 7);  // day 1, 1801-01-01, was a Thursday
}

std::int32_t time_from_hms(int hours, int minutes, int seconds, int hundredths) {
  if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || seconds < 0 || seconds > 59 ||
      hundredths < 0 || hundredths > 99)
    return 0;
  return ((hours * 60 + minutes) * 60 + seconds) * 100 + hundredths + 1;
}

}  // namespace runtime
