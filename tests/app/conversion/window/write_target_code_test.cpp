// The conversion window driven through its controls: runs to a file and to
// the clipboard, the overwrite question, the input and output errors, the
// setup saved, cleared and kept, the table list, the indent's range, the
// file lookups, and its start from the toolbox.
#include "app/conversion/window/write_target_code.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <filesystem>

#include "app/commands/commands_table.h"
#include "app/dictionary/dictionary.h"
#include "app/data/globals.h"
#include "app/windows/placement.h"
#include "app/toolbox/toolbox_window.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "platform/fault_env.h"
#include "runtime/settings.h"
#include "tests/app/app_fixture.h"
#include "ui/services.h"
#include "ui/text.h"

namespace {

namespace wc = app::write_code;
using dictionary::TRA;
using dictionary::TTB;

class WriteTargetCodeTest : public gui_test::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    dictionary::clear_record_buffers();
    QGuiApplication::clipboard()->setText(QStringLiteral("left alone"));
  }
  void open() {
    task = app::WriteTargetCode();
    gui_test::pump();
    window = app_test::window_named(app::write_target_code_definition().name);
    ASSERT_NE(window, nullptr);
  }
  template <class W>
  W* widget(int control) {
    auto* w = qobject_cast<W*>(window->widget(control));
    EXPECT_NE(w, nullptr) << control;
    return w;
  }
  void press(int control) {
    gui_test::click(widget<QPushButton>(control));
    gui_test::pump();
  }
  void type(int control, const std::string& text) {
    QLineEdit* edit = widget<QLineEdit>(control);
    edit->setFocus();
    edit->selectAll();
    if (text.empty()) {
      QTest::keyClick(edit, Qt::Key_Delete);
    } else {
      QTest::keyClicks(edit, QString::fromLatin1(text.c_str()));
    }
    QTest::keyClick(edit, Qt::Key_Return);
    gui_test::pump();
  }
  void click(QWidget* w) {
    gui_test::click(w, QPoint(4, 4));
    gui_test::pump();
  }
  bool closed() { return gui_test::pump_until([this] { return task.done(); }); }
  std::string setting(const char* key) { return runtime::GETINI("WriteHtml", key, "?", app::kSettingsFile); }
  // Two tables, "Other" (id 2) and "Standard" (id 1), with an entity for é.
  void make_tables() {
    for (files::FileDescriptor* f : {&dictionary::TransTables, &dictionary::Translations}) {
      files::create(*f);
      files::open(*f, 0x42);
      ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
    }
    for (auto [id, name, html] : {std::tuple{1, "Standard", "&eacute"}, {2, "Other", "e"}}) {
      TTB.idnr = id;
      dictionary::set_field(TTB.name, name);
      files::add(dictionary::TransTables);
      dictionary::clear(TRA);
      TRA.translationtableid = id;
      dictionary::set_field(TRA.character, "\xE9 ");
      dictionary::set_field(TRA.htmlchars, html);
      files::add(dictionary::Translations);
    }
    for (files::FileDescriptor* f : {&dictionary::TransTables, &dictionary::Translations}) files::close(*f);
    dictionary::clear(TTB);
  }

  app_test::TrayLog tray_log;
  ui::Task task;
  ui::Window* window = nullptr;
};

