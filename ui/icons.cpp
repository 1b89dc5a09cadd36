#include "ui/icons.h"

#include <QApplication>
#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QPicture>
#include <QPixmapCache>
#include <QString>
#include <QStyle>
#include <QStyleOption>
#include <string>
#include <unordered_map>

#include "ui/file_names.h"
#include "ui/text.h"

namespace ui {
namespace {

struct ThemeName {
  std::string_view name;
  const char* theme;
};

// Theme names of the freedesktop naming scheme that stand for our icons.
constexpr ThemeName kThemeNames[] = {
    {"ok", "dialog-ok"},
};

std::string bare_name(std::string_view name) {
  const FileNameParts parts = split_file_name(name);
  std::string out;
  for (char c : parts.name) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  if (!out.empty() && out.front() == '~') out.erase(0, 1);  // "~markfit.ico": linked-in
  return out;
}

// One of our icons as the build recorded it from its SVG (record_icon.cpp):
// replayed at the size asked for, it gives what the SVG plugin's engine would
// (same size rule, same transform, same painter commands, the style's
// disabled and selected looks), and it keeps that engine's behaviour that
// matters elsewhere: no list of sizes, so a window icon goes to the window
// system at the platform's default sizes, as a scalable icon does.
class RecordedIconEngine final : public QIconEngine {
 public:
  RecordedIconEngine(QPicture picture, QString name) : picture_(std::move(picture)), name_(std::move(name)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    QSize size = rect.size();
    if (painter->device()) size *= painter->device()->devicePixelRatio();
    painter->drawPixmap(rect, pixmap(size, mode, state));
  }

  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
    const QSize actual = picture_.boundingRect().size().scaled(size, Qt::KeepAspectRatio);
    return actual.isEmpty() ? QSize() : actual;
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    const QSize canvas = picture_.boundingRect().size();
    const QSize actual = actualSize(size, mode, state);
    if (actual.isEmpty()) return QPixmap();
    // Styles ask again at every paint of a button.
    const QString key = QStringLiteral("markfit-icon:%1:%2x%3:%4")
                            .arg(name_)
                            .arg(actual.width())
                            .arg(actual.height())
                            .arg(static_cast<int>(mode));
    QPixmap pm;
    if (QPixmapCache::find(key, &pm)) return pm;
    QImage image(actual, QImage::Format_ARGB32_Premultiplied);
    image.fill(0);
    {
      QPainter p(&image);
      p.scale(static_cast<qreal>(actual.width()) / canvas.width(),
              static_cast<qreal>(actual.height()) / canvas.height());
      picture_.play(&p);
    }
    pm = QPixmap::fromImage(image);
    if (mode != QIcon::Normal && qobject_cast<QApplication*>(QCoreApplication::instance())) {
      QStyleOption option(0);
      option.palette = QGuiApplication::palette();
      const QPixmap generated = QApplication::style()->generatedIconPixmap(mode, pm, &option);
      if (!generated.isNull()) pm = generated;
    }
    QPixmapCache::insert(key, pm);
    return pm;
  }

  QIconEngine* clone() const override { return new RecordedIconEngine(picture_, name_); }
  QString key() const override { return QStringLiteral("markfit-recorded"); }

 private:
  QPicture picture_;
  QString name_;
};

}  // namespace

QIcon builtin_icon(std::string_view name) {
  const QString bare = to_qstring(bare_name(name));
  QPicture picture;
  if (picture.load(QStringLiteral(":/markfit/icons/%1.pic").arg(bare)) && !picture.boundingRect().isEmpty()) {
    return QIcon(new RecordedIconEngine(std::move(picture), bare));
  }
  // A build without Qt's SVG development files carries the SVGs themselves.
  const QString svg = QStringLiteral(":/markfit/icons/%1.svg").arg(bare);
  if (!QFile::exists(svg)) return QIcon();
  return QIcon(svg);
}

QIcon load_icon(std::string_view name) {
  // A theme lookup reads the theme's index files; the same few icons are
  // asked for again and again (every toolbox open, every About window).
  static std::unordered_map<std::string, QIcon> cache;
  const std::string bare = bare_name(name);
  if (const auto it = cache.find(bare); it != cache.end()) return it->second;
  QIcon icon = builtin_icon(bare);
  for (const ThemeName& t : kThemeNames) {
    if (t.name == bare) icon = QIcon::fromTheme(QString::fromLatin1(t.theme), icon);
  }
  cache.emplace(bare, icon);
  return icon;
}

}  // namespace ui
