#include "app/conversion/line_converter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "runtime/charset.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace conversion {
namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
constexpr int kTabWidth = 8;

bool continues(unsigned char b) { return (b & 0xC0) == 0x80; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The byte length of the first `chars` characters of p[0, n).
std::size_t prefix_bytes(const char* p, std::size_t n, std::size_t chars, bool utf8) {
  if (!utf8) return std::min(n, chars);
  std::size_t seen = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!continues(static_cast<unsigned char>(p[i]))) {
      if (seen == chars) return i;
      ++seen;
    }
  }
  return n;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string numeric_reference(char32_t cp) { return "&#" + std::to_string(static_cast<std::uint32_t>(cp)) + ";"; }

std::string_view clipped(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

}  // namespace

std::size_t reference_length(std::string_view t) {
  if (t.size() < 3 || t[0] != '&') return 0;
  std::size_t i = 1;
  std::size_t most = 0;
  bool (*ok)(char) = nullptr;
  if (t[1] == '#') {
    ++i;
    if (i < t.size() && (t[i] == 'x' || t[i] == 'X')) {
      ++i;
      ok = is_hex;
      most = 6;
    } else {
      ok = is_digit;
      most = 7;
    }
  } else {
    if (!is_alpha(t[1])) return 0;
    ok = [](char c) { return is_alpha(c) || is_digit(c); };
    most = 32;
  }
  const std::size_t start = i;
  while (i < t.size() && i - start < most && ok(t[i])) ++i;
  if (i == start || i >= t.size() || t[i] != ';') return 0;
  return i + 1;
}

int ansi_byte_of(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  static const std::array<char32_t, 32> high = [] {
    std::array<char32_t, 32> h{};
    for (int b = 0; b < 32; ++b) h[static_cast<std::size_t>(b)] = runtime::ansi_code_point(static_cast<std::uint8_t>(0x80 + b));
    return h;
  }();
  for (int b = 0; b < 32; ++b) {
    if (high[static_cast<std::size_t>(b)] == cp) return 0x80 + b;
  }
  return -1;
}

std::size_t utf8_sequence(std::string_view t, char32_t* code_point) {
  if (t.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(t[0]);
  if (b0 < 0x80) {
    *code_point = b0;
    return 1;
  }
  std::size_t len = 0;
  char32_t cp = 0;
  char32_t least = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
    least = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    least = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    least = 0x10000;
  } else {
    return 0;
  }
  if (t.size() < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(t[i]);
    if (!continues(b)) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *code_point = cp;
  return len;
}

void append_ansi_as_utf8(std::string& out, std::string_view ansi) {
  for (const char c : ansi) append_utf8(out, runtime::ansi_code_point(static_cast<std::uint8_t>(c)));
}

std::string written_text(const Options& options, const ReplacementTable& table, std::uint8_t c, bool* identity) {
  const std::int32_t mode = options.mode;
  const char self = static_cast<char>(c);
  const bool looked_up = (mode == kModeInternational && c >= 128) || mode == kModeAll;
  std::string text(1, self);
  if (c == '<') {
    text = "<<";
  } else if (looked_up && table.holds(c)) {
    const std::string_view t = table.text(c);
    if (t.size() >= 2 && t[0] == '&') {
      text = std::string(t) + ";";
    } else if (t != "&") {
      text = t;
    }
  } else if (looked_up && options.numeric && c >= 128) {
    text = numeric_reference(runtime::ansi_code_point(c));
  }
  // A table that writes the quote as two quotes has done the doubling.
  if (options.double_quotes && !(c == '\'' && text == "''")) {
    for (std::size_t at = text.find('\''); at != std::string::npos; at = text.find('\'', at + 2)) {
      text.insert(at, 1, '\'');
    }
  }
  *identity = text.size() == 1 && text[0] == self;
  return text;
}

bool ansi_of_utf8(std::string_view text, std::string* out, std::string* missing) {
  out->clear();
  bool whole = true;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    std::size_t len = utf8_sequence(text.substr(i), &cp);
    int b = len == 0 ? -1 : ansi_byte_of(cp);
    if (len == 0) {  // not UTF-8: the byte itself
      len = 1;
      b = static_cast<unsigned char>(text[i]);
    }
    if (b < 0) {
      if (whole && missing != nullptr) *missing = std::string(text.substr(i, len));
      whole = false;
      b = '?';
    }
    out->push_back(static_cast<char>(b));
    i += len;
  }
  return whole;
}

