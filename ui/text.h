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

// File names are not ANSI text: they are the file system's own bytes (UTF-8
// on this system) and go from the user to the system call and back
// unchanged. A byte that is no part of a UTF-8 character is carried as the
// lone surrogate U+DC80 + its value, shown as the toolkit shows those (a
// replacement mark), and turned back into the same byte, so that even such
// a name is opened.
QString from_system_bytes(std::string_view bytes);
std::string to_system_bytes(const QString& text);

}  // namespace ui
