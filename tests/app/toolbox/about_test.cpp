#include "app/toolbox/about_markfit.h"

#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "app/data/globals.h"
#include "app/windows/placement.h"
#include "runtime/settings.h"
#include "tests/app/app_fixture.h"

namespace {

namespace about = app::about;

class AboutTest : public gui_test::GuiTest {
 protected:
  void open() {
    task = app::AboutMarkfit();
    gui_test::pump();
    window = app_test::window_named(app::about_definition().name);
    ASSERT_NE(window, nullptr);
  }
  QColor link_colour() { return window->widget(about::kLink)->palette().color(QPalette::WindowText); }
  QWidget* region() { return window->widget(about::kLinkRegion); }

  ui::Task task;
  ui::Window* window = nullptr;
};

TEST_F(AboutTest, ShowsItsTexts) {
  open();
  EXPECT_EQ(window->text(0), "About Markfit - version 1.04");
  EXPECT_EQ(window->text(about::kTitle), "Netloom Utilities");
  EXPECT_EQ(window->text(about::kPurpose), "Utility program for Netloom developers.");
  EXPECT_EQ(window->text(about::kAuthorPrompt), "Author:");
  EXPECT_EQ(window->text(about::kClose), "&Close");
  EXPECT_EQ(link_colour(), QColor(0, 0, 255));
  EXPECT_EQ(region()->cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(AboutTest, LinkIsRedUnderTheMouseAndBlueWhenItLeaves) {
  open();
  const QPointF inside(5, 5);
  QEnterEvent enter(inside, region()->mapTo(window->widget(), inside), region()->mapToGlobal(inside));
  QCoreApplication::sendEvent(region(), &enter);
  gui_test::pump();
  EXPECT_EQ(link_colour(), QColor(255, 0, 0));
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(region(), &leave);
  gui_test::pump();
  EXPECT_EQ(link_colour(), QColor(0, 0, 255));
}

TEST_F(AboutTest, ReleaseOverTheLinkOpensTheAddress) {
  open();
  QTest::mousePress(region(), Qt::LeftButton, {}, QPoint(4, 4));
  QTest::mouseRelease(region(), Qt::LeftButton, {}, QPoint(6, 5));
  gui_test::pump();
  EXPECT_EQ(responder.urls(), std::vector<std::string>{about::kWebAddress});
  // Pressed on the link but released away from it: nothing opens.
  QTest::mousePress(region(), Qt::LeftButton, {}, QPoint(4, 4));
  QTest::mouseRelease(region(), Qt::LeftButton, {}, QPoint(4, 300));
  gui_test::pump();
  EXPECT_EQ(responder.urls().size(), 1u);
  EXPECT_FALSE(task.done());  // the window stays open
}

TEST_F(AboutTest, RestoresAndSavesItsPlacementAndAnswersCancelled) {
  app_test::write_file(file("Markfit.ini"), "[AboutMarkfit]\nXPosit=77\nYPosit=66\n");
  open();
  EXPECT_EQ(window->widget()->geometry().topLeft(), QPoint(window->du_x(77), window->du_y(66)));  // the client area
  window->set_position(0, window->du_x(90), window->du_y(91));
  app::global_response = 0;
  gui_test::click(qobject_cast<QPushButton*>(window->widget(about::kClose)));
  ASSERT_TRUE(gui_test::pump_until([this] { return task.done(); }));
  EXPECT_EQ(app::global_response, app::kRequestCancelled);
  EXPECT_EQ(runtime::GETINI("AboutMarkfit", "XPosit", "", app::kSettingsFile), "90");
  EXPECT_EQ(runtime::GETINI("AboutMarkfit", "YPosit", "", app::kSettingsFile), "91");
}

}  // namespace
