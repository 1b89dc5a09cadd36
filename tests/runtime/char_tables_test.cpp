#include "runtime/char_tables.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace runtime {
namespace {

class CharTablesTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_char_tables(); }
  void TearDown() override { reset_char_tables(); }

  static bool is_permutation(std::size_t offset) {
    std::array<bool, 256> seen{};
    for (std::size_t c = 0; c < 256; ++c) seen[char_tables().bytes[offset + c]] = true;
    return std::all_of(seen.begin(), seen.end(), [](bool b) { return b; });
  }
  static std::uint8_t w(unsigned char c) { return char_tables().ansi_weight(c); }
};

TEST_F(CharTablesTest, DefaultsAreIdentityWithAsciiCaseAndDigits) {
  const CharTables& t = char_tables();
  static_assert(sizeof(t.bytes) == 1152);
  for (unsigned c = 0; c < 256; ++c) {
    EXPECT_EQ(t.ansi_weight(static_cast<std::uint8_t>(c)), c);
    EXPECT_EQ(t.oem_weight(static_cast<std::uint8_t>(c)), c);
  }
  EXPECT_EQ(t.bytes[CharTables::kCaseMap + 'A'], 'a');
  EXPECT_EQ(t.bytes[CharTables::kClasses + 'Q'], CharTables::kUpper);
  EXPECT_EQ(t.bytes[CharTables::kClasses + 'q'], CharTables::kLower);
  EXPECT_EQ(t.bytes[CharTables::kClasses + '7'], CharTables::kDigit);
  EXPECT_EQ(t.fold_case('A'), 'a');
  EXPECT_EQ(t.fold_case(0xC9), 0xC9);  // E acute is no letter until ORVCASE says so
  EXPECT_FALSE(t.has_sequences());
}

TEST_F(CharTablesTest, WindowsOrderPutsSymbolsDigitsLettersAndAccentsByBase) {
  set_collating_sequence("windows", false);
  EXPECT_TRUE(is_permutation(CharTables::kAnsiWeights));
  EXPECT_TRUE(is_permutation(CharTables::kOemWeights));
  EXPECT_EQ(w(0), 0);
  EXPECT_EQ(w(255), 255);
  EXPECT_LT(w('~'), w('0'));
  EXPECT_LT(w('1'), w(0xB9));   // superscript one right after one
  EXPECT_LT(w('9'), w('a'));
  EXPECT_LT(w('a'), w('A'));
  EXPECT_LT(w('A'), w(0xE1));   // a acute
  EXPECT_LT(w(0xE1), w(0xC1));  // A acute
  EXPECT_LT(w(0xC1), w('b'));
  EXPECT_LT(w('s'), w(0x9A));   // s caron among the s
  EXPECT_LT(w('z'), w(0xB5));   // micro after z
  // OEM bytes sort where their ANSI partners do.
  const CharTables& t = char_tables();
  EXPECT_LT(t.oem_weight('e'), t.oem_weight(0x82));
  EXPECT_LT(t.oem_weight(0x82), t.oem_weight('f'));

  set_collating_sequence("", false);
  EXPECT_EQ(w(0xE1), 0xE1);
}

TEST_F(CharTablesTest, CharacterListReordersOnlyTheListedCharacters) {
  set_collating_sequence("cab\xE9" "a", false);
  EXPECT_TRUE(is_permutation(CharTables::kAnsiWeights));
  EXPECT_EQ(w('c'), 'a');
  EXPECT_EQ(w('a'), 'b');
  EXPECT_EQ(w('b'), 'c');
  EXPECT_EQ(w(0xE9), 0xE9);  // largest listed code keeps the largest slot
  const CharTables& t = char_tables();
  EXPECT_EQ(t.oem_weight('c'), 'a');       // the list reaches the OEM table converted
  EXPECT_EQ(t.oem_weight(0x82), 0x82);

  set_collating_sequence("\x82" "a", true);  // an OEM list: e acute before a
  EXPECT_EQ(t.oem_weight(0x82), 'a');
  EXPECT_EQ(t.oem_weight('a'), 0x82);
  EXPECT_EQ(w(0xE9), 'a');
  EXPECT_EQ(w('c'), 'c');
}

TEST_F(CharTablesTest, CaseTablesFromPairsOrTheFullSet) {
  const CharTables& t = char_tables();
  set_case_tables({"\xC9X\xD0", "\xE9y\xF0"});
  EXPECT_TRUE(t.is_upper(0xC9));
  EXPECT_EQ(t.fold_case(0xC9), 0xE9);
  EXPECT_EQ(t.other_case(0xE9), 0xC9);
  EXPECT_EQ(t.fold_case(0xD0), 0xF0);
  EXPECT_EQ(t.other_case('X'), 'x');  // ASCII pairs are not taken from the list
  EXPECT_FALSE(t.is_upper(0xC0));

  set_case_tables({"\xC0\xC1", "\xE0"});  // unequal lengths: every 1252 pair
  for (unsigned c = 0xC0; c <= 0xDE; ++c) {
    if (c == 0xD7) continue;
    EXPECT_EQ(t.fold_case(static_cast<std::uint8_t>(c)), c + 0x20) << c;
  }
  EXPECT_FALSE(t.is_upper(0xD7));
  EXPECT_EQ(t.fold_case(0x9F), 0xFF);
  EXPECT_EQ(t.fold_case(0x8A), 0x9A);

  set_case_tables({});
  EXPECT_FALSE(t.is_upper(0xC9));
  EXPECT_TRUE(t.is_digit('0'));
}

TEST_F(CharTablesTest, RepairingKeepsTheCaseMapItsOwnInverse) {
  const CharTables& t = char_tables();
  set_case_tables({"\xC0\xC0", "\xE0\xE1"});
  EXPECT_EQ(t.other_case(0xC0), 0xE1);
  EXPECT_EQ(t.other_case(0xE1), 0xC0);
  EXPECT_EQ(t.other_case(0xE0), 0xE0);
  EXPECT_FALSE(t.is_lower(0xE0));
}

TEST_F(CharTablesTest, SequencesAreStoredInGroupsOfThree) {
  std::string many;
  for (int i = 0; i < 20; ++i) many += "ae\xE6";
  set_sequences(many + "xy");
  const CharTables& t = char_tables();
  EXPECT_TRUE(t.has_sequences());
  EXPECT_EQ(t.bytes[CharTables::kSequences + 45], 'a');
  EXPECT_EQ(t.bytes[CharTables::kSequences + 47], 0xE6);
  for (std::size_t i = 48; i < 128; ++i) EXPECT_EQ(t.bytes[CharTables::kSequences + i], 0) << i;

  set_sequences(std::string("\0ab" "ssx", 6));  // a group starting with NUL would end the table
  EXPECT_EQ(t.bytes[CharTables::kSequences], 's');
  EXPECT_EQ(t.bytes[CharTables::kSequences + 3], 0);
}

}  // namespace
}  // namespace runtime
