// The standard messages: every file and update problem of the application
// is reported by number through one routine, which composes the text, shows
// a message box with the number's fixed caption, icon and buttons, and
// returns the button pressed. Some numbers end the program.
//
// Beside it: the error keeper, which saves the state of a failed operation
// inside a transaction (and rolls the transaction back) so that the next
// message still reports that failure and not what the rollback left behind.
//
// The text E that several messages carry is built first, from the saved
// error when there is one, else from the current error of the last file
// operation: "<text> (<code>)", for code 90 the driver's own text and code;
// at most 150 characters. Building it clears the saved error, so a saved
// error is reported once and then forgotten.
//
// UI thread only; the box goes through the window engine's responder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ui/engine_codes.h"

namespace app {

// The numbers the program uses.
namespace msg {
inline constexpr int kInvalidFile = 1;          // ends the program
inline constexpr int kInvalidKey = 2;           // No ends the program
inline constexpr int kKeyRebuildError = 3;      // ends the program
inline constexpr int kFileCreationError = 4;    // ends the program
inline constexpr int kCreatedFileOpenError = 5; // ends the program
inline constexpr int kRecordInsertError = 14;
inline constexpr int kUpdateOperationError = 15;
inline constexpr int kRecordUpdateErrorChange = 16;
inline constexpr int kDeleteOperationError = 17;
inline constexpr int kRecordUpdateErrorDelete = 18;
inline constexpr int kDuplicateKeyError = 24;
inline constexpr int kAutoIncrementError = 25;
inline constexpr int kFileAccessError = 30;
inline constexpr int kConfirmDelete = 32;
inline constexpr int kTransactionFramingError = 34;
inline constexpr int kRecordRetrievalError = 35;
inline constexpr int kViewOpenError = 36;
inline constexpr int kRecordWasNotUpdated = 38;
}  // namespace msg

// Shows message `number` with the texts (used without their trailing
// blanks) and returns the button pressed as its code: OK 1, Yes 2, No 4,
// Retry 16, Cancel 64. A message that ends the program shows its halt text
// after the box and does not return. An unknown number shows nothing and
// answers OK.
std::int32_t standard_message(int number, std::string_view text1 = {}, std::string_view text2 = {});

// What standard_message(number, ...) would show, without showing it: the
// caption, text, icon, buttons and default. For the screenshot run and
// tests. Builds E like the message does (and so clears the saved error).
struct MessageBox {
  std::string caption;
  std::string text;
  ui::MessageIcon icon = ui::MessageIcon::Asterisk;
  ui::ButtonSet buttons = ui::code(ui::Button::Ok);
  ui::Button default_button = ui::Button::Ok;
  std::string halt_text;  // non-empty: the program ends after the box (for message 2: on No)
  bool known = false;
};
MessageBox compose_message(int number, std::string_view text1 = {}, std::string_view text2 = {});

// The error code the last message's E was built from (0 when none).
std::int32_t reported_code();

// The error keeper: saves the current error state (code and text, the
// driver's code and text, the error file's name) and rolls back the running
// transaction.
void keep_error();

// Ends the program after a failure it cannot go on from: closes the data
// files, shows `halt_text` and ends the process with exit code 1.
[[noreturn]] void end_program(std::string_view halt_text);

}  // namespace app