TEST_F(WriteTargetCodeTest, TheWorkedExampleIntoAFileAndOntoTheClipboard) {
  make_tables();
  dictionary::set_field(TTB.name, "Standard");
  app_test::write_file(file("page.htm"), "  <p>Caf\xE9</p>   \r\n\r\n");
  open();
  EXPECT_EQ(window->text(0), "Prepare html code to use in Netloom");
  EXPECT_FALSE(widget<QPushButton>(wc::kProcess)->isEnabled());  // no read file yet
  EXPECT_FALSE(widget<QProgressBar>(wc::kProgress)->isVisible());
  EXPECT_EQ(window->property(wc::kTables, ui::props::kSelected), "2");  // "Standard", from the buffer
  type(wc::kReadFile, "page.htm");
  EXPECT_TRUE(widget<QPushButton>(wc::kProcess)->isEnabled());
  type(wc::kWriteFile, "page.htw");
  type(wc::kBefore, "HtmlLine('");
  type(wc::kAfter, "')");
  click(widget<QRadioButton>(wc::kInternational));
  QSpinBox* spin = widget<QSpinBox>(wc::kIndent);
  spin->setFocus();
  spin->selectAll();
  QTest::keyClicks(spin, "2");
  QTest::keyClick(spin, Qt::Key_Return);
  gui_test::pump();
  auto* preview = widget<QPlainTextEdit>(wc::kPreview);
  EXPECT_EQ(preview->toPlainText(), QStringLiteral("  HtmlLine('  <<p>Caf&eacute;<</p>')\n  HtmlLine('')\n"));
  press(wc::kProcess);
  EXPECT_EQ(app_test::read_file(file("page.htw")), "  HtmlLine('  <<p>Caf&eacute;<</p>')\r\n  HtmlLine('')\r\n");
  EXPECT_TRUE(responder.messages().empty());
  EXPECT_FALSE(widget<QProgressBar>(wc::kProgress)->isVisible());

  // Another table, chosen in the list, and no write file: the clipboard.
  auto* list = widget<QTreeWidget>(wc::kTables);
  list->setCurrentItem(list->topLevelItem(0));
  gui_test::pump();
  EXPECT_EQ(dictionary::field_text(TTB.name), "Other");
  EXPECT_EQ(preview->toPlainText(), QStringLiteral("  HtmlLine('  <<p>Cafe<</p>')\n  HtmlLine('')\n"));
  type(wc::kWriteFile, "");
  press(wc::kProcess);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("  HtmlLine('  <<p>Cafe<</p>')\r\n  HtmlLine('')\r\n"));
  // A second run starts from an empty text.
  press(wc::kProcess);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("  HtmlLine('  <<p>Cafe<</p>')\r\n  HtmlLine('')\r\n"));
}

TEST_F(WriteTargetCodeTest, TheOverwriteQuestionDecidesAndFailuresAreReported) {
  app_test::write_file(file("in.htm"), "<b>\n");
  app_test::write_file(file("out.htw"), "old");
  open();
  type(wc::kReadFile, "in.htm");
  type(wc::kWriteFile, "out.htw");
  responder.next_answer(ui::Button::No);
  press(wc::kProcess);
  ASSERT_EQ(responder.messages().size(), 1u);
  const ui::MessageRequest& question = responder.messages()[0];
  EXPECT_EQ(question.caption, "File already exists");
  EXPECT_EQ(question.text, "The file to write already exists.  Do you want to overwrite it?");
  EXPECT_EQ(question.icon, ui::MessageIcon::Exclamation);
  EXPECT_EQ(question.buttons, ui::Button::Yes | ui::Button::No);
  EXPECT_EQ(question.default_button, ui::Button::Yes);
  EXPECT_EQ(app_test::read_file(file("out.htw")), "old");
  responder.next_answer(ui::Button::Yes);
  press(wc::kProcess);
  EXPECT_EQ(app_test::read_file(file("out.htw")), " <<b>\r\n");  // indent 1

  // A read file that is not there: the message, and the write file untouched.
  type(wc::kReadFile, "missing.htm");
  press(wc::kProcess);
  ASSERT_EQ(responder.messages().size(), 3u);
  EXPECT_EQ(responder.messages()[2].caption, "ERROR: Could not open file");
  EXPECT_EQ(responder.messages()[2].text.substr(0, 30), "Could not open the input file.");
  EXPECT_EQ(responder.messages()[2].icon, ui::MessageIcon::Question);
  EXPECT_EQ(app_test::read_file(file("out.htw")), " <<b>\r\n");
  // A write file in a folder that is not there, and the read file as write file.
  type(wc::kReadFile, "in.htm");
  type(wc::kWriteFile, "nowhere/out.htw");
  press(wc::kProcess);
  type(wc::kWriteFile, "in.htm");
  press(wc::kProcess);
  ASSERT_EQ(responder.messages().size(), 5u);
  for (int m : {3, 4}) {
    EXPECT_EQ(responder.messages()[m].caption, "ERROR: Could not write file");
    EXPECT_EQ(responder.messages()[m].text.substr(0, 32), "Could not write the output file.");
  }
  EXPECT_NE(responder.messages()[3].text.find("Path Not Found"), std::string::npos);
  EXPECT_EQ(app_test::read_file(file("in.htm")), "<b>\n");
  // A folder as write file is refused before any question.
  std::filesystem::create_directory(file("folder"));
  type(wc::kWriteFile, "folder");
  press(wc::kProcess);
  ASSERT_EQ(responder.messages().size(), 6u);
  EXPECT_EQ(responder.messages()[5].caption, "ERROR: Could not write file");
  EXPECT_NE(responder.messages()[5].text.find("is a directory"), std::string::npos) << responder.messages()[5].text;
  // No read file: a beep, the focus on its entry, the clipboard left alone.
  type(wc::kReadFile, "");
  type(wc::kWriteFile, "");
  window->set_property(wc::kProcess, ui::props::kDisable, "0");
  press(wc::kProcess);
  EXPECT_EQ(responder.beeps(), 1);
  EXPECT_TRUE(widget<QLineEdit>(wc::kReadFile)->hasFocus());
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("left alone"));
}

