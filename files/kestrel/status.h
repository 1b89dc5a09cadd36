// The result of every engine call below the driver entry. The driver entry
// alone turns these into file error codes (5, 33, 35, 36, 40, 90, ...);
// nothing in the engine posts to the global error state.
#pragma once

#include <cstdint>
#include <string>

namespace files::kestrel {

enum class Code : std::uint8_t {
  ok,
  not_found,     // no record with that key part, no next/previous record
  exists,        // insert met a record with the same key part
  corruption,    // an internal error; `number` is its internal number (824, 1364, ...)
  io_error,      // the system refused a call; `number` is the system error number
  busy,          // an access lock could not be had without waiting (the driver says 5)
  locked,        // a record or table lock byte is held by someone else
  invalid_file,  // header shorter than 512 bytes or without the magic (the driver says 36)
};

struct [[nodiscard]] Status {
  Code code = Code::ok;
  int number = 0;

  constexpr Status() = default;
  constexpr Status(Code c, int n) : code(c), number(n) {}

  static constexpr Status success() { return Status(); }
  static constexpr Status not_found() { return Status(Code::not_found, 0); }
  static constexpr Status exists() { return Status(Code::exists, 0); }
  static constexpr Status corruption(int internal_number) { return Status(Code::corruption, internal_number); }
  static constexpr Status io_error(int system_number) { return Status(Code::io_error, system_number); }
  static constexpr Status busy() { return Status(Code::busy, 0); }
  static constexpr Status locked() { return Status(Code::locked, 0); }
  static constexpr Status invalid_file() { return Status(Code::invalid_file, 0); }

  constexpr bool ok() const { return code == Code::ok; }
  constexpr bool is(Code c) const { return code == c; }
  // Internal errors are the ones the table answers with 90 until it is closed.
  constexpr bool is_internal() const { return code == Code::corruption; }

  friend constexpr bool operator==(const Status&, const Status&) = default;

  // "corruption 1602", "io_error 39", ... for tests and traces.
  std::string describe() const {
    static const char* const names[] = {"ok",      "not_found", "exists", "corruption",
                                        "io_error", "busy",      "locked", "invalid_file"};
    std::string s = names[static_cast<int>(code)];
    if (code == Code::corruption || code == Code::io_error) s += " " + std::to_string(number);
    return s;
  }
};

}  // namespace files::kestrel
