// Inside `markfit convert`: the conversion of one input into one output,
// which the single form runs once and a batch (convert_batch.h) once per
// file, and the progress bar they share. Not for other commands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace cli {

// What went wrong, and the exit status it gives (1 error, 2 wrong usage).
struct Failure {
  int status;
  std::string message;
};

// One conversion asked for.
struct OneFile {
  std::string input;                  // "-": standard input
  std::optional<std::string> output;  // absent or "-": standard output
  bool force = false;                 // an existing output file may be replaced
  // In front of the notes of a conversion that went well (cut lines), to
  // say which file of a batch they are about; empty for a single file.
  std::string name_in_notes;
};

struct OneResult {
  std::optional<Failure> failure;
  std::uint64_t lines = 0;        // lines written
  std::uint64_t input_bytes = 0;  // the input's size
};

// The progress bar on standard error ("converting [####....]  42%"),
// cleared when it goes.
class ProgressBar {
 public:
  explicit ProgressBar(std::FILE* err) : err_(err) {}
  ~ProgressBar() { hide(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  void show(int percent);
  // Takes the bar off the line, so that a message can be written there; the
  // next show() puts it back.
  void hide();

 private:
  std::FILE* err_;
  bool shown_ = false;
};

// A batch's bar: the bytes of the files done before this one and of all.
struct BatchProgress {
  ProgressBar* bar = nullptr;
  std::uint64_t done = 0;
  std::uint64_t total = 0;
};

// Converts one file with the options and table the command was given.
// `progress`: the batch's bar, or null for a bar of its own when the input
// is big and standard error a terminal.
using ConvertOne = std::function<OneResult(const OneFile& file, BatchProgress* progress)>;

}  // namespace cli
