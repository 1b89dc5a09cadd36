#include "ui/menu_text.h"

#include <gtest/gtest.h>

#include <QMenu>

#include "tests/ui/gui_fixture.h"
#include "ui/qt_dialogs.h"
#include "ui/services.h"
#include "ui/text.h"

namespace {

TEST(MenuTextTest, SeparatorsAreNotCounted) {
  const auto entries = ui::parse_menu_text("&Restore|-|&Close");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].number, 1);
  EXPECT_EQ(entries[0].access_key, 'r');
  EXPECT_TRUE(entries[1].separator);
  EXPECT_EQ(entries[1].number, 0);
  EXPECT_EQ(entries[2].number, 2);
  EXPECT_EQ(entries[2].text, "&Close");
  EXPECT_EQ(ui::menu_choice_number(entries, 2), 2);
  EXPECT_EQ(ui::menu_choice_number(entries, 1), 0);
  EXPECT_EQ(ui::menu_choice_number(entries, 3), 0);
}

TEST(MenuTextTest, TildeDisablesAnItemButKeepsItsNumber) {
  const auto entries = ui::parse_menu_text("&Insert|~&Change|~&Delete");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_FALSE(entries[0].disabled);
  EXPECT_TRUE(entries[1].disabled);
  EXPECT_EQ(entries[1].text, "&Change");
  EXPECT_EQ(entries[2].number, 3);
  EXPECT_EQ(ui::menu_choice_number(entries, 1), 0);
  EXPECT_EQ(ui::menu_choice_number(entries, 0), 1);
}

TEST(MenuTextTest, OddEntries) {
  EXPECT_TRUE(ui::parse_menu_text("").empty());
  // Empty items keep the numbering of the items after them.
  const auto entries = ui::parse_menu_text("a||b|");
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_TRUE(entries[1].disabled);
  EXPECT_EQ(entries[2].number, 3);
  EXPECT_EQ(entries[3].number, 4);
  // Blanks around a separator, a disabled separator, a literal ampersand.
  const auto more = ui::parse_menu_text(" - |~-|Fish && &Chips|&");
  EXPECT_TRUE(more[0].separator);
  EXPECT_TRUE(more[1].separator);
  EXPECT_EQ(more[2].number, 1);
  EXPECT_EQ(more[2].access_key, 'c');
  EXPECT_EQ(more[3].access_key, 0);
  EXPECT_EQ(ui::menu_label("Fish && &Chips"), "Fish & Chips");
  EXPECT_EQ(ui::menu_label("E&xit"), "Exit");
}

TEST(MenuTextTest, SystemPiecesAreTakenWhole) {
  using ui::TextPiece;
  const std::string name = "caf\xC3\xA9 a|b&~-c\xE9.htm";  // UTF-8, then a byte that is none
  const struct {
    std::string text;
    std::vector<TextPiece> pieces;
  } cases[] = {
      {"a" + ui::system_text(name) + "b", {{"a", false}, {name, true}, {"b", false}}},
      {ui::system_text(""), {}},
      {"x\x01" "9:ab", {{"x", false}, {"ab", true}}},  // a length past the end: what there is
      {"x\x01y\x01" "3", {{"x", false}, {"y", false}, {"3", false}}},  // marks that start no piece are dropped
  };
  for (const auto& c : cases) EXPECT_EQ(ui::text_pieces(c.text), c.pieces) << c.text;
  // In a menu a file name's "|", "&", "~" and "-" are its own.
  const auto entries = ui::parse_menu_text("&1 " + ui::system_text(name) + "|" + ui::system_text("-") + "|&Browse...");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].access_key, '1');
  EXPECT_EQ(entries[0].text, "&1 " + ui::system_text(name));
  EXPECT_FALSE(entries[1].separator);
  EXPECT_EQ(entries[2].number, 3);
  EXPECT_EQ(ui::parse_menu_text("&" + ui::system_text("x"))[0].access_key, 0);
}

class PopupTest : public gui_test::GuiTest {};

TEST_F(PopupTest, AFileNameInAMenuIsShownAsTheSystemsBytes) {
  QMenu menu;
  ui::fill_menu(menu, ui::parse_menu_text("&1 " + ui::system_text("caf\xC3\xA9 & co|x\xE9") + "|-|&Browse..."));
  ASSERT_EQ(menu.actions().size(), 3);
  EXPECT_EQ(menu.actions()[0]->text(), ui::from_system_bytes("&1 caf\xC3\xA9 && co|x\xE9"));
  EXPECT_EQ(menu.actions()[2]->text(), QStringLiteral("&Browse..."));
}

TEST_F(PopupTest, ChoiceCountsItemsWithoutSeparators) {
  responder.next_answer(ui::MenuPick{"&Close"});
  EXPECT_EQ(ui::popup("&Restore|-|&Close"), 2);
  responder.next_answer(ui::MenuPick{"&Restore"});
  EXPECT_EQ(ui::popup("&Restore|-|&Close"), 1);
  ASSERT_EQ(responder.popups().size(), 2u);
  EXPECT_EQ(responder.popups()[0].entries.size(), 3u);
  EXPECT_TRUE(responder.popups()[0].entries[1].separator);
}

TEST_F(PopupTest, DismissedDisabledAndSeparatorChooseNothing) {
  responder.next_answer(ui::MenuIndex{-1});
  EXPECT_EQ(ui::popup("&Restore|-|&Close"), 0);
  responder.next_answer(ui::MenuIndex{1});  // the separator
  EXPECT_EQ(ui::popup("&Restore|-|&Close"), 0);
  responder.next_answer(ui::MenuPick{"&Change"});
  EXPECT_EQ(ui::popup("&Insert|~&Change|~&Delete"), 0);
  responder.next_answer(ui::MenuIndex{7});  // past the end
  EXPECT_EQ(ui::popup("&Insert|~&Change|~&Delete"), 0);
  EXPECT_EQ(ui::popup("&Insert"), 0);  // nothing queued: dismissed
  EXPECT_EQ(responder.unanswered(), 1);
}

TEST_F(PopupTest, EmptyTextShowsNoMenu) {
  EXPECT_EQ(ui::popup(""), 0);
  EXPECT_TRUE(responder.popups().empty());
}

}  // namespace
