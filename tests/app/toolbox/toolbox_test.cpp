#include "app/toolbox/toolbox_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QWidget>
#include <filesystem>

#include "app/toolbox/about_markfit.h"
#include "app/tables/character_table.h"
#include "app/commands/commands_table.h"
#include "app/data/data_files.h"
#include "app/tables/update_trans_table.h"
#include "app/dictionary/dictionary.h"
#include "files/driver/file_ops.h"
#include "app/data/globals.h"
#include "app/windows/placement.h"
#include "runtime/settings.h"
#include "tests/app/app_fixture.h"

namespace {

using app::TrayIcon;
namespace tb = app::toolbox;

TEST(DragTest, FollowsTheMouse) {
  // Window at (100, 50), pressed 10 / 3 pixels into the strip.
  app::DragState s = app::drag_start(100, 50, 10, 3);
  app::drag_step(s, 100, 50, 25, 8);  // the mouse went 15 right, 5 down
  EXPECT_EQ(s.origin_x, 115);
  EXPECT_EQ(s.origin_y, 55);
  // The reference keeps the grip point: measured against the old position.
  EXPECT_EQ(s.reference_x, 10);
  EXPECT_EQ(s.reference_y, 3);
  // The window is now at (115, 55) and the mouse still at the grip point.
  app::drag_step(s, 115, 55, 10, 3);
  EXPECT_EQ(s.origin_x, 115);
  EXPECT_EQ(s.origin_y, 55);
}

TEST(DragTest, StopsAtTheLeftAndTopEdges) {
  app::DragState s = app::drag_start(20, 10, 10, 3);
  app::drag_step(s, 20, 10, -40, -30);  // 50 left, 33 up: past both edges
  EXPECT_EQ(s.origin_x, 0);
  EXPECT_EQ(s.origin_y, 0);
  EXPECT_EQ(s.reference_x, 20 - 40);
  EXPECT_EQ(s.reference_y, 10 - 30);
  // Exactly to the edge is allowed, one pixel more clamps.
  s = app::drag_start(20, 10, 10, 3);
  app::drag_step(s, 20, 10, -10, -7);
  EXPECT_EQ(s.origin_x, 0);
  EXPECT_EQ(s.origin_y, 0);
  s = app::drag_start(20, 10, 10, 3);
  app::drag_step(s, 20, 10, -9, -6);
  EXPECT_EQ(s.origin_x, 1);
  EXPECT_EQ(s.origin_y, 1);
}

class ToolboxTest : public gui_test::GuiTest {
 protected:
  void start() {
    app::ToolboxOptions options;
    options.make_tray = [this] { return std::make_unique<app_test::FakeTray>(&tray); };
    task = app::ToolboxWindow(options);
    gui_test::pump();
  }
  ui::Window& toolbox() {
    ui::Window* w = app_test::window_named(app::toolbox_definition().name);
    EXPECT_NE(w, nullptr);
    return *w;
  }
  QWidget* top() { return toolbox().widget(); }
  void press(int control) {
    gui_test::click(qobject_cast<QPushButton*>(toolbox().widget(control)));
    gui_test::pump();
  }
  void choose(int button, const char* item) {
    responder.next_answer(ui::MenuPick{item});
    press(button);
  }
  bool ended() { return gui_test::pump_until([this] { return task.done(); }); }
  void click_tray(TrayIcon::Click c) {
    ASSERT_NE(tray.tray, nullptr);
    tray.tray->click(c);
    gui_test::pump();
  }
  void minimise_into_tray() {
    choose(tb::kApplicationButton, "&Minimize");
    ASSERT_TRUE(tray.shown);
    ASSERT_TRUE(top()->isHidden());
  }
  void expect_restored() {
    EXPECT_TRUE(top()->isVisible());
    EXPECT_FALSE(top()->isMinimized());
    EXPECT_FALSE(tray.shown);
  }

