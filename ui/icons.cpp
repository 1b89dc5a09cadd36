#include "ui/icons.h"

#include <QFile>
#include <QString>
#include <string>
#include <unordered_map>

#include "ui/file_names.h"
#include "ui/text.h"

namespace ui {
namespace {

struct ThemeName {
  std::string_view name;
  const char* theme;
};

// Theme names of the freedesktop naming scheme that stand for our icons.
constexpr ThemeName kThemeNames[] = {
    {"ok", "dialog-ok"},
};

std::string bare_name(std::string_view name) {
  const FileNameParts parts = split_file_name(name);
  std::string out;
  for (char c : parts.name) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  if (!out.empty() && out.front() == '~') out.erase(0, 1);  // "~markfit.ico": linked-in
  return out;
}

}  // namespace

QIcon builtin_icon(std::string_view name) {
  const QString path = QStringLiteral(":/markfit/icons/%1.svg").arg(to_qstring(bare_name(name)));
  if (!QFile::exists(path)) return QIcon();
  return QIcon(path);
}

QIcon load_icon(std::string_view name) {
  // A theme lookup reads the theme's index files; the same few icons are
  // asked for again and again (every toolbox open, every About window).
  static std::unordered_map<std::string, QIcon> cache;
  const std::string bare = bare_name(name);
  if (const auto it = cache.find(bare); it != cache.end()) return it->second;
  QIcon icon = builtin_icon(bare);
  for (const ThemeName& t : kThemeNames) {
    if (t.name == bare) icon = QIcon::fromTheme(QString::fromLatin1(t.theme), icon);
  }
  cache.emplace(bare, icon);
  return icon;
}

}  // namespace ui
