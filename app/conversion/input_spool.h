// An input that can be read only once, in sequence (standard input, a FIFO,
// a device), kept in a temporary file so that the conversion reads it twice
// like any file.
//
// The copy is private: a file without a name in the temporary folder
// ($TMPDIR, else /tmp) where the file system allows, which nothing can open
// and which vanishes however the program ends; else a named file of mode
// 0600, removed when the spool goes and when SIGINT, SIGTERM or SIGHUP end
// the program. File operations go through files::textline_env().
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/env.h"
#include "platform/signals.h"

namespace conversion {

// The largest input the text-line driver can read (its pointers are 32 bits
// wide).
inline constexpr std::uint64_t kLargestInput = 0xFFFF'FFFEull;

class InputSpool {
 public:
  // Reads up to n bytes into buf; *got 0 at the end.
  using ReadFn = std::function<platform::Status(void* buf, std::size_t n, std::size_t* got)>;

  InputSpool() = default;
  ~InputSpool();
  InputSpool(const InputSpool&) = delete;
  InputSpool& operator=(const InputSpool&) = delete;

  // Keeps everything `read` gives. `shown` names the input in messages
  // ("standard input", "'fifo'"). False, with error() set and nothing kept,
  // when the copy cannot be made or written, a read fails, or the input
  // passes `largest` bytes: then reading stops at once, one byte past it.
  bool fill(const ReadFn& read, const std::string& shown, std::uint64_t largest = kLargestInput);

  // The name that opens the copy; empty before a fill succeeded.
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }

 private:
  void drop();

  std::unique_ptr<platform::File> file_;
  std::string path_;
  std::string named_;  // the copy's name, when it has one
  platform::RemovedOnSignal guard_;
  std::string error_;
};

}  // namespace conversion
