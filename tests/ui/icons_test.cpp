// Our own icons are built in as recordings of their SVG drawings, so that
// start-up loads no SVG library: they must draw exactly what the SVG icon
// plugin draws from the same files, at every size, in every mode.
#include "ui/icons.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QPainter>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/ui/gui_fixture.h"

namespace {

const char* const kIcons[] = {"code", "lookup", "markfit", "ok"};

bool recorded_icons_built() { return QFile::exists(QStringLiteral(":/markfit/icons/markfit.pic")); }

QString svg_source(const char* name) {
  const std::filesystem::path dir = std::filesystem::path(__FILE__).parent_path() / "../../ui/resources/icons";
  return QString::fromStdString((dir / (std::string(name) + ".svg")).lexically_normal().string());
}

QImage image_of(const QPixmap& pm) { return pm.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied); }

// The SVG plugin's own rendering, or a null icon where the plugin is missing.
QIcon svg_icon(const char* name) {
  QIcon icon(svg_source(name));
  return icon.pixmap(QSize(16, 16)).isNull() ? QIcon() : icon;
}

// Listed first: the comparisons below load the SVG plugin into the process
// (CTest runs every case in a process of its own anyway).
TEST(BuiltinIcons, DrawWithoutLoadingTheSvgLibrary) {
  gui_test::application();
  if (!recorded_icons_built()) GTEST_SKIP() << "built without Qt's SVG development files";
  for (const char* name : kIcons) {
    const QPixmap pm = ui::builtin_icon(name).pixmap(QSize(32, 32));
    ASSERT_FALSE(pm.isNull()) << name;
    EXPECT_EQ(pm.size(), QSize(32, 32)) << name;
  }
  std::ifstream maps("/proc/self/maps");
  const std::string mapped((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
  EXPECT_EQ(mapped.find("libQt6Svg"), std::string::npos);
  EXPECT_EQ(mapped.find("libqsvgicon"), std::string::npos);
}

TEST(BuiltinIcons, MatchTheSvgPluginPixelForPixel) {
  gui_test::application();
  if (!recorded_icons_built()) GTEST_SKIP() << "built without Qt's SVG development files";
  const QIcon::Mode modes[] = {QIcon::Normal, QIcon::Disabled, QIcon::Active, QIcon::Selected};
  const QSize sizes[] = {{8, 8},   {13, 13},   {16, 16},   {20, 20}, {22, 22},
                         {24, 24}, {31, 31},   {48, 48},   {54, 54}, {64, 64},
                         {128, 128}, {256, 256}, {40, 20}, {12, 30}};
  for (const char* name : kIcons) {
    const QIcon reference = svg_icon(name);
    if (reference.isNull()) GTEST_SKIP() << "Qt's SVG icon plugin is not installed";
    const QIcon ours = ui::builtin_icon(name);
    for (const QIcon::Mode mode : modes) {
      for (const QSize size : sizes) {
        SCOPED_TRACE(testing::Message() << name << " " << size.width() << "x" << size.height() << " mode "
                                        << static_cast<int>(mode));
        EXPECT_EQ(ours.actualSize(size, mode), reference.actualSize(size, mode));
        const QImage a = image_of(ours.pixmap(size, mode));
        const QImage b = image_of(reference.pixmap(size, mode));
        ASSERT_FALSE(a.isNull());
        EXPECT_TRUE(a == b);
      }
    }
  }
}

TEST(BuiltinIcons, PaintLikeTheSvgPluginOnHighDensityTargets) {
  gui_test::application();
  if (!recorded_icons_built()) GTEST_SKIP() << "built without Qt's SVG development files";
  for (const char* name : kIcons) {
    const QIcon reference = svg_icon(name);
    if (reference.isNull()) GTEST_SKIP() << "Qt's SVG icon plugin is not installed";
    const auto painted = [](const QIcon& icon) {
      QImage target(QSize(60, 60), QImage::Format_ARGB32_Premultiplied);
      target.setDevicePixelRatio(1.5);
      target.fill(Qt::white);
      QPainter p(&target);
      icon.paint(&p, QRect(3, 5, 24, 24));
      p.end();
      return target;
    };
    EXPECT_TRUE(painted(ui::builtin_icon(name)) == painted(reference)) << name;
    EXPECT_TRUE(image_of(ui::builtin_icon(name).pixmap(QSize(20, 20), 2.0)) ==
                image_of(reference.pixmap(QSize(20, 20), 2.0)))
        << name;
  }
}

TEST(BuiltinIcons, NamesAreMatchedAsTheDefinitionsWriteThem) {
  gui_test::application();
  EXPECT_FALSE(ui::builtin_icon("~MARKFIT.ICO").isNull());
  EXPECT_FALSE(ui::builtin_icon("c:\\icon\\ok.ico").isNull());
  EXPECT_TRUE(ui::builtin_icon("nosuchicon").isNull());
  EXPECT_TRUE(ui::builtin_icon("").isNull());
}

}  // namespace
