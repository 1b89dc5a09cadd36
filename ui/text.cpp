#include "ui/text.h"

#include <array>
#include <unordered_map>

#include "runtime/charset.h"

namespace ui {

QString to_qstring(std::string_view ansi) {
  QString out;
  out.reserve(static_cast<qsizetype>(ansi.size()));
  for (char c : ansi) {
    const char32_t cp = runtime::ansi_code_point(static_cast<std::uint8_t>(c));
    out += QChar(static_cast<char16_t>(cp));  // ANSI lies wholly in the basic plane
  }
  return out;
}

namespace {

const std::unordered_map<char16_t, char>& reverse_table() {
  static const std::unordered_map<char16_t, char> reverse = [] {
    std::unordered_map<char16_t, char> m;
    for (int b = 255; b >= 0; --b) {
      m[static_cast<char16_t>(runtime::ansi_code_point(static_cast<std::uint8_t>(b)))] = static_cast<char>(b);
    }
    return m;
  }();
  return reverse;
}

}  // namespace

std::string from_qstring(const QString& text) {
  const auto& reverse = reverse_table();
  std::string out;
  out.reserve(static_cast<std::size_t>(text.size()));
  for (QChar ch : text) {
    const auto it = reverse.find(ch.unicode());
    out += it == reverse.end() ? '?' : it->second;
  }
  return out;
}

int ansi_byte(QChar ch) {
  const auto& reverse = reverse_table();
  const auto it = reverse.find(ch.unicode());
  return it == reverse.end() ? -1 : static_cast<std::uint8_t>(it->second);
}

}  // namespace ui