LineConverter::LineConverter(const Options& options, const ReplacementTable& table, bool utf8)
    : options_(options), utf8_(utf8) {
  const std::int32_t mode = options.mode;
  writes_line_ = mode == kModeNone || mode == kModeInternational || mode == kModeAll;
  limit_ = options.max_line == 0 ? kNoLimit : options.max_line;
  numeric_ = options.numeric && (mode == kModeInternational || mode == kModeAll);

  for (int code = 0; code < 256; ++code) {
    const auto c = static_cast<std::uint8_t>(code);
    if (!writes_line_) {
      set_entry(c, {}, false);
      continue;
    }
    if (c == '<') {
      set_entry(c, "<<", false);
      continue;
    }
    bool identity = false;
    const std::string text = written_text(options, table, c, &identity);
    set_entry(c, text, identity);
  }
  for (int code = 0; code < 256; ++code) {
    const auto c = static_cast<std::uint8_t>(code);
    special_[c] = !entries_[c].identity || c == '\t' || (utf8_ && c >= 0x80);
  }
  // A reference matters only where "&" itself would change.
  if (options.keep_entities && !entries_[static_cast<std::uint8_t>('&')].identity) special_[static_cast<std::uint8_t>('&')] = true;
  // The search for the next special byte compares sixteen bytes at once
  // against the few special bytes below 128 (all bytes from 128 up are
  // candidates when any of them is special); a table with more of them
  // is searched byte by byte.
  for (int code = 0; code < 128; ++code) {
    if (!special_[code]) continue;
    if (low_count_ == sizeof low_) {
      vector_search_ = false;
      break;
    }
    low_[low_count_++] = static_cast<char>(code);
  }
  for (int code = 128; code < 256; ++code) high_special_ = high_special_ || special_[code];

  // Mode None needs nothing of a line but its "<" and tabs.
  doubling_only_ = mode == kModeNone && !options.keep_entities && !options.double_quotes;
  check_quotes_ = writes_line_ && !options.double_quotes;

  // The most bytes (and characters) one input byte can give: an entry, a
  // tab's blanks, a numeric reference of a UTF-8 character (at most
  // "&#1114111;"), a byte copied.
  widest_ = 10;
  for (const Entry& e : entries_) widest_ = std::max<std::size_t>({widest_, e.length, e.chars});
  widest_ = std::max<std::size_t>(widest_, kTabWidth * std::max<std::size_t>(entries_[static_cast<unsigned char>(' ')].length, 1));

  // ANSI text without kept references is converted byte by byte from the
  // entries, where each entry is as many characters as bytes.
  if (writes_line_ && !utf8_ && !options.keep_entities) {
    std::size_t longest = 0;
    bool counted = true;
    for (const Entry& e : entries_) {
      longest = std::max<std::size_t>(longest, e.length);
      counted = counted && e.length == e.chars;
    }
    if (counted) entry_copy_ = longest <= 16 ? 16 : longest <= 32 ? 32 : 0;
  }

  // The texts in the output's encoding.
  auto in_output = [this, &options](std::string_view text) {
    std::string out;
    if (options.texts_utf8 == utf8_) {
      out = text;
    } else if (utf8_) {
      append_ansi_as_utf8(out, text);
    } else {
      ansi_of_utf8(text, &out);
    }
    return out;
  };
  const int indent = std::clamp(options.indent, 0, kMaxIndent);
  prefix_.assign(static_cast<std::size_t>(indent), ' ');
  prefix_ += in_output(clipped(options.before));
  after_ = in_output(clipped(options.after));
  prefix_chars_ = chars_of(prefix_.data(), prefix_.size());
  after_chars_ = chars_of(after_.data(), after_.size());
}

