#include "runtime/char_tables.h"

#include <algorithm>
#include <tuple>

#include "runtime/charset.h"

namespace runtime {
namespace {

using Table = std::array<std::uint8_t, CharTables::kSize>;

bool equals_keyword(std::string_view text, std::string_view keyword) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.size() != keyword.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char a = text[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (a != keyword[i]) return false;
  }
  return true;
}

void set_identity_weights(Table& t) {
  for (unsigned c = 0; c < 256; ++c) {
    t[CharTables::kAnsiWeights + c] = static_cast<std::uint8_t>(c);
    t[CharTables::kOemWeights + c] = static_cast<std::uint8_t>(c);
  }
}

void set_default_case(Table& t) {
  for (unsigned c = 0; c < 256; ++c) {
    t[CharTables::kCaseMap + c] = static_cast<std::uint8_t>(c);
    t[CharTables::kClasses + c] = 0;
  }
  for (unsigned c = 'A'; c <= 'Z'; ++c) {
    t[CharTables::kCaseMap + c] = static_cast<std::uint8_t>(c + 32);
    t[CharTables::kCaseMap + c + 32] = static_cast<std::uint8_t>(c);
    t[CharTables::kClasses + c] = CharTables::kUpper;
    t[CharTables::kClasses + c + 32] = CharTables::kLower;
  }
  for (unsigned c = '0'; c <= '9'; ++c) t[CharTables::kClasses + c] = CharTables::kDigit;
}

// --- The "WINDOWS" collating order -------------------------------------
//
// A fixed, locale-independent stand-in for a culture-aware comparison of
// single 1252 characters, so that files made anywhere sort alike:
//   1. control characters (0..31, 127 and the five undefined bytes);
//   2. blanks, punctuation and symbols, by code;
//   3. digits, each followed by its superscript form;
//   4. letters by base letter a..z, then µ, then thorn. For one base the
//      plain letter comes first, then the accented forms (ligatures and
//      sharp s count as accented forms of their first letter); within one
//      form lower case precedes upper case.
// Remaining ties (none in 1252) fall back to the character code.

struct SortKey {
  int group = 0, primary = 0, secondary = 0, tertiary = 0;
  auto tie() const { return std::tie(group, primary, secondary, tertiary); }
};

// Base letters of 0xC0..0xFF; '*' marks the two non-letters (multiply,
// divide) and '#' thorn, which sorts after z.
constexpr std::string_view kLatin1Bases = "aaaaaaaceeeeiiiidnooooo*ouuuuy#s"
                                          "aaaaaaaceeeeiiiidnooooo*ouuuuy#y";

SortKey windows_key(std::uint8_t c) {
  constexpr int kControl = 0, kSymbol = 1, kDigit = 2, kLetter = 3;
  constexpr int kMicro = 26, kThorn = 27;
  auto letter = [](int base, bool upper, int accent) {
    return SortKey{kLetter, base, accent, upper ? 1 : 0};
  };
  const int accent = 1 + (c & 0x1F);  // upper and lower forms share the low bits
  if (c < 32 || c == 127 || c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D)
    return {kControl, c, 0, 0};
  if (c >= '0' && c <= '9') return {kDigit, c - '0', 0, 0};
  if (c == 0xB9) return {kDigit, 1, 1, 0};
  if (c == 0xB2) return {kDigit, 2, 1, 0};
  if (c == 0xB3) return {kDigit, 3, 1, 0};
  if (c >= 'A' && c <= 'Z') return letter(c - 'A', true, 0);
  if (c >= 'a' && c <= 'z') return letter(c - 'a', false, 0);
  switch (c) {
    case 0x83: return letter('f' - 'a', false, accent);
    case 0x8A: return letter('s' - 'a', true, accent);
    case 0x9A: return letter('s' - 'a', false, accent);
    case 0x8C: return letter('o' - 'a', true, accent);
    case 0x9C: return letter('o' - 'a', false, accent);
    case 0x8E: return letter('z' - 'a', true, accent);
    case 0x9E: return letter('z' - 'a', false, accent);
    case 0x9F: return letter('y' - 'a', true, accent);
    case 0xAA: return letter('a' - 'a', false, accent);
    case 0xBA: return letter('o' - 'a', false, accent);
    case 0xB5: return letter(kMicro, false, 0);
    default: break;
  }
  if (c >= 0xC0) {
    const char base = kLatin1Bases[c - 0xC0];
    const bool upper = c < 0xE0 && c != 0xDF;  // sharp s has no capital here
    if (base == '#') return letter(kThorn, upper, 0);
    if (base != '*') return letter(base - 'a', upper, accent);
  }
  return {kSymbol, c, 0, 0};
}

// Gives the bytes 2..254 the weights 2..254 in the order of `key_of`,
// ties by code, so the table stays a permutation.
template <typename KeyOf>
void order_middle(Table& t, std::size_t offset, KeyOf key_of) {
  std::array<std::uint8_t, 253> bytes{};
  for (unsigned i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i + 2);
  std::stable_sort(bytes.begin(), bytes.end(), [&](std::uint8_t a, std::uint8_t b) {
    return key_of(a).tie() < key_of(b).tie();
  });
  for (unsigned i = 0; i < bytes.size(); ++i)
    t[offset + bytes[i]] = static_cast<std::uint8_t>(i + 2);
}

// The listed bytes take the weights their own codes had, handed out in
// list order; unlisted bytes keep theirs. Starts from identity weights.
void order_listed(Table& t, std::size_t offset, std::string_view list) {
  std::array<bool, 256> seen{};
  std::array<std::uint8_t, 256> order{};
  std::size_t count = 0;
  for (char ch : list) {
    const auto c = static_cast<std::uint8_t>(ch);
    if (seen[c]) continue;
    seen[c] = true;
    order[count++] = c;
  }
  std::array<std::uint8_t, 256> slots = order;
  std::sort(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(count));
  for (std::size_t i = 0; i < count; ++i) t[offset + order[i]] = slots[i];
}

void pair_case(Table& t, std::uint8_t upper, std::uint8_t lower) {
  if (upper == lower) return;
  // Undo any earlier pairing of either byte so the map stays its own
  // inverse and no byte is left pointing at a partner that moved on.
  for (std::uint8_t c : {upper, lower}) {
    const std::uint8_t old = t[CharTables::kCaseMap + c];
    if (old != c) {
      t[CharTables::kCaseMap + old] = old;
      t[CharTables::kClasses + old] &= static_cast<std::uint8_t>(~(CharTables::kUpper | CharTables::kLower));
    }
    t[CharTables::kCaseMap + c] = c;
    t[CharTables::kClasses + c] &= static_cast<std::uint8_t>(~(CharTables::kUpper | CharTables::kLower));
  }
  t[CharTables::kCaseMap + upper] = lower;
  t[CharTables::kCaseMap + lower] = upper;
  t[CharTables::kClasses + upper] |= CharTables::kUpper;
  t[CharTables::kClasses + lower] |= CharTables::kLower;
}

void add_windows_case(Table& t) {
  for (unsigned c = 0xC0; c <= 0xDE; ++c)
    if (c != 0xD7) pair_case(t, static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c + 0x20));
  pair_case(t, 0x8A, 0x9A);  // S caron
  pair_case(t, 0x8C, 0x9C);  // OE
  pair_case(t, 0x8E, 0x9E);  // Z caron
  pair_case(t, 0x9F, 0xFF);  // Y diaeresis
}

}  // namespace