  app_test::TrayLog tray;
  ui::Task task;
};

TEST_F(ToolboxTest, SizeIsForcedAndTheStoredPositionKept) {
  app_test::write_file(file("Markfit.ini"),
                       "[ToolboxWindow]\nMaximize=No\nXPosit=120\nYPosit=80\nWidth=500\nHeight=400\n");
  start();
  ui::Window& w = toolbox();
  EXPECT_EQ(top()->geometry(), QRect(w.du_x(120), w.du_y(80), w.du_x(20), w.du_y(39)));  // stored in units
  EXPECT_TRUE(top()->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(top()->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_LT(w.widget(tb::kFocusCatcher)->geometry().bottom(), 0);  // never seen
}

TEST_F(ToolboxTest, MenusOfferTheirItemsAndExitEndsWithResponseCancelled) {
  start();
  choose(tb::kToolsButton, "&Write html code");
  EXPECT_EQ(ui::Window::open_windows().size(), 2u);  // the conversion window, beside the toolbox
  choose(tb::kApplicationButton, "E&xit");
  ASSERT_TRUE(ended());
  ASSERT_EQ(responder.popups().size(), 2u);
  EXPECT_EQ(responder.popups()[0].entries, ui::parse_menu_text("&Commands table|&Translation table|&Write html code"));
  EXPECT_EQ(responder.popups()[1].entries, ui::parse_menu_text("&About|&Minimize|E&xit"));
  EXPECT_EQ(app::global_response, app::kRequestCancelled);
  // The placement was saved on the way out.
  EXPECT_EQ(runtime::GETINI("ToolboxWindow", "Width", "", app::kSettingsFile), "20");
}

TEST_F(ToolboxTest, EveryClickOpensItsMenuAndTheFocusEndsOnTheCatcher) {
  start();
  top()->activateWindow();
  for (int button : {tb::kToolsButton, tb::kApplicationButton, tb::kToolsButton}) {
    responder.next_answer(ui::MenuIndex{-1});
    press(button);
    EXPECT_EQ(QApplication::focusWidget(), toolbox().widget(tb::kFocusCatcher)) << button;
  }
  EXPECT_EQ(responder.popups().size(), 3u);
}

TEST_F(ToolboxTest, AboutOpensBesideTheToolbox) {
  start();
  choose(tb::kApplicationButton, "&About");
  ASSERT_NE(app_test::window_named(app::about_definition().name), nullptr);
  EXPECT_FALSE(task.done());
  EXPECT_TRUE(top()->isVisible());
}

TEST_F(ToolboxTest, DraggingPastTheLeftAndTopEdgesStopsAtZero) {
  app_test::write_file(file("Markfit.ini"), "[ToolboxWindow]\nXPosit=10\nYPosit=10\n");
  start();
  const QPoint stored(toolbox().du_x(10), toolbox().du_y(10));
  QWidget* strip = toolbox().widget(tb::kDragStrip);
  QTest::mousePress(strip, Qt::LeftButton, {}, QPoint(10, 4));
  gui_test::pump();
  QTest::mouseMove(strip, QPoint(20, 9));
  gui_test::pump();
  EXPECT_EQ(top()->pos(), stored + QPoint(10, 5));
  QTest::mouseMove(strip, QPoint(-200, -100));
  gui_test::pump();
  EXPECT_EQ(top()->pos(), QPoint(0, 0));
  QTest::mouseRelease(strip, Qt::LeftButton, {}, QPoint(-200, -100));
  gui_test::pump();
  // Released: moving no longer drags.
  QTest::mouseMove(strip, QPoint(30, 30));
  gui_test::pump();
  EXPECT_EQ(top()->pos(), QPoint(0, 0));
}

TEST_F(ToolboxTest, MinimizeWithoutATrayMinimisesNormally) {
  tray.can_add = false;
  start();
  choose(tb::kApplicationButton, "&Minimize");
  EXPECT_TRUE(top()->isMinimized());
  EXPECT_FALSE(top()->isHidden());
  EXPECT_EQ(tray.adds, 1);
  EXPECT_FALSE(tray.shown);
}

TEST_F(ToolboxTest, MinimizeHidesTheWindowAndALeftClickRestoresIt) {
  start();
  minimise_into_tray();
  EXPECT_EQ(tray.adds, 1);
  click_tray(TrayIcon::Click::LeftUp);
  expect_restored();
  EXPECT_EQ(tray.removes, 1);
  // Minimised again, a double click does the same.
  minimise_into_tray();
  click_tray(TrayIcon::Click::LeftDouble);
  expect_restored();
}

TEST_F(ToolboxTest, TrayMenuRestoresOrCloses) {
  start();
  minimise_into_tray();
  responder.next_answer(ui::MenuPick{"&Restore"});
  click_tray(TrayIcon::Click::RightUp);
  expect_restored();
  EXPECT_EQ(responder.popups().back().entries, ui::parse_menu_text("&Restore|-|&Close"));

  minimise_into_tray();
  responder.next_answer(ui::MenuIndex{-1});  // dismissed: stays in the tray
  click_tray(TrayIcon::Click::RightUp);
  EXPECT_TRUE(tray.shown);
  EXPECT_TRUE(top()->isHidden());

  responder.next_answer(ui::MenuPick{"&Close"});
  click_tray(TrayIcon::Click::RightUp);
  ASSERT_TRUE(ended());
  EXPECT_FALSE(tray.shown);
  // Closed while minimised: the stored placement is left alone.
  EXPECT_EQ(runtime::GETINI("ToolboxWindow", "XPosit", "none", app::kSettingsFile), "none");
}

TEST_F(ToolboxTest, AnIconThatCannotBeRemovedIsAddedAgain) {
  start();
  minimise_into_tray();
  tray.can_remove = false;
  click_tray(TrayIcon::Click::LeftUp);
  EXPECT_TRUE(tray.shown);
  EXPECT_EQ(tray.adds, 2);
  EXPECT_TRUE(top()->isVisible());  // the restore was posted all the same
}

TEST_F(ToolboxTest, EachProcedureRunsOnceAndExitClosesEveryWindowFirst) {
  start();
  choose(tb::kToolsButton, "&Commands table");
  choose(tb::kToolsButton, "&Translation table");
  ASSERT_NE(app_test::window_named(app::commands_table_definition().name), nullptr);
  ui::Window* tables = app_test::window_named(app::character_table_definition().name);
  ASSERT_NE(tables, nullptr);
  const std::size_t open = ui::Window::open_windows().size();
  choose(tb::kToolsButton, "&Commands table");  // to the front, not a second one
  EXPECT_EQ(ui::Window::open_windows().size(), open);

  // A new table's form is open, its placeholder added, when "E&xit" is
  // chosen: the form blocks its browse alone, not the toolbox.
  gui_test::BlockWatch toolbox_watch(top());
  gui_test::BlockWatch browse_watch(tables->widget());
  gui_test::click(qobject_cast<QPushButton*>(tables->widget(app::character_table::kInsert)));
  ASSERT_TRUE(gui_test::pump_until(
      [] { return app_test::window_named(app::update_trans_table_definition().name) != nullptr; }));
  EXPECT_EQ(files::records(dictionary::TransTables), 2);
  EXPECT_TRUE(browse_watch.blocked());
  EXPECT_FALSE(toolbox_watch.blocked());
  choose(tb::kApplicationButton, "E&xit");
  ASSERT_TRUE(ended());
  EXPECT_TRUE(ui::Window::open_windows().empty());
  // The form cancelled as its Cancel does: only the standard table is left.
  app::use_file(dictionary::TransTables);
  EXPECT_EQ(files::records(dictionary::TransTables), 1);
  app::release_file(dictionary::TransTables);
  for (const char* section : {"UpdateTransTable", "CharacterTable", "CommandsTable"}) {
    EXPECT_NE(runtime::GETINI(section, "Width", "", app::kSettingsFile), "") << section;
  }
}

// Placements that cannot be saved at "E&xit" are said once every window
// is gone, although the settings file's failure was told before (when a
// window closed): otherwise they would be found lost at the next start.
TEST_F(ToolboxTest, ExitSaysThatThePlacementsCouldNotBeSaved) {
  std::filesystem::create_directory(file("Markfit.ini"));  // no file can take its place
  start();
  choose(tb::kToolsButton, "&Commands table");
  ui::Window* commands = app_test::window_named(app::commands_table_definition().name);
  ASSERT_NE(commands, nullptr);
  commands->post(ui::events::kCloseWindow);
  ASSERT_TRUE(gui_test::pump_until([] { return app_test::window_named(app::commands_table_definition().name) == nullptr; }));
  ASSERT_EQ(responder.messages().size(), 1u);
  choose(tb::kToolsButton, "&Commands table");
  choose(tb::kApplicationButton, "E&xit");
  ASSERT_TRUE(ended());
  ASSERT_EQ(responder.messages().size(), 2u);
  const std::string& text = responder.messages().back().text;
  EXPECT_NE(text.find("Could not save where the windows were in the settings file\n" + file("Markfit.ini")),
            std::string::npos)
      << text;
  EXPECT_TRUE(ui::Window::open_windows().empty());
}

TEST_F(ToolboxTest, CloseDownEndsTheToolboxCleanly) {
  start();
  ui::close_down_all();
  ASSERT_TRUE(ended());
  EXPECT_EQ(runtime::GETINI("ToolboxWindow", "Maximize", "", app::kSettingsFile), "No");
}

}  // namespace
