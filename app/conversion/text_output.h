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
  // The start of a line too long to hold whole, in parts, each after the
  // one before; write_line then adds its rest and its line end. The default
  // gathers the parts and hands the whole line to write_line.
  virtual bool write_part(std::string_view part) {
    gathered_.append(part);
    return true;
  }
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

 protected:
  // The parts of the line the default write_part gathered; write_line of
  // a sink that keeps the default must put them in front of its line (and
  // clear them).
  std::string gathered_;
};

// What a name given for the output stands for, symbolic links followed.
enum class OutputKind {
  missing,    // nothing there: a new file is made
  file,       // a file; replacing it needs the user's word
  directory,  // refused
  // A FIFO, a device, a terminal, or a file handed over as an open
  // descriptor (/dev/stdout, /proc/self/fd/N): written, never replaced, so
  // no question is asked.
  stream,
};
OutputKind output_kind(const std::string& path);

// The largest output the text-line driver can write (its pointers are 32
// bits wide).
inline constexpr std::uint64_t kLargestOutput = 0xFFFF'FFFEull;

// The output file, written as shell redirection and careful editors write
// (file operations through files::textline_env()):
//  - A symbolic link is followed (through any chain of them); what it
//    leads to is the target.
//  - Nothing there: the lines go, through the text-line driver, to a file
//    without a name in the target's folder (else a named one beside it,
//    removed again if the run fails or is stopped by SIGINT, SIGTERM or
//    SIGHUP), which gets the target's name only when everything is written.
//    If something took the name meanwhile, it is left alone and the run
//    fails with appeared() unless `replace` allows replacing it.
//  - A file (only with `replace`, else the run fails at once with
//    appeared()): written the same way, given the target's permissions,
//    owner and group, synced, and renamed over the target in one step, so a
//    failure or a crash leaves the old file whole. A file the user may not
//    write is not replaced (Access Denied).
//  - A file with more than one hard link, one in a folder the user may not
//    write, one whose owner or group the user could not give the new file,
//    or one reached through an open descriptor (/proc/self/fd/N,
//    /dev/stdout; `replace` is not needed): the whole output is made first
//    in a temporary file (in
//    the target's folder, else in the temporary folder), then copied over
//    the target's bytes from the start and the file cut to its new length,
//    with SIGINT, SIGTERM and SIGHUP held until that is done. The file keeps
//    its identity, links and attributes; a run that fails before the copy
//    leaves it as it was, but a crash, a kill or a full disk during the copy
//    leaves it part new, part old.
//  - A FIFO, a device or a terminal: written directly as the lines come,
//    never replaced; a failed run leaves what was written.
//  - A folder: refused.
// An output of kLargestOutput bytes or more ("would reach 4 GiB") fails.
class FileOutput final : public LineSink {
 public:
  FileOutput(std::string target, LineEnd line_end, bool replace = true);
  ~FileOutput() override;
  bool begin() override;
  bool write_line(std::string_view line, std::uint64_t number) override;
  bool write_part(std::string_view part) override;
  bool finish() override;
  void abandon() override;
  std::string error() const override { return error_; }

  // The run failed because the target exists (or came to exist) and
  // `replace` did not allow replacing it.
  bool appeared() const { return appeared_; }
  // How the target was written; valid after begin().
  enum class Plan { none, create, replace, in_place, direct };
  Plan plan() const { return plan_; }

  // Tests: the most bytes the output may hold (default kLargestOutput).
  void set_largest(std::uint64_t bytes) { largest_ = bytes; }

 private:
  struct Declared;
  struct Temporary;
  bool fail(const std::string& doing);
  bool fail_with(int system_error, const std::string& doing = "write");
  bool refuse_existing();
  bool make_temporary(const std::string& directory, std::uint32_t permissions, bool* refused);
  bool keep_attributes(const platform::FileInfo& target);
  bool open_driver();
  bool write_long(std::string_view line);
  bool write_bytes(std::string_view bytes);
  bool too_large(std::uint64_t more);
  bool put_in_place();
  bool give_name();
  bool flush_stream();

  std::string target_;   // as given
  std::string name_;     // where the file ends up: links followed
  LineEnd line_end_;
  bool replace_;
  std::size_t eol_length_;
  Plan plan_ = Plan::none;
  std::uint64_t largest_ = kLargestOutput;
  std::uint64_t written_ = 0;  // bytes in the file so far, the lines ended
  std::uint64_t partial_ = 0;  // bytes of the line being written in parts
  std::unique_ptr<Temporary> temp_;
  std::unique_ptr<platform::File> in_place_;  // the target, for a write in place
  std::unique_ptr<platform::Stream> stream_;  // the target, written directly
  std::string buffer_;                        // lines not yet written to stream_
  std::unique_ptr<Declared> out_;
  bool appeared_ = false;
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
  bool write_part(std::string_view part) override;
  bool finish() override;
  void abandon() override {}
  std::string error() const override { return error_; }

 private:
  bool drain();
  bool put(std::string_view bytes);

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
  bool add_line(std::string_view line, std::uint64_t number);

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
