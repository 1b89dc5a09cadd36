// Arbitrary bytes and options through a whole conversion run (first pass,
// lines through the text-line driver, the line rules, the output file), on
// an in-memory Env.
//
// Input layout: five option bytes (mode and indent; encoding, line end,
// keep-entities, numeric and table; line limit; before-text; after-text),
// then the file's contents.
//
// Every output line is checked against the per-line rules written out
// plainly below, independently of the converter's own fast paths: lines
// split at CR LF, LF and CR, tabs expanded, the limit applied at each step,
// each character translated by its mode, and whether a line counts as cut.
// A run must fail exactly when the input holds a NUL byte, and then leave
// the existing output file as it was.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/conversion/conversion.h"
#include "files/driver/error_state.h"
#include "files/textline/textline_driver.h"
#include "platform/memory_env.h"
#include "runtime/charset.h"

namespace {

using namespace conversion;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// --- The rules, plainly ------------------------------------------------------

std::string utf8_of(char32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// A valid UTF-8 sequence at text[i]: its length and code point, else 0.
std::size_t decode(std::string_view text, std::size_t i, char32_t* cp) {
  for (std::size_t len = 1; len <= 4 && i + len <= text.size(); ++len) {
    // Decoding by re-encoding: a sequence is valid when some code point
    // encodes to exactly these bytes.
    const auto b0 = static_cast<unsigned char>(text[i]);
    char32_t v = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (std::size_t k = 1; k < len; ++k) v = (v << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) continue;
    if (utf8_of(v) == text.substr(i, len)) {
      *cp = v;
      return len;
    }
  }
  return 0;
}

bool valid_utf8(std::string_view text, bool* multibyte) {
  *multibyte = false;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t len = decode(text, i, &cp);
    if (len == 0) return false;
    if (len > 1) *multibyte = true;
    i += len;
  }
  return true;
}

int ansi_of(char32_t cp) {
  for (int b = 0; b < 256; ++b) {
    if (runtime::ansi_code_point(static_cast<std::uint8_t>(b)) == cp) return b;
  }
  return -1;
}

struct Cell {
  std::string bytes;  // as in the input
  int ansi = -1;      // the 1252 character, -1 when there is none
  char32_t cp = 0;
  bool decoded = true;  // a character (not a stray byte)
  std::size_t chars = 1;
};

std::size_t chars_of(std::string_view s, bool utf8) {
  if (!utf8) return s.size();
  std::size_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) == 0x80 ? 0 : 1;
  return n;
}

