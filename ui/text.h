// Texts between the program (single-byte ANSI strings) and Qt (Unicode).
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace ui {

// Every byte read as its ANSI character.
QString to_qstring(std::string_view ansi);

// Every character as its ANSI byte; a character the set lacks becomes "?".
std::string from_qstring(const QString& text);

// The ANSI byte of one character, 0..255; -1 when the set lacks it.
int ansi_byte(QChar ch);

}  // namespace ui