TEST_F(WriteTargetCodeTest, CutLinesAreReportedAfterTheRun) {
  std::string input = std::string(1100, 'x') + "\n";
  for (int i = 0; i < 40; ++i) input += std::string(1000, 'a') + "\n";
  app_test::write_file(file("in.htm"), input);
  open();
  type(wc::kReadFile, "in.htm");
  press(wc::kProcess);
  ASSERT_EQ(responder.messages().size(), 1u);
  EXPECT_EQ(responder.messages()[0].caption, "Lines cut");
  EXPECT_EQ(responder.messages()[0].text,
            "1 line was longer than 1024 characters and was cut; the first is line 1.\n\n"
            "The clipboard holds only the first 29999 characters: 12 lines from line 30 on are cut or missing.");
  // Line 1 (1024 + 2), lines 2 to 29 whole (28 x 1002), 917 characters of line 30.
  EXPECT_EQ(QGuiApplication::clipboard()->text().size(), 29999);
}

TEST_F(WriteTargetCodeTest, DoubleQuotesIsPartOfTheSetupAndLoneQuotesAreReported) {
  app_test::write_file(file("in.htm"), "ok\ndon't\nit's\n");
  app_test::write_file(file("Markfit.ini"), "[WriteHtml]\nSetup=1\nReadFile=in.htm\nWriteFile=out.htw\n");
  open();
  EXPECT_FALSE(widget<QCheckBox>(wc::kDoubleQuotes)->isChecked());  // missing: 0
  press(wc::kProcess);
  ASSERT_EQ(responder.messages().size(), 1u);
  EXPECT_EQ(responder.messages()[0].caption, "Lone quotes");
  EXPECT_EQ(responder.messages()[0].text.substr(0, 41), "2 lines hold a lone quote; first: line 2.");
  click(widget<QCheckBox>(wc::kDoubleQuotes));
  responder.next_answer(ui::Button::Yes);  // overwrite
  press(wc::kProcess);
  EXPECT_EQ(app_test::read_file(file("out.htw")), "ok\r\ndon''t\r\nit''s\r\n");  // indent 0 from the setup
  EXPECT_EQ(responder.messages().size(), 2u);  // the question alone
  press(wc::kClose);
  ASSERT_TRUE(closed());
  EXPECT_EQ(setting("DoubleQuotes"), "1");
  open();
  EXPECT_TRUE(widget<QCheckBox>(wc::kDoubleQuotes)->isChecked());
  click(widget<QCheckBox>(wc::kClearSetup));
  EXPECT_EQ(setting("DoubleQuotes"), "0");
  EXPECT_FALSE(widget<QCheckBox>(wc::kDoubleQuotes)->isChecked());
}

