// The process-wide error state that every file operation posts and that the
// caller reads right after the call (ERRORCODE and its companions).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace files {

struct FileDescriptor;

struct ErrorState {
  std::int32_t code = 0;
  std::string text;                  // 80 characters, blank padded (message clipped to 79)
  const FileDescriptor* file = nullptr;
  std::string driver_code;           // up to 80 characters
  std::string driver_text;           // up to 254 characters
  std::int32_t system_error = 0;     // last operating-system error number
};

// Posts `code`: code 0 becomes 300 plus the last system error number; the text
// is the replacement message, else the built-in message, else "Unknown Error
// Posted : <code>"; leading blanks are skipped and at most 79 characters kept.
// `file` becomes the error file (none when null).
void post(std::int32_t code, const FileDescriptor* file = nullptr);

// Code 0, no file, blank texts.
void clear_error();

// The driver's own code text and message. Without a message, the message is
// the text of 90 followed by " : " and the code text. Drivers post 90 after it.
void setDriverError(std::string_view code_text, std::string_view message = {});

// The last operating-system error number. Drivers record it when a system
// call fails, so that a posting of code 0 and the error state carry it.
void set_system_error(std::int32_t number);
std::int32_t system_error();

std::int32_t ERRORCODE();
std::string ERROR();           // the text without its blank padding
const FileDescriptor* ERRORFILE();
std::string FILEERRORCODE();   // the driver's code text
std::string FILEERROR();       // the driver's message

// The whole state, for nested operations (a trace write, a dump) that must
// not disturb what the caller will read.
ErrorState save_error_state();
void restore_error_state(const ErrorState& saved);

// Direct access, for the dispatch and tests.
const ErrorState& error_state();

}  // namespace files
