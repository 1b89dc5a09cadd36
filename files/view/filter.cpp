#include "files/view/filter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "files/driver/control_block.h"

namespace files::view {
namespace {

char fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::string_view trim_blanks(std::string_view s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

double number_of(const Value& v) {
  switch (v.kind) {
    case Value::Kind::integer:
      return static_cast<double>(v.integer);
    case Value::Kind::real:
      return v.real;
    case Value::Kind::text:
      break;
  }
  const std::string t(trim_blanks(v.text));
  if (t.empty()) return 0;
  char* end = nullptr;
  const double d = std::strtod(t.c_str(), &end);
  return (end == t.c_str() + t.size() && std::isfinite(d)) ? d : 0;
}

// Blank-padded comparison: the shorter text reads as if filled with blanks.
int compare_texts(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  if (const int c = common ? std::memcmp(a.data(), b.data(), common) : 0; c != 0) return c;
  const std::string_view rest = a.size() > common ? a.substr(common) : b.substr(common);
  const int sign = a.size() > common ? 1 : -1;
  for (const char ch : rest) {
    const auto u = static_cast<unsigned char>(ch);
    if (u != ' ') return u < ' ' ? -sign : sign;
  }
  return 0;
}

template <class T>
T load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Packed digits, the sign in the high nibble of the first byte (0xF
// negative), the remaining nibbles the digits, `places` of them decimals.
double decimal_value(const std::uint8_t* p, std::uint32_t size, std::uint8_t places) {
  double v = 0;
  for (std::uint32_t i = 0; i < size; ++i) {
    if (i > 0) v = v * 10 + (p[i] >> 4);
    v = v * 10 + (p[i] & 0x0F);
  }
  v /= std::pow(10.0, places);
  return (p[0] >> 4) != 0 ? -v : v;
}

bool readable(FieldType t) {
  switch (t) {
    case FieldType::BYTE:
    case FieldType::SHORT:
    case FieldType::USHORT:
    case FieldType::LONG:
    case FieldType::ULONG:
    case FieldType::DATE:
    case FieldType::TIME:
    case FieldType::SREAL:
    case FieldType::REAL:
    case FieldType::DECIMAL:
    case FieldType::STRING:
    case FieldType::CSTRING:
    case FieldType::PSTRING:
    case FieldType::GROUP:
      return true;
    default:
      return false;
  }
}

}  // namespace

int compare(const Value& a, const Value& b) {
  if (a.kind == Value::Kind::text && b.kind == Value::Kind::text) return compare_texts(a.text, b.text);
  if (a.kind == Value::Kind::integer && b.kind == Value::Kind::integer) {
    return a.integer < b.integer ? -1 : (a.integer > b.integer ? 1 : 0);
  }
  const double x = number_of(a);
  const double y = number_of(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

// --- Bindings ----------------------------------------------------------------------------------

void Bindings::bind(std::string_view name, const std::int32_t* variable) {
  Entry e;
  e.integer = variable;
  bind(name, std::move(e));
}

void Bindings::bind(std::string_view name, const std::string* variable) {
  Entry e;
  e.text = variable;
  bind(name, std::move(e));
}

void Bindings::bind(std::string_view name, Entry entry) {
  entry.name.assign(name);
  if (const int i = find(name); i >= 0) {
    entries_[static_cast<std::size_t>(i)] = std::move(entry);
  } else {
    entries_.push_back(std::move(entry));
  }
}

int Bindings::find(std::string_view name) const {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (same_name(entries_[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

Value Bindings::value(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= entries_.size()) return Value::of(std::int64_t{0});
  const Entry& e = entries_[static_cast<std::size_t>(index)];
  if (e.integer) return Value::of(std::int64_t{*e.integer});
  if (e.text) return Value::of(*e.text);
  return Value::of(std::int64_t{0});
}

// --- Fields -------------------------------------------------------------------------------------

namespace {

enum class Lookup : std::uint8_t { found, unusable, unknown };

Lookup lookup_field(const FileDescriptor& file, std::string_view label, FieldRef* out, std::string* why) {
  if (!file.fcb || file.fcb->field_table.size() != file.fields.size()) {
    *why = "The file " + file.label + " is not open";
    return Lookup::unusable;
  }
  // Field 0 is the record itself; it is not a field a program names.
  for (std::size_t i = 1; i < file.fields.size(); ++i) {
    const FieldDescriptor& d = file.fields[i];
    if (d.type == FieldType::END || !same_name(d.label, label)) continue;
    const FieldEntry& e = file.fcb->field_table[i];
    if (!readable(d.type)) {
      *why = "The field " + d.label + " cannot be compared";
      return Lookup::unusable;
    }
    if (e.elements != 1) {
      *why = "The field " + d.label + " is an array";
      return Lookup::unusable;
    }
    if (static_cast<std::uint64_t>(e.offset) + e.size > file.record_length) {
      *why = "The field " + d.label + " lies outside the record";
      return Lookup::unusable;
    }
    out->index = static_cast<int>(i);
    out->type = d.type;
    out->offset = e.offset;
    out->size = e.size;
    out->places = d.places;
    return Lookup::found;
  }
  *why = "Unknown name '" + std::string(label) + "'";
  return Lookup::unknown;
}

}  // namespace

std::optional<FieldRef> find_field(const FileDescriptor& file, std::string_view label, std::string* why) {
  FieldRef f;
  std::string reason;
  if (lookup_field(file, label, &f, &reason) == Lookup::found) return f;
  if (why) *why = std::move(reason);
  return std::nullopt;
}

Value field_value(const FieldRef& f, const std::uint8_t* record) {
  const std::uint8_t* p = record + f.offset;
  const auto text = [p](std::size_t n) { return Value::of(std::string(reinterpret_cast<const char*>(p), n)); };
  switch (f.type) {
    case FieldType::BYTE:
      return Value::of(std::int64_t{p[0]});
    case FieldType::SHORT:
      return Value::of(std::int64_t{load<std::int16_t>(p)});
    case FieldType::USHORT:
      return Value::of(std::int64_t{load<std::uint16_t>(p)});
    case FieldType::LONG:
      return Value::of(std::int64_t{load<std::int32_t>(p)});
    case FieldType::ULONG:
    case FieldType::DATE:
    case FieldType::TIME:
      return Value::of(std::int64_t{load<std::uint32_t>(p)});
    case FieldType::SREAL:
      return Value::of_real(load<float>(p));
    case FieldType::REAL:
      return Value::of_real(load<double>(p));
    case FieldType::DECIMAL:
      return Value::of_real(decimal_value(p, f.size, f.places));
    case FieldType::CSTRING:
      return text(static_cast<std::size_t>(std::find(p, p + f.size, std::uint8_t{0}) - p));
    case FieldType::PSTRING: {
      if (f.size == 0) return text(0);
      const std::size_t n = std::min<std::size_t>(p[0], f.size - 1);
      return Value::of(std::string(reinterpret_cast<const char*>(p + 1), n));
    }
    default:
      return text(f.size);
  }
}

// --- Parser -----------------------------------------------------------------------------------

class Filter::Parser {
 public:
  Parser(std::string_view text, const FileDescriptor& file, const Bindings* bindings, Filter* out)
      : text_(text), file_(file), bindings_(bindings), out_(out) {}

  std::optional<FilterError> run() {
    if (trim_blanks(text_).empty()) return std::nullopt;
    next_token();
    const int root = expression(0);
    if (error_) return error_;
    if (token_.kind != Tok::end) return fail(token_.at, "Unexpected '" + std::string(token_.text) + "'");
    out_->root_ = root;
    return std::nullopt;
  }

 private:
  enum class Tok : std::uint8_t { end, name, number, text, open, close, cmp, bad };
  struct Token {
    Tok kind = Tok::end;
    std::size_t at = 0;
    std::string_view text;   // as written
    std::string value;       // a text literal without its quotes
    Cmp cmp = Cmp::eq;
  };

  std::optional<FilterError> fail(std::size_t at, std::string message) {
    if (!error_) error_ = FilterError{at, message + " at " + std::to_string(at + 1)};
    return error_;
  }

  static bool name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
  static bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9') || c == ':'; }
  static bool digit(char c) { return c >= '0' && c <= '9'; }

  bool keyword(std::string_view word) const { return token_.kind == Tok::name && same_name(token_.text, word); }

  void next_token() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    token_ = Token{};
    token_.at = pos_;
    if (pos_ >= text_.size()) return;
    const std::size_t start = pos_;
    const char c = text_[pos_];
    auto take = [&](Tok kind, std::size_t n) {
      token_.kind = kind;
      pos_ += n;
      token_.text = text_.substr(start, n);
    };
    if (name_start(c)) {
      std::size_t n = 1;
      while (start + n < text_.size() && name_char(text_[start + n])) ++n;
      take(Tok::name, n);
    } else if (digit(c) || (c == '-' && start + 1 < text_.size() && digit(text_[start + 1]))) {
      std::size_t n = 1;
      while (start + n < text_.size() && digit(text_[start + n])) ++n;
      if (start + n + 1 < text_.size() && text_[start + n] == '.' && digit(text_[start + n + 1])) {
        n += 2;
        while (start + n < text_.size() && digit(text_[start + n])) ++n;
      }
      take(Tok::number, n);
    } else if (c == '\'' || c == '"') {
      std::size_t i = start + 1;
      for (;;) {
        if (i >= text_.size()) {
          take(Tok::bad, text_.size() - start);
          fail(start, "Unterminated text");
          return;
        }
        if (text_[i] == c) {
          if (i + 1 < text_.size() && text_[i + 1] == c) {
            token_.value += c;
            i += 2;
            continue;
          }
          break;
        }
        token_.value += text_[i++];
      }
      take(Tok::text, i + 1 - start);
    } else if (c == '(') {
      take(Tok::open, 1);
    } else if (c == ')') {
      take(Tok::close, 1);
    } else if (c == '=' || c == '<' || c == '>') {
      const char d = start + 1 < text_.size() ? text_[start + 1] : '\0';
      if (c == '<' && d == '>') {
        token_.cmp = Cmp::ne;
        take(Tok::cmp, 2);
      } else if ((c == '<' || c == '>') && d == '=') {
        token_.cmp = c == '<' ? Cmp::le : Cmp::ge;
        take(Tok::cmp, 2);
      } else {
        token_.cmp = c == '=' ? Cmp::eq : (c == '<' ? Cmp::lt : Cmp::gt);
        take(Tok::cmp, 1);
      }
    } else {
      take(Tok::bad, 1);
    }
  }

  int add(Node node) {
    if (out_->nodes_.size() >= kMaxNodes) {
      fail(token_.at, "Expression too long");
      return -1;
    }
    out_->nodes_.push_back(std::move(node));
    return static_cast<int>(out_->nodes_.size() - 1);
  }

  int expression(int depth) {
    int left = term(depth);
    while (!error_ && keyword("OR")) {
      next_token();
      const int right = term(depth);
      Node n;
      n.kind = Node::Kind::any;
      n.a = left;
      n.b = right;
      left = add(std::move(n));
    }
    return left;
  }

  int term(int depth) {
    int left = factor(depth);
    while (!error_ && keyword("AND")) {
      next_token();
      const int right = factor(depth);
      Node n;
      n.kind = Node::Kind::all;
      n.a = left;
      n.b = right;
      left = add(std::move(n));
    }
    return left;
  }

  int factor(int depth) {
    if (error_) return -1;
    if (depth >= kMaxNesting) {
      fail(token_.at, "Expression nested too deeply");
      return -1;
    }
    if (keyword("NOT")) {
      next_token();
      Node n;
      n.kind = Node::Kind::negate;
      n.a = factor(depth + 1);
      return add(std::move(n));
    }
    if (token_.kind == Tok::open) {
      const std::size_t open_at = token_.at;
      next_token();
      const int inner = expression(depth + 1);
      if (error_) return -1;
      if (token_.kind != Tok::close) {
        fail(token_.kind == Tok::end ? open_at : token_.at, "Missing ')'");
        return -1;
      }
      next_token();
      return inner;
    }
    Node n;
    n.kind = Node::Kind::compare;
    if (!operand(&n.left)) return -1;
    if (token_.kind != Tok::cmp) {
      fail(token_.at, "Expected a comparison");
      return -1;
    }
    n.cmp = token_.cmp;
    next_token();
    if (!operand(&n.right)) return -1;
    return add(std::move(n));
  }

  bool operand(Operand* o) {
    if (error_) return false;
    switch (token_.kind) {
      case Tok::number: {
        const std::string t(token_.text);
        if (t.find('.') != std::string::npos) {
          o->literal = Value::of_real(std::strtod(t.c_str(), nullptr));
        } else {
          errno = 0;
          const long long v = std::strtoll(t.c_str(), nullptr, 10);
          if (errno == ERANGE) {
            fail(token_.at, "Number out of range");
            return false;
          }
          o->literal = Value::of(std::int64_t{v});
        }
        o->kind = Operand::Kind::literal;
        break;
      }
      case Tok::text:
        o->kind = Operand::Kind::literal;
        o->literal = Value::of(token_.value);
        break;
      case Tok::name: {
        if (keyword("AND") || keyword("OR") || keyword("NOT")) {
          fail(token_.at, "Expected a name or a value");
          return false;
        }
        std::string why;
        const Lookup found = lookup_field(file_, token_.text, &o->field, &why);
        const int b = bindings_ ? bindings_->find(token_.text) : -1;
        if (found == Lookup::found) {
          o->kind = Operand::Kind::field;
        } else if (found == Lookup::unknown && b >= 0) {
          o->kind = Operand::Kind::variable;
          o->variable = b;
        } else {
          fail(token_.at, why);
          return false;
        }
        break;
      }
      case Tok::end:
        fail(token_.at, "Expression ends too early");
        return false;
      default:
        fail(token_.at, "Expected a name or a value");
        return false;
    }
    next_token();
    return true;
  }

  std::string_view text_;
  const FileDescriptor& file_;
  const Bindings* bindings_;
  Filter* out_;
  std::size_t pos_ = 0;
  Token token_;
  std::optional<FilterError> error_;
};

// --- Filter -------------------------------------------------------------------------------------

std::optional<FilterError> Filter::parse(std::string_view expression, const FileDescriptor& file,
                                         const Bindings* bindings, Filter* out) {
  Filter f;
  f.bindings_ = bindings;
  if (auto error = Parser(expression, file, bindings, &f).run()) return error;
  f.take_values();
  *out = std::move(f);
  return std::nullopt;
}

void Filter::take_values() {
  taken_.clear();
  if (!bindings_) return;
  taken_.resize(bindings_->size());
  for (const Node& n : nodes_) {
    for (const Operand* o : {&n.left, &n.right}) {
      if (o->kind == Operand::Kind::variable) {
        taken_[static_cast<std::size_t>(o->variable)] = bindings_->value(o->variable);
      }
    }
  }
}

Value Filter::operand_value(const Operand& o, const std::uint8_t* record) const {
  switch (o.kind) {
    case Operand::Kind::field:
      return field_value(o.field, record);
    case Operand::Kind::variable:
      return static_cast<std::size_t>(o.variable) < taken_.size() ? taken_[static_cast<std::size_t>(o.variable)]
                                                                   : Value{};
    case Operand::Kind::literal:
      break;
  }
  return o.literal;
}

bool Filter::eval(int index, const std::uint8_t* record) const {
  const Node& n = nodes_[static_cast<std::size_t>(index)];
  switch (n.kind) {
    case Node::Kind::all:
      return eval(n.a, record) && eval(n.b, record);
    case Node::Kind::any:
      return eval(n.a, record) || eval(n.b, record);
    case Node::Kind::negate:
      return !eval(n.a, record);
    case Node::Kind::compare:
      break;
  }
  const int c = compare(operand_value(n.left, record), operand_value(n.right, record));
  switch (n.cmp) {
    case Cmp::eq: return c == 0;
    case Cmp::ne: return c != 0;
    case Cmp::lt: return c < 0;
    case Cmp::le: return c <= 0;
    case Cmp::gt: return c > 0;
    case Cmp::ge: return c >= 0;
  }
  return false;
}

bool Filter::matches(const std::uint8_t* record) const { return root_ < 0 || eval(root_, record); }

void Filter::collect_fixed(int index, std::vector<Equality>* out) const {
  const Node& n = nodes_[static_cast<std::size_t>(index)];
  if (n.kind == Node::Kind::all) {
    collect_fixed(n.a, out);
    collect_fixed(n.b, out);
    return;
  }
  if (n.kind != Node::Kind::compare || n.cmp != Cmp::eq) return;
  const bool left_field = n.left.kind == Operand::Kind::field;
  const bool right_field = n.right.kind == Operand::Kind::field;
  if (left_field == right_field) return;
  const Operand& field = left_field ? n.left : n.right;
  const Operand& other = left_field ? n.right : n.left;
  out->push_back(Equality{field.field, operand_value(other, nullptr)});
}

std::vector<Filter::Equality> Filter::fixed() const {
  std::vector<Equality> out;
  if (root_ >= 0) collect_fixed(root_, &out);
  return out;
}

}  // namespace files::view