std::string first_chars(std::string_view s, std::size_t chars, bool utf8) {
  std::string out;
  std::size_t seen = 0;
  for (const char c : s) {
    const bool starts = !utf8 || (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (starts && seen == chars) break;
    if (starts) ++seen;
    out += c;
  }
  return out;
}

std::string rtrim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string in_output(std::string_view ansi, bool utf8) {
  if (!utf8) return std::string(ansi);
  std::string out;
  for (const char c : ansi) out += utf8_of(runtime::ansi_code_point(static_cast<std::uint8_t>(c)));
  return out;
}

struct Rules {
  Options o;
  ReplacementTable table;
  bool utf8 = false;

  std::string convert(std::string_view line, std::size_t limit) const {
    const bool writes = o.mode == kModeNone || o.mode == kModeInternational || o.mode == kModeAll;
    // Characters, tabs as blanks.
    std::vector<Cell> cells;
    std::size_t col = 0;
    for (std::size_t i = 0; i < line.size();) {
      Cell c;
      const auto b = static_cast<unsigned char>(line[i]);
      char32_t cp = 0;
      const std::size_t len = utf8 ? decode(line, i, &cp) : 1;
      if (b == '\t') {
        for (std::size_t k = 8 - col % 8; k > 0; --k) cells.push_back(Cell{" ", ' ', ' ', true, 1});
        col += 8 - col % 8;
        ++i;
        continue;
      }
      if (!utf8) {
        c = Cell{std::string(1, line[i]), b, runtime::ansi_code_point(b), true, 1};
      } else if (len == 0) {
        c = Cell{std::string(1, line[i]), -1, 0, false, (b & 0xC0) == 0x80 ? 0u : 1u};
      } else {
        c = Cell{std::string(line.substr(i, len)), ansi_of(cp), cp, true, 1};
      }
      col += c.chars;
      i += c.bytes.size();
      cells.push_back(c);
    }
    // The first `limit` characters, then no trailing blanks.
    std::vector<Cell> kept;
    std::size_t count = 0;
    for (const Cell& c : cells) {
      if (c.chars > 0 && count >= limit) break;
      count += c.chars;
      kept.push_back(c);
    }
    while (!kept.empty() && kept.back().bytes == " ") kept.pop_back();

    // The work line.
    std::string work;
    std::size_t work_chars = 0;
    bool full = false;
    auto append = [&](const std::string& piece) {
      if (full) return;
      const std::size_t n = chars_of(piece, utf8);
      if (work_chars + n > limit) {
        work += first_chars(piece, limit - work_chars, utf8);
        work_chars = limit;
        full = true;
        return;
      }
      work += piece;
      work_chars += n;
    };
    const bool amp_changes = translation('&', '&', "&") != "&";
    for (std::size_t k = 0; writes && k < kept.size(); ++k) {
      const Cell& c = kept[k];
      if (o.keep_entities && c.bytes == "&" && amp_changes) {
        std::string rest;
        for (std::size_t m = k; m < kept.size(); ++m) rest += kept[m].bytes;
        if (const std::size_t r = reference(rest); r != 0) {
          append(rest.substr(0, r));
          std::size_t taken = 0;
          while (taken < r) taken += kept[k++].bytes.size();
          --k;
          continue;
        }
      }
      if (!c.decoded) {
        append(c.bytes);
      } else if (c.bytes == "<") {
        append("<<");
      } else if (c.ansi < 0) {
        const bool numeric = o.numeric && (o.mode == kModeInternational || o.mode == kModeAll);
        append(numeric ? "&#" + std::to_string(static_cast<std::uint32_t>(c.cp)) + ";" : c.bytes);
      } else if (o.mode == kModeNone || (o.mode == kModeInternational && c.ansi < 128)) {
        append(c.bytes);
      } else {
        append(translation(c.ansi, c.cp, c.bytes));
      }
    }
    work = rtrim(work);
    std::string prefix(static_cast<std::size_t>(std::clamp(o.indent, 0, kMaxIndent)), ' ');
    prefix += rtrim(o.before);
    std::string out = in_output(prefix, utf8) + work + in_output(rtrim(o.after), utf8);
    return rtrim(first_chars(out, limit, utf8));
  }

  std::string translation(int ansi, char32_t cp, const std::string& self) const {
    const auto c = static_cast<std::uint8_t>(ansi);
    if (!table.holds(c)) {
      if (o.numeric && ansi >= 128 && (o.mode == kModeInternational || o.mode == kModeAll)) {
        return "&#" + std::to_string(static_cast<std::uint32_t>(cp)) + ";";
      }
      return self;
    }
    const std::string t(table.text(c));
    if (t == "&") return self;
    if (t.size() >= 2 && t[0] == '&') return in_output(t + ";", utf8);
    return in_output(t, utf8);
  }

  static std::size_t reference(std::string_view t) {
    auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    auto hex = [&](char c) { return digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); };
    std::size_t i = 1;
    std::size_t most = 32;
    int kind = 0;
    if (t.size() > 1 && t[1] == '#') {
      i = 2;
      kind = 1;
      most = 7;
      if (t.size() > 2 && (t[2] == 'x' || t[2] == 'X')) {
        i = 3;
        kind = 2;
        most = 6;
      }
    } else if (t.size() < 2 || !alpha(t[1])) {
      return 0;
    }
    const std::size_t start = i;
    while (i < t.size() && i - start < most &&
           (kind == 0 ? alpha(t[i]) || digit(t[i]) : kind == 1 ? digit(t[i]) : hex(t[i]))) {
      ++i;
    }
    return i > start && i < t.size() && t[i] == ';' ? i + 1 : 0;
  }
};

