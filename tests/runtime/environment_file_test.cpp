#include "runtime/environment_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "runtime/char_tables.h"
#include "runtime/messages.h"
#include "runtime/regional.h"

namespace runtime {
namespace {

class EnvironmentFileTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    regional() = Regional{};
    reset_environment_settings();
  }
  static const std::string& month(int i) { return regional().month_names[i]; }
};

TEST_F(EnvironmentFileTest, MonthListsSetOnlyTheItemsGiven) {
  apply_environment_text("ORVMON=Jan,Feb\r\nORVMONTH=Januar,,M\xE4rz\n");
  EXPECT_EQ(regional().month_abbrevs[0], "Jan");
  EXPECT_EQ(regional().month_abbrevs[1], "Feb");
  EXPECT_EQ(regional().month_abbrevs[2], "Mar");
  EXPECT_EQ(month(0), "Januar");
  EXPECT_EQ(month(1), "February");  // empty item keeps the name
  EXPECT_EQ(month(2), "M\xE4rz");
}

TEST_F(EnvironmentFileTest, CharacterCodesInValues) {
  apply_environment_text(
      "ORVMONTH=<65><66>,<<65>,<x,<,<300>,a<32>  \n"
      "ORVMSG7=<65\n");
  EXPECT_EQ(month(0), "AB");
  EXPECT_EQ(month(1), "<65>");
  EXPECT_EQ(month(2), "<x");
  EXPECT_EQ(month(3), "<");
  EXPECT_EQ(month(4), "<300>");
  EXPECT_EQ(month(5), "a ");  // trailing blanks are cut before codes are read
  EXPECT_EQ(message_text(7), "A");
}

TEST_F(EnvironmentFileTest, NamesAreCleanedMatchedWithoutCaseAndLimited) {
  const std::string blanks31(31 - 6, ' ');
  apply_environment_text(" orv\tMsg5 = Kein Zugriff\n"          // leading blank stays in the value
                         + blanks31 + "ORVMON=ok\n"             // "=" as character 32
                         + blanks31 + " ORVMONTH=too far\n"     // "=" as character 33
                         "no equals sign here\nORVAMPM=vm,nm");
  EXPECT_EQ(message_text(5), " Kein Zugriff");
  EXPECT_EQ(regional().month_abbrevs[0], "ok");
  EXPECT_EQ(month(0), "January");
  EXPECT_EQ(regional().am, "vm");
  EXPECT_EQ(regional().pm, "nm");
}

TEST_F(EnvironmentFileTest, CtrlZEndsTheFileButItsLineCounts) {
  apply_environment_text("ORVMON=Jan\x1AORVMONTH=Nope\n");
  EXPECT_EQ(regional().month_abbrevs[0], "Jan");
  EXPECT_EQ(month(0), "January");
  apply_environment_text("ORV\x1AMSG5=x\n");
  EXPECT_EQ(message_text(5), "Access Denied");
}

TEST_F(EnvironmentFileTest, ValuesAreCutAt1024Characters) {
  apply_environment_text("ORVMSG9=" + std::string(1500, 'x') + "\nORVMSG10=next\n");
  EXPECT_EQ(message_text(9), std::string(1024, 'x'));
  EXPECT_EQ(message_text(10), "next");
}

TEST_F(EnvironmentFileTest, QuotedValuesKeepCommasAndQuotes) {
  apply_environment_text("ORVMONTH=\"Jan, \"\"I\"\"\",Feb\nORVMSG3=say \"hi\", twice\n");
  EXPECT_EQ(month(0), "Jan, \"I\"");
  EXPECT_EQ(month(1), "Feb");
  EXPECT_EQ(message_text(3), "say \"hi\", twice");
}

TEST_F(EnvironmentFileTest, OemCharsetConvertsLaterValuesExceptCollation) {
  apply_environment_text("ORVMONTH=<130>\nORVCHARSET=OEM\nORVMON=<130>t<130>\n"
                         "ORVCOLSEQ=\x82" "a\nORVCHARSET=ansi\nORVMSG2=\x82\n");
  EXPECT_EQ(month(0), "\x82");              // before the switch: taken as it is
  EXPECT_EQ(regional().month_abbrevs[0], "\xE9t\xE9");
  EXPECT_EQ(char_tables().oem_weight(0x82), 'a');  // the list was read as OEM
  EXPECT_EQ(message_text(2), "\x82");
}

