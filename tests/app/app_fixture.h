// Shared by the application's widget tests: a fake tray and helpers to
// find a procedure's window.
#pragma once

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "app/toolbox/tray_icon.h"
#include "tests/ui/gui_fixture.h"
#include "ui/window.h"

namespace app_test {

struct TrayLog {
  bool can_add = true;
  bool can_remove = true;
  bool shown = false;
  int adds = 0;
  int removes = 0;
  class FakeTray* tray = nullptr;
};

class FakeTray final : public app::TrayIcon {
 public:
  explicit FakeTray(TrayLog* log) : log_(log) { log_->tray = this; }
  ~FakeTray() override { log_->tray = nullptr; }
  bool add() override {
    ++log_->adds;
    if (log_->can_add) log_->shown = true;
    return log_->can_add;
  }
  bool remove() override {
    ++log_->removes;
    if (log_->can_remove) log_->shown = false;
    return log_->can_remove;
  }
  void click(Click c) { clicked(c); }

 private:
  TrayLog* log_;
};

inline ui::Window* window_named(std::string_view name) {
  for (ui::Window* w : ui::Window::open_windows()) {
    if (w->definition().name == name) return w;
  }
  return nullptr;
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace app_test
