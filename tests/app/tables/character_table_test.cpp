// The translation tables browse with its two forms, driven through their
// controls on real data files.
#include "app/tables/character_table.h"

#include <gtest/gtest.h>

#include <QKeyEvent>

#include "app/tables/add_translations.h"
#include "app/tables/update_trans_table.h"
#include "app/tables/update_translations.h"
#include "tests/app/browse_fixture.h"

namespace {

using namespace browse_test;
using ui::Button;
namespace ch = app::character_table;
namespace ut = app::update_trans_table;
namespace ux = app::update_translations;

class CharacterTableTest : public BrowseTest {
 protected:
  const ui::WindowDef& browse() { return app::character_table_definition(); }
  const ui::WindowDef& table_form() { return app::update_trans_table_definition(); }
  const ui::WindowDef& char_form() { return app::update_translations_definition(); }
  void start() {
    task = app::CharacterTable();
    ASSERT_TRUE(opens(browse()));
    gui_test::pump();
  }
  std::vector<std::string> table_names() { return cells(browse(), ch::kTables, 1); }
  std::vector<std::string> characters() { return cells(browse(), ch::kCharacters, 1); }
  std::string current_table() { return highlighted(browse(), ch::kTables, 1); }
  std::string current_char() { return highlighted(browse(), ch::kCharacters, 1); }
  void click_row(int control, int row) {
    auto* view = qobject_cast<QAbstractItemView*>(window(browse())->widget(control));
    gui_test::click(view->viewport(), view->visualRect(view->model()->index(row - 1, 0)).center());
  }
  int characters_of(std::int32_t id) {
    clear(TRA);
    TRA.translationtableid = id;
    std::memset(TRA.character, 0, 2);
    files::set(TRA_CHARACTERSKEY(), TRA_CHARACTERSKEY());
    int n = 0;
    for (files::next(Translations); files::ERRORCODE() == 0 && TRA.translationtableid == id; files::next(Translations)) ++n;
    return n;
  }
  bool has_table(std::int32_t id) {
    TTB.idnr = id;
    files::get(TransTables, TTB_TRANSTABLEKEY());
    return files::ERRORCODE() == 0;
  }
};

TEST_F(CharacterTableTest, TablesInNameOrderWithTheCharactersOfTheHighlightedOne) {
  add_table(1, "Zeta", 5);
  add_table(2, "alpha", 3);
  add_table(3, "empty", 0);
  start();
  EXPECT_EQ(window(browse())->text(0), "Translations table");
  EXPECT_EQ(table_names(), (std::vector<std::string>{"alpha", "empty", "Zeta"}));
  EXPECT_EQ(current_table(), "alpha");
  EXPECT_EQ(characters(), (std::vector<std::string>{"!", "\"", "#"}));
  EXPECT_EQ(current_char(), "!");
  EXPECT_FALSE(window(browse())->widget(ch::kSelect)->isVisible());

  click_row(ch::kTables, 3);
  EXPECT_EQ(characters(), (std::vector<std::string>{"!", "\"", "#", "$", "%"}));
  EXPECT_EQ(current_char(), "!");
  click_row(ch::kCharacters, 4);
  key(browse(), ch::kTables, Qt::Key_Up);  // to the empty table
  EXPECT_EQ(current_table(), "empty");
  EXPECT_TRUE(characters().empty());
  EXPECT_FALSE(window(browse())->widget(ch::kView)->isEnabled());
  double_click(browse(), ch::kCharacters, 1);
  key(browse(), ch::kCharacters, Qt::Key_Return, Qt::ControlModifier);
  EXPECT_EQ(window(char_form()), nullptr) << "nothing to view";
  key(browse(), ch::kTables, Qt::Key_Up);
  EXPECT_EQ(characters().size(), 3u) << "alpha's characters, from the first";
  EXPECT_EQ(current_char(), "!");
  press(browse(), ch::kClose);
  ASSERT_TRUE(gui_test::pump_until([this] { return task.done(); }));
  EXPECT_EQ(app::global_response, app::kRequestCancelled);
}

TEST_F(CharacterTableTest, InsertCancelledLeavesNothingAndOkGivesTheStandardSet) {
  add_table(1, "Zeta", 5);
  add_table(2, "alpha", 3);
  start();
  press(browse(), ch::kInsert);
  ASSERT_TRUE(opens(table_form()));
  EXPECT_EQ(window(table_form())->text(0), "Record Will Be Added");
  EXPECT_EQ(window(table_form())->text(ut::kId), "3");
  EXPECT_TRUE(has_table(3)) << "numbered and added at once";
  type(table_form(), ut::kId, "7");  // a typed id does not decide what Cancel deletes
  press(table_form(), ut::kCancel);
  ASSERT_TRUE(closes(table_form()));
  EXPECT_EQ(count(TransTables), 2);
  EXPECT_EQ(table_names(), (std::vector<std::string>{"alpha", "Zeta"}));

  key(browse(), ch::kTables, Qt::Key_Insert);
  ASSERT_TRUE(opens(table_form()));
  EXPECT_EQ(window(table_form())->text(ut::kId), "3") << "the same id again";
  press(table_form(), ut::kOk);  // a blank name is refused, saying why
  ASSERT_EQ(responder.messages().size(), 1u);
  EXPECT_EQ(responder.messages()[0].text, "The table needs a name.");
  type(table_form(), ut::kName, "New");
  type(table_form(), ut::kId, "0");  // and so is an id of 0
  press(table_form(), ut::kOk);
  ASSERT_EQ(responder.messages().size(), 2u);
  EXPECT_EQ(responder.messages()[1].text, "The ID Nr must be a number from 1 to 9999.");
  ASSERT_NE(window(table_form()), nullptr);
  type(table_form(), ut::kId, "3");
  press(table_form(), ut::kOk);
  ASSERT_TRUE(closes(table_form()));
  ASSERT_TRUE(gui_test::pump_until([this] { return window(app::add_translations_definition()) == nullptr; }));
  gui_test::pump();
  EXPECT_EQ(characters_of(3), 223);
  EXPECT_EQ(table_names(), (std::vector<std::string>{"alpha", "New", "Zeta"}));
  EXPECT_EQ(current_table(), "New");
  EXPECT_EQ(current_char(), "!");

  // Changed, then deleted with its characters after question 32.
  key(browse(), ch::kTables, Qt::Key_Return, Qt::ControlModifier);
  ASSERT_TRUE(opens(table_form()));
  EXPECT_EQ(window(table_form())->text(0), "Record Will Be Changed");
  type(table_form(), ut::kName, "Newer");
  type(table_form(), ut::kId, "9");
  press(table_form(), ut::kOk);
  ASSERT_TRUE(closes(table_form()));
  EXPECT_EQ(current_table(), "Newer");
  EXPECT_EQ(characters_of(9), 223);
  responder.next_answer(Button::Ok);
  key(browse(), ch::kTables, Qt::Key_Delete);
  EXPECT_EQ(responder.messages().back().caption, "Confirm Delete");
  EXPECT_EQ(table_names(), (std::vector<std::string>{"alpha", "Zeta"}));
  EXPECT_EQ(characters_of(9), 0);
}

TEST_F(CharacterTableTest, TypingLocatesInEitherList) {
  add_table(1, "alpha", 0);
  add_table(2, "sa", 0);
  add_table(3, "Sb", 0);
  add_table(4, "t", 223);
  start();
  QWidget* list = window(browse())->widget(ch::kTables);
  QTest::keyClicks(list, "s");
  gui_test::pump();
  EXPECT_EQ(current_table(), "sa");
  QTest::keyClicks(list, "s");
  gui_test::pump();
  EXPECT_EQ(current_table(), "Sb");
  QTest::keyClicks(list, "t");
  gui_test::pump();
  EXPECT_EQ(current_table(), "t");
  EXPECT_EQ(characters().front(), "!");

  QWidget* chars = window(browse())->widget(ch::kCharacters);
  QTest::keyClicks(chars, "&");
  gui_test::pump();
  EXPECT_EQ(current_char(), "&");
  QKeyEvent typed(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUtf8("é"));
  QCoreApplication::sendEvent(chars, &typed);
  gui_test::pump();
  EXPECT_EQ(current_char(), "\xE9");
  EXPECT_EQ(highlighted(browse(), ch::kCharacters, 0), "233");
  EXPECT_EQ(qobject_cast<QAbstractItemView*>(chars)->currentIndex().siblingAtColumn(1).data().toString().trimmed(),
            QString::fromUtf8("é")) << "shown as its character";
}

TEST_F(CharacterTableTest, ACharacterChangedIntoOneTheTableHasIsRefused) {
  add_table(1, "Standard", 40);
  start();
  // A double click whose first click brings the window's focus back (and
  // with it a refill of the lists) still opens the form.
  click_row(ch::kCharacters, 2);  // "\""
  window(browse())->post(ui::events::kGainFocus);
  gui_test::pump();
  auto* view = qobject_cast<QAbstractItemView*>(window(browse())->widget(ch::kCharacters));
  QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(view->model()->index(1, 0)).center());
  ASSERT_TRUE(opens(char_form()));
  EXPECT_EQ(window(char_form())->text(0), "View html code");
  EXPECT_EQ(window(char_form())->text(ux::kCharacter), "\"");
  type(char_form(), ux::kCharacter, "!");
  responder.next_answer(Button::Ok);
  responder.next_answer(Button::No);
  press(char_form(), ux::kOk);
  ASSERT_TRUE(closes(char_form()));
  ASSERT_EQ(responder.messages().size(), 2u);
  EXPECT_EQ(responder.messages()[0].caption, "Update Operation Error");
  EXPECT_NE(responder.messages()[0].text.find("Creates Duplicate Key (40)"), std::string::npos);
  EXPECT_EQ(responder.messages()[1].caption, "Record Update Error");
  EXPECT_EQ(characters_of(1), 40);
  EXPECT_EQ(current_char(), "\"");
  EXPECT_EQ(window(browse())->widget()->focusWidget(), window(browse())->widget(ch::kCharacters));

