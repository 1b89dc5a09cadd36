#include "files/driver/error_state.h"

#include <algorithm>

#include "runtime/messages.h"

namespace files {
namespace {

constexpr std::size_t kTextWidth = 80;    // blank padded
constexpr std::size_t kTextKept = 79;     // characters of the message kept
constexpr std::size_t kDriverCodeKept = 80;
constexpr std::size_t kDriverTextKept = 254;

ErrorState& state() {
  static ErrorState s{0, std::string(kTextWidth, ' '), nullptr, {}, {}, 0};
  return s;
}

// The state is as clear_error leaves it. Most operations succeed and clear
// an error state that is clear already; they then need not rewrite it.
bool g_clear = true;

std::string padded_text(std::string_view message) {
  const auto first = message.find_first_not_of(' ');
  message = first == std::string_view::npos ? std::string_view() : message.substr(first);
  std::string text(message.substr(0, kTextKept));
  text.resize(kTextWidth, ' ');
  return text;
}

std::string trimmed(const std::string& s) {
  const auto end = s.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

}  // namespace

void post(std::int32_t code, const FileDescriptor* file) {
  ErrorState& s = state();
  const std::int32_t system_number = s.system_error;
  if (code == 0) code = 300 + system_number;
  const std::string message = runtime::message_text(code);
  s.file = nullptr;
  s.code = code;
  s.text = padded_text(message);
  s.file = file;
  s.system_error = system_number;
  g_clear = false;
}

void clear_error() {
  if (g_clear) return;
  g_clear = true;
  ErrorState& s = state();
  s.code = 0;
  s.file = nullptr;
  s.text.assign(kTextWidth, ' ');
  s.driver_code.clear();
  s.driver_text.clear();
}

void setDriverError(std::string_view code_text, std::string_view message) {
  g_clear = false;
  ErrorState& s = state();
  s.driver_code.assign(code_text.substr(0, kDriverCodeKept));
  if (message.empty()) {
    s.driver_text = runtime::message_text(90) + " : " + s.driver_code;
  } else {
    s.driver_text.assign(message);
  }
  if (s.driver_text.size() > kDriverTextKept) s.driver_text.resize(kDriverTextKept);
}

void set_system_error(std::int32_t number) { state().system_error = number; }
std::int32_t system_error() { return state().system_error; }

std::int32_t ERRORCODE() { return state().code; }
std::string ERROR() { return trimmed(state().text); }
const FileDescriptor* ERRORFILE() { return state().file; }
std::string FILEERRORCODE() { return state().driver_code; }
std::string FILEERROR() { return state().driver_text; }

ErrorState save_error_state() { return state(); }
void restore_error_state(const ErrorState& saved) {
  state() = saved;
  g_clear = false;
}
const ErrorState& error_state() { return state(); }

}  // namespace files
