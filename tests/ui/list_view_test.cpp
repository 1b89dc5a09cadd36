// Lists through the window that holds them: page lists whose procedure owns
// the rows, locating by typing, and the drawing of the list format.
#include "ui/list_view.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QHeaderView>
#include <QImage>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTest>
#include <functional>
#include <optional>
#include <vector>

#include "tests/ui/gui_fixture.h"
#include "ui/task.h"

namespace {

using namespace ui::events;
using ui::ControlKind;
using ui::ListEnd;
using ui::control;

constexpr ui::ControlDef kControls[] = {
    control(ControlKind::List, "", 4, 4, 150, 60)
        .with_format("16R(1)|~Nr.~L@n_4@80L(2)|M~Name~@s20@")
        .with_flags(ui::kPageList),                                                 // 1
    control(ControlKind::List, "", 4, 70, 150, 60).with_format("16R@n_4@80L~Name~@s20@"),  // 2
};

ui::WindowDef make_def() {
  ui::WindowDef d;
  d.name = "test$LISTS";
  d.caption = "Lists";
  d.w = 170;
  d.h = 140;
  d.font = {"MS Sans Serif", 8, false};
  d.flags = ui::kSystemMenu;
  d.controls = kControls;
  return d;
}
const ui::WindowDef kLists = make_def();

struct Seen {
  ui::Event event;
  bool busy = false;  // the busy pointer was up while the procedure had it
};

struct Script {
  std::vector<Seen> seen;
  ui::Window* window = nullptr;
  int count(std::int32_t code, int control = 1) const {
    int n = 0;
    for (const Seen& s : seen) n += s.event.code == code && s.event.control == control;
    return n;
  }
  const Seen* last(std::int32_t code) const {
    for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
      if (it->event.code == code) return &*it;
    }
    return nullptr;
  }
};

ui::Task recorder(Script* script) {
  ui::Window w(kLists);
  script->window = &w;
  while (co_await w.next_event()) {
    ui::Event e{w.event(), w.field(), w.keycode(), w.mouse_x(), w.mouse_y(), 0};
    e.value = w.event() == kLocate ? w.typed_char() : w.thumb_position();
    const QCursor* c = QGuiApplication::overrideCursor();
    script->seen.push_back(Seen{e, c && c->shape() == Qt::WaitCursor});
  }
  script->window = nullptr;
}

std::vector<std::string> row(int id) {
  return {std::to_string(id), "Name " + std::to_string(id), "position " + std::to_string(id)};
}

class ListTest : public gui_test::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    task = recorder(&s);
  }
  ui::Window& w() { return *s.window; }
  ui::ListView* list(int n = 1) { return dynamic_cast<ui::ListView*>(s.window->widget(n)); }
  bool wait_for(std::int32_t code, int times = 1, int control = 1) {
    return gui_test::pump_until([&] { return s.count(code, control) >= times; });
  }
  void fill(int first, int rows) {
    std::vector<std::vector<std::string>> page;
    for (int i = 0; i < rows; ++i) page.push_back(row(first + i));
    w().set_list_rows(1, page);
  }
  std::string id_at(int r) { return w().list_row(1, r).at(0); }

  Script s;
  ui::Task task;
};

TEST_F(ListTest, PageListKeepsItsRowsAndTheHighlightAcrossChanges) {
  const int page = w().list_page_size(1);
  ASSERT_GE(page, 3);
  fill(10, page);
  // Exactly the whole rows fit: the last row's bottom lies within the view.
  const QRect last = list()->visualItemRect(list()->topLevelItem(page - 1));
  EXPECT_LE(last.bottom(), list()->viewport()->height());
  EXPECT_GT(last.bottom() + last.height(), list()->viewport()->height());

  w().set_property(1, ui::props::kSelected, "2");  // id 11
  w().list_drop(1, ListEnd::Front);
  w().list_add(1, row(10 + page), ListEnd::Back);
  EXPECT_EQ(w().property(1, ui::props::kSelected), "1");
  EXPECT_EQ(id_at(1), "11");
  EXPECT_EQ(w().list_row(1, page), row(10 + page));  // hidden cells kept
  w().list_drop(1, ListEnd::Back);
  w().list_add(1, row(10), ListEnd::Front);
  EXPECT_EQ(w().property(1, ui::props::kSelected), "2");
  EXPECT_TRUE(w().list_replace(1, 2, {"11", "Renamed", "position 11"}));
  EXPECT_EQ(w().property(1, ui::props::kSelected), "2");
  EXPECT_TRUE(list()->topLevelItem(1)->text(1).startsWith(QStringLiteral("Renamed ")));
  EXPECT_FALSE(w().list_replace(1, page + 1, row(0)));
  EXPECT_TRUE(w().list_row(1, page + 1).empty());
  // Dropping the highlighted row leaves none.
  w().set_property(1, ui::props::kSelected, std::to_string(page));
  w().list_drop(1, ListEnd::Back);
  EXPECT_EQ(w().property(1, ui::props::kSelected), "0");
  EXPECT_EQ(w().list_row_count(1), page - 1);
  gui_test::pump();
  EXPECT_EQ(s.count(kNewSelection), 0);  // the procedure's changes are no news to it
}