TEST_F(WriteTargetCodeTest, RevertTurnsTheReadFileBackIntoHtml) {
  make_tables();
  dictionary::set_field(TTB.name, "Standard");
  app_test::write_file(file("page.htw"), " Out('<<p>Caf&eacute; don''t<</p>')\r\n Out('')\r\nbroken\r\n");
  open();
  EXPECT_FALSE(widget<QPushButton>(wc::kRevert)->isEnabled());
  type(wc::kReadFile, "page.htw");
  EXPECT_TRUE(widget<QPushButton>(wc::kRevert)->isEnabled());
  type(wc::kWriteFile, "page.htm");
  type(wc::kBefore, "Out('");
  type(wc::kAfter, "')");
  click(widget<QRadioButton>(wc::kInternational));
  click(widget<QCheckBox>(wc::kDoubleQuotes));
  press(wc::kRevert);
  EXPECT_EQ(app_test::read_file(file("page.htm")), "<p>Caf\xE9 don't</p>\r\n\r\n");
  ASSERT_EQ(responder.messages().size(), 1u);
  EXPECT_EQ(responder.messages()[0].caption, "Lines left out");
  EXPECT_EQ(responder.messages()[0].text,
            "1 line does not have the expected shape and was left out; first: line 3 (does not start with the "
            "indent and before-text).");
}