void LineConverter::set_entry(std::uint8_t c, std::string_view ansi_text, bool identity) {
  Entry& e = entries_[c];
  std::string text;
  if (utf8_) {
    append_ansi_as_utf8(text, ansi_text);
  } else {
    text = ansi_text;
  }
  e.identity = identity;
  e.length = static_cast<std::uint8_t>(std::min(text.size(), sizeof e.bytes));
  std::memcpy(e.bytes, text.data(), e.length);
  e.chars = static_cast<std::uint8_t>(ansi_text.size());
}

std::size_t LineConverter::input_cap() const {
  return limit_ == kNoLimit ? 0 : 4 * limit_ + 4;
}

std::size_t LineConverter::input_end(std::string_view line, std::size_t limit) const {
  if (limit == kNoLimit) return line.size();
  // Most lines are far shorter than the limit: even as tabs no byte of them
  // can reach it, or without a tab none can.
  if (line.size() <= limit / kTabWidth) return line.size();
  if (line.size() <= limit && std::memchr(line.data(), '\t', line.size()) == nullptr) return line.size();
  std::size_t col = 0;
  std::size_t i = 0;
  for (; i < line.size(); ++i) {
    const auto b = static_cast<unsigned char>(line[i]);
    if (utf8_ && continues(b)) continue;  // the rest of a character already taken
    if (col >= limit) break;
    if (b == '\t') {
      const std::size_t stop = col + kTabWidth - col % kTabWidth;
      // Blanks cut at the limit end the line: nothing after them counts.
      if (stop > limit) return i + 1;
      col = stop;
    } else {
      ++col;
    }
  }
  return i;
}

namespace {

// Copies a few bytes without a library call: most pieces are short. The
// destination has 16 bytes of room past the end of every piece.
inline void copy_bytes(char* to, const char* from, std::size_t n) {
  if (n <= 16) {
    if (n >= 8) {
      std::uint64_t a, b;
      std::memcpy(&a, from, 8);
      std::memcpy(&b, from + n - 8, 8);
      std::memcpy(to, &a, 8);
      std::memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, from, 4);
      std::memcpy(&b, from + n - 4, 4);
      std::memcpy(to, &a, 4);
      std::memcpy(to + n - 4, &b, 4);
    } else {
      for (std::size_t k = 0; k < n; ++k) to[k] = from[k];
    }
    return;
  }
  std::memcpy(to, from, n);
}

constexpr std::size_t kSlack = 16;

// Mode None as most lines need it: every "<" doubled, everything else
// copied, from p[0] up to p[n]. With `tabs` (a byte is a column) a tab
// becomes blanks to the next multiple of eight columns; without, the copy
// stops at the first tab, whose blanks need the characters counted. Writes
// at out, which has room for 8 n + 32 bytes (more than it keeps); returns
// the bytes kept and, through *stop, how far it read.
//
// One byte in, one or two out: bytes before the line's tabs are column
// for column, so a tab's blanks follow from where it stands in the input
// and the blanks of the tabs before it.
inline char* put_tab(char* o, std::size_t* column) {
  const std::size_t blanks = kTabWidth - *column % kTabWidth;
  std::memset(o, ' ', kTabWidth);
  *column += blanks;
  return o + blanks;
}

std::size_t double_brackets_scalar(const char* p, std::size_t n, bool tabs, char* out, std::size_t* stop) {
  char* o = out;
  std::size_t column = 0;
  std::size_t i = 0;
  for (; i < n; ++i) {
    const char c = p[i];
    if (c == '\t') {
      if (!tabs) break;
      o = put_tab(o, &column);
      continue;
    }
    o[0] = c;
    o[1] = '<';
    o += 1 + (c == '<');
    ++column;
  }
  *stop = i;
  return static_cast<std::size_t>(o - out);
}

#if defined(__x86_64__) && defined(__GNUC__)
// Eight bytes with a "<" among them become up to sixteen by one byte
// shuffle: for each mask of the "<"s, where each output byte comes from
// (a "<" twice), and how many there are.
struct Doubling {
  std::uint8_t from[256][16];
  std::uint8_t length[256];
};

