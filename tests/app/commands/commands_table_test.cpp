// The commands browse and its form, driven through their controls on real
// data files; the page list's scrolling through a large file and past what
// another program adds and deletes.
#include "app/commands/commands_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "app/commands/update_commands.h"
#include <QScrollBar>

#include "platform/fault_env.h"
#include "ui/list_view.h"
#include "tests/app/browse_fixture.h"

namespace {

using namespace browse_test;
using ui::Button;
namespace ct = app::commands_table;
namespace uc = app::update_commands;

class CommandsTest : public BrowseTest {
 protected:
  const ui::WindowDef& browse() { return app::commands_table_definition(); }
  const ui::WindowDef& form() { return app::update_commands_definition(); }
  void start(std::int32_t request = 0) {
    app::global_request = request;
    task = app::CommandsTable();
    ASSERT_TRUE(opens(browse()));
    gui_test::pump();
  }
  std::vector<std::string> listed() { return cells(browse(), ct::kList, 0); }
  std::string current() { return highlighted(browse(), ct::kList, 0); }
  int page() { return window(browse())->list_page_size(ct::kList); }
  bool ended() { return gui_test::pump_until([this] { return task.done(); }); }
  void move(Qt::Key k) {
    QTest::keyClick(window(browse())->widget(ct::kList), k);
    gui_test::pump(2);
  }
  // One key, then the highlight on `expected`.
  bool step(Qt::Key k, const std::string& expected) {
    QTest::keyClick(window(browse())->widget(ct::kList), k);
    return gui_test::pump_until([&] { return current() == expected; }, 50);
  }
};

TEST_F(CommandsTest, ListsWithoutRegardToCaseAndSelectsCommandsWhole) {
  const std::string forty(40, 'x');
  for (const char* c : {"beta", "Alpha", "  two blanks", "gamma"}) add_command(c);
  add_command(forty);
  start(app::kSelectRecord);
  EXPECT_EQ(listed(), (std::vector<std::string>{"  two blanks", "Alpha", "beta", "gamma", forty}));
  EXPECT_TRUE(window(browse())->widget(ct::kSelect)->isVisible());

  // Select answers 1 with the command in the buffer, leading blanks kept.
  window(browse())->set_property(ct::kList, ui::props::kSelected, "1");
  press(browse(), ct::kSelect);
  ASSERT_TRUE(ended());
  EXPECT_EQ(app::global_response, app::kRequestCompleted);
  EXPECT_EQ(field_text(COM.commandstring), "  two blanks");

  // A double click selects too; the command of 40 characters comes whole.
  start(app::kSelectRecord);
  double_click(browse(), ct::kList, 5);
  ASSERT_TRUE(ended());
  EXPECT_EQ(app::global_response, app::kRequestCompleted);
  EXPECT_EQ(field_text(COM.commandstring), forty);

  // Close (here Escape, which presses it) answers 2 and leaves the buffer
  // alone.
  set_field(COM.commandstring, "caller's");
  start(app::kSelectRecord);
  key(browse(), ct::kList, Qt::Key_Escape);
  ASSERT_TRUE(ended());
  EXPECT_EQ(app::global_response, app::kRequestCancelled);
  EXPECT_EQ(field_text(COM.commandstring), "caller's");

  // Outside select mode there is nothing to select.
  start();
  EXPECT_FALSE(window(browse())->widget(ct::kSelect)->isVisible());
}

TEST_F(CommandsTest, SelectWithNoRowDoesNothing) {
  start(app::kSelectRecord);
  ASSERT_TRUE(listed().empty());
  set_field(COM.commandstring, "before-text");
  window(browse())->post(ui::events::kAccepted, ct::kSelect);  // as a press would
  double_click(browse(), ct::kList, 1);
  responder.next_answer(ui::MenuPick{"~&Select"});
  right_click(browse(), ct::kList, 0);
  ASSERT_EQ(responder.popups().size(), 1u);
  EXPECT_EQ(responder.popups()[0].entries, ui::parse_menu_text("&Insert|~&Change|~&Delete|-|~&Select"));
  EXPECT_FALSE(task.done());
  EXPECT_EQ(field_text(COM.commandstring), "before-text");
  press(browse(), ct::kClose);
  ASSERT_TRUE(ended());
  EXPECT_EQ(app::global_response, app::kRequestCancelled);
}

TEST_F(CommandsTest, FormAddsChangesAndDeletes) {
  add_command("ALPHA");
  start();
  // (Blanks sort before letters.)
  // A blank command is refused; a duplicate in another case is message 24.
  press(browse(), ct::kInsert);
  ASSERT_TRUE(opens(form()));
  EXPECT_EQ(window(form())->text(0), "Adding a Commands Record");
  type(form(), uc::kCommand, "   ");
  press(form(), uc::kOk);
  ASSERT_EQ(responder.messages().size(), 1u);
  EXPECT_EQ(responder.messages()[0].text, "The command string cannot be blank.");
  EXPECT_NE(window(form()), nullptr);
  responder.next_answer(Button::Ok);
  type(form(), uc::kCommand, "alpha");
  press(form(), uc::kOk);
  ASSERT_EQ(responder.messages().size(), 2u);
  EXPECT_EQ(responder.messages()[1].caption, "Duplicate Key Error");
  EXPECT_EQ(responder.messages()[1].text, "Adding this record creates a duplicate entry for the key:Command order");
  type(form(), uc::kCommand, "  beta");
  press(form(), uc::kOk);
  ASSERT_TRUE(closes(form()));
  EXPECT_EQ(listed(), (std::vector<std::string>{"  beta", "ALPHA"}));
  EXPECT_EQ(current(), "  beta") << "the added command is highlighted";

  // Escape cancels the form as Cancel does.
  press(browse(), ct::kInsert);
  ASSERT_TRUE(opens(form()));
  type(form(), uc::kCommand, "dropped");
  key(form(), uc::kCommand, Qt::Key_Escape);
  ASSERT_TRUE(closes(form()));
  EXPECT_EQ(listed(), (std::vector<std::string>{"  beta", "ALPHA"}));

  // Change, with Ctrl+' recalling the last save tried.
  window(browse())->set_property(ct::kList, ui::props::kSelected, "2");
  press(browse(), ct::kChange);
  ASSERT_TRUE(opens(form()));
  EXPECT_EQ(window(form())->text(0), "Changing a Commands Record");
  EXPECT_EQ(window(form())->text(uc::kCommand), "ALPHA");
  key(form(), uc::kCommand, Qt::Key_Apostrophe, Qt::ControlModifier);
  EXPECT_EQ(window(form())->text(uc::kCommand), "  beta");
  type(form(), uc::kCommand, "gamma");
  press(form(), uc::kHelp);  // does nothing
  press(form(), uc::kOk);
  ASSERT_TRUE(closes(form()));
  EXPECT_EQ(listed(), (std::vector<std::string>{"  beta", "gamma"}));
  EXPECT_EQ(current(), "gamma");

  // Delete asks first; Cancel keeps it, OK deletes it.
  responder.next_answer(Button::Cancel);
  key(browse(), ct::kList, Qt::Key_Delete);
  EXPECT_EQ(responder.messages().back().caption, "Confirm Delete");
  EXPECT_EQ(count(Commands), 2);
  responder.next_answer(Button::Ok);
  press(browse(), ct::kDelete);
  EXPECT_EQ(listed(), (std::vector<std::string>{"  beta"}));
  EXPECT_EQ(current(), "  beta");
}

// The program's other windows stay usable while a form is open; one that
// reads the same file meanwhile (here read straight into the one record
// buffer, as the conversion window's select browse would) must not make the
// form write over the record it read.
TEST_F(CommandsTest, AFormWritesItsOwnRecordWhateverOtherWindowsReadMeanwhile) {
  add_command("alpha");
  add_command("beta");
  start();
  press(browse(), ct::kChange);
  ASSERT_TRUE(opens(form()));
  set_field(COM.commandstring, "beta");
  files::get(Commands, COM_COMMANDKEY());
  ASSERT_EQ(files::ERRORCODE(), 0);
  type(form(), uc::kCommand, "mine");
  press(form(), uc::kOk);
  ASSERT_TRUE(closes(form()));
  EXPECT_TRUE(responder.messages().empty());
  EXPECT_EQ(listed(), (std::vector<std::string>{"beta", "mine"}));
}

TEST_F(CommandsTest, ChangeArmsDetectionOfAnotherProgramsChange) {
  add_command("alpha");
  start();
  press(browse(), ct::kChange);
  ASSERT_TRUE(opens(form()));
  {
    OtherProgram other(Commands);
    set_field(other.as<CommandsRecord>().commandstring, "alpha");
    files::get(other.fd(), other.fd().keys[0]);
    ASSERT_EQ(files::ERRORCODE(), 0);
    set_field(other.as<CommandsRecord>().commandstring, "omega");
    files::put(other.fd());
    ASSERT_EQ(files::ERRORCODE(), 0);
  }
  type(form(), uc::kCommand, "mine");
  responder.next_answer(Button::Ok);
  press(form(), uc::kOk);
  ASSERT_EQ(responder.messages().size(), 1u);
  EXPECT_EQ(responder.messages()[0].caption, "Record Was Not Updated");
  EXPECT_EQ(window(form())->text(uc::kCommand), "omega") << "the other program's version is shown";
  key(form(), uc::kCommand, Qt::Key_Apostrophe, Qt::ControlModifier);
  press(form(), uc::kOk);
  ASSERT_TRUE(closes(form()));
  EXPECT_EQ(listed(), (std::vector<std::string>{"mine"}));
}

TEST_F(CommandsTest, ScrollsThroughTenThousandRowsHoldingOnePage) {
  constexpr int kRows = 10000;
  ASSERT_TRUE(app::begin_transaction(2, {&Commands}));
  char text[16];
  for (int i = 0; i < kRows; ++i) {
    std::snprintf(text, sizeof text, "cmd%05d", i);
    add_command(text);
  }
  ASSERT_TRUE(app::commit_transaction());
  start();
  const int rows = page();
  ASSERT_GT(rows, 3);
  const auto name = [&](int i) {
    std::snprintf(text, sizeof text, "cmd%05d", i);
    return std::string(text);
  };
  ui::Window* w = window(browse());
  bool one_page = true;
  for (int i = 1; i < kRows; ++i) {
    ASSERT_TRUE(step(Qt::Key_Down, name(i))) << current();
    one_page = one_page && w->list_row_count(ct::kList) <= rows;
  }
  move(Qt::Key_Down);
  EXPECT_EQ(current(), name(kRows - 1)) << "the end holds";
  for (int i = kRows - 2; i >= 0; --i) {
    ASSERT_TRUE(step(Qt::Key_Up, name(i))) << current();
    one_page = one_page && w->list_row_count(ct::kList) <= rows;
  }
  // Page by page: every row once, in order, each way.
  std::vector<std::string> seen = listed();
  while (seen.size() < static_cast<std::size_t>(kRows)) {
    const std::size_t before = seen.size();
    move(Qt::Key_PageDown);
    const std::vector<std::string> now = listed();
    one_page = one_page && static_cast<int>(now.size()) <= rows;
    for (const std::string& c : now) {
      if (c > seen.back()) seen.push_back(c);
    }
    ASSERT_GT(seen.size(), before);
  }
  move(Qt::Key_PageDown);
  EXPECT_EQ(current(), name(kRows - 1)) << "the last page down ends on the last row";
  for (int i = 0; i < kRows; ++i) ASSERT_EQ(seen[static_cast<std::size_t>(i)], name(i));
  std::vector<std::string> back = listed();
  while (back.back() != name(0)) {
    move(Qt::Key_PageUp);
    const std::vector<std::string> now = listed();
    for (auto it = now.rbegin(); it != now.rend(); ++it) {
      if (*it < back.back()) back.push_back(*it);
    }
  }
  EXPECT_EQ(back.size(), static_cast<std::size_t>(kRows));
  move(Qt::Key_PageUp);
  EXPECT_EQ(current(), name(0));
  EXPECT_TRUE(one_page);
  // Home and End, and the thumb dropped half way.
  move(Qt::Key_End);
  EXPECT_EQ(current(), name(kRows - 1));
  move(Qt::Key_Home);
  EXPECT_EQ(current(), name(0));
  // The thumb dropped half way lands half way through the keys, and the
  // thumb follows the highlight (as a reading of the keys, not a count).
  QScrollBar* bar = static_cast<ui::ListView*>(w->widget(ct::kList))->page_bar();
  bar->setSliderPosition(50);
  emit bar->sliderReleased();
  gui_test::pump();
  EXPECT_EQ(current(), name(kRows / 2));
  EXPECT_NEAR(bar->value(), 50, 10);
}

TEST_F(CommandsTest, AnotherProgramsAddsAndDeletesShowOnTheNextPageOnce) {
  char text[16];
  for (int i = 0; i < 60; i += 2) {  // c00, c02, ... c58
    std::snprintf(text, sizeof text, "c%02d", i);
    add_command(text);
  }
  start();
  const std::vector<std::string> first = listed();
  ASSERT_GE(first.size(), 4u);
  {
    OtherProgram other(Commands);
    auto& rec = other.as<CommandsRecord>();
    const auto add = [&](const char* c) {
      set_field(rec.commandstring, c);
      files::add(other.fd());
      ASSERT_EQ(files::ERRORCODE(), 0);
    };
    const auto erase = [&](const std::string& c) {
      set_field(rec.commandstring, c);
      files::get(other.fd(), other.fd().keys[0]);
      ASSERT_EQ(files::ERRORCODE(), 0);
      files::erase(other.fd());
      ASSERT_EQ(files::ERRORCODE(), 0);
    };
    add("c01");                 // in front of the page shown
    erase(first.back());        // the row the next page is read after
    add("c57");                 // further on
    erase("c30");
  }
  std::vector<std::string> seen = first;
  for (int i = 0; i < 40; ++i) {
    move(Qt::Key_PageDown);
    for (const std::string& c : listed()) {
      if (c > seen.back()) seen.push_back(c);
    }
  }
  std::set<std::string> once(seen.begin(), seen.end());
  EXPECT_EQ(once.size(), seen.size()) << "nothing twice";
  EXPECT_TRUE(once.count("c57"));
  EXPECT_FALSE(once.count("c30"));
  EXPECT_EQ(seen.back(), "c58");
  // Back at the top the record added in front shows as well.
  move(Qt::Key_Home);
  EXPECT_EQ(listed()[1], "c01");
}

}  // namespace