TEST_F(EnvironmentFileTest, TableKeysReachTheCharacterTables) {
  apply_environment_text("ORVCOLSEQ=WINDOWS\nORVCASE=WINDOWS\nORVDIGRAPH=ae\xE6,oe\x9C\n");
  const CharTables& t = char_tables();
  EXPECT_LT(t.ansi_weight(0xE1), t.ansi_weight('b'));
  EXPECT_EQ(t.fold_case(0xC9), 0xE9);
  const std::string seq(reinterpret_cast<const char*>(&t.bytes[CharTables::kSequences]), 7);
  EXPECT_EQ(seq, std::string("ae\xE6oe\x9C\0", 7));

  apply_environment_text("ORVCOLSEQ=a,b\nORVCASE=\n");
  EXPECT_EQ(t.ansi_weight('a'), ',');  // the comma is listed too, after a
  EXPECT_EQ(t.ansi_weight(','), 'a');
  EXPECT_EQ(t.ansi_weight('b'), 'b');
  EXPECT_FALSE(t.is_upper(0xC9));
}

TEST_F(EnvironmentFileTest, ButtonsLongNamesAndUnknownKeys) {
  apply_environment_text("ORVBUTTON=&Ja,,&Nein\nORVLFN=On\nORVFOO=1\nORVMSG=x\nORVMSGx1=y\n");
  EXPECT_EQ(message_text(kButtonMessageBase), "&Ja");
  EXPECT_FALSE(replacement_message(kButtonMessageBase + 1).has_value());
  EXPECT_EQ(message_text(kButtonMessageBase + 2), "&Nein");
  EXPECT_TRUE(long_file_names());
  apply_environment_text("ORVLFN=yes\nORVAMPM=WINDOWS\nORVAMPM=only one\n");
  EXPECT_FALSE(long_file_names());
  EXPECT_EQ(regional().am, "AM");
}

TEST(QuotedListTest, ParsesAndRoundTrips) {
  using V = std::vector<std::string>;
  EXPECT_EQ(parse_quoted_list("a, b,\"c,\"\"d\"\"\""), (V{"a", " b", "c,\"d\""}));
  EXPECT_EQ(parse_quoted_list("\"open, never closed"), (V{"open, never closed"}));
  EXPECT_EQ(parse_quoted_list("x,y", false), (V{"x,y"}));
  EXPECT_EQ(parse_quoted_list(quote_as_list("p\"q,,r")), (V{"p\"q", "", "r"}));
  EXPECT_EQ(parse_quoted_list(quote_as_list("p\"q,r", false), false), (V{"p\"q,r"}));
}

TEST(EnvironmentPathTest, ExtensionOnlyFromTheLastComponent) {
  EXPECT_EQ(environment_file_path("/usr/bin/markfit"), "/usr/bin/markfit.ENV");
  EXPECT_EQ(environment_file_path("/opt/v1.2/markfit"), "/opt/v1.2/markfit.ENV");
  EXPECT_EQ(environment_file_path("/opt/v1.2/markfit.bin"), "/opt/v1.2/markfit.ENV");
  EXPECT_EQ(environment_file_path("/home/u/.tool"), "/home/u/.tool.ENV");
}

TEST_F(EnvironmentFileTest, LoadsFromDiskAndIgnoresMissingFile) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() / ("markfit_envfile_" + std::to_string(std::random_device{}()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string program = (dir / "markfit").string();
  load_environment_file(environment_file_path(program));  // missing: nothing happens
  EXPECT_EQ(regional().month_abbrevs[0], "Jan");

  std::ofstream(environment_file_path(program), std::ios::binary) << "ORVMON=J\xE4n\r\nORVLFN=on\r\n";
  load_environment_file(environment_file_path(program));
  EXPECT_EQ(regional().month_abbrevs[0], "J\xE4n");
  EXPECT_TRUE(long_file_names());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace runtime