  // A typed character is stored as its single byte; one the set lacks is
  // refused as it is typed.
  press(browse(), ch::kView);
  ASSERT_TRUE(opens(char_form()));
  auto* entry = qobject_cast<QLineEdit*>(window(char_form())->widget(ux::kCharacter));
  entry->setFocus();
  entry->selectAll();
  const int beeps = responder.beeps();
  for (const QString& typed : {QString::fromUtf8("Ł"), QString::fromUtf8("é")}) {
    QKeyEvent key_press(QEvent::KeyPress, 0, Qt::NoModifier, typed);
    QCoreApplication::sendEvent(entry, &key_press);
  }
  EXPECT_EQ(responder.beeps(), beeps + 1);
  press(char_form(), ux::kOk);
  ASSERT_TRUE(closes(char_form()));
  TRA.translationtableid = 1;
  set_field(TRA.character, "\xE9");
  files::get(Translations, TRA_CHARACTERSKEY());
  ASSERT_EQ(files::ERRORCODE(), 0);
  EXPECT_EQ(TRA.asciinr, 34) << "the character changed; its code stays";
}

TEST_F(CharacterTableTest, ViewArmsDetectionOfAnotherProgramsChange) {
  add_table(1, "Standard", 40);
  start();
  press(browse(), ch::kView);
  ASSERT_TRUE(opens(char_form()));
  {
    OtherProgram other(Translations);
    auto& rec = other.as<TranslationsRecord>();
    rec.translationtableid = 1;
    set_field(rec.character, "!");
    files::get(other.fd(), other.fd().keys[0]);
    ASSERT_EQ(files::ERRORCODE(), 0);
    set_field(rec.htmlchars, "&excl");
    files::put(other.fd());
    ASSERT_EQ(files::ERRORCODE(), 0);
  }
  type(char_form(), ux::kHtml, "&bang");
  responder.next_answer(Button::Ok);
  press(char_form(), ux::kOk);
  ASSERT_EQ(responder.messages().size(), 1u);
  EXPECT_EQ(responder.messages()[0].caption, "Record Was Not Updated");
  EXPECT_EQ(window(char_form())->text(ux::kHtml), "&excl");
  key(char_form(), ux::kHtml, Qt::Key_Apostrophe, Qt::ControlModifier);
  press(char_form(), ux::kOk);
  ASSERT_TRUE(closes(char_form()));
  EXPECT_EQ(highlighted(browse(), ch::kCharacters, 2), "&bang");
}

}  // namespace
