#include "ui/control_map.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>
#include <cstdint>
#include <set>

#include "ui/window.h"

namespace ui {
namespace {

void put_rect(QJsonObject& o, const QWidget* w, QRect r) {
  const QPoint at = w->mapToGlobal(r.topLeft());
  o.insert(QStringLiteral("x"), at.x());
  o.insert(QStringLiteral("y"), at.y());
  o.insert(QStringLiteral("w"), r.width());
  o.insert(QStringLiteral("h"), r.height());
}

void put_widget(QJsonObject& o, const QWidget* w) {
  put_rect(o, w, w->rect());
  o.insert(QStringLiteral("visible"), w->isVisible());
  o.insert(QStringLiteral("enabled"), w->isEnabled());
  o.insert(QStringLiteral("focus"), w->hasFocus());
}

QString widget_text(const QWidget* w) {
  if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
  if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
  if (auto* e = qobject_cast<const QLineEdit*>(w)) return e->text();
  if (auto* s = qobject_cast<const QAbstractSpinBox*>(w)) return s->text();
  if (auto* p = qobject_cast<const QPlainTextEdit*>(w)) return p->toPlainText();
  if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
  return {};
}

void put_rows(QJsonObject& o, const QTreeWidget* list) {
  QTreeWidgetItem* current = list->currentItem();
  o.insert(QStringLiteral("current"), current ? list->indexOfTopLevelItem(current) + 1 : 0);
  QJsonArray rows;
  const QWidget* port = list->viewport();
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* item = list->topLevelItem(i);
    const QRect r = list->visualItemRect(item);
    if (r.isEmpty() || !port->rect().intersects(r)) continue;
    QJsonObject row;
    row.insert(QStringLiteral("row"), i + 1);
    put_rect(row, port, r);
    QJsonArray cells;
    for (int c = 0; c < list->columnCount(); ++c) cells.append(item->text(c));
    row.insert(QStringLiteral("cells"), cells);
    rows.append(row);
  }
  o.insert(QStringLiteral("rows"), rows);
}

bool exposed(const QWidget* top) { return top->windowHandle() && top->windowHandle()->isExposed(); }

// The input the program has taken from the window system: key presses and
// mouse button presses and releases that reached one of its windows (or
// fired a shortcut instead). A driver that counts what it sent knows, once
// the map shows as many, that what the map shows came after its input.
std::uint64_t g_input_taken = 0;

class InputCounter final : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    switch (e->type()) {
      case QEvent::KeyPress:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
        if (e->spontaneous() && o->isWindowType()) ++g_input_taken;
        break;
      case QEvent::Shortcut:  // its key press goes no further
        ++g_input_taken;
        break;
      default:
        break;
    }
    return false;
  }
};

QJsonObject window_entry(const Window& window) {
  QJsonObject o;
  const QWidget* top = window.widget();
  o.insert(QStringLiteral("name"), QString::fromLatin1(window.definition().name.data(),
                                                       static_cast<qsizetype>(window.definition().name.size())));
  o.insert(QStringLiteral("title"), top->windowTitle());
  put_widget(o, top);
  o.insert(QStringLiteral("active"), top->isActiveWindow());
  o.insert(QStringLiteral("minimized"), top->isMinimized());
  o.insert(QStringLiteral("pending"), window.pending_events());
  o.insert(QStringLiteral("waiting"), window.waiting());
  o.insert(QStringLiteral("exposed"), exposed(top));
  QJsonArray controls;
  for (int n = 1; n <= window.control_count(); ++n) {
    const QWidget* w = window.widget(n);
    if (!w) continue;
    QJsonObject c;
    c.insert(QStringLiteral("n"), n);
    c.insert(QStringLiteral("class"), QString::fromLatin1(w->metaObject()->className()));
    put_widget(c, w);
    c.insert(QStringLiteral("text"), widget_text(w));
    if (auto* list = qobject_cast<const QTreeWidget*>(w)) put_rows(c, list);
    controls.append(c);
  }
  o.insert(QStringLiteral("controls"), controls);
  return o;
}

