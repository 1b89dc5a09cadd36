// One code line back into the HTML line it was made from: the rules of
// LineConverter undone, for pages kept only as code.
//
// With the options and table the code was made with, a code line must be
// the indent blanks and the before-text, a work line, and the after-text
// (each text without its trailing blanks; a line that is only blanks and a
// before-text may have lost its trailing blanks). In the work line:
//   "<<" becomes "<";
//   two quotes become one where the conversion wrote each quote twice
//     (Options::double_quotes, or a mode-All table whose quote is "''");
//   an entity that the table writes for a character the mode looks up
//     ("&eacute;" in modes International and All) becomes that character,
//     the first in the table's order when several are written the same,
//     unless `keep_entities` (then entities stay as they are).
// Everything else stays as it is. Replacements that are not entities, a
// tab's blanks and what a limit cut are not undone; numeric references stay.
//
// A line of another shape (without the indent and before-text or the
// after-text, or with a "<" or, where quotes were doubled, a quote standing
// alone) is refused, with what is wrong.
//
// In UTF-8 mode the code line is UTF-8, the texts are compared in UTF-8
// and an entity's character is written in UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "app/conversion/options.h"
#include "app/conversion/replacement_table.h"

namespace conversion {

class LineReverter {
 public:
  // `table` is read once here.
  LineReverter(const Options& options, const ReplacementTable& table, bool utf8);

  // The HTML line for `line` (without its line end), valid until the next
  // call; false when the line does not have the shape, with *problem saying
  // why ("does not end with the after-text").
  bool revert(std::string_view line, std::string_view* html, std::string* problem);

 private:
  bool undo_work_line(std::string_view work, std::string* problem);

  bool keep_entities_;
  bool quotes_doubled_;
  std::string prefix_;  // indent and before-text, in the line's encoding
  std::string after_;
  // The entities the table writes, each with its character in the line's
  // encoding.
  std::unordered_map<std::string, std::string> entities_;
  std::size_t longest_entity_ = 0;
  std::string out_;
};

}  // namespace conversion
