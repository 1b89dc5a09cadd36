// How an OPEN, CREATE, COPY, RENAME or REMOVE name becomes a disk file and a
// table inside it.
//
// A name may carry a table name after the marker "\!". The first marker whose
// left part is not an existing directory counts (so a directory whose name
// happens to end in a backslash stays a directory); its left part is the file
// name, its right part the table name, upper-cased through the runtime's case
// tables. Without a marker, or with nothing after it, the table is "UNNAMED".
// Trailing blanks of the whole name are dropped first: names come from
// blank-padded string variables. The file name becomes a full path and gets
// ".KSF" when its last component has no extension.
#pragma once

#include <string>
#include <string_view>

#include "platform/env.h"

namespace files::kestrel {

inline constexpr std::string_view kUnnamedTable = "UNNAMED";
inline constexpr std::string_view kTableMarker = "\\!";
inline constexpr std::string_view kDefaultExtension = ".KSF";
// A full file name of this many characters or more is refused (45).
inline constexpr std::size_t kMaxFullName = 260;

struct TableName {
  std::string path;   // full path of the disk file, extension included
  std::string table;  // upper case; "UNNAMED" without a marker
  bool marked = false;  // the name carried a table marker

  bool unnamed() const { return table == kUnnamedTable; }
  // The text driver messages use for the file: the path, then "\!" and the
  // table name unless the table is "UNNAMED".
  std::string message_name() const;
};

// Splits and completes `name` through `env`. Returns 0, 45 (empty name, a
// NUL byte, a full name of 260 characters or more) or the system error number
// that completing the path gave.
int split_table_name(platform::Env* env, std::string_view name, TableName* out);

// The table name of the marker's right part as the file stores it.
std::string upper_table_name(std::string_view name);

}  // namespace files::kestrel