namespace {

TEST_F(CommandsTest, AFileOrRecordAnotherProgramTakesAwayIsReported) {
  for (const char* c : {"alpha", "beta", "gamma"}) add_command(c);
  start();
  // The record the form shows is deleted meanwhile: the save is reported and
  // offered again; No ends the form, the list shows what is left.
  key(browse(), ct::kList, Qt::Key_Down);
  press(browse(), ct::kChange);
  ASSERT_TRUE(opens(form()));
  {
    OtherProgram other(Commands);
    set_field(other.as<CommandsRecord>().commandstring, "beta");
    files::get(other.fd(), other.fd().keys[0]);
    files::erase(other.fd());
    ASSERT_EQ(files::ERRORCODE(), 0);
  }
  type(form(), uc::kCommand, "delta");
  responder.next_answer(Button::Ok);
  responder.next_answer(Button::No);
  press(form(), uc::kOk);
  ASSERT_TRUE(closes(form()));
  ASSERT_EQ(responder.messages().size(), 2u);
  EXPECT_EQ(responder.messages()[1].caption, "Record Update Error");
  EXPECT_EQ(listed(), (std::vector<std::string>{"alpha", "gamma"}));
  EXPECT_EQ(current(), "gamma");

  // The file locked by another program still reads: nothing waits, nothing
  // is said.
  OtherProgram other(Commands);
  files::lock(other.fd());
  ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
  move(Qt::Key_Home);
  EXPECT_EQ(current(), "alpha");
  files::unlock(other.fd());
  EXPECT_EQ(responder.messages().size(), 2u);
}

}  // namespace

namespace {

TEST_F(CommandsTest, AFailedReadIsReportedAndClosesTheList) {
  for (const char* c : {"alpha", "beta"}) add_command(c);
  app::release_file(Commands);
  platform::FaultEnv faults(platform::Env::posix());
  files::set_kestrel_env(&faults);
  app::use_file(Commands);
  faults.fail_nth(1, platform::fault_op::read, 0, true);
  responder.next_answer(Button::Ok);
  app::global_request = 0;
  task = app::CommandsTable();
  EXPECT_TRUE(ended());
  faults.clear_faults();
  app::release_file(Commands);
  files::set_kestrel_env(nullptr);
  ASSERT_EQ(responder.messages().size(), 1u);
  EXPECT_EQ(responder.messages()[0].caption, "Record Retrieval Error");
  EXPECT_NE(responder.messages()[0].text.find("record from the Commands file."), std::string::npos)
      << responder.messages()[0].text;
  EXPECT_EQ(window(browse()), nullptr);
}

}  // namespace
