#include "cli/json.h"

#include <array>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "runtime/charset.h"

namespace cli::json {

namespace {

// JSON's number grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
// Returns the length of the number at the start of s, 0 when there is none.
std::size_t scan_number(std::string_view s) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i - from;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (i < s.size() && s[i] == '0') {
    ++i;
  } else if (digits() == 0) {
    return 0;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (digits() == 0) return 0;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (digits() == 0) return 0;
  }
  return i;
}

void append_utf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Decodes one UTF-8 character at s[*i]; nullopt for anything malformed
// (overlong forms, surrogates, beyond U+10FFFF, truncated).
std::optional<char32_t> next_utf8(std::string_view s, std::size_t* i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(*i);
  if (c < 0x80) {
    ++*i;
    return c;
  }
  std::size_t n = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((c & 0xE0) == 0xC0) {
    n = 1, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 2, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 3, cp = c & 0x07, min = 0x10000;
  } else {
    return std::nullopt;
  }
  if (s.size() - *i <= n) return std::nullopt;
  for (std::size_t k = 1; k <= n; ++k) {
    if ((b(*i + k) & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (b(*i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  *i += n + 1;
  return cp;
}

class Parser {
 public:
  Parser(std::string_view text, ParseError* error) : s_(text), error_(error) {}

  std::optional<Value> document() {
    skip_space();
    std::optional<Value> v = value(0);
    if (!v) return std::nullopt;
    skip_space();
    if (pos_ != s_.size()) return fail("unexpected text after the JSON value");
    return v;
  }

 private:
  std::nullopt_t fail(const std::string& message) {
    if (error_ && error_->message.empty()) {
      error_->line = 1;
      error_->column = 1;
      for (std::size_t i = 0; i < pos_ && i < s_.size(); ++i) {
        if (s_[i] == '\n') {
          ++error_->line;
          error_->column = 1;
        } else {
          ++error_->column;
        }
      }
      error_->message = message;
    }
    return std::nullopt;
  }

  void skip_space() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) ++pos_;
  }

  bool literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  std::optional<Value> value(int depth) {
    if (pos_ >= s_.size()) return fail("the text ends where a value should be");
    const char c = s_[pos_];
    if (c == '{' || c == '[') {
      if (depth >= kMaxDepth) return fail("nesting deeper than " + std::to_string(kMaxDepth));
      return c == '{' ? object(depth + 1) : array(depth + 1);
    }
    if (c == '"') {
      std::string str;
      if (!string(&str)) return std::nullopt;
      return Value::string(std::move(str));
    }
    if (literal("true")) return Value::boolean(true);
    if (literal("false")) return Value::boolean(false);
    if (literal("null")) return Value();
    const std::size_t n = scan_number(s_.substr(pos_));
    if (n == 0) return fail("not a JSON value");
    Value v = Value::number_text(std::string(s_.substr(pos_, n)));
    pos_ += n;
    return v;
  }

  std::optional<Value> array(int depth) {
    ++pos_;  // [
    Value v = Value::array();
    skip_space();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
      return v;
    }
    for (;;) {
      skip_space();
      std::optional<Value> item = value(depth);
      if (!item) return std::nullopt;
      v.push(std::move(*item));
      skip_space();
      if (pos_ >= s_.size()) return fail("the text ends inside an array");
      if (s_[pos_] == ']') {
        ++pos_;
        return v;
      }
      if (s_[pos_] != ',') return fail("',' or ']' expected");
      ++pos_;
    }
  }

  std::optional<Value> object(int depth) {
    ++pos_;  // {
    Value v = Value::object();
    skip_space();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      return v;
    }
    for (;;) {
      skip_space();
      if (pos_ >= s_.size() || s_[pos_] != '"') return fail("a member name in quotes expected");
      std::string name;
      if (!string(&name)) return std::nullopt;
      if (v.find(name)) return fail("the member \"" + name + "\" occurs twice");
      skip_space();
      if (pos_ >= s_.size() || s_[pos_] != ':') return fail("':' expected");
      ++pos_;
      skip_space();
      std::optional<Value> item = value(depth);
      if (!item) return std::nullopt;
      v.set(std::move(name), std::move(*item));
      skip_space();
      if (pos_ >= s_.size()) return fail("the text ends inside an object");
      if (s_[pos_] == '}') {
        ++pos_;
        return v;
      }
      if (s_[pos_] != ',') return fail("',' or '}' expected");
      ++pos_;
    }
  }

  std::optional<unsigned> hex4() {
    if (s_.size() - pos_ < 4) return std::nullopt;
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[pos_ + k];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
      else return std::nullopt;
    }
    pos_ += 4;
    return v;
  }

  bool string(std::string* out) {
    ++pos_;  // "
    for (;;) {
      if (pos_ >= s_.size()) return fail("the text ends inside a string"), false;
      const unsigned char c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return fail("a control character inside a string must be escaped"), false;
      if (c != '\\') {
        const std::size_t from = pos_;
        if (!next_utf8(s_, &pos_)) return fail("invalid UTF-8"), false;
        out->append(s_.substr(from, pos_ - from));
        continue;
      }
      ++pos_;
      if (pos_ >= s_.size()) return fail("the text ends inside an escape"), false;
      const char e = s_[pos_++];
      switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          auto u = hex4();
          if (!u) return fail("\\u needs four hex digits"), false;
          char32_t cp = *u;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("a lone low surrogate"), false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (!literal("\\u")) return fail("a high surrogate without its low half"), false;
            auto low = hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return fail("a high surrogate without its low half"), false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
          }
          append_utf8(out, cp);
          break;
        }
        default:
          return fail("unknown escape"), false;
      }
    }
  }

  std::string_view s_;
  ParseError* error_;
  std::size_t pos_ = 0;
};

