// What one conversion run is asked to do: the window's setup and the
// command line's options in one record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace conversion {

// Translation modes. Any other value is allowed (a settings file may hold
// one) and makes every line empty between the before- and after-text.
inline constexpr std::int32_t kModeNone = 0;
inline constexpr std::int32_t kModeInternational = 1;
inline constexpr std::int32_t kModeAll = 2;

// How the input's bytes are read, and the output written.
//   automatic: UTF-8 when the whole input is valid UTF-8 and either holds a
//              multi-byte sequence or the texts are UTF-8 (an input of pure
//              ASCII is both: it takes the texts' encoding), else ansi;
//   ansi:      every byte is one Windows-1252 character;
//   utf8:      UTF-8; a byte that starts no valid sequence is one character
//              of its own and passes unchanged.
enum class Encoding { automatic, ansi, utf8 };

enum class LineEnd { crlf, lf };

// Lines (input, work line and output line) hold at most this many
// characters unless told otherwise; 0 means no limit.
inline constexpr std::size_t kDefaultMaxLine = 1024;
// The clipboard text holds at most this many characters.
inline constexpr std::size_t kClipboardLimit = 29999;
inline constexpr int kMaxIndent = 255;

struct Options {
  std::int32_t mode = kModeNone;
  int indent = 0;      // blanks in front of every line; clamped to 0..255
  std::string before;  // trailing blanks are dropped
  std::string after;
  // before and after are UTF-8 (as typed on a command line) instead of
  // Windows-1252 (the window, the settings file). Written to a Windows-1252
  // output, a character that set lacks becomes "?"; Conversion refuses such
  // a run before it starts.
  bool texts_utf8 = false;
  Encoding encoding = Encoding::automatic;
  LineEnd line_end = LineEnd::crlf;
  std::size_t max_line = kDefaultMaxLine;
  // Leave a well-formed entity or character reference of the input
  // ("&amp;", "&#233;", "&#xE9;") as it stands instead of translating it.
  bool keep_entities = false;
  // In modes International and All, write a character from 128 up that the
  // table does not hold as "&#NNN;" (its Unicode code point) instead of
  // unchanged.
  bool numeric = false;
  // Write every quote (') of the line twice, as a Netloom string literal
  // needs it; a replacement that is already two quotes stays two.
  bool double_quotes = false;
};

}  // namespace conversion
