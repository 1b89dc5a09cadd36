#include "ui/list_format.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <tuple>

namespace ui {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<Justification> justification_of(char c) {
  switch (c) {
    case 'L': return Justification::Left;
    case 'R': return Justification::Right;
    case 'C': return Justification::Centre;
    case 'D': return Justification::Decimal;
    default: return std::nullopt;
  }
}

// A single forward walk; every element is committed to by its first
// character, so there is no backtracking and the first failure is final.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  ListFormatParse run() {
    ListFormatParse result;
    if (text_.size() >= static_cast<std::size_t>(INT_MAX)) {
      result.error_position = INT_MAX;
      return result;
    }
    while (!at_end()) {
      const char c = peek();
      if (c == '[') {
        ListGroup group;
        if (!parse_group(group)) break;
        result.format.items.emplace_back(std::move(group));
      } else {
        ListColumn column;
        if (!parse_column(column)) break;
        result.format.items.emplace_back(std::move(column));
      }
    }
    if (error_ != 0) {
      result.format.items.clear();
      result.error_position = error_;
    }
    return result;
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  bool fail_at(std::size_t index) {
    error_ = static_cast<int>(index) + 1;
    return false;
  }
  bool fail_here() { return fail_at(pos_); }

  bool expect(char c) {
    if (at_end() || peek() != c) return fail_here();
    ++pos_;
    return true;
  }

