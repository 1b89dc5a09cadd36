// The runtime's numbered message texts: the file errors (2..93) and the
// operating-system errors posted as 300 plus the system's number
// (301..391), as built in, plus the replacement texts that the environment
// file sets at start (ORVMSGn, and the ORVBUTTON items under
// kButtonMessageBase + i).
//
// The replacement list is process state, single-threaded like the rest of
// the runtime.
#pragma once

#include <optional>
#include <string>

namespace runtime {

// Built-in message for "Unknown Error Posted"; also the stem of the text
// given to any number that has no message.
inline constexpr int kUnknownErrorMessage = 81;

// ORVBUTTON item i (0-based) is kept as replacement message
// kButtonMessageBase + i. The numbers lie above every built-in message, so
// button texts can never shadow an error text.
inline constexpr int kButtonMessageBase = 1001;

// The built-in text of `code`, or nullopt when the table has none.
std::optional<std::string> builtin_message(int code);

// Replacement texts: a later set for the same number replaces the earlier.
void set_replacement_message(int code, std::string text);
std::optional<std::string> replacement_message(int code);
void clear_replacement_messages();

// The text to post for `code`: its replacement if any, else its built-in
// text, else the text of 81 (looked up the same way) followed by " : " and
// the code in decimal. Never fails.
std::string message_text(int code);

// The text of a system error number of platform::Env ("Path Not Found"):
// 2..5 as the file errors of those numbers, others as 300 + the number.
std::string system_error_text(int number);

}  // namespace runtime