void write_string(std::string* out, std::string_view s) {
  out->push_back('"');
  for (char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      case '\b': *out += "\\b"; break;
      case '\f': *out += "\\f"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static const char* hex = "0123456789abcdef";
          *out += "\\u00";
          out->push_back(hex[c >> 4]);
          out->push_back(hex[c & 15]);
        } else {
          out->push_back(ch);
        }
    }
  }
  out->push_back('"');
}

bool is_scalar(const Value& v) { return !v.is_array() && !v.is_object(); }

void write_value(std::string* out, const Value& v, bool pretty, int indent);

// A value whose members are scalars, or arrays and objects of scalars, stays
// on one line when that line is short enough: a record reads as one line
// in a pretty dump, and so does a field with its dimensions.
bool shallow(const Value& v, int levels) {
  if (is_scalar(v)) return true;
  if (levels == 0) return false;
  for (const Value& i : v.items()) {
    if (!shallow(i, levels - 1)) return false;
  }
  for (const auto& m : v.members()) {
    if (!shallow(m.second, levels - 1)) return false;
  }
  return true;
}

bool fits_one_line(const Value& v) { return shallow(v, 1) && write(v).size() <= 400; }

void newline(std::string* out, int indent) {
  out->push_back('\n');
  out->append(static_cast<std::size_t>(indent) * 2, ' ');
}

void write_value(std::string* out, const Value& v, bool pretty, int indent) {
  switch (v.kind()) {
    case Value::Kind::null: *out += "null"; return;
    case Value::Kind::boolean: *out += v.as_bool() ? "true" : "false"; return;
    case Value::Kind::number: *out += v.text(); return;
    case Value::Kind::string: write_string(out, v.text()); return;
    case Value::Kind::array:
    case Value::Kind::object: break;
  }
  const bool array = v.is_array();
  const std::size_t n = array ? v.items().size() : v.members().size();
  out->push_back(array ? '[' : '{');
  const bool lines = pretty && n != 0 && !fits_one_line(v);
  for (std::size_t i = 0; i < n; ++i) {
    if (i) out->push_back(',');
    if (lines) newline(out, indent + 1);
    else if (pretty && i) out->push_back(' ');
    if (array) {
      write_value(out, v.items()[i], pretty, indent + 1);
    } else {
      write_string(out, v.members()[i].first);
      *out += pretty ? ": " : ":";
      write_value(out, v.members()[i].second, pretty, indent + 1);
    }
  }
  if (lines) newline(out, indent);
  out->push_back(array ? ']' : '}');
}

// The character of each 1252 byte (the undefined five are their C1
// controls, as the runtime's table has them).
const std::array<char32_t, 256>& characters() {
  static const std::array<char32_t, 256> table = [] {
    std::array<char32_t, 256> t{};
    for (int b = 0; b < 256; ++b) t[b] = runtime::ansi_code_point(static_cast<std::uint8_t>(b));
    return t;
  }();
  return table;
}

}  // namespace

// --- Value ---------------------------------------------------------------------------

Value Value::boolean(bool b) {
  Value v;
  v.kind_ = Kind::boolean;
  v.bool_ = b;
  return v;
}