  // Optional "-" then digits. The magnitude is bounded as it grows, so an
  // overflowing number fails at the digit that leaves the range of int.
  bool parse_integer(int& out) {
    bool negative = false;
    if (!at_end() && peek() == '-') {
      negative = true;
      ++pos_;
    }
    if (at_end() || !is_digit(peek())) return fail_here();
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT_MIN) : INT_MAX;
    std::int64_t value = 0;
    while (!at_end() && is_digit(peek())) {
      value = value * 10 + (peek() - '0');
      if (value > limit) return fail_here();
      ++pos_;
    }
    out = static_cast<int>(negative ? -value : value);
    return true;
  }

  bool parse_parenthesised(int& out) {
    return expect('(') && parse_integer(out) && expect(')');
  }

  // The text up to the next `delimiter`, which the caller has just passed.
  // A text never closed is blamed on its opening delimiter at `opening`.
  bool parse_delimited(char delimiter, std::size_t opening, std::string& out) {
    const std::size_t close = text_.find(delimiter, pos_);
    if (close == std::string_view::npos) return fail_at(opening);
    out.assign(text_.substr(pos_, close - pos_));
    pos_ = close + 1;
    return true;
  }

  // After "T" or "t": an optional "(" with option letters and ")".
  bool parse_tree_options(TreeOptions& options) {
    if (at_end() || peek() != '(') return true;
    ++pos_;
    while (!at_end() && peek() != ')') {
      switch (peek()) {
        case 'L': options.l = true; break;
        case '1': options.one = true; break;
        case 'R': options.r = true; break;
        case 'B': options.b = true; break;
        case 'I': options.i = true; break;
        default: return fail_here();
      }
      ++pos_;
    }
    return expect(')');
  }

  // A valued element is read in full even when an earlier one already set
  // the value; only the first is kept.
  bool parse_number_into(std::optional<int>& slot) {
    int value = 0;
    if (!parse_parenthesised(value)) return false;
    if (!slot) slot = value;
    return true;
  }

  bool parse_header_text(bool& has_header, std::string& header) {
    const std::size_t opening = pos_;
    ++pos_;
    std::string text;
    if (!parse_delimited('~', opening, text)) return false;
    if (!has_header) {
      has_header = true;
      header = std::move(text);
    }
    return true;
  }

  bool parse_column(ListColumn& column) {
    if (!parse_integer(column.width)) return false;
    if (at_end()) return fail_here();
    const auto justification = justification_of(peek());
    if (!justification) return fail_here();
    column.justification = *justification;
    ++pos_;
    if (!at_end() && peek() == '(' && !parse_parenthesised(column.indent)) return false;

    bool colours_seen = false;
    while (!at_end()) {
      const std::size_t start = pos_;
      switch (peek()) {
        case '|': column.right_border = true; ++pos_; break;
        case '_': column.underline = true; ++pos_; break;
        case 'F': case 'f': column.fixed = true; ++pos_; break;
        case 'M': case 'm': column.resizable = true; ++pos_; break;
        case 'I': case 'i': column.icon = true; ++pos_; break;
        case '*': column.colour = true; ++pos_; break;
        case '/': column.slash = true; ++pos_; break;
        case '?': column.question = true; ++pos_; break;
        case 'S': case 's':
          column.scroll = true;
          ++pos_;
          if (!at_end() && peek() == '(' && !parse_number_into(column.scroll_number)) return false;
          break;
        case 'H': case 'h':
          ++pos_;
          if (!parse_number_into(column.header_number)) return false;
          break;
        case 'T': case 't':
          column.tree = true;
          ++pos_;
          if (!parse_tree_options(column.tree_options)) return false;
          break;
        case 'E':
          if (colours_seen) return fail_here();
          colours_seen = true;
          ++pos_;
          if (!parse_colours(column.colours)) return false;
          break;
        case '#': {
          ++pos_;
          int value = 0;
          if (!parse_integer(value) || !expect('#')) return false;
          if (!column.field_number) column.field_number = value;
          break;
        }
        case '~':
          if (!parse_column_header(column)) return false;
          break;
        case '@': {
          ++pos_;
          std::string text;
          if (!parse_delimited('@', start, text)) return false;
          if (!column.picture_text) {
            column.picture_text = "@" + text;
            column.picture = runtime::compilePicture(*column.picture_text);
          }
          break;
        }
        default:
          return end_of_column();
      }
    }
    return true;
  }

  // After "E": "(" one to four integers separated by "," and ")".
  bool parse_colours(std::vector<int>& colours) {
    if (!expect('(')) return false;
    for (;;) {
      int value = 0;
      if (!parse_integer(value)) return false;
      colours.push_back(value);
      if (colours.size() < 4 && !at_end() && peek() == ',') {
        ++pos_;
        continue;
      }
      return expect(')');
    }
  }

  bool parse_column_header(ListColumn& column) {
    const bool first = !column.has_header;
    if (!parse_header_text(column.has_header, column.header)) return false;
    std::optional<Justification> letter;
    if (!at_end()) letter = justification_of(peek());
    if (letter) ++pos_;
    int indent = 0;
    if (!at_end() && peek() == '(' && !parse_parenthesised(indent)) return false;
    if (first) {
      column.header_justification = letter;
      column.header_indent = indent;
    }
    return true;
  }

  // A column ends at a character none of its elements begins with; that
  // character must begin the next item (or close the group we are in).
  bool end_of_column() {
    const char c = peek();
    if (is_digit(c) || c == '-') return true;
    if (in_group_ && c == ']') return true;
    if (!in_group_ && c == '[') return true;
    return fail_here();
  }

  bool parse_group(ListGroup& group) {
    const std::size_t opening = pos_;
    ++pos_;
    in_group_ = true;
    while (!at_end() && peek() != ']') {
      ListColumn column;
      if (!parse_column(column)) return false;
      group.columns.push_back(std::move(column));
    }
    in_group_ = false;
    if (at_end()) return fail_at(opening);
    if (group.columns.empty()) return fail_here();
    ++pos_;  // "]"
    if (!at_end() && peek() == '(' && !parse_number_into(group.number)) return false;

    while (!at_end()) {
      switch (peek()) {
        case '|': group.right_border = true; ++pos_; break;
        case '_': group.underline = true; ++pos_; break;
        case 'F': case 'f': group.fixed = true; ++pos_; break;
        case 'M': case 'm': group.resizable = true; ++pos_; break;
        case '*': group.colour = true; ++pos_; break;
        case 'I': case 'i': group.icon = true; ++pos_; break;
        case 'T': case 't':
          group.tree = true;
          ++pos_;
          if (!parse_tree_options(group.tree_options)) return false;
          break;
        case '~':
          if (!parse_header_text(group.has_header, group.header)) return false;
          break;
        case 'S': case 's':
          ++pos_;
          if (!parse_number_into(group.scroll_number)) return false;
          break;
        case 'H': case 'h':
          ++pos_;
          if (!parse_number_into(group.header_number)) return false;
          break;
        default: {
          const char c = peek();
          if (is_digit(c) || c == '-' || c == '[') return true;
          return fail_here();
        }
      }
    }
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int error_ = 0;
  bool in_group_ = false;
};