QJsonObject popup_entry(const QMenu* menu) {
  QJsonObject o;
  put_rect(o, menu, menu->rect());
  o.insert(QStringLiteral("exposed"), exposed(menu));
  QJsonArray items;
  for (QAction* a : menu->actions()) {
    if (a->isSeparator() || !a->isVisible()) continue;
    QJsonObject item;
    item.insert(QStringLiteral("text"), a->text());
    put_rect(item, menu, menu->actionGeometry(a));
    item.insert(QStringLiteral("enabled"), a->isEnabled());
    items.append(item);
  }
  o.insert(QStringLiteral("items"), items);
  return o;
}

QJsonObject dialog_entry(const QWidget* top) {
  QJsonObject o;
  o.insert(QStringLiteral("class"), QString::fromLatin1(top->metaObject()->className()));
  o.insert(QStringLiteral("title"), top->windowTitle());
  if (auto* box = qobject_cast<const QMessageBox*>(top)) o.insert(QStringLiteral("text"), box->text());
  put_widget(o, top);
  o.insert(QStringLiteral("active"), top->isActiveWindow());
  o.insert(QStringLiteral("exposed"), exposed(top));
  QJsonArray buttons;
  for (const QPushButton* b : top->findChildren<QPushButton*>()) {
    if (!b->isVisible()) continue;
    QJsonObject e;
    e.insert(QStringLiteral("text"), b->text());
    put_widget(e, b);
    buttons.append(e);
  }
  o.insert(QStringLiteral("buttons"), buttons);
  QJsonArray edits;
  for (const QLineEdit* l : top->findChildren<QLineEdit*>()) {
    if (!l->isVisible()) continue;
    QJsonObject e;
    e.insert(QStringLiteral("text"), l->text());
    put_widget(e, l);
    edits.append(e);
  }
  o.insert(QStringLiteral("edits"), edits);
  return o;
}

class MapWriter final : public QObject {
 public:
  explicit MapWriter(QObject* parent) : QObject(parent) {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { write(); });
    timer_.start();
  }
  void set_path(const QString& path) {
    path_ = path;
    last_.clear();
    write();
  }

 private:
  void write() {
    const QByteArray now = QByteArray::fromStdString(control_map_json());
    if (now == last_) return;
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly) || file.write(now) != now.size() || !file.commit()) return;
    last_ = now;
  }

  QTimer timer_;
  QString path_;
  QByteArray last_;
};

}  // namespace

std::string control_map_json() {
  QJsonObject map;
  std::set<const QWidget*> ours;
  QJsonArray windows;
  for (const Window* w : Window::open_windows()) {
    if (!w->widget()) continue;
    ours.insert(w->widget());
    windows.append(window_entry(*w));
  }
  map.insert(QStringLiteral("windows"), windows);
  map.insert(QStringLiteral("platform"), QGuiApplication::platformName());
  map.insert(QStringLiteral("input"), static_cast<qint64>(g_input_taken));
  const QWidget* active = QApplication::activeWindow();
  map.insert(QStringLiteral("active"), active ? QJsonValue(active->windowTitle()) : QJsonValue());
  QJsonValue popup;
  if (QWidget* p = QApplication::activePopupWidget(); p && p->isVisible()) {
    if (auto* menu = qobject_cast<QMenu*>(p)) {
      popup = popup_entry(menu);
    } else {  // a completer's list, a combo box's drop-down
      QJsonObject o;
      o.insert(QStringLiteral("class"), QString::fromLatin1(p->metaObject()->className()));
      put_rect(o, p, p->rect());
      o.insert(QStringLiteral("exposed"), exposed(p));
      o.insert(QStringLiteral("items"), QJsonArray());
      popup = o;
    }
  }
  map.insert(QStringLiteral("popup"), popup);
  QJsonArray dialogs;
  for (const QWidget* top : QApplication::topLevelWidgets()) {
    if (!top->isVisible() || ours.count(top) || qobject_cast<const QMenu*>(top)) continue;
    if (top->windowType() == Qt::ToolTip || top->windowType() == Qt::Popup) continue;
    dialogs.append(dialog_entry(top));
  }
  map.insert(QStringLiteral("dialogs"), dialogs);
  return QJsonDocument(map).toJson(QJsonDocument::Compact).toStdString();
}

void start_control_map(const std::string& path) {
  static QPointer<MapWriter> writer;
  if (!writer) {
    writer = new MapWriter(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(new InputCounter(writer));
  }
  writer->set_path(QFile::decodeName(QByteArray::fromStdString(path)));
}

}  // namespace ui
