// The toolbox's icon in the notification area, behind a small interface so
// that tests can use a fake tray.
#pragma once

#include <functional>
#include <memory>

namespace app {

class TrayIcon {
 public:
  // The mouse actions on the icon that the toolbox answers.
  enum class Click { LeftUp, LeftDouble, RightUp, RightDouble };

  virtual ~TrayIcon() = default;

  // Shows the icon; false when there is no notification area to show it in.
  virtual bool add() = 0;
  // Removes the icon; false when it could not be removed.
  virtual bool remove() = 0;

  // Called for every click on the icon, never from inside the tray's own
  // event handling (the handler may remove the icon).
  void set_click_handler(std::function<void(Click)> handler) { handler_ = std::move(handler); }

 protected:
  void clicked(Click c) {
    if (handler_) handler_(c);
  }

 private:
  std::function<void(Click)> handler_;
};

// The desktop's notification area: our "markfit" icon with the tip
// "Double-click to restore". Needs a QApplication.
std::unique_ptr<TrayIcon> make_desktop_tray();

}  // namespace app
