#include "ui/services.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QPushButton>
#include <QTimer>
#include <QTest>
#include <QGuiApplication>
#include <filesystem>
#include <fstream>

#include "tests/ui/gui_fixture.h"
#include "ui/dialog_units.h"
#include "ui/file_names.h"
#include "ui/qt_dialogs.h"
#include "ui/text.h"
#include "ui/window.h"

namespace {

using ui::Button;

class MessageTest : public gui_test::GuiTest {};

TEST_F(MessageTest, EachButtonOfEachSetIsReturnedAsItsCode) {
  const ui::ButtonSet sets[] = {
      ui::code(Button::Ok),
      Button::Ok | Button::Cancel,
      Button::Yes | Button::No,
      Button::Yes | Button::No | Button::Cancel,
      Button::Abort | Button::Retry | Button::Ignore,
      Button::Retry | Button::Cancel,
      Button::Ok | Button::Help,
  };
  for (ui::ButtonSet set : sets) {
    for (Button b : ui::kAllButtons) {
      if ((set & ui::code(b)) == 0) continue;
      responder.next_answer(b);
      EXPECT_EQ(ui::message("text", "caption", ui::MessageIcon::Question, set), b) << set;
    }
  }
  EXPECT_EQ(ui::code(Button::Yes), 2);
  EXPECT_EQ(ui::code(Button::No), 4);
  EXPECT_EQ(ui::code(Button::Help), 128);
  EXPECT_EQ(responder.unanswered(), 0);
}

TEST_F(MessageTest, AnswersOutsideTheSetAndDefaults) {
  // Yes and No never give OK, whatever a faulty responder says.
  responder.next_answer(Button::Ok);
  EXPECT_EQ(ui::message("t", "c", ui::MessageIcon::None, Button::Yes | Button::No, Button::No), Button::No);
  responder.next_answer(Button::Ok);
  EXPECT_EQ(ui::message("t", "c", ui::MessageIcon::None, Button::Yes | Button::No), Button::Yes);
  // A default outside the set is no default; an empty set is OK alone.
  responder.next_answer(Button::Ok);
  EXPECT_EQ(ui::message("t", "c", ui::MessageIcon::None, 0, Button::Retry), Button::Ok);
  const ui::MessageRequest& last = responder.messages().back();
  EXPECT_EQ(last.buttons, ui::code(Button::Ok));
  EXPECT_EQ(last.default_button, Button::None);
  // Nothing queued: a box with Cancel is cancelled.
  EXPECT_EQ(ui::message("t", "c", ui::MessageIcon::None, Button::Retry | Button::Cancel), Button::Cancel);
}

TEST_F(MessageTest, RequestCarriesTextsIconAndLabels) {
  responder.next_answer(Button::Yes);
  ui::message("first|second", "File already exists", ui::MessageIcon::Exclamation,
              Button::Yes | Button::No, Button::Yes);
  const ui::MessageRequest& r = responder.messages().back();
  EXPECT_EQ(r.text, "first\nsecond");
  EXPECT_EQ(r.caption, "File already exists");
  EXPECT_EQ(static_cast<int>(r.icon), 32515);
  EXPECT_EQ(r.default_button, Button::Yes);
  EXPECT_STREQ(ui::button_label(Button::Ok), "OK");
  EXPECT_STREQ(ui::button_label(Button::Cancel), "Cancel");
  EXPECT_STREQ(ui::button_label(Button::Ignore), "&Ignore");

  // The desktop box shows our labels and knows each button's code.
  auto box = ui::make_message_box(r);
  QStringList labels;
  for (QAbstractButton* b : box->buttons()) labels << b->text();
  EXPECT_TRUE(labels.contains(QStringLiteral("&Yes")));
  EXPECT_TRUE(labels.contains(QStringLiteral("&No")));
  EXPECT_EQ(box->defaultButton()->property("markfit_button").toInt(), 2);
  EXPECT_EQ(box->escapeButton()->property("markfit_button").toInt(), 4);
}

// The desktop's own box and file dialog, answered by the keys, give them
// back to the window that had them: on a screen with no window manager
// (this platform has none) nobody else would, and a keyboard user would be
// left with no window to type to.
TEST_F(MessageTest, DesktopDialogsGiveTheKeysBackWhenTheyClose) {
  QWidget window;
  window.show();
  window.activateWindow();
  ASSERT_TRUE(gui_test::pump_until([&] { return QApplication::activeWindow() == &window; }));
  ui::set_responder(nullptr);
  QTimer escape;  // presses Escape in whichever dialog has the keys
  QObject::connect(&escape, &QTimer::timeout, [] {
    QWidget* dialog = QApplication::activeModalWidget();
    if (dialog && dialog->isActiveWindow()) QTest::keyClick(dialog, Qt::Key_Escape);
  });
  escape.start(10);
  EXPECT_EQ(ui::message("t", "c", ui::MessageIcon::Question, Button::Ok | Button::Cancel), Button::Cancel);
  EXPECT_TRUE(gui_test::pump_until([&] { return QApplication::activeWindow() == &window; })) << "after the box";
  ui::FileDialogRequest open;
  open.title = "Select file to read";
  open.directory = dir().string();
  EXPECT_EQ(ui::responder().file_dialog(open), std::nullopt);
  EXPECT_TRUE(gui_test::pump_until([&] { return QApplication::activeWindow() == &window; })) << "after the dialog";
  escape.stop();
  ui::set_responder(&responder);
}

struct HaltCalled {
  int code;
};
[[noreturn]] void throwing_exit(int code) { throw HaltCalled{code}; }

TEST_F(MessageTest, HaltShowsTheStopIconAndEndsWithOne) {
  ui::set_exit_function(&throwing_exit);
  responder.next_answer(Button::Ok);
  try {
    ui::halt("Possible data corruption");
    FAIL() << "halt returned";
  } catch (const HaltCalled& h) {
    EXPECT_EQ(h.code, 1);
  }
  ui::set_exit_function(nullptr);
  EXPECT_EQ(responder.messages().back().icon, ui::MessageIcon::Stop);
  EXPECT_EQ(responder.messages().back().text, "Possible data corruption");
}

class ClipboardTest : public gui_test::GuiTest {};

TEST_F(ClipboardTest, TrailingBlanksAreCutAndEmptyTextLeavesItEmpty) {
  ui::set_clipboard("line one\r\nline two   ");
  EXPECT_EQ(ui::clipboard(), "line one\r\nline two");
  ui::set_clipboard("    ");
  EXPECT_EQ(ui::clipboard(), "");
  EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
  ui::set_clipboard("caf\xe9");  // ANSI
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromUtf8("caf\xc3\xa9"));
}