constexpr Doubling make_doubling() {
  Doubling d{};
  for (int mask = 0; mask < 256; ++mask) {
    int at = 0;
    for (int b = 0; b < 8; ++b) {
      d.from[mask][at++] = static_cast<std::uint8_t>(b);
      if (mask & (1 << b)) d.from[mask][at++] = static_cast<std::uint8_t>(b);
    }
    d.length[mask] = static_cast<std::uint8_t>(at);
    for (; at < 16; ++at) d.from[mask][at] = 0x80;  // nothing
  }
  return d;
}

alignas(16) constexpr Doubling kDoubling = make_doubling();

// Moves the last n of sixteen bytes to the front: kShiftDown[16 - n].
constexpr std::array<std::array<std::uint8_t, 16>, 17> make_shift_down() {
  std::array<std::array<std::uint8_t, 16>, 17> table{};
  for (std::size_t s = 0; s <= 16; ++s) {
    for (std::size_t k = 0; k < 16; ++k) table[s][k] = static_cast<std::uint8_t>(k + s < 16 ? k + s : 0x80);
  }
  return table;
}
alignas(16) constexpr std::array<std::array<std::uint8_t, 16>, 17> kShiftDown = make_shift_down();

// Up to sixteen bytes from p[*i] (`valid` of the vector v): those before the
// first tab doubled and copied, then the tab's blanks. False where a tab
// stops the copy.
__attribute__((target("ssse3"), always_inline)) inline bool double_block(__m128i v, std::size_t valid, bool tabs,
                                                                         std::size_t* i, char** out,
                                                                         std::size_t* column) {
  unsigned keep = valid == 16 ? 0xFFFFu : (1u << valid) - 1;
  const unsigned tabs_in = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')))) & keep;
  std::size_t plain = valid;
  if (tabs_in != 0) {
    plain = static_cast<std::size_t>(__builtin_ctz(tabs_in));
    keep = (1u << plain) - 1;
  }
  char* o = *out;
  const unsigned doubled = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('<')))) & keep;
  if (doubled == 0) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
  } else {
    const unsigned low = doubled & 0xFF;
    const unsigned high = doubled >> 8;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                     _mm_shuffle_epi8(v, _mm_load_si128(reinterpret_cast<const __m128i*>(kDoubling.from[low]))));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + kDoubling.length[low]),
                     _mm_shuffle_epi8(_mm_srli_si128(v, 8),
                                      _mm_load_si128(reinterpret_cast<const __m128i*>(kDoubling.from[high]))));
  }
  // kDoubling.length counts eight bytes and their "<"s: the "<"s are the rest.
  o += plain + (kDoubling.length[doubled & 0xFF] - 8u) + (kDoubling.length[doubled >> 8] - 8u);
  *column += plain;
  *i += plain;
  if (tabs_in != 0) {
    if (!tabs) {
      *out = o;
      return false;
    }
    o = put_tab(o, column);
    ++*i;
  }
  *out = o;
  return true;
}

__attribute__((target("ssse3"))) std::size_t double_brackets_ssse3(const char* p, std::size_t n, bool tabs,
                                                                   char* out, std::size_t* stop) {
  // A short line is not worth a vector.
  if (n < 16) return double_brackets_scalar(p, n, tabs, out, stop);
  char* o = out;
  std::size_t column = 0;
  std::size_t i = 0;
  bool going = true;
  while (going && i + 16 <= n) {
    going = double_block(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), 16, tabs, &i, &o, &column);
  }
  // The rest of the line is the end of its last sixteen bytes.
  while (going && i < n) {
    const std::size_t rest = n - i;
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16));
    const __m128i v = _mm_shuffle_epi8(last, _mm_load_si128(reinterpret_cast<const __m128i*>(kShiftDown[16 - rest].data())));
    going = double_block(v, rest, tabs, &i, &o, &column);
  }
  *stop = i;
  return static_cast<std::size_t>(o - out);
}

bool has_ssse3() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
}

using Doubler = std::size_t (*)(const char*, std::size_t, bool, char*, std::size_t*);
const Doubler double_brackets = has_ssse3() ? &double_brackets_ssse3 : &double_brackets_scalar;
#else
constexpr auto double_brackets = &double_brackets_scalar;
#endif

}  // namespace

