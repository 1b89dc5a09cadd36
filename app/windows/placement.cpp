#include "app/windows/placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>

#include "app/data/settings_writes.h"
#include "runtime/settings.h"

namespace app {
namespace {

int read_number(std::string_view section, std::string_view key, std::string_view file) {
  return placement_number(runtime::GETINI(section, key, "", file));
}

// Units beyond any desktop: off every screen, and far from overflowing the
// pixel arithmetic.
constexpr int kFarOff = 1 << 20;

bool on_some_screen(const QRect& r) {
  const QList<QScreen*> screens = QGuiApplication::screens();
  return std::any_of(screens.begin(), screens.end(), [&](const QScreen* s) { return s->geometry().intersects(r); });
}

}  // namespace

int placement_number(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
  long long n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    n = n * 10 + (value[i] - '0');
    if (n > INT_MAX) return 0;  // no screen is that large: not a stored value
  }
  return static_cast<int>(negative ? -n : n);
}

bool platform_reports_positions(std::string_view qt_platform_name) {
  // "wayland", "wayland-egl" and the other Wayland clients Qt has.
  return !qt_platform_name.starts_with("wayland");
}

void save_placement(ui::Window& window, std::string_view section, std::string_view file) {
  QWidget* w = window.widget();
  if (!w || !platform_reports_positions(QGuiApplication::platformName().toStdString())) return;
  const bool maximised = (w->windowState() & Qt::WindowMaximized) != 0;
  if (w->isMinimized()) return;
  // The normal position and size of a maximised window, without showing it
  // normal again on its way out.
  const QRect r = maximised ? w->normalGeometry() : w->geometry();
  const ui::DialogBase base = window.dialog_base();
  // In this order, in one replacement of the file.
  write_settings(section,
                 {{"Maximize", maximised ? "Yes" : "No"},
                  {"XPosit", std::to_string(ui::px_to_du_x(r.x(), base))},
                  {"YPosit", std::to_string(ui::px_to_du_y(r.y(), base))},
                  {"Width", std::to_string(ui::px_to_du_x(r.width(), base))},
                  {"Height", std::to_string(ui::px_to_du_y(r.height(), base))}},
                 file, SettingsUse::placement);
}

void restore_placement(ui::Window& window, std::string_view section, std::string_view file) {
  QWidget* w = window.widget();
  if (!w) return;
  if (read_number(section, "XPosit", file) == 0) return;
  if (!(w->windowState() & Qt::WindowMaximized)) {
    const int x = read_number(section, "XPosit", file);
    const int y = read_number(section, "YPosit", file);
    if (x != 0 && y != 0 && std::abs(x) <= kFarOff && std::abs(y) <= kFarOff) {
      QRect r(window.du_x(x), window.du_y(y), w->width(), w->height());
      bool apply = true;
      if (window.definition().flags & ui::kResizable) {
        const int width = read_number(section, "Width", file);
        const int height = read_number(section, "Height", file);
        // A negative size is no size either.
        apply = width > 0 && height > 0 && width <= kFarOff && height <= kFarOff;
        r.setSize(QSize(window.du_x(width), window.du_y(height)));
      }
      if (apply && on_some_screen(r)) window.set_position(0, r.x(), r.y(), r.width(), r.height());
    }
  }
  const bool yes = runtime::GETINI(section, "Maximize", "", file) == "Yes";
  window.set_property(0, ui::props::kMaximize, yes ? "1" : "0");
}

}  // namespace app
