// record_icon IN.svg OUT.pic: a build step, not part of the program.
//
// Records the painter commands that drawing IN.svg issues into a QPicture
// and saves it as OUT.pic, with the SVG's own size as the picture's bounding
// rectangle. The program replays that recording (ui/icons.cpp) at whatever
// size an icon is asked for and gets the very pixels the SVG renderer would
// give, without loading the SVG library and its icon plugin at start-up.
// The SVG files stay the icons' source; the recordings live in the build
// directory only.
//
// Exit status 0 when OUT.pic was written; 1 with a message on stderr when
// IN.svg cannot be read as SVG or OUT.pic cannot be written.
#include <QPainter>
#include <QPicture>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: record_icon IN.svg OUT.pic\n", stderr);
    return 1;
  }
  const QString in = QString::fromLocal8Bit(argv[1]);
  const QString out = QString::fromLocal8Bit(argv[2]);
  QSvgRenderer renderer(in);
  const QSize size = renderer.defaultSize();
  if (!renderer.isValid() || size.isEmpty()) {
    std::fprintf(stderr, "record_icon: %s is no SVG drawing\n", argv[1]);
    return 1;
  }
  QPicture picture;
  QPainter painter(&picture);
  // The icon engine of the SVG plugin renders the whole drawing onto an
  // image of the size asked for; recorded onto the default size here and
  // replayed under a scale there, the painter sees the same transform.
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  picture.setBoundingRect(QRect(QPoint(0, 0), size));
  painter.end();
  if (!picture.save(out)) {
    std::fprintf(stderr, "record_icon: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
