// The filter expressions of views: bound variables, a parser and an
// evaluator over the fields of one file's record buffer.
//
// Grammar (keywords and names case-insensitive, blanks between tokens free):
//   expression := term { OR term }
//   term       := factor { AND factor }
//   factor     := NOT factor | "(" expression ")" | operand compare operand
//   compare    := "=" | "<>" | "<" | "<=" | ">" | ">="
//   operand    := name | number | text
//   name       := a letter or "_", then letters, digits, "_" and ":"
//                 ("TRA:TranslationTableID", "BRW1::Sort1:Reset:TTB:IDNr")
//   number     := [-] digits [ "." digits ]
//   text       := '...' or "..." (the quote doubled inside stands for itself)
// A name is a field label of the file first, else a bound variable; any other
// name is an error. Parentheses nest at most kMaxNesting deep, and an
// expression holds at most kMaxNodes comparisons and joins.
//
// Comparison: two numbers compare by value; two texts compare byte by byte
// with trailing blanks ignored (as blank-padded strings compare), case
// counting; a text against a number is read as a number first (leading and
// trailing blanks ignored; what is not a number counts as 0).
//
// Field values: BYTE, SHORT, USHORT, LONG, ULONG, DATE and TIME are integers;
// SREAL, REAL and DECIMAL are real numbers; STRING is its bytes, CSTRING its
// bytes up to the terminator, PSTRING the bytes its length byte counts, a
// GROUP its bytes. Fields of other types, and arrays, cannot be named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/driver/descriptors.h"

namespace files::view {

struct Value {
  enum class Kind : std::uint8_t { integer, real, text };
  Kind kind = Kind::integer;
  std::int64_t integer = 0;
  double real = 0;
  std::string text;

  static Value of(std::int64_t v) { return Value{Kind::integer, v, 0, {}}; }
  static Value of_real(double v) { return Value{Kind::real, 0, v, {}}; }
  static Value of(std::string v) { return Value{Kind::text, 0, 0, std::move(v)}; }
  bool is_number() const { return kind != Kind::text; }
};

// Negative, zero or positive as `a` sorts before, with or after `b`, by the
// comparison rules above.
int compare(const Value& a, const Value& b);

// Named program variables that expressions may use. The variables stay the
// caller's: a Bindings holds pointers to them, and they must outlive every
// filter that names them. Binding a name again (names case-insensitive)
// points it at the new variable; a name is never unbound, so a filter parsed
// earlier never loses its variables.
class Bindings {
 public:
  void bind(std::string_view name, const std::int32_t* variable);
  void bind(std::string_view name, const std::string* variable);

  // The binding's index, or -1 when the name is not bound.
  int find(std::string_view name) const;
  std::size_t size() const { return entries_.size(); }
  // The current value of binding `index`: an integer, or the text.
  Value value(int index) const;

 private:
  struct Entry {
    std::string name;
    const std::int32_t* integer = nullptr;
    const std::string* text = nullptr;
  };
  void bind(std::string_view name, Entry entry);
  std::vector<Entry> entries_;
};

// A field of the record as filters and projections reach it.
struct FieldRef {
  int index = -1;              // into FileDescriptor::fields
  FieldType type = FieldType::STRING;
  std::uint32_t offset = 0;    // in the record buffer
  std::uint32_t size = 0;      // bytes
  std::uint8_t places = 0;     // DECIMAL
};

// The field labelled `label` (case-insensitive) that a filter may name.
// Offsets come from the file's field table, so the file must be open (have
// its control block): nullopt otherwise, for an unknown label, and for a
// field of a type the filter cannot read or an array (*why says which).
std::optional<FieldRef> find_field(const FileDescriptor& file, std::string_view label, std::string* why = nullptr);

// The field's value in `record` (the file's record buffer).
Value field_value(const FieldRef& field, const std::uint8_t* record);

struct FilterError {
  std::size_t offset = 0;      // in the expression, where the fault was met
  std::string message;         // "Unknown name 'X' at 12"
};

class Filter {
 public:
  static constexpr int kMaxNesting = 64;
  // Comparisons and joins in one expression; evaluation recurses once per
  // join, so an endless chain of ANDs must not reach the evaluator.
  static constexpr std::size_t kMaxNodes = 1000;

  Filter() = default;

  // Parses `expression` over the fields of `file` (which must be open) and
  // the variables of `bindings` (may be null: no variables). An empty or
  // blank expression gives an empty filter, which every record passes. On a
  // malformed expression *out is left as it was and the error is returned.
  // `bindings` must outlive the filter.
  static std::optional<FilterError> parse(std::string_view expression, const FileDescriptor& file,
                                          const Bindings* bindings, Filter* out);

  bool empty() const { return root_ < 0; }

  // Copies the current value of every variable the filter names. matches()
  // and fixed() use the values taken last (parse takes them once), so that a
  // variable the program changes in the middle of a read does not change
  // which records pass.
  void take_values();

  // Whether the record in `record` passes (an empty filter: always).
  bool matches(const std::uint8_t* record) const;

  // The comparisons "field = variable" and "field = literal" (either way
  // round) that every passing record must satisfy: those joined by AND at the
  // top of the expression. Values as of the last take_values().
  struct Equality {
    FieldRef field;
    Value value;
  };
  std::vector<Equality> fixed() const;

 private:
  enum class Cmp : std::uint8_t { eq, ne, lt, le, gt, ge };
  struct Operand {
    enum class Kind : std::uint8_t { field, variable, literal };
    Kind kind = Kind::literal;
    FieldRef field;
    int variable = -1;
    Value literal;
  };
  struct Node {
    enum class Kind : std::uint8_t { compare, all, any, negate };
    Kind kind = Kind::compare;
    Cmp cmp = Cmp::eq;
    Operand left, right;     // compare
    int a = -1, b = -1;      // all, any: both sides; negate: a
  };
  class Parser;

  Value operand_value(const Operand& o, const std::uint8_t* record) const;
  bool eval(int node, const std::uint8_t* record) const;
  void collect_fixed(int node, std::vector<Equality>* out) const;

  std::vector<Node> nodes_;
  int root_ = -1;
  const Bindings* bindings_ = nullptr;
  std::vector<Value> taken_;   // by binding index
};

}  // namespace files::view
