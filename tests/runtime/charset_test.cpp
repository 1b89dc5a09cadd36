#include "runtime/charset.h"

#include <gtest/gtest.h>

#include <string>

namespace runtime {
namespace {

// Byte of the OEM set that stands for code point cp, or -1.
int oem_byte_of(char32_t cp) {
  for (int b = 0; b < 256; ++b)
    if (oem_code_point(static_cast<std::uint8_t>(b)) == cp) return b;
  return -1;
}

TEST(CharsetTest, CharactersInBothSetsSurviveRoundTrips) {
  int shared = 0;
  for (int a = 0; a < 256; ++a) {
    const auto ansi = static_cast<std::uint8_t>(a);
    const int oem = oem_byte_of(ansi_code_point(ansi));
    if (oem < 0) continue;
    ++shared;
    EXPECT_EQ(ansi_to_oem(ansi), oem) << "ANSI " << a;
    EXPECT_EQ(oem_to_ansi(static_cast<std::uint8_t>(oem)), ansi) << "OEM " << oem;
  }
  // ASCII plus the 1252/437 common ground (accented letters, a few symbols).
  EXPECT_GT(shared, 128 + 50);
}

TEST(CharsetTest, KnownPairsAndAsciiIdentity) {
  EXPECT_EQ(ansi_to_oem(std::uint8_t{0xE9}), 0x82);  // e acute
  EXPECT_EQ(oem_to_ansi(std::uint8_t{0x82}), 0xE9);
  EXPECT_EQ(ansi_to_oem(std::uint8_t{0xC7}), 0x80);  // C cedilla
  EXPECT_EQ(oem_to_ansi(std::uint8_t{0x80}), 0xC7);
  EXPECT_EQ(ansi_to_oem(std::uint8_t{0xA0}), 0xFF);  // no-break space
  for (int b = 0; b < 128; ++b) {
    EXPECT_EQ(ansi_to_oem(static_cast<std::uint8_t>(b)), b);
    EXPECT_EQ(oem_to_ansi(static_cast<std::uint8_t>(b)), b);
  }
}

TEST(CharsetTest, CharactersWithoutPartnerGetLookAlikeOrSubstitute) {
  EXPECT_EQ(oem_to_ansi(std::uint8_t{0xB0}), '_');   // light shade
  EXPECT_EQ(oem_to_ansi(std::uint8_t{0xC4}), '-');   // box horizontal
  EXPECT_EQ(oem_to_ansi(std::uint8_t{0xB3}), '|');   // box vertical
  EXPECT_EQ(oem_to_ansi(std::uint8_t{0xDA}), '+');   // box corner
  EXPECT_EQ(oem_to_ansi(std::uint8_t{0xE3}), 'p');   // pi
  EXPECT_EQ(oem_to_ansi(std::uint8_t{0xEC}), '?');   // infinity
  EXPECT_EQ(ansi_to_oem(std::uint8_t{0xC0}), 'A');   // A grave
  EXPECT_EQ(ansi_to_oem(std::uint8_t{0x93}), '"');   // left double quote
  EXPECT_EQ(ansi_to_oem(std::uint8_t{0x95}), 0xF9);  // bullet -> bullet operator
  EXPECT_EQ(ansi_to_oem(std::uint8_t{0x80}), '?');   // euro sign
  for (std::uint8_t undefined : {0x81, 0x8D, 0x8F, 0x90, 0x9D})
    EXPECT_EQ(ansi_to_oem(undefined), '?');
}

TEST(CharsetTest, StringAndBufferFormsConvertInPlace) {
  std::string text("caf\xE9\0\xC7", 6);
  ansi_to_oem(text);
  EXPECT_EQ(text, std::string("caf\x82\0\x80", 6));
  oem_to_ansi(text.data(), text.size());
  EXPECT_EQ(text, std::string("caf\xE9\0\xC7", 6));
  ansi_to_oem(nullptr, 0);
}

}  // namespace
}  // namespace runtime
