// JSON documents of the data-file commands (ksf dump --json and load, the
// table exchange), read and written through nlohmann-json with what the
// data files need beyond plain JSON:
//
//  - Numbers keep their exact text where a double would lose it: a
//    31-digit DECIMAL, "5.00", "-0". parse() keeps every number with a
//    fraction or an exponent (and every integer too large for 64 bits, and
//    "-0") as its text, a value for which number_text() gives that text; whole
//    numbers that fit are plain integers. Writers make such a value with
//    number_text(TEXT) and write() puts TEXT out as it stands. The helpers
//    as_int64/as_double/number_string read either kind.
//  - Objects keep their members in the order read or made (a dump lists
//    fields in declaration order), and parse() refuses a name that occurs
//    twice in one object, and nesting deeper than kMaxDepth.
//  - Errors name their place: "line 3, column 7: ...".
//  - Strings are UTF-8; record text lives in the files as Windows-1252
//    bytes (the five bytes the set leaves undefined as the C1 controls of
//    the same number, so every byte string survives the round trip).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace cli::json {

using Json = nlohmann::ordered_json;

inline constexpr int kMaxDepth = 200;

struct ParseError {
  std::size_t line = 0;    // 1-based
  std::size_t column = 0;  // 1-based, in bytes
  std::string message;
  std::string describe() const;  // "line 3, column 7: MESSAGE"
};

// One JSON text (white space around it allowed); nullopt with *error set
// when it is not valid JSON (invalid UTF-8 included). Never throws.
std::optional<Json> parse(std::string_view text, ParseError* error);

// A number that is written exactly as `text` (which must be a JSON number).
Json number_text(const std::string& text);

bool is_number(const Json& v);
// The number's text as written ("5.00", "-12"); empty for a non-number.
std::string number_string(const Json& v);
// The value of an integer number (no fraction, no exponent) that fits.
std::optional<std::int64_t> as_int64(const Json& v);
std::optional<double> as_double(const Json& v);

// Compact: no white space. Pretty: two-space indent, one member or item per
// line, except that arrays and objects holding only scalars (or arrays and
// objects of scalars) and short enough stay on one line, so that a record
// reads as one line. `indent` is the nesting level the value starts at, for
// pretty text that goes inside other text. Strings are written as UTF-8,
// with '"', '\\' and control characters escaped.
std::string write(const Json& v, bool pretty = false, int indent = 0);

// The member `name` of object `v`, or nullptr (also when `v` is no object).
const Json* member(const Json& v, std::string_view name);

// Windows-1252 bytes to UTF-8 and back. utf8_to_windows1252 returns nullopt
// when the text holds a character outside the set (or is not UTF-8), with
// the offending code point in *bad (0xFFFD for broken UTF-8).
std::string windows1252_to_utf8(std::string_view bytes);
std::optional<std::string> utf8_to_windows1252(std::string_view utf8, char32_t* bad = nullptr);

// "U+20AC" and the character itself, for messages that refuse it.
std::string character_name(char32_t c);

// Base64 (the standard alphabet, with padding). decode returns nullopt for
// anything but canonical base64 (white space is not allowed).
std::string base64_encode(std::string_view bytes);
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace cli::json
