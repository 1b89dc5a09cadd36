#include "runtime/messages.h"

#include <gtest/gtest.h>

namespace runtime {
namespace {

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_replacement_messages(); }
  void TearDown() override { clear_replacement_messages(); }
};

TEST_F(MessagesTest, BuiltInTextsAreExact) {
  EXPECT_EQ(message_text(2), "File Not Found");
  EXPECT_EQ(message_text(5), "Access Denied");
  EXPECT_EQ(message_text(78), "Invalid Number Of Parameters ");
  EXPECT_EQ(message_text(81), "Unknown Error Posted");
  EXPECT_EQ(message_text(90), "File System Error");
  EXPECT_EQ(message_text(305), "Access Denied");
  EXPECT_EQ(message_text(339), "Handle Disk Full");
  EXPECT_EQ(message_text(350), "Not Supported ");
  EXPECT_EQ(message_text(357), "Adapter/Hardware Failure");
  EXPECT_EQ(message_text(391), "Unknown Error");
}

TEST_F(MessagesTest, NumbersWithoutTextUseUnknownErrorStem) {
  EXPECT_FALSE(builtin_message(1234).has_value());
  EXPECT_EQ(message_text(1234), "Unknown Error Posted : 1234");
  EXPECT_EQ(message_text(314), "Unknown Error Posted : 314");  // gap in the system table
  EXPECT_EQ(message_text(0), "Unknown Error Posted : 0");
}

TEST_F(MessagesTest, ReplacementsWinAndTheLaterOneCounts) {
  set_replacement_message(5, "Zugriff verweigert");
  set_replacement_message(5, "Acces refuse");
  EXPECT_EQ(message_text(5), "Acces refuse");
  EXPECT_EQ(builtin_message(5), "Access Denied");

  set_replacement_message(81, "Unbekannt");
  EXPECT_EQ(message_text(1234), "Unbekannt : 1234");

  clear_replacement_messages();
  EXPECT_EQ(message_text(5), "Access Denied");
  EXPECT_FALSE(replacement_message(81).has_value());
}

}  // namespace
}  // namespace runtime
