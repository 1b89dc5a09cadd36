// One conversion run, the same for the window and the command line:
//
//   conversion::Conversion run(options);
//   if (!run.open_input(path)) ...                  // nothing touched yet
//   if (!run.refuse_same_file(output_path)) ...     // the input named as output
//   if (!run.run(table, sink, progress)) ...        // sink abandoned on failure
//   run.report()                                    // lines, cut lines, encoding
//
// The input is read twice: a first pass checks it (a NUL byte means a
// binary or UTF-16 file, which is refused), learns its encoding and how its
// lines end; the second reads it line by line through the text-line driver
// and hands each line through LineConverter to the sink. Nothing is written
// before the first pass has passed and the input is open for the second.
//
// With UTF-8 input a byte order mark at its start is not part of the first
// line; a file or stream output starts with one too.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/conversion/input_spool.h"
#include "app/conversion/line_converter.h"
#include "app/conversion/options.h"
#include "app/conversion/replacement_table.h"
#include "app/conversion/text_input.h"
#include "app/conversion/text_output.h"

namespace conversion {

struct Report {
  // input: reading; output: writing; texts: a before- or after-text in
  // UTF-8 that the Windows-1252 output cannot hold.
  enum class Failure { none, input, output, texts };
  Failure failure = Failure::none;  // which side a failed run failed on
  std::string error;            // what went wrong, for the user; empty when nothing did
  std::uint64_t lines = 0;      // lines written
  std::uint64_t cut_lines = 0;  // lines that a limit cut (see LineConverter)
  std::uint64_t first_cut = 0;  // the number of the first of them, from 1
  // Lines whose converted text holds an odd number of quotes (see
  // LineConverter::lone_quote), and the first of them.
  std::uint64_t lone_quote_lines = 0;
  std::uint64_t first_lone_quote = 0;
  bool utf8 = false;            // the input was read, and the output written, as UTF-8
  std::uint64_t input_bytes = 0;
};

// "3 lines hold a lone quote; first: line 7", the same words for the window
// and the command line; empty when no line does.
std::string lone_quote_summary(const Report& report);

// Why `path` cannot be an input, told before anything opens it: a
// directory, or a pipe, socket or device (opening one may wait for another
// program, reading one may never end, and what it hands out is lost to
// whoever waits for it). Empty when it may be read.
std::string input_refusal(const std::string& path);

// Called with the whole-number percentage of the input's bytes converted
// (rounded down), each time it grows.
using ProgressFn = std::function<void(int percent)>;

class Conversion {
 public:
  explicit Conversion(Options options);

  // Checks the input and reads it once. False, with report().error set,
  // when it is missing, unreadable, no file (input_refusal), holds a NUL
  // byte or is too large for the text-line driver (4 GiB), or when the
  // texts cannot be written in the output's encoding (Failure::texts).
  // With `streams` (the command line), a FIFO or a device is read once as
  // it comes, like standard input, into a private copy (InputSpool) and
  // converted from there; without it (a window, which must not wait for a
  // writer), it is refused as input_refusal says.
  bool open_input(const std::string& path, bool streams = false);
  // The same for an input read through `read` (standard input), named
  // `shown` in messages.
  bool open_input(const InputSpool::ReadFn& read, const std::string& shown);

  // False, with report().error set, when `output_path` names the input
  // file itself (through a link, another hard link or another spelling).
  // A spooled input is never the output.
  bool refuse_same_file(const std::string& output_path);

  // Converts every line into `sink`. `table` serves modes International
  // and All. False, with report().error set and the sink abandoned, when
  // reading or writing failed.
  bool run(const ReplacementTable& table, LineSink& sink, const ProgressFn& progress = {});

  const Report& report() const { return report_; }
  const InputFacts& facts() const { return facts_; }
  bool utf8() const;

 private:
  bool fail(std::string message, Report::Failure side = Report::Failure::input);
  bool open_file(const std::string& path);
  bool check_texts();

  Options options_;
  std::string input_;  // the name the input is opened by
  std::string shown_;  // the input in messages: "'page.html'", "standard input"
  std::unique_ptr<InputSpool> spool_;
  InputFacts facts_;
  bool input_ok_ = false;
  Report report_;
};

}  // namespace conversion
