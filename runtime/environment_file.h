// The environment file: an optional text file beside the program, read
// once at start-up, whose lines of a name, "=" and a value set the month
// names, the AM/PM texts, the character-set, collating, case and sequence
// tables, replacement message texts and the long-file-name switch.
//
// File syntax, as this reader takes it:
//   - CR and LF end a line; empty lines are skipped. Ctrl-Z (0x1A) ends the
//     file wherever it stands; a value cut short by it is still applied.
//   - The name is what stands before the first "=", with blanks and control
//     characters dropped. The "=" must come within the first 31 characters
//     of the line, else the whole line is skipped.
//   - The value runs to the line end; only its first 1,024 bytes count, the
//     rest of the line is skipped. Trailing blanks and tabs are cut first,
//     then "<digits>" codes are decoded (see decode_character_codes), so
//     "<32>" can give a deliberate trailing blank.
//   - A value not starting with a double quote is read as a list split at
//     its commas; one starting with a double quote is read as a quoted list
//     (see parse_quoted_list). For ORVCOLSEQ commas are ordinary characters.
//   - After ORVCHARSET=OEM the values of later lines (except ORVCOLSEQ) are
//     converted from OEM to ANSI; ORVCHARSET with any other value switches
//     back. Each file starts in ANSI.
//   - Names match without regard to case; keyword values ("OEM",
//     "WINDOWS", "on") too, ignoring blanks around them. Unknown names and
//     malformed lines are ignored; nothing is ever reported.
//
// Keys: ORVCHARSET, ORVCOLSEQ, ORVCASE, ORVDIGRAPH (char_tables.h);
// ORVMONTH, ORVMON (up to 12 items; empty or missing items keep the name
// in force), ORVAMPM ("WINDOWS" changes nothing; otherwise the first two
// items become the AM and PM texts, fewer than two items are ignored)
// (regional.h); ORVMSGn (message n, the value's items joined by commas;
// n is 1 to 9 decimal digits), ORVBUTTON (item i as message
// kButtonMessageBase + i; empty items skipped) (messages.h); ORVLFN.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace runtime {

inline constexpr std::size_t kEnvironmentNameLimit = 31;
inline constexpr std::size_t kEnvironmentValueLimit = 1024;
// The reader stops after this many bytes of a file; a real environment
// file is a few lines.
inline constexpr std::size_t kEnvironmentFileLimit = 1 << 20;

// The environment file that belongs to a program: the program path cut at
// the "." of its extension, then ".ENV". Only a "." inside the last path
// component, and not its first character, starts an extension, so
// "/usr/bin/markfit" gives "/usr/bin/markfit.ENV" and "/opt/v1.2/prog.bin"
// gives "/opt/v1.2/prog.ENV".
std::string environment_file_path(const std::string& program_path);

// Splits a quoted list into its items. Outside double quotes a comma ends
// an item (when `commas_separate`) and every other byte is taken as it is;
// a double quote opens a quoted stretch, inside which commas are ordinary,
// a doubled double quote stands for one, and a single one closes it. An
// unclosed quote runs to the end. Blanks are kept. Always at least one
// item (possibly empty).
std::vector<std::string> parse_quoted_list(std::string_view text, bool commas_separate = true);

// The inverse for plain text: the quoted list whose items are `text` split
// at its commas (or the whole of `text` when !commas_separate), so that
// parse_quoted_list(quote_as_list(t, s), s) gives those items back.
std::string quote_as_list(std::string_view text, bool commas_separate = true);

// Decodes "<digits>" codes: "<" followed by decimal digits stands for the
// byte with that code, and the one character after the digits (normally
// ">") is dropped. A code above 255 is not a character: its text is kept as
// written. "<<" gives one "<"; any other "<" stands for itself.
std::string decode_character_codes(std::string_view text);

// Applies the lines of an environment file held in memory. Never fails;
// safe on arbitrary bytes.
void apply_environment_text(std::string_view bytes);

// Reads the file at `path` through `env` and applies it. A file that is
// missing or cannot be read is ignored (whatever was read before a read
// error is applied).
void load_environment_file(const std::string& path, platform::Env& env);
void load_environment_file(const std::string& path);  // through Env::posix()

// ORVLFN: whether long file names are enabled (false until a file says "on").
bool long_file_names();

// Undoes everything an environment file can set except the regional
// settings (which belong to regional()): character tables, replacement
// messages and the long-file-name switch.
void reset_environment_settings();

}  // namespace runtime
