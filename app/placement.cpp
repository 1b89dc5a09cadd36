#include "app/placement.h"

#include <QWidget>
#include <climits>
#include <string>

#include "runtime/settings.h"

namespace app {
namespace {

int read_number(std::string_view section, std::string_view key, std::string_view file) {
  return placement_number(runtime::GETINI(section, key, "", file));
}

void write(std::string_view section, const char* key, const std::string& value, std::string_view file) {
  runtime::WRITEINI(section, std::string(key), value, file);
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

void save_placement(ui::Window& window, std::string_view section, std::string_view file) {
  QWidget* w = window.widget();
  if (!w) return;
  const bool maximised = (w->windowState() & Qt::WindowMaximized) != 0;
  if (w->isMinimized()) return;
  // The normal position and size of a maximised window, without showing it
  // normal again on its way out.
  const QRect r = maximised ? w->normalGeometry() : w->geometry();
  write(section, "Maximize", maximised ? "Yes" : "No", file);
  write(section, "XPosit", std::to_string(r.x()), file);
  write(section, "YPosit", std::to_string(r.y()), file);
  write(section, "Width", std::to_string(r.width()), file);
  write(section, "Height", std::to_string(r.height()), file);
}

void restore_placement(ui::Window& window, std::string_view section, std::string_view file) {
  QWidget* w = window.widget();
  if (!w) return;
  if (read_number(section, "XPosit", file) == 0) return;
  if (!(w->windowState() & Qt::WindowMaximized)) {
    const int x = read_number(section, "XPosit", file);
    const int y = read_number(section, "YPosit", file);
    if (x != 0 && y != 0) {
      int width = w->width();
      int height = w->height();
      bool apply = true;
      if (window.definition().flags & ui::kResizable) {
        width = read_number(section, "Width", file);
        height = read_number(section, "Height", file);
        apply = width > 0 && height > 0;  // a negative size is no size either
      }
      if (apply) window.set_position(0, x, y, width, height);
    }
  }
  const bool yes = runtime::GETINI(section, "Maximize", "", file) == "Yes";
  window.set_property(0, ui::props::kMaximize, yes ? "1" : "0");
}

}  // namespace app
