// The standard character set: the one list of the characters a new
// translation table starts with and of their replacement texts. The table
// builder writes it into the data files; the conversion falls back on it
// when no data files exist.
//
// Codes 33 to 255 each have an entry: codes 160 to 255 are replaced by the
// HTML entity that names the character (stored with its "&" and without the
// closing ";", as "&eacute"), every other code by the character itself.
// Codes 0 to 32 have none.
#pragma once

#include <string_view>

namespace dictionary {

inline constexpr int kFirstStandardCode = 33;
inline constexpr int kLastStandardCode = 255;
inline constexpr int kStandardCount = kLastStandardCode - kFirstStandardCode + 1;  // 223

// The name of table 1 when the builder makes it.
inline constexpr std::string_view kStandardTableName = "Standard";

// The entity list: the entity name of codes 160..255 ("&nbsp" ... "&yuml"),
// the one-character string of codes 33..128, blank (empty) for everything
// else. `code` outside 0..255 gives empty.
std::string_view standard_entity(int code);

// The replacement text the standard table holds for `code`: the list's
// entry when it has one, else the character itself; empty outside 33..255.
std::string_view standard_replacement(int code);

}  // namespace dictionary
