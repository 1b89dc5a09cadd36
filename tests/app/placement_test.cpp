#include "app/placement.h"

#include <gtest/gtest.h>

#include <QWidget>

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
};

TEST_F(PlacementTest, SaveWritesEveryKeyInOrder) {
  ui::Window w(kSizable);
  w.set_position(0, 40, 30, 300, 200);
  app::save_placement(w, "Win", app::kSettingsFile);
  EXPECT_EQ(ini(), "[Win]\nMaximize=No\nXPosit=40\nYPosit=30\nWidth=300\nHeight=200\n");
}

TEST_F(PlacementTest, MaximisedWindowWritesYesWithItsNormalPlacementAndComesBackSo) {
  {
    ui::Window w(kSizable);
    w.set_position(0, 40, 30, 300, 200);
    w.set_property(0, ui::props::kMaximize, "1");
    app::save_placement(w, "Win", app::kSettingsFile);
  }
  EXPECT_EQ(value("Maximize"), "Yes");
  EXPECT_EQ(value("XPosit"), "40");
  EXPECT_EQ(value("Width"), "300");
  ui::Window again(kSizable);
  app::restore_placement(again, "Win", app::kSettingsFile);
  EXPECT_EQ(again.property(0, ui::props::kMaximize), "1");
  EXPECT_EQ(again.widget()->normalGeometry(), QRect(40, 30, 300, 200));
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
  EXPECT_EQ(w.widget()->geometry(), QRect(QPoint(70, 60), own));
}

TEST_F(PlacementTest, ResizableWindowTakesPositionAndSize) {
  store("Maximize=No\nXPosit=70\nYPosit=60\nWidth=320\nHeight=240\n");
  ui::Window w(kSizable);
  app::restore_placement(w, "Win", app::kSettingsFile);
  EXPECT_EQ(w.widget()->geometry(), QRect(70, 60, 320, 240));
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

TEST(PlacementNumberTest, ReadsTheLeadingNumber) {
  EXPECT_EQ(app::placement_number("  120"), 120);
  EXPECT_EQ(app::placement_number("-35"), -35);
  EXPECT_EQ(app::placement_number("12px"), 12);
  EXPECT_EQ(app::placement_number("px"), 0);
  EXPECT_EQ(app::placement_number(""), 0);
  EXPECT_EQ(app::placement_number("99999999999999"), 0);
}

}  // namespace