std::size_t LineConverter::count_columns(const char* p, std::size_t n) const {
  if (!utf8_) return n;
  std::size_t col = 0;
  for (std::size_t i = 0; i < n; ++i) col += continues(static_cast<unsigned char>(p[i])) ? 0 : 1;
  return col;
}

// The work line for p[start, n) appended at buf[pos]. With kChecked the limit
// is watched and the buffer grows as needed; without, the caller has made
// sure that neither can be reached.
template <bool kChecked>
std::size_t LineConverter::convert_text(const char* p, std::size_t start, std::size_t n, std::size_t limit,
                                        std::vector<char>& buf, std::size_t pos, std::size_t* work_chars,
                                        bool* full_out, std::size_t* column) const {
  std::size_t work = *work_chars;
  bool full = false;
  char* out = buf.data();
  auto emit = [&](const char* bytes, std::size_t length, std::size_t chars) {
    if constexpr (kChecked) {
      if (work + chars > limit) {
        const std::size_t room = limit - work;
        length = prefix_bytes(bytes, length, room, utf8_);
        chars = room;
        full = true;
      }
      if (pos + length + kSlack > buf.size()) {
        buf.resize(std::max(buf.size() * 2, pos + length + kSlack));
        out = buf.data();
      }
    }
    copy_bytes(out + pos, bytes, length);
    pos += length;
    work += chars;
  };

  const bool* special = special_;
  std::size_t col = (column ? *column : 0) + count_columns(p, start);  // input column, for tab stops
  std::size_t i = start;

  // The special bytes are found sixteen at a time: each block is loaded
  // once, and its candidates (the few special bytes below 128, every byte
  // from 128 up when any of those is special) are taken bit by bit.
  std::size_t scanned = start;  // bytes before this are in a mask already
  std::size_t block = start;
  unsigned mask = 0;
#if defined(__SSE2__)
  __m128i wanted[sizeof low_];
  for (std::size_t k = 0; k < low_count_; ++k) wanted[k] = _mm_set1_epi8(low_[k]);
#endif
  auto next_special = [&](std::size_t from) {
#if defined(__SSE2__)
    if (vector_search_) {
      auto candidates = [&](__m128i v) {
        __m128i hits = _mm_setzero_si128();
        for (std::size_t k = 0; k < low_count_; ++k) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(v, wanted[k]));
        auto m = static_cast<unsigned>(_mm_movemask_epi8(hits));
        if (high_special_) m |= static_cast<unsigned>(_mm_movemask_epi8(v));
        return m;
      };
      for (;;) {
        for (; mask != 0; mask &= mask - 1) {
          const std::size_t at = block + static_cast<std::size_t>(__builtin_ctz(mask));
          if (at >= from && special[static_cast<unsigned char>(p[at])]) {
            mask &= mask - 1;
            return at;
          }
        }
        if (scanned >= n) return n;
        if (scanned + 16 <= n) {
          block = scanned;
          mask = candidates(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + block)));
          scanned += 16;
        } else if (n >= 16) {
          // The tail: the last sixteen bytes, without those already seen.
          block = n - 16;
          mask = candidates(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + block))) &
                 ~((1u << (scanned - block)) - 1);
          scanned = n;
        } else {
          alignas(16) char tail[16] = {};
          std::memcpy(tail, p + scanned, n - scanned);
          block = scanned;
          mask = candidates(_mm_load_si128(reinterpret_cast<const __m128i*>(tail))) & ((1u << (n - scanned)) - 1);
          scanned = n;
        }
      }
    }
