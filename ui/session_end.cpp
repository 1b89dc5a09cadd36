#include "ui/session_end.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include "ui/engine_codes.h"
#include "ui/window.h"

namespace ui {
namespace {

bool g_ending = false;
bool g_posted = false;  // CloseDown reached the first thread

void dismiss_everything() {
  // Before the first window opens there is nobody to tell yet.
  if (!g_posted) g_posted = post_to_first_thread(events::kCloseDown);
  for (int i = 0; i < 16; ++i) {
    QWidget* popup = QApplication::activePopupWidget();
    if (!popup) break;
    popup->close();
  }
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (!top->isVisible()) continue;
    if (auto* box = qobject_cast<QMessageBox*>(top)) {
      if (QAbstractButton* escape = box->escapeButton()) escape->click();
      else box->reject();
    } else if (auto* dialog = qobject_cast<QDialog*>(top)) {
      dialog->reject();
    }
  }
}

}  // namespace

void end_session() {
  if (g_ending) return;
  g_ending = true;
  dismiss_everything();
  auto* keep = new QTimer(QCoreApplication::instance());
  QObject::connect(keep, &QTimer::timeout, keep, &dismiss_everything);
  keep->start(50);
}

bool session_ending() { return g_ending; }

}  // namespace ui
