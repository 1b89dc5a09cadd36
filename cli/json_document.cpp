#include "cli/json_document.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iterator>
#include <memory>
#include <unordered_set>
#include <vector>

#include "app/conversion/line_converter.h"

namespace cli::json {
namespace {

// A number kept as its text: a binary value of this subtype, which JSON
// text itself can never produce, so the two cannot be confused.
constexpr std::uint8_t kNumberTextSubtype = 0x4E;

bool is_number_text(const Json& v) {
  return v.is_binary() && v.get_binary().has_subtype() && v.get_binary().subtype() == kNumberTextSubtype;
}

std::string text_of_number(const Json& v) {
  const auto& bytes = v.get_binary();
  return std::string(bytes.begin(), bytes.end());
}

// Hands the text to the parser byte by byte and counts what it took, so
// that faults found while the document is built have a place too.
struct CountingIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* at;
  std::size_t* consumed;
  const char* start;

  reference operator*() const { return *at; }
  CountingIterator& operator++() {
    ++at;
    *consumed = static_cast<std::size_t>(at - start);
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& o) const { return at == o.at; }
  bool operator!=(const CountingIterator& o) const { return at != o.at; }
};

// Builds the document: numbers with a fraction or exponent keep their text,
// members are appended in order (a name twice is refused), nesting is
// bounded.
class Builder : public nlohmann::json_sax<Json> {
 public:
  Builder(std::string_view text, const std::size_t* consumed, ParseError* error)
      : text_(text), consumed_(consumed), error_(error) {}

  Json take() { return std::move(root_); }

  bool null() override { return add(Json(nullptr)) != nullptr; }
  bool boolean(bool b) override { return add(Json(b)) != nullptr; }
  bool number_integer(number_integer_t n) override {
    // The parser calls this for integers written with a minus sign only
    // (the others are unsigned), so a zero here was "-0": its sign counts
    // for a REAL or a DECIMAL, and so it keeps its text.
    return add(n == 0 ? number_text("-0") : Json(n)) != nullptr;
  }
  bool number_unsigned(number_unsigned_t n) override { return add(Json(n)) != nullptr; }
  bool number_float(number_float_t, const string_t& text) override { return add(number_text(text)) != nullptr; }
  bool string(string_t& s) override { return add(Json(std::move(s))) != nullptr; }
  bool binary(binary_t&) override { return fail(*consumed_, "binary values are not JSON"); }

  bool start_object(std::size_t) override { return open(Json::object()); }
  bool start_array(std::size_t) override { return open(Json::array()); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }

  bool key(string_t& name) override {
    Level& level = levels_.back();
    Json::object_t& members = level.value->get_ref<Json::object_t&>();
    // Small objects are searched, large ones get a set of their names.
    constexpr std::size_t kSearched = 16;
    if (!level.names && members.size() >= kSearched) {
      level.names = std::make_unique<std::unordered_set<std::string>>();
      for (const auto& m : members) level.names->insert(m.first);
    }
    const bool twice = level.names ? !level.names->insert(name).second
                                   : std::any_of(members.begin(), members.end(),
                                                 [&](const auto& m) { return m.first == name; });
    if (twice) return fail(*consumed_, "the name \"" + name + "\" occurs twice in one object");
    key_ = std::move(name);
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override {
    // "[json.exception.parse_error.101] parse error at line 1, column 13:
    // syntax error while parsing value - unexpected '}'; expected ...":
    // the words after the place.
    std::string what = e.what();
    const std::size_t column = what.find("column ");
    const std::size_t colon = column == std::string::npos ? std::string::npos : what.find(": ", column);
    if (colon != std::string::npos) what = what.substr(colon + 2);
    return fail(position, what);
  }

 private:
  struct Level {
    Json* value;
    std::unique_ptr<std::unordered_set<std::string>> names;
  };

  // Puts `v` where the document stands; nullptr when it is complete already.
  Json* add(Json v) {
    if (levels_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    Json& into = *levels_.back().value;
    if (into.is_array()) {
      auto& items = into.get_ref<Json::array_t&>();
      items.push_back(std::move(v));
      return &items.back();
    }
    // The ordered map's own insert searches for the name first; it was
    // checked in key(), so append.
    using Members = std::vector<std::pair<const std::string, Json>>;
    Members& members = into.get_ref<Json::object_t&>();
    members.emplace_back(std::move(key_), std::move(v));
    return &members.back().second;
  }

  bool open(Json empty) {
    if (levels_.size() >= static_cast<std::size_t>(kMaxDepth)) {
      return fail(*consumed_, "nested deeper than " + std::to_string(kMaxDepth) + " levels");
    }
    Json* v = add(std::move(empty));
    levels_.push_back(Level{v, nullptr});
    return true;
  }

  bool close() {
    levels_.pop_back();
    return true;
  }

  bool fail(std::size_t position, const std::string& message) {
    position = std::min(position, text_.size());
    const std::string_view before = text_.substr(0, position);
    const std::size_t last_newline = before.rfind('\n');
    error_->line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    error_->column = last_newline == std::string_view::npos ? position : position - last_newline - 1;
    if (error_->column == 0) error_->column = 1;
    error_->message = message;
    return false;
  }

  std::string_view text_;
  const std::size_t* consumed_;
  ParseError* error_;
  Json root_;
  std::vector<Level> levels_;
  std::string key_;
};

bool is_scalar(const Json& v) { return !v.is_array() && !v.is_object(); }

// A value whose members are scalars, or arrays and objects of scalars, stays
// on one line when that line is short enough.
bool shallow(const Json& v, int levels) {
  if (is_scalar(v)) return true;
  if (levels == 0) return false;
  return std::all_of(v.begin(), v.end(), [&](const Json& m) { return shallow(m, levels - 1); });
}

bool fits_one_line(const Json& v) { return shallow(v, 1) && write(v).size() <= 400; }

void newline(std::string* out, int indent) {
  out->push_back('\n');
  out->append(static_cast<std::size_t>(indent) * 2, ' ');
}

void write_value(std::string* out, const Json& v, bool pretty, int indent) {
  if (is_number_text(v)) {
    *out += text_of_number(v);
    return;
  }
  if (is_scalar(v)) {
    *out += v.dump(-1, ' ', false, Json::error_handler_t::replace);
    return;
  }
  const bool array = v.is_array();
  out->push_back(array ? '[' : '{');
  const bool lines = pretty && !v.empty() && !fits_one_line(v);
  bool first = true;
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (!first) out->push_back(',');
    if (lines) {
      newline(out, indent + 1);
    } else if (pretty && !first) {
      out->push_back(' ');
    }
    first = false;
    if (!array) {
      *out += Json(it.key()).dump(-1, ' ', false, Json::error_handler_t::replace);
      *out += pretty ? ": " : ":";
    }
    write_value(out, it.value(), pretty, indent + 1);
  }
  if (lines) newline(out, indent);
  out->push_back(array ? ']' : '}');
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string ParseError::describe() const {
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + message;
}

std::optional<Json> parse(std::string_view text, ParseError* error) {
  ParseError ignored;
  if (error == nullptr) error = &ignored;
  std::size_t consumed = 0;
  Builder builder(text, &consumed, error);
  const CountingIterator first{text.data(), &consumed, text.data()};
  const CountingIterator last{text.data() + text.size(), &consumed, text.data()};
  try {
    if (!Json::sax_parse(first, last, &builder, nlohmann::detail::input_format_t::json, true)) return std::nullopt;
  } catch (const std::exception& e) {  // the parser reports through the builder; this is a last guard
    error->line = error->column = 1;
    error->message = e.what();
    return std::nullopt;
  }
  return builder.take();
}

Json number_text(const std::string& text) {
  return Json::binary(Json::binary_t::container_type(text.begin(), text.end()), kNumberTextSubtype);
}

bool is_number(const Json& v) { return v.is_number() || is_number_text(v); }

std::string number_string(const Json& v) {
  if (is_number_text(v)) return text_of_number(v);
  if (v.is_number()) return v.dump();
  return {};
}

std::optional<std::int64_t> as_int64(const Json& v) {
  if (v.is_number_unsigned()) {
    const auto n = v.get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(n);
  }
  if (v.is_number_integer()) return v.get<std::int64_t>();
  if (!is_number_text(v)) return std::nullopt;
  const std::string t = text_of_number(v);
  std::int64_t n = 0;
  const auto r = std::from_chars(t.data(), t.data() + t.size(), n);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return std::nullopt;
  return n;
}

std::optional<double> as_double(const Json& v) {
  if (v.is_number()) return v.get<double>();
  if (!is_number_text(v)) return std::nullopt;
  const std::string t = text_of_number(v);
  double d = 0;
  const auto r = std::from_chars(t.data(), t.data() + t.size(), d);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return std::nullopt;
  return d;
}

std::string write(const Json& v, bool pretty, int indent) {
  std::string out;
  write_value(&out, v, pretty, indent);
  return out;
}

const Json* member(const Json& v, std::string_view name) {
  if (!v.is_object()) return nullptr;
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (it.key() == name) return &it.value();
  }
  return nullptr;
}

std::string windows1252_to_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  conversion::append_ansi_as_utf8(out, bytes);
  return out;
}

std::optional<std::string> utf8_to_windows1252(std::string_view utf8, char32_t* bad) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = 0;
    const std::size_t n = conversion::utf8_sequence(utf8.substr(i), &c);
    const int b = n == 0 ? -1 : conversion::ansi_byte_of(c);
    if (b < 0) {
      if (bad) *bad = n == 0 ? char32_t{0xFFFD} : c;
      return std::nullopt;
    }
    out.push_back(static_cast<char>(b));
    i += n;
  }
  return out;
}

std::string character_name(char32_t c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(c));
  std::string name = buf;
  if (c == 0xFFFD) return name + " (not UTF-8)";
  if (c >= 0xA0 && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF)) {
    // The character itself beside its number, as UTF-8.
    std::string utf8;
    if (c < 0x800) {
      utf8 = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    } else if (c < 0x10000) {
      utf8 = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
              static_cast<char>(0x80 | (c & 0x3F))};
    } else {
      utf8 = {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
              static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
    name += " (" + utf8 + ")";
  }
  return name;
}

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
      if (k < 4 - pad) {
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