#endif
    while (from < n && !special[static_cast<unsigned char>(p[from])]) ++from;
    return from;
  };

  while (i < n && !full) {
    const std::size_t j = next_special(i);
    if (j > i) {
      // Plain bytes: single characters written as they are.
      emit(p + i, j - i, j - i);
      col += j - i;
      i = j;
      if (i == n || full) break;
    }
    const auto b = static_cast<unsigned char>(p[i]);
    if (b == '\t') {
      const Entry& blank = entries_[static_cast<unsigned char>(' ')];
      const std::size_t blanks = kTabWidth - col % kTabWidth;
      for (std::size_t k = blanks; k > 0 && !full; --k) emit(blank.bytes, blank.length, blank.chars);
      col += blanks;
      ++i;
      continue;
    }
    if (b == '&' && options_.keep_entities) {
      if (const std::size_t r = reference_length(std::string_view(p + i, n - i)); r != 0) {
        emit(p + i, r, r);
        col += r;
        i += r;
        continue;
      }
    }
    if (utf8_ && b >= 0x80) {
      char32_t cp = 0;
      const std::size_t len = utf8_sequence(std::string_view(p + i, n - i), &cp);
      if (len == 0) {
        const std::size_t chars = continues(b) ? 0 : 1;
        emit(p + i, 1, chars);
        col += chars;
        ++i;
        continue;
      }
      const int c = ansi_byte_of(cp);
      if (c >= 0 && !entries_[c].identity) {
        const Entry& e = entries_[c];
        emit(e.bytes, e.length, e.chars);
      } else if (c < 0 && numeric_) {
        const std::string ref = numeric_reference(cp);
        emit(ref.data(), ref.size(), ref.size());
      } else {
        emit(p + i, len, 1);
      }
      col += 1;
      i += len;
      continue;
    }
    const Entry& e = entries_[b];
    emit(e.bytes, e.length, e.chars);
    col += 1;
    ++i;
  }
  *work_chars = work;
  *full_out = full;
  if (column) *column = col;
  return pos;
}

namespace {

// The entries of p[from, to), which holds no tab, each copied as kCopy bytes
// (its own and what follows them in Entry::bytes) where vectors serve.
template <std::size_t kCopy, class Entries>
char* put_entries(const Entries& entries, const char* p, std::size_t from, std::size_t to, char* o) {
  for (std::size_t i = from; i < to; ++i) {
    const auto& e = entries[static_cast<unsigned char>(p[i])];
#if defined(__SSE2__)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_loadu_si128(reinterpret_cast<const __m128i*>(e.bytes)));
    if constexpr (kCopy == 32) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(e.bytes + 16)));
    }
#else
    std::memcpy(o, e.bytes, e.length);
#endif
    o += e.length;
  }
  return o;
}

}  // namespace

std::size_t LineConverter::convert_ansi(const char* p, std::size_t n, char* out) const {
  char* o = out;
  std::size_t extra = 0;  // blanks of the tabs so far beyond their own column
  // p[from, to), tabs among them.
  auto put = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to;) {
      const void* tab = std::memchr(p + i, '\t', to - i);
      const std::size_t stop = tab ? static_cast<std::size_t>(static_cast<const char*>(tab) - p) : to;
      o = entry_copy_ == 16 ? put_entries<16>(entries_, p, i, stop, o) : put_entries<32>(entries_, p, i, stop, o);
      if (stop == to) return;
      const Entry& blank = entries_[static_cast<unsigned char>(' ')];
      const std::size_t blanks = kTabWidth - (stop + extra) % kTabWidth;
      for (std::size_t k = 0; k < blanks; ++k) {
        std::memcpy(o, blank.bytes, blank.length);
        o += blank.length;
      }
      extra += blanks - 1;
      i = stop + 1;
    }
  };
  std::size_t i = 0;
#if defined(__SSE2__)
  // Blocks of sixteen bytes that hold no special byte are copied whole.
  if (vector_search_) {
    __m128i wanted[sizeof low_];
    for (std::size_t k = 0; k < low_count_; ++k) wanted[k] = _mm_set1_epi8(low_[k]);
    const __m128i tab = _mm_set1_epi8('\t');
    for (; i + 16 <= n; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      __m128i hits = _mm_setzero_si128();
      for (std::size_t k = 0; k < low_count_; ++k) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(v, wanted[k]));
      unsigned m = static_cast<unsigned>(_mm_movemask_epi8(hits));
      if (high_special_) m |= static_cast<unsigned>(_mm_movemask_epi8(v));
      if (m == 0) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
        o += 16;
      } else if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, tab)) == 0) {
        o = entry_copy_ == 16 ? put_entries<16>(entries_, p, i, i + 16, o)
                              : put_entries<32>(entries_, p, i, i + 16, o);
      } else {
        put(i, i + 16);
      }
    }
  }
#endif
  put(i, n);
  return static_cast<std::size_t>(o - out);
}