void write_tree(std::string& out, const TreeOptions& options) {
  out += 'T';
  if (!options.any()) return;
  out += '(';
  if (options.l) out += 'L';
  if (options.one) out += '1';
  if (options.r) out += 'R';
  if (options.b) out += 'B';
  if (options.i) out += 'I';
  out += ')';
}

void write_parenthesised(std::string& out, int value) {
  out += '(';
  out += std::to_string(value);
  out += ')';
}

void write_column(std::string& out, const ListColumn& column) {
  out += std::to_string(column.width);
  out += static_cast<char>(column.justification);
  if (column.indent != 0) write_parenthesised(out, column.indent);
  if (column.right_border) out += '|';
  if (column.underline) out += '_';
  if (column.fixed) out += 'F';
  if (column.resizable) out += 'M';
  if (column.scroll) {
    out += 'S';
    if (column.scroll_number) write_parenthesised(out, *column.scroll_number);
  }
  if (column.header_number) {
    out += 'H';
    write_parenthesised(out, *column.header_number);
  }
  if (column.icon) out += 'I';
  if (column.tree) write_tree(out, column.tree_options);
  if (column.colour) out += '*';
  if (column.slash) out += '/';
  if (column.question) out += '?';
  if (!column.colours.empty()) {
    out += "E(";
    for (std::size_t i = 0; i < column.colours.size(); ++i) {
      if (i != 0) out += ',';
      out += std::to_string(column.colours[i]);
    }
    out += ')';
  }
  if (column.field_number) {
    out += '#';
    out += std::to_string(*column.field_number);
    out += '#';
  }
  if (column.has_header) {
    out += '~';
    out += column.header;
    out += '~';
    if (column.header_justification) out += static_cast<char>(*column.header_justification);
    if (column.header_indent != 0) write_parenthesised(out, column.header_indent);
  }
  if (column.picture_text) {
    out += *column.picture_text;
    out += '@';
  }
}

void write_group(std::string& out, const ListGroup& group) {
  out += '[';
  for (const ListColumn& column : group.columns) write_column(out, column);
  out += ']';
  if (group.number) write_parenthesised(out, *group.number);
  if (group.right_border) out += '|';
  if (group.underline) out += '_';
  if (group.fixed) out += 'F';
  if (group.resizable) out += 'M';
  if (group.colour) out += '*';
  if (group.icon) out += 'I';
  if (group.tree) write_tree(out, group.tree_options);
  if (group.has_header) {
    out += '~';
    out += group.header;
    out += '~';
  }
  if (group.scroll_number) {
    out += 'S';
    write_parenthesised(out, *group.scroll_number);
  }
  if (group.header_number) {
    out += 'H';
    write_parenthesised(out, *group.header_number);
  }
}

}  // namespace

bool ListColumn::operator==(const ListColumn& other) const {
  const auto written = [](const ListColumn& c) {
    return std::tie(c.width, c.justification, c.indent, c.right_border, c.underline, c.fixed,
                    c.resizable, c.scroll, c.icon, c.tree, c.colour, c.slash, c.question,
                    c.tree_options, c.colours, c.has_header, c.header, c.header_justification,
                    c.header_indent, c.scroll_number, c.header_number, c.field_number,
                    c.picture_text);
  };
  return written(*this) == written(other);
}

int validateListFormat(std::string_view text) { return Parser(text).run().error_position; }

ListFormatParse parse_list_format(std::string_view text) { return Parser(text).run(); }

std::string write_list_format(const ListFormat& format) {
  std::string out;
  for (const ListItem& item : format.items) {
    if (const auto* column = std::get_if<ListColumn>(&item)) {
      write_column(out, *column);
    } else {
      write_group(out, std::get<ListGroup>(item));
    }
  }
  return out;
}

std::vector<const ListColumn*> list_columns(const ListFormat& format) {
  std::vector<const ListColumn*> columns;
  for (const ListItem& item : format.items) {
    if (const auto* column = std::get_if<ListColumn>(&item)) {
      columns.push_back(column);
    } else {
      for (const ListColumn& member : std::get<ListGroup>(item).columns) columns.push_back(&member);
    }
  }
  return columns;
}

}  // namespace ui
