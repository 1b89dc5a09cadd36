#include "app/toolbox/tray_icon.h"

#include <QSystemTrayIcon>

#include "ui/icons.h"

namespace app {
namespace {

class DesktopTray final : public TrayIcon {
 public:
  bool add() override {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
    // Made on first use: asking the desktop for its notification area costs
    // start-up time, and most runs never minimise the toolbox.
    if (!icon_) make_icon();
    icon_->show();
    return icon_->isVisible();
  }

  bool remove() override {
    if (!icon_) return true;
    icon_->hide();
    return !icon_->isVisible();
  }

 private:
  void make_icon() {
    icon_ = std::make_unique<QSystemTrayIcon>(ui::load_icon("markfit"));
    icon_->setToolTip(QStringLiteral("Double-click to restore"));
    // Queued: the icon's own widget sends the signal, and a restore removes
    // that widget.
    QObject::connect(
        icon_.get(), &QSystemTrayIcon::activated, icon_.get(),
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

  std::unique_ptr<QSystemTrayIcon> icon_;
};

}  // namespace

std::unique_ptr<TrayIcon> make_desktop_tray() { return std::make_unique<DesktopTray>(); }

}  // namespace app
