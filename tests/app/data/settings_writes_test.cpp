// A settings write that fails reaches the user: once per file for writes on
// the side, every time and together inside an action, on standard error
// when the session ends from outside.
#include "app/data/settings_writes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/app/app_fixture.h"
#include "ui/session_end.h"

namespace {

using app::SettingsUse;

class SettingsWritesTest : public gui_test::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    app::reset_settings_reports();
  }
  // A folder where the settings file should be: no write can replace it,
  // root or not.
  void block(const char* name = "Markfit.ini") {
    std::filesystem::remove(file(name));
    std::filesystem::create_directory(file(name));
  }
  void unblock(const char* name = "Markfit.ini") { std::filesystem::remove(file(name)); }
  bool write(SettingsUse use, const char* name = ".\\Markfit.ini", const char* value = "1") {
    return app::write_settings("S", {{"K", value}}, name, use);
  }
  std::size_t told() const { return responder.messages().size(); }
  const std::string& last() const { return responder.messages().back().text; }
};

TEST_F(SettingsWritesTest, AWriteOnTheSideIsToldOncePerFileUntilOneSucceeds) {
  block();
  EXPECT_FALSE(write(SettingsUse::recent_files));
  ASSERT_EQ(told(), 1u);
  EXPECT_EQ(responder.messages()[0].caption, "ERROR: Could not save settings");
  EXPECT_NE(last().find("keep the list of recent files"), std::string::npos) << last();
  EXPECT_NE(last().find(file("Markfit.ini") + "\n\nAccess Denied."), std::string::npos) << last();
  EXPECT_NE(last().find("later settings are lost without another message"), std::string::npos) << last();
  EXPECT_FALSE(write(SettingsUse::placement));
  EXPECT_EQ(told(), 1u);  // not again
  // Another file is news.
  block("Other.ini");
  EXPECT_FALSE(write(SettingsUse::placement, "./Other.ini"));
  EXPECT_EQ(told(), 2u);
  // A success makes the next failure news again.
  unblock();
  EXPECT_TRUE(write(SettingsUse::placement));
  block();
  EXPECT_FALSE(write(SettingsUse::placement));
  ASSERT_EQ(told(), 3u);
  EXPECT_NE(last().find("save where the windows were"), std::string::npos) << last();
}

TEST_F(SettingsWritesTest, AnActionTellsEveryTimeAndAllAtOnce) {
  block();
  EXPECT_FALSE(write(SettingsUse::recent_files));
  ASSERT_EQ(told(), 1u);
  for (int round = 0; round < 2; ++round) {
    {
      app::SettingsAction outer;
      EXPECT_FALSE(write(SettingsUse::setup));
      {
        app::SettingsAction inner;  // joins the outer one
        EXPECT_FALSE(write(SettingsUse::setup));
      }
      EXPECT_EQ(told(), 1u + round);
    }
    ASSERT_EQ(told(), 2u + round) << round;  // told before, told again
    EXPECT_NE(last().find("Could not save the setup in the settings file"), std::string::npos) << last();
    EXPECT_EQ(last().find(file("Markfit.ini")), last().rfind(file("Markfit.ini"))) << "once: " << last();
  }
  // The program's end says what is lost, and nothing of later writes.
  {
    app::SettingsAction exit(true);
    EXPECT_FALSE(write(SettingsUse::placement));
  }
  ASSERT_EQ(told(), 4u);
  EXPECT_NE(last().find("may not open where you left them"), std::string::npos) << last();
  EXPECT_EQ(last().find("later settings"), std::string::npos) << last();
  // A value the file cannot keep: said as such, not as a system failure.
  unblock();
  {
    app::SettingsAction saving;
    EXPECT_FALSE(write(SettingsUse::setup, ".\\Markfit.ini", "two\nlines"));
  }
  ASSERT_EQ(told(), 5u);
  EXPECT_NE(last().find("A value holds a line break"), std::string::npos) << last();
}

TEST_F(SettingsWritesTest, AtAnEndFromOutsideTheWordsGoToStandardError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  block();
  EXPECT_EXIT(
      {
        ui::end_session();
        {
          app::SettingsAction exit(true);
          write(SettingsUse::placement);
          write(SettingsUse::placement);  // the same file and reason: one line
        }
        block("Other.ini");
        write(SettingsUse::recent_files, "./Other.ini");
        std::_Exit(responder.messages().empty() ? 0 : 1);  // no leak check in the child
      },
      ::testing::ExitedWithCode(0),
      "\nmarkfit: could not save where the windows were in the settings file [^\n]*/Markfit.ini: Access "
      "Denied.\nmarkfit: could not keep the list of recent files in the settings file [^\n]*/Other.ini: "
      "Access Denied.\n$");
}

}  // namespace
