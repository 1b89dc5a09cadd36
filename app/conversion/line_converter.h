// One input line into one output line: the per-line rules of the
// conversion, without any file.
//
// For an input line (its bytes without the line end):
//  1. Tabs expand to blanks up to the next multiple of 8 columns.
//  2. The line keeps its first max_line characters; then its trailing
//     blanks go (leading blanks stay).
//  3. Each character becomes, by the mode:
//       None:          "<" -> "<<", anything else itself;
//       International: "<" -> "<<", 128..255 -> its replacement, else itself;
//       All:           "<" -> "<<", anything else -> its replacement;
//       other values:  nothing at all.
//     The replacement of c: no entry -> c itself ("&#NNN;" with `numeric`
//     for c >= 128); an entry "&" alone -> c itself; an entry "&x..." ->
//     the entry and ";"; any other entry -> the entry as it is (a blank
//     entry deletes c). With `keep_entities` a well-formed reference of the
//     input ("&name;", "&#123;", "&#x1F;", names up to 32 characters,
//     numbers up to 7 digits or 6 hex digits) is copied as it stands.
//     With `double_quotes` every quote (') that this writes is written
//     twice, unless the quote's own replacement is two quotes already.
//     The work line keeps the first max_line characters of the result.
//  4. Output: indent blanks, the before-text, the work line and the
//     after-text, each without trailing blanks, cut to max_line characters,
//     without trailing blanks.
//
// Characters: in ANSI mode a byte is a character. In UTF-8 mode the
// characters are counted as the bytes that do not continue a sequence
// (every byte but 10xxxxxx), which is the code point count of valid text; a
// valid sequence whose code point Windows-1252 holds is looked up as that
// 1252 character, written back in UTF-8 when it stays itself; any other
// sequence, and any byte that starts no valid sequence, passes unchanged
// (or, with `numeric`, a valid one from U+0080 up becomes "&#NNN;" in modes
// International and All). Replacement texts are Windows-1252 and are written
// in UTF-8 in UTF-8 mode; the before- and after-text are written in the
// output's encoding from theirs (Options::texts_utf8).
//
// A line counts as cut when its output differs from what it would be with
// no limit: some character was lost to a limit at any of the three steps.
// `more` says that the line went on past the bytes given with some
// character other than a blank or tab (the reader gives at most
// 4 x max_line + 4 bytes of a line); that counts as cut in modes None,
// International and All.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/conversion/options.h"
#include "app/conversion/replacement_table.h"

namespace conversion {

class LineConverter {
 public:
  // `table` is copied from; it is used only in modes International and All.
  LineConverter(const Options& options, const ReplacementTable& table, bool utf8);

  // The output line for `line`, without trailing blanks and without a line
  // end; valid until the next call. *cut tells whether a limit lost text.
  std::string_view convert(std::string_view line, bool more, bool* cut);

  // The bytes of the input a line must be given up to (see `more`); 0 when
  // lines are not limited.
  std::size_t input_cap() const;

  // A line given in pieces, for lines too long to hold whole; only without
  // a limit (max_line 0), where no line is cut. begin_pieces() starts a
  // line; piece() takes its pieces in order, `last` for the one that ends
  // it, and hands the output on through `put` in parts as they are settled
  // (false from put stops it and is returned). The parts make the line
  // convert() would give for the whole, without its line end.
  using PieceFn = std::function<bool(std::string_view part)>;
  void begin_pieces();
  bool piece(std::string_view bytes, bool last, const PieceFn& put);

  bool utf8() const { return utf8_; }

  // Whether the line last converted holds an odd number of quotes (') in
  // its work line, between the before- and after-text: a string literal
  // that the line cannot close. Always false with `double_quotes` and in
  // modes that write no line.
  bool lone_quote() const { return lone_quote_; }

 private:
  struct Entry {
    std::uint8_t length = 0;   // bytes
    std::uint8_t chars = 0;    // characters
    bool identity = true;      // the character itself
    char bytes[46] = {};
  };