Value Value::number_text(std::string text) {
  if (text.empty() || scan_number(text) != text.size()) throw std::invalid_argument("not a JSON number: " + text);
  Value v;
  v.kind_ = Kind::number;
  v.text_ = std::move(text);
  return v;
}

Value Value::number(std::int64_t n) { return number_text(std::to_string(n)); }
Value Value::number(std::uint64_t n) { return number_text(std::to_string(n)); }

Value Value::number(double d) {
  if (!std::isfinite(d)) return Value();
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  if (ec != std::errc()) return Value();
  std::string s(buf, end);
  // to_chars writes "1e+20"; JSON takes that, but not a bare "inf" or ".5".
  return number_text(std::move(s));
}

Value Value::string(std::string utf8) {
  Value v;
  v.kind_ = Kind::string;
  v.text_ = std::move(utf8);
  return v;
}

Value Value::array() {
  Value v;
  v.kind_ = Kind::array;
  return v;
}

Value Value::object() {
  Value v;
  v.kind_ = Kind::object;
  return v;
}

std::optional<std::int64_t> Value::as_int64() const {
  if (kind_ != Kind::number) return std::nullopt;
  std::int64_t n = 0;
  auto [end, ec] = std::from_chars(text_.data(), text_.data() + text_.size(), n);
  if (ec != std::errc() || end != text_.data() + text_.size()) return std::nullopt;
  return n;
}

std::optional<double> Value::as_double() const {
  if (kind_ != Kind::number) return std::nullopt;
  double d = 0;
  auto [end, ec] = std::from_chars(text_.data(), text_.data() + text_.size(), d);
  if (ec == std::errc::result_out_of_range) return std::nullopt;
  if (ec != std::errc() || end != text_.data() + text_.size()) return std::nullopt;
  return d;
}

Value& Value::push(Value v) {
  items_.push_back(std::move(v));
  return items_.back();
}

const Value* Value::find(std::string_view name) const {
  for (const auto& m : members_) {
    if (m.first == name) return &m.second;
  }
  return nullptr;
}

Value& Value::set(std::string name, Value v) {
  for (auto& m : members_) {
    if (m.first == name) {
      m.second = std::move(v);
      return m.second;
    }
  }
  members_.emplace_back(std::move(name), std::move(v));
  return members_.back().second;
}

std::string ParseError::describe() const {
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + message;
}

std::optional<Value> parse(std::string_view text, ParseError* error) {
  if (error) *error = ParseError{};
  Parser p(text, error);
  return p.document();
}

std::string write(const Value& v, bool pretty, int indent) {
  std::string out;
  write_value(&out, v, pretty, indent);
  return out;
}

// --- Character set ---------------------------------------------------------------------

std::string windows1252_to_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char b : bytes) append_utf8(&out, characters()[static_cast<unsigned char>(b)]);
  return out;
}

std::optional<std::string> utf8_to_windows1252(std::string_view utf8, char32_t* bad) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    std::optional<char32_t> c = next_utf8(utf8, &i);
    if (!c) {
      if (bad) *bad = 0xFFFD;
      return std::nullopt;
    }
    if (*c < 0x80) {
      out.push_back(static_cast<char>(*c));
      continue;
    }
    int found = -1;
    for (int b = 0x80; b < 256; ++b) {
      if (characters()[b] == *c) {
        found = b;
        break;
      }
    }
    if (found < 0) {
      if (bad) *bad = *c;
      return std::nullopt;
    }
    out.push_back(static_cast<char>(found));
  }
  return out;
}

// --- Base64 ------------------------------------------------------------------------------

namespace {
constexpr const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                            (std::uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8) |
                            static_cast<unsigned char>(bytes[i + 2]);
    for (int k = 3; k >= 0; --k) out.push_back(kAlphabet[(v >> (6 * k)) & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest) {
    std::uint32_t v = std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
    if (rest == 2) v |= std::uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (pad == 1 && text[i + 2] == '=') return std::nullopt;
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      int s = 0;
      if (k >= 4 - pad) {
        s = 0;
      } else {
        s = sextet(text[i + k]);
        if (s < 0) return std::nullopt;
      }
      v = (v << 6) | static_cast<std::uint32_t>(s);
    }
    // Canonical only: the bits the padding drops must be zero.
    if ((pad == 1 && (v & 0xFF)) || (pad == 2 && (v & 0xFFFF))) return std::nullopt;
    out.push_back(static_cast<char>(v >> 16));
    if (pad < 2) out.push_back(static_cast<char>(v >> 8));
    if (pad < 1) out.push_back(static_cast<char>(v));
  }
  return out;
}

}  // namespace cli::json