std::vector<std::string> split_lines(std::string_view text) {
  if (!text.empty() && text.back() == '\x1A') text.remove_suffix(1);
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(line);
      line.clear();
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += text[i];
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// A byte string with everything outside printable ASCII escaped, for the
// report when a check fails (CONVERSION_FUZZ_SHOW set).
std::string shown(std::string_view s) {
  std::string out;
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 32 && b < 127 && b != '\\') {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

// --- The run -----------------------------------------------------------------

const char* const kTexts[] = {"", "HtmlLine('", "')", "x  ", "\xAB\xE9", "  ", "<b>&amp;"};
const std::size_t kLimits[] = {0, 1, 2, 3, 5, 8, 13, 40, 300, 1024};

ReplacementTable table_for(int choice) {
  ReplacementTable t;
  if (choice == 1 || choice == 3) t = ReplacementTable::standard();
  if (choice == 2) {
    t.set(' ', "_");
    t.set('a', "");
    t.set('"', "\"\"");
    t.set(233, "&eacute");
    t.set(200, "&");
    t.set(201, "x\xE9");
    t.set(0x80, "&euro");
  }
  if (choice >= 2) t.set('&', "&amp");
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("MARKFIT_PROFILE", "/nonexistent/markfit-fuzz-profile.ini", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  Rules rules;
  Options& o = rules.o;
  o.mode = data[0] % 4;
  o.indent = (data[0] >> 2) % 4;
  o.encoding = static_cast<Encoding>(data[1] % 3);
  o.line_end = (data[1] & 4) ? LineEnd::lf : LineEnd::crlf;
  o.keep_entities = data[1] & 8;
  o.numeric = data[1] & 16;
  rules.table = table_for((data[1] >> 5) % 4);
  o.max_line = kLimits[data[2] % std::size(kLimits)];
  o.before = kTexts[data[3] % std::size(kTexts)];
  o.after = kTexts[data[4] % std::size(kTexts)];
  const std::string_view contents(reinterpret_cast<const char*>(data + 5), size - 5);

  platform::MemoryEnv env;
  check(env.make_directory("/d").ok());
  check(env.write_file("/d/in.html", contents).ok());
  check(env.write_file("/d/out.txt", "old").ok());
  files::set_textline_env(&env);
  Report report;
  bool ok = false;
  {
    Conversion run(o);
    ok = run.open_input("/d/in.html");
    if (ok) {
      FileOutput sink("/d/out.txt", o.line_end);
      ok = run.run(rules.table, sink);
    }
    report = run.report();
  }
  files::set_textline_env(nullptr);

  std::string written;
  check(env.read_file("/d/out.txt", &written));
  const bool has_nul = contents.find('\0') != std::string_view::npos;
  check(ok == !has_nul);
  if (!ok) {
    check(written == "old");
    return 0;
  }

  bool multibyte = false;
  const bool valid = valid_utf8(contents, &multibyte);
  rules.utf8 = o.encoding == Encoding::utf8 || (o.encoding == Encoding::automatic && valid && multibyte);
  check(report.utf8 == rules.utf8);
  const std::string_view bom = "\xEF\xBB\xBF";
  const bool mark = rules.utf8 && contents.substr(0, 3) == bom;
  // The first line keeps the mark while the reader's cap applies to it.
  const std::vector<std::string> lines = split_lines(contents);

  const std::size_t limit = o.max_line == 0 ? SIZE_MAX : o.max_line;
  const std::size_t cap = o.max_line == 0 ? SIZE_MAX : 4 * o.max_line + 4;
  const std::string eol = o.line_end == LineEnd::lf ? "\n" : "\r\n";
  std::string expected = mark ? std::string(bom) : "";
  std::uint64_t cut_lines = 0;
  std::uint64_t first_cut = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& whole = lines[i];
    std::string given = whole.substr(0, std::min(cap, whole.size()));
    const bool more = whole.size() > given.size() && whole.find_first_not_of(" \t", given.size()) != std::string::npos;
    if (i == 0 && mark && given.compare(0, 3, bom) == 0) given.erase(0, 3);
    const std::string out = rules.convert(given, limit);
    const bool writes = o.mode <= kModeAll;
    const bool cut = (writes && more) || out != rules.convert(given, SIZE_MAX);
    if (cut && cut_lines++ == 0) first_cut = i + 1;
    expected += out + eol;
  }
  if (written != expected && std::getenv("CONVERSION_FUZZ_SHOW")) {
    std::fprintf(stderr, "written:  %s\nexpected: %s\n", shown(written).c_str(), shown(expected).c_str());
  }
  check(written == expected);
  check(report.lines == lines.size());
  check(report.cut_lines == cut_lines);
  check(report.first_cut == first_cut);
  return 0;
}
