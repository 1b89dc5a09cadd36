// The two single-byte character sets the runtime deals in: ANSI (the
// western Windows code page 1252) for everything the program shows and
// keeps, and OEM (the original PC code page 437) for files that carry the
// OEM attribute and for environment files written in that set.
//
// Conversion is by two fixed 256-byte tables worked out from the Unicode
// meaning of every byte of both sets:
//   - bytes 0..127 map to themselves;
//   - a character present in both sets maps to its exact partner, so every
//     such character survives a round trip;
//   - a character without a partner maps to an obvious look-alike where one
//     exists (an accented letter to its plain letter, curly quotes to
//     straight ones, a Greek letter to the Latin letter it resembles, box
//     lines to '|', '-' and '+', shades and blocks to '_');
//   - everything else becomes '?'.
// The five bytes that 1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// count as the C1 control characters of the same number; OEM has no such
// characters, so they become '?'.
//
// No function here allocates except the std::string forms, which convert in
// place and keep the length. All are safe on arbitrary bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace runtime {

// The conversion tables: index by the source byte, read the target byte.
const std::array<std::uint8_t, 256>& ansi_to_oem_table();
const std::array<std::uint8_t, 256>& oem_to_ansi_table();

// The Unicode code point each byte stands for (for the tables above and
// for tests that check them).
char32_t ansi_code_point(std::uint8_t byte);
char32_t oem_code_point(std::uint8_t byte);

// In-place conversion of `length` bytes at `data` (which may be null when
// length is 0).
void ansi_to_oem(char* data, std::size_t length);
void oem_to_ansi(char* data, std::size_t length);

// In-place conversion of a whole string; embedded NULs are converted like
// any other byte (to themselves).
void ansi_to_oem(std::string& text);
void oem_to_ansi(std::string& text);

inline std::uint8_t ansi_to_oem(std::uint8_t byte) { return ansi_to_oem_table()[byte]; }
inline std::uint8_t oem_to_ansi(std::uint8_t byte) { return oem_to_ansi_table()[byte]; }

}  // namespace runtime
