// Inside `markfit convert`: many files into one folder (-d), and watching
// them (--watch).
//
// A batch converts every planned file (batch_plan.h) on its own: a file
// that fails is reported on standard error, "markfit convert: MESSAGE", and
// the others are still done; at the end "N of M files were not converted"
// when any was not, and the exit status 1. Walk notes (a loop passed over)
// come first and are no failure. Outputs go into the folders the plan
// names, made when missing (with the folders above them) just before the
// first output that needs them. --force is asked of each output that exists
// already, the rest still done. One progress bar covers every file of the
// batch, on a terminal and when all of them are big enough together.
//
// Watching: after that first pass, every input saved again is converted
// again, with one line per conversion on standard output:
//   "HH:MM:SS site/a.htm -> out/a.htw (120 lines)"
// and failures as "HH:MM:SS markfit convert: MESSAGE" on standard error,
// the watch going on. An output this watch has written itself is replaced
// without --force. New pages (and folders) in walked folders join in and
// are converted, and so are inputs that were missing and appear. Ctrl-C,
// SIGTERM or SIGHUP end the watch after the conversion under way has
// finished, with status 0 and no file of ours left half written.
//
// The translation table's data files are watched too: when they change, the
// table is read again, and when it differs from the one in use every input
// is converted again with it, after the line "HH:MM:SS the translation table
// changed; converting every file again". When it cannot be read, the error
// is said and the table in use stays.
//
// When the system drops change notices (too many at once), the folders are
// walked again, new pages join, and every input whose size, time of change
// or file differs from when it was last converted is converted again.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cli/batch_plan.h"
#include "cli/convert_one.h"

namespace cli {

// The table a watch converts with, to read again when it changes.
struct WatchedTable {
  std::vector<std::string> files;  // its data files; they need not exist
  // Reads the table again, waiting a little for another program's update to
  // end: an error message, or "" with *changed set when the table read
  // differs from the one in use, which it then replaces.
  std::function<std::string(bool* changed)> reload;
};

struct BatchRun {
  BatchRequest request;
  std::vector<std::string> inputs;  // as given; files and (recursive) folders
  // Instead of a plan: one input into the output file given with -o
  // (watching a single file).
  std::optional<BatchItem> single;
  bool force = false;
  bool watch = false;
  std::optional<WatchedTable> table;  // only for a watch converting with a table
};

struct BatchStreams {
  std::FILE* out = nullptr;
  std::FILE* err = nullptr;
  bool err_is_terminal = false;
  std::uint64_t progress_minimum = 0;
};

// Runs the batch (and the watch); the exit status.
int run_batch(const BatchRun& run, const ConvertOne& convert, const BatchStreams& streams);

}  // namespace cli