  std::size_t input_end(std::string_view line, std::size_t limit) const;
  // Writes the output for line[0, n) into buf_ with `limit` characters per
  // line; returns its length and sets *hit when a limit cut anything.
  std::size_t build(std::string_view line, std::size_t limit, std::vector<char>& buf, bool* hit,
                    bool* lone_quote) const;
  // The work line for p[start, n), appended at buf[pos]; *work_chars holds
  // the characters already in it and receives the new count.
  // *column, when given, is the input column p[0] stands at and receives
  // the one after p[n - 1].
  template <bool kChecked>
  std::size_t convert_text(const char* p, std::size_t start, std::size_t n, std::size_t limit,
                           std::vector<char>& buf, std::size_t pos, std::size_t* work_chars, bool* full_out,
                           std::size_t* column) const;
  // The work line for p[0, n) in ANSI mode without kept references, where
  // the limit cannot be reached: each byte's entry, tabs as blanks. Writes at
  // out (room for n x widest_ + 32 bytes) and returns the bytes written,
  // which are also the characters.
  std::size_t convert_ansi(const char* p, std::size_t n, char* out) const;
  // Input columns of p[0, n) (characters: bytes, or in UTF-8 the bytes
  // that start one).
  std::size_t count_columns(const char* p, std::size_t n) const;
  std::size_t chars_of(const char* p, std::size_t n) const { return count_columns(p, n); }
  void set_entry(std::uint8_t c, std::string_view ansi_text, bool identity);

  Options options_;
  bool utf8_;
  bool writes_line_;  // modes None, International, All
  std::size_t limit_;
  Entry entries_[256];
  bool special_[256];
  char low_[6] = {};  // the special bytes below 128, when there are few
  std::size_t low_count_ = 0;
  bool high_special_ = false;
  bool vector_search_ = true;
  std::size_t widest_ = 0;
  bool doubling_only_ = false;
  bool check_quotes_ = false;  // lone quotes are looked for
  bool lone_quote_ = false;
  // convert_ansi copies every entry as 16 or 32 bytes (the entry's bytes and
  // what follows them in Entry::bytes); 0 where it does not serve.
  std::size_t entry_copy_ = 0;
  bool numeric_;      // numeric references apply (mode and option)
  std::string prefix_;  // indent and before-text, in the output's encoding
  std::size_t prefix_chars_ = 0;
  std::string after_;
  std::size_t after_chars_ = 0;
  std::vector<char> out_;
  std::vector<char> unlimited_;

  // A line in pieces (see piece()).
  bool put_piece_output(std::string_view bytes, const PieceFn& put);
  bool flush_piece_output(const PieceFn& put);
  static constexpr std::size_t kPieceOutput = 1 << 20;     // output handed on in parts of about this
  static constexpr std::size_t kLongestReference = 40;    // "&" + 32 letters + ";", with room
  std::string held_;               // input bytes that may go on in the next piece
  std::size_t piece_column_ = 0;   // the input column after what was taken
  std::size_t held_columns_ = 0;   // columns of the blanks and tabs held
  std::size_t work_blanks_ = 0;    // blanks at the end of the work line, held
  std::size_t prefix_blanks_ = 0;  // blanks at the end of the prefix, held
  std::string piece_out_;
  bool piece_started_ = false;
  std::size_t piece_quotes_ = 0;   // quotes in the work line so far
};

// The text that character `c` (Windows-1252) is written as in the work line
// of a mode that writes lines, by the rules above; *identity tells whether
// it is the character itself.
std::string written_text(const Options& options, const ReplacementTable& table, std::uint8_t c, bool* identity);

// The length of a well-formed reference starting at text[0] (which must be
// "&"), ";" included; 0 when there is none.
std::size_t reference_length(std::string_view text);

// The Windows-1252 byte of a code point, or -1 when the set lacks it (the
// five bytes 1252 leaves undefined stand for the C1 controls of their
// number).
int ansi_byte_of(char32_t code_point);

// The length of the valid UTF-8 sequence at the start of `text` and its
// code point; 0 when the bytes start no valid sequence (overlong forms,
// surrogates and values above U+10FFFF are not valid).
std::size_t utf8_sequence(std::string_view text, char32_t* code_point);

// Appends the UTF-8 form of a Windows-1252 text.
void append_ansi_as_utf8(std::string& out, std::string_view ansi);

// The Windows-1252 form of a UTF-8 text into *out; bytes that start no valid
// sequence are taken as they are. False when the set lacks a character of
// it: that one is written "?", and the first such character (its UTF-8
// bytes) goes to *missing when given.
bool ansi_of_utf8(std::string_view text, std::string* out, std::string* missing = nullptr);

}  // namespace conversion
