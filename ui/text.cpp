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

QString from_system_bytes(std::string_view bytes) {
  QString out;
  out.reserve(static_cast<qsizetype>(bytes.size()));
  const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t b = at(i);
    int length = 0;
    char32_t cp = 0;
    char32_t least = 0;
    if (b < 0x80) {
      length = 1;
      cp = b;
    } else if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
      cp = b & 0x1F;
      least = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      cp = b & 0x0F;
      least = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      cp = b & 0x07;
      least = 0x10000;
    }
    bool whole = length > 0 && i + static_cast<std::size_t>(length) <= bytes.size();
    for (int k = 1; whole && k < length; ++k) {
      const std::uint8_t c = at(i + static_cast<std::size_t>(k));
      whole = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    // Overlong forms, encoded surrogates and values past the last plane
    // are not characters either.
    if (whole && length > 1 && (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) whole = false;
    if (!whole) {
      out += QChar(static_cast<char16_t>(0xDC00 + b));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      out += QChar(QChar::highSurrogate(cp));
      out += QChar(QChar::lowSurrogate(cp));
    } else {
      out += QChar(static_cast<char16_t>(cp));
    }
    i += static_cast<std::size_t>(length);
  }
  return out;
}

std::string to_system_bytes(const QString& text) {
  std::string out;
  out.reserve(static_cast<std::size_t>(text.size()));
  const auto put = [&](unsigned v) { out += static_cast<char>(v); };
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t u = text[i].unicode();
    char32_t cp = u;
    if (QChar::isHighSurrogate(u) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
      cp = QChar::surrogateToUcs4(u, text[i + 1].unicode());
      ++i;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      put(u - 0xDC00);  // a byte carried through
      continue;
    } else if (QChar::isSurrogate(u)) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      put(cp);
    } else if (cp < 0x800) {
      put(0xC0 | (cp >> 6));
      put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      put(0xE0 | (cp >> 12));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    } else {
      put(0xF0 | (cp >> 18));
      put(0x80 | ((cp >> 12) & 0x3F));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

}  // namespace ui
