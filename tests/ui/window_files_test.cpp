// Multi-line texts and files dropped from a file manager.
#include <gtest/gtest.h>

#include <QDropEvent>
#include <QFontInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QUrl>

#include "tests/ui/gui_fixture.h"
#include "ui/task.h"

namespace {

using ui::ControlKind;
using ui::control;

constexpr ui::ControlDef kControls[] = {
    control(ControlKind::Entry, "", 4, 4, 100, 12),                             // 1
    control(ControlKind::Text, "", 4, 20, 100, 40).with_flags(ui::kFixedPitch),  // 2
};

ui::WindowDef make_def(const char* name, std::uint32_t flags) {
  ui::WindowDef d;
  d.name = name;
  d.caption = "Files";
  d.w = 110;
  d.h = 70;
  d.flags = flags;
  d.controls = kControls;
  return d;
}
const ui::WindowDef kTaking = make_def("test$TAKING", ui::kAcceptFiles);
const ui::WindowDef kPlain = make_def("test$PLAIN", 0);

struct Seen {
  ui::Window* window = nullptr;
  std::vector<std::pair<int, std::vector<std::string>>> drops;  // control, files
};

ui::Task procedure(const ui::WindowDef& def, std::string* text, Seen* seen) {
  ui::Window w(def);
  w.use(2, text);
  seen->window = &w;
  while (co_await w.next_event()) {
    if (w.event() == ui::events::kDrop) seen->drops.emplace_back(w.field(), w.dropped_files());
  }
  seen->window = nullptr;
}

// Drags `urls` onto `target` and drops them there; whether it was taken.
bool drop(QWidget* target, const QList<QUrl>& urls) {
  QMimeData data;
  data.setUrls(urls);
  QDragEnterEvent enter(QPoint(2, 2), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent dropped(QPointF(2, 2), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &dropped);
  gui_test::pump();
  return dropped.isAccepted();
}

// The procedures outlive the test bodies until TearDown closes their
// windows: what they use belongs to the fixture.
class WindowFilesTest : public gui_test::GuiTest {
 protected:
  std::string text;
  Seen seen, plain;
};

TEST_F(WindowFilesTest, ATextShowsItsLinesReadOnlyInAFixedPitchFont) {
  for (int i = 1; i <= 30; ++i) text += "line " + std::to_string(i) + " \xC3\xA9\n";
  ui::Task task = procedure(kPlain, &text, &seen);
  gui_test::pump();
  ASSERT_NE(seen.window, nullptr);
  seen.window->display(2);
  auto* area = qobject_cast<QPlainTextEdit*>(seen.window->widget(2));
  ASSERT_NE(area, nullptr);
  EXPECT_TRUE(area->isReadOnly());
  EXPECT_TRUE(QFontInfo(area->font()).fixedPitch());
  EXPECT_EQ(area->toPlainText().section('\n', 0, 0), QStringLiteral("line 1 \u00E9"));
  // Shown again unchanged, it stays where the user scrolled it.
  area->verticalScrollBar()->setValue(5);
  seen.window->display(2);
  EXPECT_EQ(area->verticalScrollBar()->value(), 5);
  text = "other";
  seen.window->display(2);
  EXPECT_EQ(area->toPlainText(), QStringLiteral("other"));
  // What a file holds is shown, control characters as their pictures and
  // a byte of no UTF-8 character as a mark: never acted on, never hidden.
  text = "a\tb\x01\x1B[1m\x7F\rc\xE9";
  seen.window->display(2);
  EXPECT_EQ(area->toPlainText(), QString::fromUtf8("a\tb\u2401\u241B[1m\u2421\u240Dc") + QChar(0xDCE9));
}

TEST_F(WindowFilesTest, LocalFilesDroppedOnAWindowThatTakesThemAreNamedWithTheirControl) {
  ui::Task task = procedure(kTaking, &text, &seen);
  gui_test::pump();
  ASSERT_NE(seen.window, nullptr);
  const std::string name = file("caf\xC3\xA9 page.htm");
  EXPECT_TRUE(drop(seen.window->widget(1), {QUrl::fromLocalFile(QString::fromStdString(name))}));
  EXPECT_TRUE(drop(seen.window->widget(0), {QUrl("https://example.invalid/x"), QUrl("file://elsewhere/b"),
                                            QUrl::fromLocalFile("/tmp/a"), QUrl("file:///tmp/latin%E9%20x.htm")}));
  // A web address alone is no file: the entry keeps its own handling.
  EXPECT_FALSE(drop(seen.window->widget(1), {QUrl("https://example.invalid/x")}));
  ASSERT_EQ(seen.drops.size(), 2u);
  EXPECT_EQ(seen.drops[0], (std::pair<int, std::vector<std::string>>{1, {name}}));
  // Only local files, each in the system's bytes, UTF-8 or not.
  EXPECT_EQ(seen.drops[1], (std::pair<int, std::vector<std::string>>{0, {"/tmp/a", "/tmp/latin\xE9 x.htm"}}));
  EXPECT_EQ(qobject_cast<QLineEdit*>(seen.window->widget(1))->text(), QString());

  ui::Task other = procedure(kPlain, &text, &plain);
  gui_test::pump();
  EXPECT_FALSE(drop(plain.window->widget(0), {QUrl::fromLocalFile("/tmp/a")}));
  EXPECT_TRUE(plain.drops.empty());
}

}  // namespace
