// List box format strings: the text that describes the columns of a list
// box (widths, justification, borders, headers, cell pictures), read into
// column descriptors and written back in the same notation.
//
// Notation of one column, in this order:
//   width         optional "-" and decimal digits (required)
//   justification "L", "R", "C" or "D" (required, upper case)
//   indent        optional "(" integer ")"
//   then any number of these, in any order, until a character that is none
//   of them:
//     "|" right border   "_" underline   "F"/"f" fixed   "M"/"m" resizable
//     "I"/"i" icon       "*" colour      "/" and "?"      (flags)
//     "S"/"s" scroll, optionally "(" integer ")"
//     "H"/"h" "(" integer ")"            header number
//     "T"/"t" tree, optionally "(" any of L 1 R B I ")"
//     "E(" one to four integers separated by "," ")"   colours, once only
//     "#" integer "#"                    field number
//     "~" text "~", optionally a justification letter, optionally
//         "(" integer ")"                header, its justification and indent
//     "@" text "@"                       cell picture
// A group is "[" one or more columns "]", optionally "(" integer ")", then
// any of "|", "_", "F", "M", "*", "I", a tree letter with its options,
// "~" text "~", and "S" or "H" each with "(" integer ")".
//
// Readings settled here:
// - Every integer may carry a leading "-" and needs at least one digit; a
//   value outside the range of int is an error at the digit that leaves it.
// - Groups do not nest: "[" inside a group is an error.
// - The group modifiers take the same lower-case letters as a column's
//   ("f", "m", "i", "t", "s", "h"); a group's "S" needs its number.
// - A valued element written twice in one column or group (picture, header,
//   field number, scroll number, header number) keeps its first value; the
//   later ones must still be well formed, but are not kept and are not
//   written back. Flags and tree options written twice are simply set.
//   "E(" written twice in a column is an error at the second "E".
// - A header's indent may follow it without a justification letter.
// - A picture, header or group that is never closed is reported at its
//   opening "@", "~" or "["; every other error at the first character that
//   does not fit, or at length + 1 when the text ends too early.
// - The picture text is checked only for its closing "@" here; whether it
//   is a good picture is the picture compiler's verdict.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/picture.h"

namespace ui {

enum class Justification : char { Left = 'L', Right = 'R', Centre = 'C', Decimal = 'D' };

// The letters of a tree element's options. The list box gives them their
// meaning; the format only carries them.
struct TreeOptions {
  bool l = false;    // "L"
  bool one = false;  // "1"
  bool r = false;    // "R"
  bool b = false;    // "B"
  bool i = false;    // "I"

  bool any() const { return l || one || r || b || i; }
  bool operator==(const TreeOptions&) const = default;
};

struct ListColumn {
  int width = 0;
  Justification justification = Justification::Left;
  int indent = 0;

  bool right_border = false;  // "|"
  bool underline = false;     // "_"
  bool fixed = false;         // "F"
  bool resizable = false;     // "M"
  bool scroll = false;        // "S"
  bool icon = false;          // "I"
  bool tree = false;          // "T"
  bool colour = false;        // "*"
  bool slash = false;         // "/"
  bool question = false;      // "?"
  TreeOptions tree_options;

  std::vector<int> colours;  // from "E(...)": empty when absent, else 1 to 4

  bool has_header = false;  // "~~" is a header with empty text
  std::string header;
  // The letter written after the header, if any; without one the header
  // follows the column (see header_justification_or_column()).
  std::optional<Justification> header_justification;
  int header_indent = 0;

  std::optional<int> scroll_number;  // "S(n)"
  std::optional<int> header_number;  // "H(n)"
  std::optional<int> field_number;   // "#n#"

  // The picture as written, with its leading "@" ("@n_4"), not the closing
  // one, and what it compiles to (kind invalid when there is no picture, or
  // when the text is no acceptable picture).
  std::optional<std::string> picture_text;
  runtime::PictureDescriptor picture;

  Justification header_justification_or_column() const {
    return header_justification.value_or(justification);
  }

  // Compares what is written; the compiled picture follows from its text.
  bool operator==(const ListColumn& other) const;
};

struct ListGroup {
  std::vector<ListColumn> columns;  // at least one
  std::optional<int> number;        // "(n)" after "]"

  bool right_border = false;
  bool underline = false;
  bool fixed = false;
  bool resizable = false;
  bool colour = false;
  bool icon = false;
  bool tree = false;
  TreeOptions tree_options;

  bool has_header = false;
  std::string header;

  std::optional<int> scroll_number;
  std::optional<int> header_number;

  bool operator==(const ListGroup&) const = default;
};

using ListItem = std::variant<ListColumn, ListGroup>;

struct ListFormat {
  std::vector<ListItem> items;  // in format order

  bool operator==(const ListFormat&) const = default;
};

struct ListFormatParse {
  ListFormat format;       // empty when error_position != 0
  int error_position = 0;  // 0 when valid, else 1-based position of the fault

  bool ok() const { return error_position == 0; }
};

// 0 when `text` is a valid format (the empty text is), else the 1-based
// position where it fails. Takes any bytes. A text of INT_MAX bytes or more
// is refused at position INT_MAX, since its positions would not fit.
int validateListFormat(std::string_view text);

// Reads `text` into its columns and groups; on failure the format is empty
// and error_position is what validateListFormat reports for the same text.
ListFormatParse parse_list_format(std::string_view text);

// Writes `format` in the notation above, in a fixed element order: width,
// justification, indent, "|", "_", "F", "M", "S", "H", "I", "T", "*", "/",
// "?", "E(...)", "#n#", header with its letter and indent, picture (and for
// groups: "(n)", "|", "_", "F", "M", "*", "I", "T", header, "S(n)", "H(n)").
// An indent of 0 is not written. Parsing the result gives back `format`.
// Requires what parsing guarantees: groups hold at least one column, header
// texts contain no "~", picture texts start with "@" and contain no other
// "@"; otherwise the text written does not read back.
std::string write_list_format(const ListFormat& format);

// The columns of `format` in format order, group members in place. The
// pointers are into `format` and live as long as it is unchanged.
std::vector<const ListColumn*> list_columns(const ListFormat& format);

}  // namespace ui
