// Where the converted lines go: a file written through the text-line
// driver, a standard stream, or the clipboard text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "app/conversion/options.h"
#include "platform/env.h"

namespace conversion {

class LineSink {
 public:
  virtual ~LineSink() = default;
  // Before the first line; false when the output cannot be made.
  virtual bool begin() = 0;
  // One line without its line end, numbered from 1 in the input.
  virtual bool write_line(std::string_view line, std::uint64_t number) = 0;
  // After the last line: makes the output final. False when that failed;
  // the output is then as abandon() leaves it.
  virtual bool finish() = 0;
  // After a failure: leaves no partial output behind where that can be
  // helped.
  virtual void abandon() = 0;
  // What went wrong, for the user; empty when nothing did.
  virtual std::string error() const = 0;
  // Whether a UTF-8 output starts with a byte order mark when the input did.
  virtual bool keeps_byte_order_mark() const { return true; }
};

// The output file. The lines go to a new file beside the target, through
// the text-line driver, which is renamed over the target only when
// everything is written (and synced first when it replaces a file): a run
// that fails, or a crash, leaves an existing target as it was, and a failed
// run removes its own file. The temporary file is "<target>.
// <8 hex digits>.tmp"; file operations go through files::textline_env().
class FileOutput final : public LineSink {
 public:
  FileOutput(std::string target, LineEnd line_end);
  ~FileOutput() override;
  bool begin() override;
  bool write_line(std::string_view line, std::uint64_t number) override;
  bool finish() override;
  void abandon() override;
  std::string error() const override { return error_; }

  const std::string& temporary_name() const { return temporary_; }

 private:
  struct Declared;
  bool fail(const std::string& doing);
  bool write_long(std::string_view line);

  std::string target_;
  std::string temporary_;
  LineEnd line_end_;
  std::size_t eol_length_;
  std::uint64_t written_ = 0;  // bytes in the file so far
  std::unique_ptr<Declared> out_;
  std::string error_;
};

// A standard stream (the command line's standard output): written as the
// lines come, through a buffer of its own; a failed run leaves what was
// already written.
class StreamOutput final : public LineSink {
 public:
  StreamOutput(std::FILE* stream, LineEnd line_end, std::string name);
  ~StreamOutput() override;
  bool begin() override { return true; }
  bool write_line(std::string_view line, std::uint64_t number) override;
  bool finish() override;
  void abandon() override {}
  std::string error() const override { return error_; }

 private:
  bool drain();

  std::FILE* stream_;
  std::string_view eol_;
  std::string name_;
  std::string error_;
  std::string buffer_;
};

// The clipboard text: every line and its line end, cut at kClipboardLimit
// characters (counted as LineConverter counts them). Lines that did not
// fit whole are counted.
class ClipboardText final : public LineSink {
 public:
  ClipboardText(LineEnd line_end, bool utf8);
  bool begin() override;
  bool write_line(std::string_view line, std::uint64_t number) override;
  bool finish() override;
  void abandon() override {}
  std::string error() const override { return {}; }
  bool keeps_byte_order_mark() const override { return false; }

  // The text, without trailing blanks after finish(); UTF-8 when the run
  // read UTF-8, else Windows-1252.
  const std::string& text() const { return text_; }
  std::uint64_t lines_cut() const { return lines_cut_; }
  std::uint64_t first_line_cut() const { return first_cut_; }

 private:
  std::string_view eol_;
  bool utf8_;
  std::string text_;
  std::size_t chars_ = 0;
  std::uint64_t lines_cut_ = 0;
  std::uint64_t first_cut_ = 0;
};

// The text of a system error number of platform::Env ("Path Not Found").
std::string system_error_text(int number);

}  // namespace conversion