class FileDialogTest : public gui_test::GuiTest {};

TEST_F(FileDialogTest, ChosenFileIsStoredAndItsDirectoryBecomesCurrent) {
  std::filesystem::create_directories(dir() / "html");
  const std::string chosen = (dir() / "html" / "page.htm").string();
  responder.next_answer(ui::FileChoice{chosen});
  std::string file = "old.htm   ";
  EXPECT_TRUE(ui::file_dialog("Select file to read", file, "Html files|*.htm|All files|*.*"));
  EXPECT_EQ(file, chosen);
  EXPECT_EQ(std::filesystem::path(ui::path()), std::filesystem::canonical(dir() / "html"));

  const ui::FileDialogRequest& r = responder.file_dialogs().back();
  EXPECT_EQ(r.title, "Select file to read");
  EXPECT_EQ(r.file, "old.htm");
  EXPECT_EQ(std::filesystem::path(r.directory), std::filesystem::canonical(dir()));
  ASSERT_EQ(r.filters.size(), 2u);
  EXPECT_EQ(r.filters[0].description, "Html files");
  EXPECT_EQ(r.filters[1].patterns, std::vector<std::string>{"*.*"});
}

TEST_F(FileDialogTest, CancelAndKeepDirectoryLeaveTheDirectoryAlone) {
  std::filesystem::create_directories(dir() / "out");
  const std::string before = ui::path();
  std::string file = "keep.htw";
  responder.next_answer(ui::FileChoice{std::nullopt});
  EXPECT_FALSE(ui::file_dialog("Select file to write", file, "Htw files|*.htw"));
  EXPECT_EQ(file, "keep.htw");
  responder.next_answer(ui::FileChoice{(dir() / "out" / "x.htw").string()});
  EXPECT_TRUE(ui::file_dialog("Select file to write", file, "", ui::kFileKeepDirectory));
  EXPECT_EQ(ui::path(), before);
  EXPECT_FALSE(ui::set_path((dir() / "missing").string()));
  EXPECT_EQ(ui::path(), before);
}

TEST(FileNamesTest, SplitGivesThePathBackInFourParts) {
  const auto join = [](const ui::FileNameParts& p) { return p.drive + p.directory + p.name + p.extension; };
  struct Case {
    const char* path;
    ui::FileNameParts parts;
  };
  const Case cases[] = {
      {"/home/me/page.htm", {"", "/home/me/", "page", ".htm"}},
      {"c:\\web\\index.html", {"c:", "\\web\\", "index", ".html"}},
      {"archive.tar.gz", {"", "", "archive.tar", ".gz"}},
      {"/etc/.profile", {"", "/etc/", ".profile", ""}},
      {"dir.d/name", {"", "dir.d/", "name", ""}},
      {"x:", {"x:", "", "", ""}},
      {"", {"", "", "", ""}},
  };
  for (const Case& c : cases) {
    const ui::FileNameParts parts = ui::split_file_name(c.path);
    EXPECT_EQ(parts, c.parts) << c.path;
    EXPECT_EQ(join(parts), c.path);
  }
}

