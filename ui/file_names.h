// File names and file-dialog filters, as the procedures write them. No Qt.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ui {

// A path cut into its four parts, so that drive + directory + name +
// extension gives the path back unchanged.
//   drive      "c:" when the path starts with a letter and ":", else empty
//   directory  up to and including the last "/" or "\" ("/home/me/")
//   name       the rest up to its last "." ("page")
//   extension  from that "." on (".htm"); empty when the name has no "."
// A name whose only "." is its first character (".profile") has no
// extension. Takes any bytes.
struct FileNameParts {
  std::string drive;
  std::string directory;
  std::string name;
  std::string extension;
  bool operator==(const FileNameParts&) const = default;
};
FileNameParts split_file_name(std::string_view path);

// One choice of a file dialog's filter list.
struct FileFilter {
  std::string description;  // "Html files"
  std::vector<std::string> patterns;  // {"*.htm"}; several were written "*.htm;*.html"
  bool operator==(const FileFilter&) const = default;
};

// "Html files|*.htm|All files|*.*": pairs of description and pattern
// separated by "|". A description without a pattern after it (odd count)
// matches every file. Empty patterns inside a ";" list are dropped; a pair
// left with none matches every file. An empty text gives no filters.
// Takes any bytes.
std::vector<FileFilter> parse_file_filter(std::string_view text);

// Text without its trailing blanks (spaces only, as fixed-length strings
// are padded).
std::string_view clip(std::string_view text);

}  // namespace ui