CharTables CharTables::defaults() {
  CharTables tables;
  set_identity_weights(tables.bytes);
  set_default_case(tables.bytes);
  return tables;
}

CharTables& mutable_char_tables() {
  static CharTables tables = CharTables::defaults();
  return tables;
}

const CharTables& char_tables() { return mutable_char_tables(); }

void reset_char_tables() { mutable_char_tables() = CharTables::defaults(); }

void set_collating_sequence(std::string_view value, bool list_is_oem) {
  Table& t = mutable_char_tables().bytes;
  set_identity_weights(t);
  if (value.empty()) return;
  if (equals_keyword(value, "WINDOWS")) {
    order_middle(t, CharTables::kAnsiWeights, windows_key);
    // OEM bytes sort where their ANSI counterparts do; bytes that convert
    // to the same substitute keep their code order among themselves.
    order_middle(t, CharTables::kOemWeights,
                 [](std::uint8_t c) { return windows_key(oem_to_ansi(c)); });
    return;
  }
  std::string other(value);
  if (list_is_oem) {
    oem_to_ansi(other);
    order_listed(t, CharTables::kOemWeights, value);
    order_listed(t, CharTables::kAnsiWeights, other);
  } else {
    ansi_to_oem(other);
    order_listed(t, CharTables::kAnsiWeights, value);
    order_listed(t, CharTables::kOemWeights, other);
  }
}

void set_case_tables(const std::vector<std::string>& items) {
  Table& t = mutable_char_tables().bytes;
  set_default_case(t);
  const bool empty = items.empty() || (items.size() == 1 && items[0].empty());
  if (empty) return;
  // "WINDOWS" is a single item, so it falls through to the full set just
  // as a pair of unequal lengths does.
  if (items.size() >= 2 && items[0].size() == items[1].size()) {
    const std::string& upper = items[0];
    const std::string& lower = items[1];
    for (std::size_t i = 0; i < upper.size(); ++i) {
      const auto u = static_cast<std::uint8_t>(upper[i]);
      const auto l = static_cast<std::uint8_t>(lower[i]);
      if (u > 127 && l > 127) pair_case(t, u, l);
    }
    return;
  }
  add_windows_case(t);
}

void set_sequences(std::string_view groups) {
  Table& t = mutable_char_tables().bytes;
  std::fill_n(t.begin() + CharTables::kSequences, CharTables::kSequenceArea, std::uint8_t{0});
  std::size_t stored = 0;
  for (std::size_t i = 0; i + CharTables::kSequenceEntry <= groups.size() &&
                          stored < CharTables::kMaxSequences;
       i += CharTables::kSequenceEntry) {
    if (groups[i] == '\0') continue;
    for (std::size_t k = 0; k < CharTables::kSequenceEntry; ++k)
      t[CharTables::kSequences + stored * CharTables::kSequenceEntry + k] =
          static_cast<std::uint8_t>(groups[i + k]);
    ++stored;
  }
}

}  // namespace runtime