std::size_t LineConverter::build(std::string_view line, std::size_t limit, std::vector<char>& buf,
                                 bool* hit, bool* lone_quote) const {
  const std::size_t end = input_end(line, limit);
  if (end < line.size()) *hit = true;
  std::size_t n = end;
  while (n > 0 && is_blank(line[n - 1])) --n;

  // Every input byte gives at most widest_ bytes and characters: when the
  // whole line cannot reach the limit, nothing needs watching.
  const std::size_t bound = prefix_.size() + n * widest_ + after_.size() + 2 * kSlack;
  const bool unchecked = writes_line_ && n <= (std::size_t{1} << 24) &&
                         (limit == kNoLimit || prefix_chars_ + n * widest_ + after_chars_ <= limit);
  if (buf.size() < (unchecked ? bound : prefix_.size() + after_.size() + kSlack)) {
    buf.resize(std::max(buf.size() * 2, unchecked ? bound : prefix_.size() + after_.size() + kSlack));
  }
  copy_bytes(buf.data(), prefix_.data(), prefix_.size());
  std::size_t pos = prefix_.size();
  std::size_t work = 0;  // characters in the work line
  bool full = false;
  if (unchecked) {
    std::size_t start = 0;
    if (doubling_only_) {
      const std::size_t written = double_brackets(line.data(), n, !utf8_, buf.data() + pos, &start);
      pos += written;
      work = chars_of(buf.data() + pos - written, written);
    } else if (entry_copy_ != 0) {
      const std::size_t written = convert_ansi(line.data(), n, buf.data() + pos);
      pos += written;
      work = written;
      start = n;
    }
    if (start < n) pos = convert_text<false>(line.data(), start, n, limit, buf, pos, &work, &full, nullptr);
  } else if (writes_line_) {
    pos = convert_text<true>(line.data(), 0, n, limit, buf, pos, &work, &full, nullptr);
  }
  if (full) *hit = true;

  // The work line without its trailing blanks.
  while (pos > prefix_.size() && buf[pos - 1] == ' ') {
    --pos;
    --work;
  }
  if (check_quotes_) {
    // Most lines hold no quote: one quick search settles them.
    const char* first = buf.data() + prefix_.size();
    const char* end = buf.data() + pos;
    const auto* q = static_cast<const char*>(std::memchr(first, '\'', static_cast<std::size_t>(end - first)));
    *lone_quote = q != nullptr && std::count(q, end, '\'') % 2 != 0;
  }
  if (pos + after_.size() + kSlack > buf.size()) buf.resize(pos + after_.size() + kSlack);
  copy_bytes(buf.data() + pos, after_.data(), after_.size());
  pos += after_.size();

  if (prefix_chars_ + work + after_chars_ > limit) {
    *hit = true;
    pos = prefix_bytes(buf.data(), pos, limit, utf8_);
  }
  while (pos > 0 && buf[pos - 1] == ' ') --pos;
  return pos;
}

std::string_view LineConverter::convert(std::string_view line, bool more, bool* cut) {
  bool hit = false;
  lone_quote_ = false;
  const std::size_t length = build(line, limit_, out_, &hit, &lone_quote_);
  *cut = false;
  if (hit) {
    bool ignored = false;
    bool quote_ignored = false;
    const std::size_t full = build(line, kNoLimit, unlimited_, &ignored, &quote_ignored);
    *cut = full != length || std::memcmp(out_.data(), unlimited_.data(), length) != 0;
  }
  if (more && writes_line_) *cut = true;
  return std::string_view(out_.data(), length);
}

// A line in pieces. What may still change with the next piece is held
// back: a character or reference cut by the piece's end (input bytes), the
// blanks and tabs at the end of the input so far (as the columns they
// span: dropped if the line ends there), the blanks at the end of the work
// line so far and those at the end of the prefix (counts: the work line's
// go if nothing follows them, the prefix's if neither a work line nor an
// after-text does). So the output is the same as convert() gives for the
// whole line, without ever holding it.
void LineConverter::begin_pieces() {
  held_.clear();
  piece_column_ = 0;
  held_columns_ = 0;
  work_blanks_ = 0;
  prefix_blanks_ = 0;
  piece_out_.clear();
  piece_started_ = false;
  piece_quotes_ = 0;
  lone_quote_ = false;
}

