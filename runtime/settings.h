// Settings files: INI text read and written one value at a time.
//
// The rules are those of the platform's private profile functions, which the
// application's settings file was always written with:
//
//   * A line is ended by LF or CRLF; the last line may lack a line end.
//   * A section header is a line whose first non-blank character is "[" and
//     that holds a "]" after it. The name is the text between "[" and the
//     first "]", without surrounding blanks; text after "]" is ignored.
//   * Any other line holding "=" is a key line: the key is the text before
//     the first "=", the value the text after it, both without surrounding
//     blanks. Lines without "=" (comments, junk, blank lines) are skipped by
//     reads and kept by writes. ";" has no special meaning: a ";x=1" line is
//     the key ";x". Key lines before the first header belong to no section.
//   * Blanks are spaces and tabs. Section and key names match without
//     regard to ASCII case, after the blanks around the caller's names are
//     dropped too. Other bytes (NUL and bytes above 127 included) are plain
//     bytes that match only themselves.
//   * The first section of a name wins: later sections of the same name are
//     never read. Inside it, the first key line of a name wins.
//   * A value read loses one pair of matching quotes ("..." or '...') around
//     it, so a value stored as "'  x  '" reads as "  x  ".
//
// Writes keep every other line byte for byte, comments and order included:
//   * Setting a key that exists replaces its value in place at the first
//     occurrence; the text up to the "=" and the blanks after it stay.
//   * A missing key is added as "key=value" right after the last key line of
//     the section (right after the header when it has none), so blank lines
//     and comments that end the section stay in front of the next header.
//   * A missing section is added as "[section]" and "key=value" at the end of
//     the file, after a line end for a last line that lacks one.
//   * New lines take the line end of the file's first line; a text without
//     any line end gets LF.
//   * Deleting a key removes every line of that key from the first section of
//     its name; deleting a section removes every section of that name, header
//     and all its lines up to the next header. Nothing is left that a later
//     read could find, which a first-occurrence-only delete would not ensure.
//
// Stricter than the platform, which would write any text raw: a write whose
// text could not be read back as written is refused and leaves the text as
// it was (see `ini_writable`). A line break in any of the three, "]" in a
// section name, "=" in a key or a key starting with "[" would otherwise make
// or break lines and headers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "platform/system_error.h"

namespace runtime {

// --- Pure INI functions over a text buffer --------------------------------
// They take arbitrary bytes and never fail.

// The value of `key` in `section`, or nullopt when the section or key is
// missing. Quotes are stripped as said above.
std::optional<std::string> ini_lookup(std::string_view text, std::string_view section,
                                      std::string_view key);

// Whether ini_write(text, section, key, value) with a key and value would be
// carried out. Deletes (no key, or no value) are always carried out.
bool ini_writable(std::string_view section, std::string_view key, std::string_view value);

// `text` with one change made:
//   key absent            -> every section named `section` deleted;
//   key given, no value   -> the key deleted from the section;
//   both given            -> the key set to the value (blanks around it cut).
// Returns `text` unchanged when there is nothing to delete or when the set is
// not `ini_writable`.
std::string ini_write(std::string_view text, std::string_view section,
                      std::optional<std::string_view> key, std::optional<std::string_view> value);

// --- Settings files --------------------------------------------------------

// Limits of one call; longer texts are cut to them.
inline constexpr std::size_t kMaxSectionLength = 63;
inline constexpr std::size_t kMaxKeyLength = 63;
inline constexpr std::size_t kMaxValueLength = 1023;  // values and defaults
inline constexpr std::size_t kMaxFileNameLength = 259;

// Error recorded for a write that `ini_writable` refuses (invalid parameter
// in the file layer's numbering).
inline constexpr int kSettingsInvalidArgument = platform::syserr::invalid_parameter;

// The value of `key` in `section` of the settings file, cut to 1,023
// characters, or `default_value` (cut likewise) when the file, the section or
// the key is missing or the file cannot be read.
//
// File names, cut to 259 characters, "\" read as "/":
//   * empty: the user's system profile (profile_path());
//   * with a path part ("./Markfit.ini", ".\Markfit.ini", "/etc/x.ini"):
//     taken against the current directory at the moment of the call;
//   * a bare name ("Markfit.ini"): looked up in the directory of the user's
//     system profile, which stands for the system's own directory here.
// Section, key and default are taken up to a NUL, as the platform's string
// interface does. No cache: every call reads the file.
std::string GETINI(std::string_view section, std::string_view key, std::string_view default_value,
                   std::string_view file_name);

// Sets `key` in `section` to `value`; without a value deletes the key;
// without a key deletes the section (ini_write). File names as for GETINI.
//
// The file is replaced atomically: the new text goes to a fresh file beside
// it, is synced, renamed over the old one, and the directory is synced, so a
// crash leaves either the old or the new file, never a mix. The directory of
// the user's system profile is created when missing (the one step done
// outside platform::Env, which has no way to make directories). Nothing is
// written when the change leaves the text as it was.
//
// Reports nothing, like the platform: a failed write is silent to the caller,
// but it never loses the old file, and last_settings_error() tells what went
// wrong so that the program can log it. A file that exists but cannot be read
// is left alone rather than replaced by a file holding only the new value.
void WRITEINI(std::string_view section, const std::optional<std::string>& key,
              const std::optional<std::string>& value, std::string_view file_name);

// Several writes to one section at once, in order, with one replacement of
// the file (one sync instead of one per value): a window's placement is
// saved so. When any of them could not be carried out (`ini_writable`),
// none is.
struct SettingWrite {
  std::optional<std::string> key;
  std::optional<std::string> value;
};
void WRITEINI(std::string_view section, const std::vector<SettingWrite>& writes, std::string_view file_name);

// The full path that a GETINI or WRITEINI with `file_name` would use at this
// moment (the rules above), for telling the user which file failed; empty
// when it cannot be made (no profile directory, a name too odd for the
// system).
std::string settings_file_path(std::string_view file_name);

// The outcome of the last GETINI or WRITEINI call: success, a system error
// number of platform::Env, or kSettingsInvalidArgument. A missing file, a
// missing section or key, and a delete with nothing to delete are success.
platform::Status last_settings_error();

// The Env every settings call goes through; nullptr restores
// platform::Env::posix(). The Env is not owned and must outlive its use.
void set_settings_env(platform::Env* env);
platform::Env* settings_env();

}  // namespace runtime
