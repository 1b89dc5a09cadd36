#include "app/tray_icon.h"

#include <QSystemTrayIcon>

#include "ui/icons.h"

namespace app {
namespace {

class DesktopTray final : public TrayIcon {
 public:
  DesktopTray() {
    icon_.setIcon(ui::load_icon("markfit"));
    icon_.setToolTip(QStringLiteral("Double-click to restore"));
    // Queued: the icon's own widget sends the signal, and a restore removes
    // that widget.
    QObject::connect(
        &icon_, &QSystemTrayIcon::activated, &icon_,
        [this](QSystemTrayIcon::ActivationReason reason) {
          switch (reason) {
            case QSystemTrayIcon::Trigger: clicked(Click::LeftUp); break;
            case QSystemTrayIcon::DoubleClick: clicked(Click::LeftDouble); break;
            case QSystemTrayIcon::Context: clicked(Click::RightUp); break;
            default: break;
          }
        },
        Qt::QueuedConnection);
  }

  bool add() override {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
    icon_.show();
    return icon_.isVisible();
  }

  bool remove() override {
    icon_.hide();
    return !icon_.isVisible();
  }

 private:
  QSystemTrayIcon icon_;
};

}  // namespace

std::unique_ptr<TrayIcon> make_desktop_tray() { return std::make_unique<DesktopTray>(); }

}  // namespace app