bool LineConverter::put_piece_output(std::string_view bytes, const PieceFn& put) {
  if (check_quotes_) piece_quotes_ += static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\''));
  std::size_t end = bytes.size();
  while (end > 0 && bytes[end - 1] == ' ') --end;
  if (end == 0) {
    work_blanks_ += bytes.size();
    return true;
  }
  piece_out_.append(prefix_blanks_, ' ');
  prefix_blanks_ = 0;
  piece_out_.append(work_blanks_, ' ');
  work_blanks_ = 0;
  piece_out_.append(bytes.substr(0, end));
  work_blanks_ = bytes.size() - end;
  return piece_out_.size() < kPieceOutput || flush_piece_output(put);
}

bool LineConverter::flush_piece_output(const PieceFn& put) {
  if (piece_out_.empty()) return true;
  const bool ok = put(piece_out_);
  piece_out_.clear();
  return ok;
}

bool LineConverter::piece(std::string_view bytes, bool last, const PieceFn& put) {
  if (!piece_started_) {
    piece_started_ = true;
    std::size_t end = prefix_.size();
    while (end > 0 && prefix_[end - 1] == ' ') --end;
    piece_out_.assign(prefix_, 0, end);
    prefix_blanks_ = prefix_.size() - end;
  }
  if (writes_line_) {
    held_.append(bytes);
    std::string_view data = held_;
    std::size_t end = data.size();
    if (!last) {
      // A character whose bytes go on in the next piece.
      if (utf8_) {
        std::size_t k = end;
        while (k > 0 && end - k < 3 && continues(static_cast<unsigned char>(data[k - 1]))) --k;
        if (k > 0) {
          const auto lead = static_cast<unsigned char>(data[k - 1]);
          const std::size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
          if (lead >= 0xC0 && end - (k - 1) < want) end = k - 1;
        }
      }
      // A reference that may go on (it holds no "&" itself).
      if (options_.keep_entities) {
        const std::size_t from = end > kLongestReference ? end - kLongestReference : 0;
        const auto amp = data.substr(from, end - from).rfind('&');
        if (amp != std::string_view::npos) end = from + amp;
      }
    }
    std::size_t text = end;  // the piece without its trailing blanks and tabs
    while (text > 0 && is_blank(data[text - 1])) --text;
    if (text > 0) {
      // The blanks held from before stand before text: they are the blank
      // entry, once per column.
      const Entry& blank = entries_[static_cast<unsigned char>(' ')];
      if (blank.length == 1 && blank.bytes[0] == ' ') {
        work_blanks_ += held_columns_;
        held_columns_ = 0;
      }
      for (; held_columns_ > 0; --held_columns_) {
        if (!put_piece_output(std::string_view(blank.bytes, blank.length), put)) return false;
      }
      const std::size_t bound = text * widest_ + 2 * kSlack;
      if (unlimited_.size() < bound) unlimited_.resize(bound);
      std::size_t work = 0;
      bool full = false;
      const std::size_t n =
          convert_text<false>(data.data(), 0, text, kNoLimit, unlimited_, 0, &work, &full, &piece_column_);
      if (!put_piece_output(std::string_view(unlimited_.data(), n), put)) return false;
    }
    for (std::size_t i = text; i < end; ++i) {
      const std::size_t step = data[i] == '\t' ? kTabWidth - piece_column_ % kTabWidth : 1;
      piece_column_ += step;
      held_columns_ += step;
    }
    held_.erase(0, end);
  }
  if (!last) return true;
  // The line ends: trailing input blanks and work line blanks go, and the
  // prefix's blanks only stay before an after-text.
  lone_quote_ = piece_quotes_ % 2 != 0;
  held_columns_ = 0;
  work_blanks_ = 0;
  if (!after_.empty()) {
    piece_out_.append(prefix_blanks_, ' ');
    piece_out_.append(after_);
  }
  prefix_blanks_ = 0;
  piece_started_ = false;
  const bool ok = flush_piece_output(put);
  held_.clear();
  return ok;
}

}  // namespace conversion