TEST_F(ListTest, MovesOffThePageComeToTheProcedureWithABusyPointer) {
  fill(1, 3);
  w().set_list_thumb(1, 40);
  QWidget* view = list();
  view->setFocus();
  w().set_property(1, ui::props::kSelected, "1");
  QTest::keyClick(view, Qt::Key_Up);
  ASSERT_TRUE(wait_for(kScrollUp));
  EXPECT_TRUE(s.last(kScrollUp)->busy);
  QTest::keyClick(view, Qt::Key_Down);  // within the page: the list's own move
  ASSERT_TRUE(wait_for(kNewSelection));
  EXPECT_FALSE(s.last(kNewSelection)->busy);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);  // gone once the procedure asked again
  QTest::keyClick(view, Qt::Key_Down);
  QTest::keyClick(view, Qt::Key_Down);  // the last row: off the page
  ASSERT_TRUE(wait_for(kScrollDown));
  QTest::keyClick(view, Qt::Key_PageDown);
  QTest::keyClick(view, Qt::Key_PageUp);
  QTest::keyClick(view, Qt::Key_Home);
  QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
  ASSERT_TRUE(wait_for(kScrollBottom));
  EXPECT_EQ(s.count(kPageDown), 1);
  EXPECT_EQ(s.count(kPageUp), 1);
  EXPECT_EQ(s.count(kScrollTop), 1);
  EXPECT_EQ(w().property(1, ui::props::kSelected), "3");  // nothing scrolled by itself

  QWheelEvent wheel(QPointF(10, 10), view->mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, -240), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(list()->viewport(), &wheel);
  ASSERT_TRUE(wait_for(kScrollDown, 3));

  QScrollBar* bar = list()->page_bar();
  ASSERT_NE(bar, nullptr);
  EXPECT_TRUE(bar->isVisible());
  EXPECT_EQ(bar->geometry().left(), list()->geometry().right() + 1);
  bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
  ASSERT_TRUE(wait_for(kPageDown, 2));
  EXPECT_EQ(bar->value(), 40);  // the thumb is the procedure's to move
  bar->setSliderDown(true);
  bar->setSliderPosition(70);
  bar->setSliderDown(false);
  ASSERT_TRUE(wait_for(kScrollDrag));
  EXPECT_EQ(s.last(kScrollDrag)->event.value, 70);
  EXPECT_TRUE(s.last(kScrollDrag)->busy);
  w().set_property(1, ui::props::kHide, "1");
  EXPECT_FALSE(bar->isVisible());
}

