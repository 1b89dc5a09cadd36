// The runtime's character tables: collating weights, case map, character
// classes and multi-character sequences. The keyed-file engine copies the
// current tables byte for byte into every table it creates and orders that
// table's keys by the stored copy ever after, so the 1152-byte layout below
// is part of the file format and must not change:
//
//   offset  size  contents
//      0    256   collating weight of each ANSI byte
//    256    256   collating weight of each OEM byte
//    512    256   case map: a letter's other case, every other byte itself
//    768    256   class bits: kUpper, kLower, kDigit
//   1024    128   sequences: up to 16 entries of 3 bytes from offset 1024
//                 (the two characters of the sequence, then the character
//                 it sorts as), the rest 0; unused when byte 1024 is 0
//
// Both weight tables are always permutations of 0..255, so distinct bytes
// never collate equal and a weight can be turned back into its byte.
//
// Defaults: identity weights (the order of the character codes), case map
// and classes for A-Z and a-z only, digits 0-9 marked, no sequences. The
// environment file changes them through the set_* functions below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

struct CharTables {
  static constexpr std::size_t kSize = 1152;
  static constexpr std::size_t kAnsiWeights = 0;
  static constexpr std::size_t kOemWeights = 256;
  static constexpr std::size_t kCaseMap = 512;
  static constexpr std::size_t kClasses = 768;
  static constexpr std::size_t kSequences = 1024;
  static constexpr std::size_t kSequenceArea = 128;
  static constexpr std::size_t kSequenceEntry = 3;
  static constexpr std::size_t kMaxSequences = 16;

  static constexpr std::uint8_t kUpper = 0x01;
  static constexpr std::uint8_t kLower = 0x02;
  static constexpr std::uint8_t kDigit = 0x04;

  std::array<std::uint8_t, kSize> bytes{};

  std::uint8_t ansi_weight(std::uint8_t c) const { return bytes[kAnsiWeights + c]; }
  std::uint8_t oem_weight(std::uint8_t c) const { return bytes[kOemWeights + c]; }
  std::uint8_t other_case(std::uint8_t c) const { return bytes[kCaseMap + c]; }
  std::uint8_t char_class(std::uint8_t c) const { return bytes[kClasses + c]; }
  bool is_upper(std::uint8_t c) const { return (char_class(c) & kUpper) != 0; }
  bool is_lower(std::uint8_t c) const { return (char_class(c) & kLower) != 0; }
  bool is_digit(std::uint8_t c) const { return (char_class(c) & kDigit) != 0; }
  // What a NOCASE key compares instead of c: the other case of an
  // upper-case letter, every other byte itself.
  std::uint8_t fold_case(std::uint8_t c) const { return is_upper(c) ? other_case(c) : c; }
  bool has_sequences() const { return bytes[kSequences] != 0; }

  // Tables as a fresh process has them.
  static CharTables defaults();
};

// The process's current tables. Single-threaded like the rest of the
// runtime: set at start-up by the environment file, read by the engines.
const CharTables& char_tables();
CharTables& mutable_char_tables();
void reset_char_tables();

// ORVCOLSEQ. Each call starts from identity weights.
//   empty      keep the order of the character codes;
//   "WINDOWS"  (any case) order the bytes 2..254 as described in
//              char_tables.cpp (symbols, digits, letters; accents next to
//              their base letter); 0, 1 and 255 keep their own weights;
//   otherwise  a list of characters: the listed characters are ordered
//              among themselves as listed, each taking one of the weights
//              their codes had, so every unlisted character keeps its
//              place. A repeated character counts at its first place.
// `list_is_oem` says which set the list is written in; the other table is
// derived through the charset conversion.
void set_collating_sequence(std::string_view value, bool list_is_oem);

// ORVCASE. Each call starts from the default A-Z/a-z case tables (digits
// marked), then:
//   no items (or one empty item)   nothing more;
//   two or more items, the first   add the pairs (upper[i], lower[i]) where
//   two of equal length            both bytes are above 127;
//   anything else ("WINDOWS", two  add every upper-case letter of 1252
//   items of unequal length, one   (A grave..Thorn without the multiplication
//   other item)                    sign, S/Z caron, OE, Y diaeresis) with its
//                                  lower-case partner.
// A byte paired again loses its earlier partner, so the case map stays its
// own inverse. `items` are ANSI text.
void set_case_tables(const std::vector<std::string>& items);

// ORVDIGRAPH: the bytes are read as consecutive groups of 3; at most 16
// groups are stored, an incomplete last group and groups starting with a
// NUL byte are dropped. Each call replaces the whole sequence area.
void set_sequences(std::string_view groups);

}  // namespace runtime