TEST_F(WriteTargetCodeTest, ThePreviewFollowsTheSetupAndDroppedFilesAreTaken) {
  app_test::write_file(file("a.htm"), "<p>don't</p>\n");
  app_test::write_file(file("b.htm"), "<i>b</i>\n");
  open();
  auto* area = widget<QPlainTextEdit>(wc::kPreview);
  EXPECT_TRUE(area->toPlainText().startsWith(QStringLiteral("(Choose a read file")));
  type(wc::kReadFile, "a.htm");
  EXPECT_EQ(area->toPlainText(), QStringLiteral(" <<p>don't<</p>\n"));
  type(wc::kBefore, "Out('");
  click(widget<QCheckBox>(wc::kDoubleQuotes));
  EXPECT_EQ(area->toPlainText(), QStringLiteral(" Out('<<p>don''t<</p>\n"));
  // While a text is typed, before any Enter: one update once the typing
  // pauses, however many keys.
  int updates = 0;
  const QMetaObject::Connection counting =
      QObject::connect(area, &QPlainTextEdit::textChanged, area, [&updates] { ++updates; });
  QLineEdit* after = widget<QLineEdit>(wc::kAfter);
  after->setFocus();
  QTest::keyClicks(after, "');");
  const QString typed = QStringLiteral(" Out('<<p>don''t<</p>');\n");
  EXPECT_TRUE(QTest::qWaitFor([&] { return area->toPlainText() == typed; }, 3000)) << area->toPlainText().toStdString();
  QTest::qWait(2 * ui::Window::kEditQuiet);
  EXPECT_EQ(updates, 1);
  QObject::disconnect(counting);
  type(wc::kAfter, "");
  // A UTF-8 file shows its characters, 1252 or not; a pipe is not opened.
  app_test::write_file(file("u.htm"), "caf\xC3\xA9 \xE2\x86\x92\n");
  type(wc::kReadFile, "u.htm");
  EXPECT_EQ(area->toPlainText(), QString::fromUtf8(" Out('caf\xC3\xA9 \xE2\x86\x92\n"));
  ASSERT_EQ(::mkfifo(file("pipe").c_str(), 0600), 0);
  type(wc::kReadFile, "pipe");
  EXPECT_EQ(area->toPlainText(), QStringLiteral("('pipe' is a pipe, socket or device, not a file.)"));
  type(wc::kReadFile, "a.htm");
  // The window grows into its preview.
  const QSize small = area->size();
  window->widget()->resize(window->widget()->size() + QSize(100, 80));
  gui_test::pump();
  EXPECT_EQ(area->size(), small + QSize(100, 80));
  // And shrinks it, down to a few lines.
  window->widget()->resize(window->widget()->width(), 1);
  gui_test::pump();
  EXPECT_EQ(area->height(), small.height() - window->du_y(40));

  // Dropped on the window: the read file (the first of several); on the
  // write file's entry: that.
  const auto drop = [](QWidget* on, const std::string& path, const std::string& other = {}) {
    QMimeData data;
    QList<QUrl> urls{QUrl::fromLocalFile(QString::fromStdString(path))};
    if (!other.empty()) urls.append(QUrl::fromLocalFile(QString::fromStdString(other)));
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(2, 2), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(on, &enter);
    QDropEvent dropped(QPointF(2, 2), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(on, &dropped);
    gui_test::pump();
  };
  drop(window->widget(), file("b.htm"), file("a.htm"));
  EXPECT_EQ(widget<QLineEdit>(wc::kReadFile)->text().toStdString(), file("b.htm"));
  EXPECT_EQ(area->toPlainText(), QStringLiteral(" Out('<<i>b<</i>\n"));
  drop(window->widget(wc::kWriteFile), file("b.htw"));
  EXPECT_EQ(widget<QLineEdit>(wc::kWriteFile)->text().toStdString(), file("b.htw"));
  EXPECT_EQ(setting("Recent1"), file("b.htw"));
  EXPECT_EQ(setting("Recent2"), file("b.htm"));

  // Dropped on the toolbox: the conversion window takes it.
  app::ToolboxOptions options;
  options.make_tray = [this] { return std::make_unique<app_test::FakeTray>(&tray_log); };
  ui::Task toolbox = app::ToolboxWindow(options);
  gui_test::pump();
  drop(app_test::window_named(app::toolbox_definition().name)->widget(), file("a.htm"));
  EXPECT_EQ(widget<QLineEdit>(wc::kReadFile)->text().toStdString(), file("a.htm"));
}

TEST_F(WriteTargetCodeTest, SetupIsLoadedSavedOnCloseOnlyAndCleared) {
  app_test::write_file(file("Markfit.ini"),
                       "[WriteHtml]\nSetup=1\nReadFile=a.htm\nWriteFile=b.htw\nCommandBefore=Out('\n"
                       "CommandAfter=')\nIndent=4\nTranslation=2\nReadDir=/stored/\n");
  open();
  EXPECT_EQ(widget<QLineEdit>(wc::kReadFile)->text(), QStringLiteral("a.htm"));
  EXPECT_EQ(widget<QLineEdit>(wc::kBefore)->text(), QStringLiteral("Out('"));
  EXPECT_EQ(widget<QSpinBox>(wc::kIndent)->value(), 4);
  EXPECT_TRUE(widget<QRadioButton>(wc::kAll)->isChecked());
  EXPECT_TRUE(widget<QCheckBox>(wc::kSaveSetup)->isChecked());
  EXPECT_TRUE(widget<QPushButton>(wc::kProcess)->isEnabled());
  // The close box closes without saving.
  type(wc::kBefore, "Changed('");
  window->post(ui::events::kCloseWindow);
  ASSERT_TRUE(closed());
  EXPECT_EQ(setting("CommandBefore"), "Out('");
  EXPECT_EQ(app::global_response, app::kRequestCancelled);
  // "Close" saves.
  open();
  type(wc::kBefore, "Changed('  ");
  type(wc::kReadFile, "/site/pages/a.htm");
  click(widget<QRadioButton>(wc::kNone));
  press(wc::kClose);
  ASSERT_TRUE(closed());
  EXPECT_EQ(setting("CommandBefore"), "Changed('");
  EXPECT_EQ(setting("ReadDir"), "/site/pages/");
  EXPECT_EQ(setting("ReadFile"), "/site/pages/a.htm");
  EXPECT_EQ(setting("Translation"), "0");
  EXPECT_EQ(setting("Setup"), "1");
  // "Clear setup" empties the setup at once and keeps the directories.
  open();
  click(widget<QCheckBox>(wc::kClearSetup));
  EXPECT_EQ(setting("Setup"), "0");
  EXPECT_EQ(setting("ReadFile"), "");
  EXPECT_EQ(setting("Indent"), "1");
  EXPECT_EQ(setting("ReadDir"), "/site/pages/");
  EXPECT_TRUE(widget<QCheckBox>(wc::kClearSetup)->isChecked());
  EXPECT_FALSE(widget<QCheckBox>(wc::kSaveSetup)->isChecked());
  EXPECT_EQ(widget<QLineEdit>(wc::kBefore)->text(), QString());
  EXPECT_EQ(widget<QSpinBox>(wc::kIndent)->value(), 1);
  EXPECT_TRUE(widget<QRadioButton>(wc::kNone)->isChecked());
  press(wc::kClose);
  ASSERT_TRUE(closed());
  // With "Setup" 0 nothing else is read: indent 1, mode None, empty fields.
  open();
  EXPECT_EQ(widget<QSpinBox>(wc::kIndent)->value(), 1);
  EXPECT_TRUE(widget<QRadioButton>(wc::kNone)->isChecked());
  EXPECT_EQ(widget<QLineEdit>(wc::kReadFile)->text(), QString());
}

// A setup that cannot be saved is said at every "Close" and "Clear setup"
// that asks for it, with the file and the system's reason, and the file
// keeps the whole setup it had (one write, never a part of the new one).
TEST_F(WriteTargetCodeTest, ASetupThatCannotBeSavedIsSaidAndTheOldOneKept) {
  const std::string stored = "[WriteHtml]\nSetup=1\nReadFile=a.htm\nCommandBefore=Out('\nIndent=4\n";
  app_test::write_file(file("Markfit.ini"), stored);
  platform::FaultEnv full(platform::Env::posix());
  runtime::set_settings_env(&full);
  full.set_space(0);
  const auto said_disk_full = [this](std::size_t count, const char* what) {
    ASSERT_EQ(responder.messages().size(), count);
    const std::string& text = responder.messages().back().text;
    EXPECT_NE(text.find(what), std::string::npos) << text;
    EXPECT_NE(text.find(file("Markfit.ini") + "\n\nHandle Disk Full."), std::string::npos) << text;
  };
  for (std::size_t round = 1; round <= 2; ++round) {
    open();
    type(wc::kBefore, "Changed('");
    type(wc::kReadFile, "/site/b.htm");
    press(wc::kClose);
    ASSERT_TRUE(closed());
    said_disk_full(round, "Could not save the setup");
  }
  open();
  click(widget<QCheckBox>(wc::kClearSetup));
  said_disk_full(3, "Could not clear the setup");
  runtime::set_settings_env(nullptr);
  EXPECT_EQ(app_test::read_file(file("Markfit.ini")), stored);
  press(wc::kClose);
  ASSERT_TRUE(closed());
}

// File names are the file system's bytes, never read as ANSI: from the
// dialog or the keyboard to the system call, into the setup and back.
TEST_F(WriteTargetCodeTest, FileNamesAreTheSystemsBytesFromEntryToFileAndSetup) {
  const std::string names[] = {"caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC two words", "latin\xE9 not utf8"};
  open();
  click(widget<QCheckBox>(wc::kSaveSetup));
  for (const std::string& name : names) {
    const std::string in = file(name + ".htm");
    const std::string out = file(name + ".htw");
    app_test::write_file(in, "<b>\r\n");
    // Once a file was used, the lookups offer it in a menu before the dialog.
    const auto browse = [this](const std::string& chosen) {
      if (const std::string recent = setting("Recent1"); !recent.empty() && recent != "?") {
        responder.next_answer(ui::MenuPick{"&Browse..."});
      }
      responder.next_answer(ui::FileChoice{chosen});
    };
    browse(in);
    press(wc::kReadLookup);
    browse(out);
    press(wc::kWriteLookup);
    press(wc::kProcess);
    EXPECT_TRUE(responder.messages().empty()) << name << ": " << responder.messages().front().text;
    EXPECT_EQ(app_test::read_file(out), " <<b>\r\n") << name;
  }
  EXPECT_EQ(widget<QLineEdit>(wc::kReadFile)->text(), ui::from_system_bytes(file(names[2] + ".htm")));
  // Typed: the characters' own bytes.
  type(wc::kWriteFile, "");
  QLineEdit* write = widget<QLineEdit>(wc::kWriteFile);
  write->setFocus();
  gui_test::type_text(write, QString::fromUtf8(file("sortie_\xC3\xA9 \xE6\x97\xA5.htw").c_str()));
  QTest::keyClick(write, Qt::Key_Return);
  press(wc::kProcess);
  EXPECT_EQ(app_test::read_file(file("sortie_\xC3\xA9 \xE6\x97\xA5.htw")), " <<b>\r\n");
  press(wc::kClose);
  ASSERT_TRUE(closed());
  EXPECT_EQ(setting("ReadFile"), file(names[2] + ".htm"));
  EXPECT_EQ(setting("WriteFile"), file("sortie_\xC3\xA9 \xE6\x97\xA5.htw"));
  EXPECT_EQ(setting("ReadDir"), dir().string() + "/");
  EXPECT_EQ(setting("Recent1"), file("sortie_\xC3\xA9 \xE6\x97\xA5.htw"));
  EXPECT_EQ(setting("Recent2"), file(names[2] + ".htm"));
  // The stored setup comes back byte for byte, and runs again as it is.
  open();
  std::filesystem::remove(file(names[2] + ".htw"));
  responder.next_answer(ui::MenuPick{"&Browse..."});
  responder.next_answer(ui::FileChoice{file(names[2] + ".htw")});
  press(wc::kWriteLookup);
  // The recent files are offered as the system's bytes.
  ASSERT_FALSE(responder.popups().empty());
  EXPECT_EQ(responder.popups().back().entries.at(1).text, "&2 " + ui::system_text(file(names[2] + ".htm")));
  press(wc::kProcess);
  EXPECT_EQ(app_test::read_file(file(names[2] + ".htw")), " <<b>\r\n");
  // A "|" in a name shown in a message is part of the name.
  responder.next_answer(ui::MenuPick{"&Browse..."});
  responder.next_answer(ui::FileChoice{file("a|b.htm")});
  press(wc::kReadLookup);
  responder.next_answer(ui::Button::Ok);
  press(wc::kProcess);
  ASSERT_FALSE(responder.messages().empty());
  EXPECT_NE(responder.messages().back().text.find(file("a|b.htm")), std::string::npos)
      << responder.messages().back().text;
}

TEST_F(WriteTargetCodeTest, TheIndentKeepsToItsRange) {
  open();
  QSpinBox* spin = widget<QSpinBox>(wc::kIndent);
  spin->setFocus();
  spin->selectAll();
  QTest::keyClicks(spin, "41");
  QTest::keyClick(spin, Qt::Key_Return);
  gui_test::pump();
  EXPECT_EQ(responder.beeps(), 1);
  EXPECT_EQ(spin->value(), 1);
  EXPECT_TRUE(spin->hasFocus());
}

TEST_F(WriteTargetCodeTest, FileLookupsStartInTheStoredDirectoryAndMoveNothing) {
  app_test::write_file(file("Markfit.ini"), "[WriteHtml]\nSetup=1\nReadDir=" + file("site") + "/\n");
  const std::string before = ui::path();
  open();
  responder.next_answer(ui::FileChoice{file("site/page.htm")});
  press(wc::kReadLookup);
  ASSERT_EQ(responder.file_dialogs().size(), 1u);
  EXPECT_EQ(responder.file_dialogs()[0].title, "Select file to read");
  EXPECT_EQ(responder.file_dialogs()[0].file, file("site") + "/");
  EXPECT_EQ(widget<QLineEdit>(wc::kReadFile)->text().toStdString(), file("site/page.htm"));
  EXPECT_TRUE(widget<QPushButton>(wc::kProcess)->isEnabled());
  EXPECT_EQ(ui::path(), before);
  // From now on the lookups offer the files used last before the dialog.
  // Cancelled: "Process" is disabled even with a read file filled in.
  responder.next_answer(ui::MenuPick{"&Browse..."});
  responder.next_answer(ui::FileChoice{std::nullopt});
  press(wc::kReadLookup);
  EXPECT_FALSE(widget<QPushButton>(wc::kProcess)->isEnabled());
  responder.next_answer(ui::MenuPick{"&Browse..."});
  responder.next_answer(ui::FileChoice{file("out.htw")});
  press(wc::kWriteLookup);
  EXPECT_EQ(responder.file_dialogs()[2].title, "Select file to write");
  EXPECT_EQ(widget<QLineEdit>(wc::kWriteFile)->text().toStdString(), file("out.htw"));
  EXPECT_EQ(ui::path(), before);
  // The latest first, each once; a file picked from the menu moves to the front.
  const auto items = [this](std::size_t n) {
    std::vector<std::string> texts;
    for (const ui::MenuEntry& e : responder.popups().at(n).entries) texts.push_back(e.separator ? "-" : e.text);
    return texts;
  };
  const auto item = [](int n, const std::string& name) { return "&" + std::to_string(n) + " " + ui::system_text(name); };
  ASSERT_EQ(responder.popups().size(), 2u);
  EXPECT_EQ(items(1), (std::vector<std::string>{item(1, file("site/page.htm")), "-", "&Browse..."}));
  responder.next_answer(ui::MenuPick{item(2, file("site/page.htm"))});
  press(wc::kReadLookup);
  EXPECT_EQ(items(2), (std::vector<std::string>{item(1, file("out.htw")), item(2, file("site/page.htm")), "-",
                                                "&Browse..."}));
  EXPECT_EQ(widget<QLineEdit>(wc::kReadFile)->text().toStdString(), file("site/page.htm"));
  EXPECT_TRUE(widget<QPushButton>(wc::kProcess)->isEnabled());
  EXPECT_EQ(setting("Recent1"), file("site/page.htm"));
  EXPECT_EQ(setting("Recent2"), file("out.htw"));
  EXPECT_EQ(setting("Recent3"), "");
  // Ctrl+Down in the entry presses its lookup.
  widget<QLineEdit>(wc::kReadFile)->setFocus();
  QTest::keyClick(widget<QLineEdit>(wc::kReadFile), Qt::Key_Down, Qt::ControlModifier);
  gui_test::pump();
  EXPECT_EQ(responder.popups().size(), 4u);
  // A file read goes to the front too, even one whose name the settings
  // file would otherwise lose the blank and quotes of; one that could not
  // be read does not.
  app_test::write_file(file(" 'odd'.htm"), "<b>\n");
  type(wc::kWriteFile, "");
  type(wc::kReadFile, " 'odd'.htm");
  press(wc::kProcess);
  type(wc::kReadFile, "missing.htm");
  responder.next_answer(ui::Button::Ok);
  press(wc::kProcess);
  EXPECT_EQ(setting("Recent1"), " 'odd'.htm");
  EXPECT_EQ(setting("Recent2"), file("site/page.htm"));
}

TEST_F(WriteTargetCodeTest, TheTextLookupsPickACommandFromTheCommandsBrowse) {
  files::create(dictionary::Commands);
  files::open(dictionary::Commands, 0x42);
  for (const char* c : {"  HtmlLine('", "Out("}) {
    dictionary::set_field(dictionary::COM.commandstring, c);
    files::add(dictionary::Commands);
  }
  files::close(dictionary::Commands);
  open();
  type(wc::kAfter, "kept");
  const auto browse = [] { return app_test::window_named(app::commands_table_definition().name); };
  gui_test::click(widget<QPushButton>(wc::kBeforeLookup));
  ASSERT_TRUE(gui_test::pump_until([&] { return browse() != nullptr; }));
  gui_test::pump();
  browse()->set_property(app::commands_table::kList, ui::props::kSelected, "1");
  gui_test::click(qobject_cast<QPushButton*>(browse()->widget(app::commands_table::kSelect)));
  ASSERT_TRUE(gui_test::pump_until([&] { return browse() == nullptr; }));
  gui_test::pump();
  EXPECT_EQ(widget<QLineEdit>(wc::kBefore)->text(), QStringLiteral("  HtmlLine('"));
  // Closing the browse leaves the text as it was.
  gui_test::click(widget<QPushButton>(wc::kAfterLookup));
  ASSERT_TRUE(gui_test::pump_until([&] { return browse() != nullptr; }));
  gui_test::click(qobject_cast<QPushButton*>(browse()->widget(app::commands_table::kClose)));
  ASSERT_TRUE(gui_test::pump_until([&] { return browse() == nullptr; }));
  gui_test::pump();
  EXPECT_EQ(widget<QLineEdit>(wc::kAfter)->text(), QStringLiteral("kept"));
}

TEST_F(WriteTargetCodeTest, TheToolboxOpensItOnceBesideItself) {
  app::ToolboxOptions options;
  options.make_tray = [this] { return std::make_unique<app_test::FakeTray>(&tray_log); };
  ui::Task toolbox = app::ToolboxWindow(options);
  gui_test::pump();
  ui::Window* tb = app_test::window_named(app::toolbox_definition().name);
  ASSERT_NE(tb, nullptr);
  for (int i = 0; i < 2; ++i) {
    responder.next_answer(ui::MenuPick{"&Write html code"});
    gui_test::click(qobject_cast<QPushButton*>(tb->widget(app::toolbox::kToolsButton)));
    gui_test::pump();
  }
  int conversion_windows = 0;
  for (ui::Window* w : ui::Window::open_windows()) {
    conversion_windows += w->definition().name == app::write_target_code_definition().name ? 1 : 0;
  }
  EXPECT_EQ(conversion_windows, 1);
  EXPECT_FALSE(toolbox.done());
}

}  // namespace
