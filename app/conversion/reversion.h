// One run of the way back, code lines into HTML lines, the same for the
// window and the command line:
//
//   conversion::Reversion back(options);         // the options the code was made with
//   if (!back.open_input(path)) ...              // checked as a conversion's input
//   if (!back.refuse_same_file(output_path)) ...
//   if (!back.run(table, sink, progress)) ...    // sink abandoned on failure
//   back.report()                                // lines written, lines left out
//
// Each line goes through LineReverter; a line of another shape is left out
// and counted (the first one's number and problem kept), and the run goes
// on. Lines are read whole, without a limit.
#pragma once

#include <cstdint>
#include <string>

#include "app/conversion/conversion.h"
#include "app/conversion/line_reverter.h"

namespace conversion {

struct RevertReport {
  Report::Failure failure = Report::Failure::none;
  std::string error;                // what went wrong; empty when nothing did
  std::uint64_t lines = 0;          // lines written
  std::uint64_t left_out = 0;       // lines not of the shape, not written
  std::uint64_t first_left_out = 0; // the number of the first of them, from 1
  std::string first_problem;        // what was wrong with it
  bool utf8 = false;
};

// "2 lines do not have the expected shape and were left out; first: line 3
// (does not end with the after-text)"; empty when none was.
std::string left_out_summary(const RevertReport& report);

class Reversion {
 public:
  explicit Reversion(Options options);

  // As Conversion::open_input.
  bool open_input(const std::string& path);
  // As Conversion::refuse_same_file.
  bool refuse_same_file(const std::string& output_path);
  // Reverts every line into `sink`; false, with report().error set and the
  // sink abandoned, when reading or writing failed (lines left out are no
  // failure).
  bool run(const ReplacementTable& table, LineSink& sink, const ProgressFn& progress = {});

  const RevertReport& report() const { return report_; }
  bool utf8() const { return check_.utf8(); }

 private:
  bool fail(const std::string& message, Report::Failure side);

  Options options_;
  Conversion check_;  // the input's checks and first pass
  std::string input_;
  bool input_ok_ = false;
  RevertReport report_;
};

}  // namespace conversion
