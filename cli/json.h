// A small JSON reader and writer for the data-file commands.
//
// Values keep what the data files need exactly:
//  - numbers keep their source text, so a 31-digit DECIMAL or a 64-bit
//    integer passes through unchanged; as_int64/as_double convert on demand;
//  - objects keep their members in the order read or added (a dump lists
//    fields in declaration order), and a name may occur once only;
//  - strings are UTF-8. Record text lives in the files as single bytes of
//    the Windows-1252 set; windows1252_to_utf8 and utf8_to_windows1252 turn
//    one into the other (the five bytes 1252 leaves undefined stand for the
//    C1 control characters of the same number, so every byte has a
//    character and every byte string survives the round trip).
//
// parse() takes arbitrary bytes: it never reads outside its input, refuses
// nesting deeper than kMaxDepth and invalid UTF-8, and reports the line and
// column of the first problem.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cli::json {

inline constexpr int kMaxDepth = 200;

class Value {
 public:
  enum class Kind : std::uint8_t { null, boolean, number, string, array, object };
  using Member = std::pair<std::string, Value>;

  Value() = default;
  static Value boolean(bool b);
  // `text` must be a number in JSON syntax (std::invalid_argument otherwise).
  static Value number_text(std::string text);
  static Value number(std::int64_t n);
  static Value number(std::uint64_t n);
  static Value number(int n) { return number(static_cast<std::int64_t>(n)); }
  static Value number(unsigned n) { return number(static_cast<std::uint64_t>(n)); }
  // Shortest text that reads back as the same double; NaN and the
  // infinities, which JSON cannot write, become null.
  static Value number(double d);
  static Value string(std::string utf8);
  static Value array();
  static Value object();

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::null; }
  bool is_bool() const { return kind_ == Kind::boolean; }
  bool is_number() const { return kind_ == Kind::number; }
  bool is_string() const { return kind_ == Kind::string; }
  bool is_array() const { return kind_ == Kind::array; }
  bool is_object() const { return kind_ == Kind::object; }

  bool as_bool() const { return bool_; }
  // The number's text, or the string's UTF-8 bytes.
  const std::string& text() const { return text_; }
  // nullopt unless the value is a number that is an integer (no fraction or
  // exponent) in the range.
  std::optional<std::int64_t> as_int64() const;
  std::optional<double> as_double() const;  // numbers only

  // Arrays.
  const std::vector<Value>& items() const { return items_; }
  std::vector<Value>& items() { return items_; }
  Value& push(Value v);

  // Objects. find() returns null when the name is absent. set() replaces a
  // member of that name or appends one.
  const std::vector<Member>& members() const { return members_; }
  const Value* find(std::string_view name) const;
  Value& set(std::string name, Value v);

  friend bool operator==(const Value&, const Value&) = default;

 private:
  Kind kind_ = Kind::null;
  bool bool_ = false;
  std::string text_;
  std::vector<Value> items_;
  std::vector<Member> members_;
};

struct ParseError {
  std::size_t line = 0;    // 1-based
  std::size_t column = 0;  // 1-based, in bytes
  std::string message;
  std::string describe() const;  // "line 3, column 7: ..."
};

// One JSON text (leading and trailing white space allowed); nullopt with
// *error filled when it is not valid JSON.
std::optional<Value> parse(std::string_view text, ParseError* error);

// Compact: no white space. Pretty: two-space indent, one member or item per
// line, except that arrays and objects holding only scalars and short enough
// stay on one line. Non-ASCII characters are written as UTF-8; control
// characters, '"' and '\' are escaped. `indent` is the nesting level the
// value starts at, for pretty text that goes inside other text.
std::string write(const Value& v, bool pretty = false, int indent = 0);

// Windows-1252 bytes to UTF-8 and back. utf8_to_windows1252 returns nullopt
// when the text holds a character outside the set (or is not UTF-8), with
// the offending code point in *bad (0xFFFD for broken UTF-8).
std::string windows1252_to_utf8(std::string_view bytes);
std::optional<std::string> utf8_to_windows1252(std::string_view utf8, char32_t* bad = nullptr);

// Base64 (the standard alphabet, with padding). decode returns nullopt for
// anything but canonical base64 (white space is not allowed).
std::string base64_encode(std::string_view bytes);
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace cli::json