TEST_F(ListTest, TypingLocatesByTheCharactersByte) {
  fill(1, 3);
  w().set_property(1, ui::props::kSelected, "1");
  const auto type = [&](QWidget* target, QChar ch) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QCoreApplication::sendEvent(target, &press);
  };
  for (QChar ch : {QChar(u'&'), QChar(u'\u00e9'), QChar(u'\u20ac'), QChar(u' '), QChar(u'\u0416'), QChar(u'~')}) {
    type(list(), ch);
  }
  ASSERT_TRUE(wait_for(kLocate, 4));
  gui_test::pump();
  std::vector<int> bytes;
  for (const Seen& seen : s.seen) {
    if (seen.event.code == kLocate) bytes.push_back(seen.event.value);
  }
  // The blank and a character the set lacks are not typed characters.
  EXPECT_EQ(bytes, (std::vector<int>{'&', 0xE9, 0x80, '~'}));
  EXPECT_EQ(w().property(1, ui::props::kSelected), "1");  // a page list leaves the moving to its procedure

  // A plain list reports it and moves to the next row whose value begins
  // with it, round to the first.
  w().set_list_rows(2, {{"1", "Standard"}, {"2", "beta"}, {"3", "second"}});
  w().set_list_value_column(2, 2);
  for (int i = 0; i < 3; ++i) type(list(2), u's');
  ASSERT_TRUE(wait_for(kLocate, 3, 2));
  EXPECT_EQ(w().property(2, ui::props::kSelected), "1");
  EXPECT_EQ(s.count(kNewSelection, 2), 3);
}

TEST_F(ListTest, RightClickHighlightsTheRowAndGivesItsPosition) {
  w().alert(ui::keys::kMouseRight, 1);
  fill(1, 3);
  QWidget* viewport = list()->viewport();
  const QPoint at = list()->visualItemRect(list()->topLevelItem(2)).center();
  gui_test::click(viewport, at, Qt::RightButton);
  // The window system follows a right click with its context menu event.
  QContextMenuEvent menu(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
  QCoreApplication::sendEvent(viewport, &menu);
  ASSERT_TRUE(wait_for(kAlertKey));
  const ui::Event& e = s.last(kAlertKey)->event;
  EXPECT_EQ(e.key, ui::keys::kMouseRight);
  EXPECT_EQ(QPoint(e.mouse_x, e.mouse_y), viewport->mapTo(w().widget(), at));
  EXPECT_EQ(w().property(1, ui::props::kSelected), "3");
}

// The picture of a list as drawn, for comparing two formats.
QImage grab_list(ui::Window& w, int control) {
  QWidget* view = w.widget(control);
  view->resize(view->size());
  return view->grab().toImage();
}

TEST_F(ListTest, FormatIndentBordersAndResizingAreDrawn) {
  ui::ListView* paged = list(1);
  // Same widths, so only the format differs: "|" and the indent of 1.
  w().set_position(2, ui::Window::kUnchanged, ui::Window::kUnchanged, paged->width(), paged->height());
  fill(1, 3);
  w().set_list_rows(2, {row(1), row(2), row(3)});
  const QImage with = grab_list(w(), 1);
  const QImage without = grab_list(w(), 2);
  const QPoint origin = paged->viewport()->mapTo(paged, QPoint(0, 0));
  const QRect cell = paged->visualRect(paged->model()->index(1, 0));
  const int border_x = origin.x() + cell.right();
  const int y = origin.y() + cell.center().y();
  EXPECT_NE(with.pixel(border_x, y), without.pixel(border_x, y));
  EXPECT_EQ(with.pixel(border_x, y), paged->palette().color(QPalette::Mid).rgb());

  // The right-justified id sits one unit further from the right edge.
  const auto rightmost_ink = [&](const QImage& img) {
    const QRgb background = img.pixel(origin.x() + cell.left() + 1, y);
    for (int x = origin.x() + cell.right() - 1; x > origin.x() + cell.left(); --x) {
      for (int dy = -3; dy <= 3; ++dy) {
        if (img.pixel(x, y + dy) != background) return x;
      }
    }
    return -1;
  };
  EXPECT_EQ(rightmost_ink(without) - rightmost_ink(with), w().du_x(1));

  EXPECT_EQ(paged->header()->sectionResizeMode(0), QHeaderView::Fixed);
  EXPECT_EQ(paged->header()->sectionResizeMode(1), QHeaderView::Interactive);  // "M"
  EXPECT_FALSE(paged->header()->sectionsMovable());
  EXPECT_EQ(paged->headerItem()->text(0), QStringLiteral("Nr."));
  EXPECT_EQ(paged->headerItem()->textAlignment(0) & Qt::AlignHorizontal_Mask, Qt::AlignLeft);  // its own "L"
  EXPECT_EQ(paged->topLevelItem(0)->textAlignment(0) & Qt::AlignHorizontal_Mask, Qt::AlignRight);
}

}  // namespace

