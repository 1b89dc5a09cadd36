#include "app/windows/placement.h"

#include <gtest/gtest.h>

#include <QWidget>
#include <cstdlib>

#include "runtime/settings.h"
#include "tests/app/app_fixture.h"

namespace {

using app_test::read_file;
using app_test::write_file;

constexpr ui::ControlDef kNoControls[1] = {ui::control(ui::ControlKind::String, "x", 4, 4, 20, 8)};

ui::WindowDef make_def(bool resizable) {
  ui::WindowDef d;
  d.name = resizable ? "test$SIZABLE" : "test$FIXED";
  d.w = 120;
  d.h = 80;
  d.font = {"MS Sans Serif", 8, false};
  d.flags = ui::kSystemMenu | (resizable ? ui::kResizable : 0u);
  d.controls = kNoControls;
  return d;
}
const ui::WindowDef kSizable = make_def(true);
const ui::WindowDef kFixed = make_def(false);

class PlacementTest : public gui_test::GuiTest {
 protected:
  std::string ini() const { return read_file(file("Markfit.ini")); }
  std::string value(const char* key) const { return runtime::GETINI("Win", key, "<none>", app::kSettingsFile); }
  void store(const std::string& keys) { write_file(file("Markfit.ini"), "[Win]\n" + keys); }
  static QRect px(const ui::Window& w, int x, int y, int width, int height) {
    return QRect(w.du_x(x), w.du_y(y), w.du_x(width), w.du_y(height));
  }
};

// Values are stored in the window's dialog units; px() gives the pixels
// of a rectangle in units.
TEST_F(PlacementTest, SaveWritesDialogUnitsInOrder) {
  ui::Window w(kSizable);
  const QRect r = px(w, 40, 30, 150, 100);
  w.set_position(0, r.x(), r.y(), r.width(), r.height());
  app::save_placement(w, "Win", app::kSettingsFile);
  EXPECT_EQ(ini(), "[Win]\nMaximize=No\nXPosit=40\nYPosit=30\nWidth=150\nHeight=100\n");
}

TEST_F(PlacementTest, SaveAfterRestoreWritesTheSameNumbers) {
  // Pixels that fall between units: the first save rounds, and from then
  // on every restore and save keeps the numbers.
  std::string first;
  for (int round = 0; round < 3; ++round) {
    ui::Window w(kSizable);
    if (round == 0) w.set_position(0, 101, 77, 333, 211);
    else app::restore_placement(w, "Win", app::kSettingsFile);
    app::save_placement(w, "Win", app::kSettingsFile);
    if (round == 0) first = ini();
    else EXPECT_EQ(ini(), first) << "round " << round;
  }
  ui::Window w(kSizable);
  app::restore_placement(w, "Win", app::kSettingsFile);
  EXPECT_LE(std::abs(w.widget()->x() - 101), w.du_x(1));
  EXPECT_LE(std::abs(w.widget()->width() - 333), w.du_x(1));
}

TEST_F(PlacementTest, PlacementOffEveryScreenKeepsTheDefaultPlace) {
  for (const char* keys : {"XPosit=20000\nYPosit=30\nWidth=150\nHeight=100\n",
                           "XPosit=-300\nYPosit=-200\nWidth=150\nHeight=100\n",
                           "XPosit=2000000000\nYPosit=2000000000\nWidth=1\nHeight=1\n"}) {
    store(std::string("Maximize=No\n") + keys);
    ui::Window w(kSizable);
    const QRect before = w.widget()->geometry();
    app::restore_placement(w, "Win", app::kSettingsFile);
    EXPECT_EQ(w.widget()->geometry(), before) << keys;
  }
  // Partly on a screen is in sight: applied.
  store("Maximize=No\nXPosit=-100\nYPosit=20\nWidth=150\nHeight=100\n");
  ui::Window w(kSizable);
  app::restore_placement(w, "Win", app::kSettingsFile);
  EXPECT_EQ(w.widget()->geometry(), px(w, -100, 20, 150, 100));
}

TEST_F(PlacementTest, MaximisedWindowWritesYesWithItsNormalPlacementAndComesBackSo) {
  {
    ui::Window w(kSizable);
    const QRect r = px(w, 40, 30, 150, 100);
    w.set_position(0, r.x(), r.y(), r.width(), r.height());
    w.set_property(0, ui::props::kMaximize, "1");
    app::save_placement(w, "Win", app::kSettingsFile);
  }
  EXPECT_EQ(value("Maximize"), "Yes");
  EXPECT_EQ(value("XPosit"), "40");
  EXPECT_EQ(value("Width"), "150");
  ui::Window again(kSizable);
  app::restore_placement(again, "Win", app::kSettingsFile);
  EXPECT_EQ(again.property(0, ui::props::kMaximize), "1");
  EXPECT_EQ(again.widget()->normalGeometry(), px(again, 40, 30, 150, 100));
}

TEST_F(PlacementTest, MinimisedWindowWritesNothing) {
  store("XPosit=5\n");
  ui::Window w(kSizable);
  w.set_position(0, 40, 30, 300, 200);
  w.set_property(0, ui::props::kIconize, "1");
  app::save_placement(w, "Win", app::kSettingsFile);
  EXPECT_EQ(ini(), "[Win]\nXPosit=5\n");
}

TEST_F(PlacementTest, StoredXPositZeroIgnoresTheWholeSection) {
  store("Maximize=Yes\nXPosit=0\nYPosit=50\nWidth=300\nHeight=200\n");
  ui::Window w(kSizable);
  const QRect before = w.widget()->geometry();
  app::restore_placement(w, "Win", app::kSettingsFile);
  EXPECT_EQ(w.widget()->geometry(), before);
  EXPECT_EQ(w.property(0, ui::props::kMaximize), "");
}

TEST_F(PlacementTest, WindowWithoutResizableFrameTakesThePositionButKeepsItsSize) {
  store("Maximize=No\nXPosit=70\nYPosit=60\nWidth=999\nHeight=888\n");
  ui::Window w(kFixed);
  const QSize own = w.widget()->size();
  app::restore_placement(w, "Win", app::kSettingsFile);
  EXPECT_EQ(w.widget()->geometry(), QRect(QPoint(w.du_x(70), w.du_y(60)), own));
}

TEST_F(PlacementTest, ResizableWindowTakesPositionAndSize) {
  store("Maximize=No\nXPosit=70\nYPosit=60\nWidth=160\nHeight=120\n");
  ui::Window w(kSizable);
  app::restore_placement(w, "Win", app::kSettingsFile);
  EXPECT_EQ(w.widget()->geometry(), px(w, 70, 60, 160, 120));
}

TEST_F(PlacementTest, StoredWidthZeroLeavesTheWindowWhereItWas) {
  store("Maximize=Yes\nXPosit=70\nYPosit=60\nWidth=0\nHeight=240\n");
  ui::Window w(kSizable);
  const QRect before = w.widget()->geometry();
  app::restore_placement(w, "Win", app::kSettingsFile);
  EXPECT_EQ(w.widget()->normalGeometry(), before);
  EXPECT_EQ(w.property(0, ui::props::kMaximize), "1");  // step 3 still runs
}

TEST_F(PlacementTest, StoredYPositZeroSkipsTheMoveOnly) {
  store("Maximize=No\nXPosit=70\nYPosit=0\nWidth=320\nHeight=240\n");
  ui::Window w(kSizable);
  const QRect before = w.widget()->geometry();
  app::restore_placement(w, "Win", app::kSettingsFile);
  EXPECT_EQ(w.widget()->geometry(), before);
}

TEST_F(PlacementTest, MissingFileRestoresNothing) {
  ui::Window w(kSizable);
  const QRect before = w.widget()->geometry();
  app::restore_placement(w, "Win", app::kSettingsFile);
  EXPECT_EQ(w.widget()->geometry(), before);
}

TEST(PlacementPlatformTest, OnlyNativeWaylandHidesWhereWindowsAre) {
  for (const char* name : {"xcb", "offscreen", "minimal", "vnc"}) {
    EXPECT_TRUE(app::platform_reports_positions(name)) << name;
  }
  for (const char* name : {"wayland", "wayland-egl", "wayland-brcm"}) {
    EXPECT_FALSE(app::platform_reports_positions(name)) << name;
  }
}

TEST(PlacementNumberTest, ReadsTheLeadingNumber) {
  EXPECT_EQ(app::placement_number("  120"), 120);
  EXPECT_EQ(app::placement_number("-35"), -35);
  EXPECT_EQ(app::placement_number("12px"), 12);
  EXPECT_EQ(app::placement_number("px"), 0);
  EXPECT_EQ(app::placement_number(""), 0);
  EXPECT_EQ(app::placement_number("99999999999999"), 0);
}

}  // namespace