TEST(FileNamesTest, FilterPairs) {
  auto f = ui::parse_file_filter("Html files|*.htm;*.html|All files|*.*|");
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].patterns, (std::vector<std::string>{"*.htm", "*.html"}));
  f = ui::parse_file_filter("Lonely description");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].patterns, std::vector<std::string>{"*"});
  EXPECT_TRUE(ui::parse_file_filter("").empty());
  const QStringList q = ui::qt_name_filters(ui::parse_file_filter("Html files|*.htm|All files|*.*"));
  EXPECT_EQ(q, (QStringList{QStringLiteral("Html files (*.htm *.HTM)"), QStringLiteral("All files (*)")}));
}

TEST(DialogUnitsTest, RoundedBothWays) {
  const ui::DialogBase base{7, 13};
  EXPECT_EQ(ui::du_to_px_x(20, base), 35);
  EXPECT_EQ(ui::du_to_px_y(39, base), 63);
  EXPECT_EQ(ui::du_to_px_y(-15, base), -24);  // as far above as 15 is below
  EXPECT_EQ(ui::du_to_px_y(15, base), 24);
  EXPECT_EQ(ui::px_to_du_x(35, base), 20);
  EXPECT_EQ(ui::px_to_du_x(35, ui::DialogBase{}), 0);
}

TEST(KeyCodeTest, VirtualKeysWithModifierBits) {
  EXPECT_EQ(ui::key_code_from_qt(Qt::Key_Down, Qt::ControlModifier), 0x228);
  EXPECT_EQ(ui::key_code_from_qt(Qt::Key_Return, Qt::ControlModifier), ui::keys::kCtrlEnter);
  EXPECT_EQ(ui::key_code_from_qt(Qt::Key_Insert, 0), 0x2D);
  EXPECT_EQ(ui::key_code_from_qt(Qt::Key_A, Qt::ShiftModifier | Qt::AltModifier), 0x41 | 0x100 | 0x400);
  EXPECT_EQ(ui::key_code_from_qt(Qt::Key_F12, 0), 0x7B);
  EXPECT_EQ(ui::key_code_from_qt(Qt::Key_Apostrophe, Qt::ControlModifier), ui::keys::kCtrlQuote);
  EXPECT_EQ(ui::key_code_from_qt(Qt::Key_VolumeUp, 0), 0);
}

TEST(TextTest, AnsiBytesAndUnicode) {
  gui_test::application();
  EXPECT_EQ(ui::to_qstring("\x80\xe9"), QString::fromUtf8("\xe2\x82\xac\xc3\xa9"));
  EXPECT_EQ(ui::from_qstring(QString::fromUtf8("\xe2\x82\xac\xc3\xa9")), "\x80\xe9");
  EXPECT_EQ(ui::from_qstring(QString::fromUtf8("\xe4\xb8\xad")), "?");  // not in the set
}

TEST(TextTest, FileNamesKeepTheSystemsBytesEvenWhereTheyAreNoUtf8) {
  gui_test::application();
  struct Case {
    std::string bytes;
    int characters;  // as the toolkit holds them
  };
  const Case cases[] = {
      {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", 7},  // UTF-8: one character each
      {"\xF0\x9F\x98\x80", 2},                          // past the basic plane: a surrogate pair
      {"latin\xE9", 6},                                   // a byte alone
      {"\xC0\xAF", 2},                                    // an overlong "/" is no character
      {"\xED\xA0\x80", 3},                               // nor an encoded surrogate
      {"\xE6\x97", 2},                                    // nor a cut one
      {"\xF4\x90\x80\x80", 4},                          // nor one past U+10FFFF
  };
  for (const Case& c : cases) {
    const QString shown = ui::from_system_bytes(c.bytes);
    EXPECT_EQ(shown.size(), c.characters) << c.bytes;
    EXPECT_EQ(ui::to_system_bytes(shown), c.bytes);
  }
  EXPECT_EQ(ui::from_system_bytes("caf\xC3\xA9"), QString::fromUtf8("caf\xC3\xA9"));
}

TEST_F(MessageTest, SystemTextIsShownAsItIs) {
  ui::message("File (" + ui::system_text("/a|b/caf\xC3\xA9") + ") \xE9|next");
  EXPECT_EQ(responder.messages().back().text, "File (/a|b/caf\xC3\xA9) \xC3\xA9\nnext");
}

}  // namespace
