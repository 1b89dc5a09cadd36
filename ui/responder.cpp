#include "ui/responder.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QFileDialog>
#include <QPointer>
#include <QPushButton>
#include <QUrl>

#include "ui/qt_dialogs.h"
#include "ui/text.h"

namespace ui {
namespace {

// A dialog that closes while it has the keys gives them back to the window
// that had them when it opened (the window engine does the same for its own
// windows): with no window manager nobody else would, and a keyboard user
// could go on only by clicking.
class KeysBack {
 public:
  KeysBack() : before_(QApplication::activeWindow()) {}
  ~KeysBack() {
    const QWidget* now = QApplication::activeWindow();
    if ((!now || !now->isVisible()) && before_ && before_->isVisible() && !before_->isMinimized()) {
      before_->activateWindow();
    }
  }
  KeysBack(const KeysBack&) = delete;
  KeysBack& operator=(const KeysBack&) = delete;

 private:
  QPointer<QWidget> before_;
};

class DesktopResponder final : public Responder {
 public:
  Button message(const MessageRequest& request) override {
    const KeysBack keys_back;
    auto box = make_message_box(request);
    box->exec();
    if (QAbstractButton* clicked = box->clickedButton()) {
      return static_cast<Button>(clicked->property("markfit_button").toInt());
    }
    // Closed without a button (no escape button in the set).
    return request.default_button;
  }

  int popup(const PopupRequest& request) override {
    QMenu menu;
    fill_menu(menu, request.entries);
    QAction* chosen = menu.exec(QPoint(request.at.x, request.at.y));
    return chosen ? chosen->data().toInt() : -1;
  }

  std::optional<std::string> file_dialog(const FileDialogRequest& request) override {
    const KeysBack keys_back;
    QFileDialog dialog(nullptr, to_qstring(request.title), from_system_bytes(request.directory));
    const bool save = (request.flags & kFileSave) != 0;
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    const QStringList filters = qt_name_filters(request.filters);
    if (!filters.isEmpty()) dialog.setNameFilters(filters);
    if (!request.file.empty()) dialog.selectFile(from_system_bytes(request.file));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    return to_system_bytes(files.front());
  }

  void beep() override { QApplication::beep(); }

  void open_url(const std::string& url) override {
    QDesktopServices::openUrl(QUrl(to_qstring(url)));
  }
};

Responder* g_installed = nullptr;

}  // namespace

Responder& responder() {
  if (g_installed) return *g_installed;
  static DesktopResponder desktop;
  return desktop;
}

void set_responder(Responder* r) { g_installed = r; }
Responder* installed_responder() { return g_installed; }

void fill_menu(QMenu& menu, const std::vector<MenuEntry>& entries) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const MenuEntry& e = entries[i];
    if (e.separator) {
      menu.addSeparator();
      continue;
    }
    QString label;
    for (const TextPiece& piece : text_pieces(e.text)) {
      // A file name's "&" is its own, no access key.
      label += piece.system ? from_system_bytes(piece.bytes).replace(u'&', QStringLiteral("&&")) : to_qstring(piece.bytes);
    }
    QAction* action = menu.addAction(label);
    action->setData(static_cast<int>(i));
    action->setEnabled(!e.disabled);
  }
}

std::unique_ptr<QMessageBox> make_message_box(const MessageRequest& request, QWidget* parent) {
  auto box = std::make_unique<QMessageBox>(parent);
  box->setWindowTitle(QString::fromUtf8(request.caption));
  box->setText(QString::fromUtf8(request.text));
  box->setTextFormat(Qt::PlainText);
  switch (request.icon) {
    case MessageIcon::Stop: box->setIcon(QMessageBox::Critical); break;
    case MessageIcon::Question: box->setIcon(QMessageBox::Question); break;
    case MessageIcon::Exclamation: box->setIcon(QMessageBox::Warning); break;
    case MessageIcon::Asterisk: box->setIcon(QMessageBox::Information); break;
    case MessageIcon::None: box->setIcon(QMessageBox::NoIcon); break;
  }
  QPushButton* cancel = nullptr;
  QPushButton* no = nullptr;
  QPushButton* only = nullptr;
  int count = 0;
  for (Button b : kAllButtons) {
    if ((request.buttons & code(b)) == 0) continue;
    // Our own labels and order; the roles only place the buttons.
    QMessageBox::ButtonRole role = QMessageBox::ActionRole;
    if (b == Button::Ok || b == Button::Yes) role = QMessageBox::AcceptRole;
    if (b == Button::No) role = QMessageBox::NoRole;
    if (b == Button::Cancel) role = QMessageBox::RejectRole;
    if (b == Button::Help) role = QMessageBox::HelpRole;
    QPushButton* button = box->addButton(QString::fromLatin1(button_label(b)), role);
    button->setProperty("markfit_button", code(b));
    if (b == request.default_button) box->setDefaultButton(button);
    if (b == Button::Cancel) cancel = button;
    if (b == Button::No) no = button;
    only = button;
    ++count;
  }
  // Escape answers Cancel, else No, else the one button there is.
  if (cancel) box->setEscapeButton(cancel);
  else if (no) box->setEscapeButton(no);
  else if (count == 1) box->setEscapeButton(only);
  return box;
}

QStringList qt_name_filters(const std::vector<FileFilter>& filters) {
  QStringList out;
  for (const FileFilter& f : filters) {
    QStringList patterns;
    for (const std::string& p : f.patterns) {
      if (p == "*.*" || p == "*") {
        patterns << QStringLiteral("*");
        continue;
      }
      // The names come from a system that matched without regard to case.
      const QString q = to_qstring(p);
      patterns << q;
      if (q.toUpper() != q) patterns << q.toUpper();
    }
    patterns.removeDuplicates();
    out << QStringLiteral("%1 (%2)").arg(to_qstring(f.description), patterns.join(QLatin1Char(' ')));
  }
  return out;
}

}  // namespace ui
