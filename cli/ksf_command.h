// `markfit ksf check|dump|load`: the data-file commands.
//
//   markfit ksf check FILE [--owner PASSWORD]
//       Walks the whole file (files/kestrel/check.h) and prints every fault,
//       or "no faults". Exit status 0 clean, 1 faults found, 2 usage or I/O.
//   markfit ksf dump FILE[\!TABLE] [--owner PASSWORD] [--json]
//       Prints the tables of the file (or the one named), their definitions
//       and records, readably or as JSON; reads only.
//   markfit ksf load FILE [--owner PASSWORD] [JSON-FILE]
//       Takes what `dump --json` writes (from JSON-FILE or standard input),
//       creates each table the file does not hold yet and adds the records.
//       Exit status 1 when any record was refused, 2 for usage, I/O or a
//       JSON text it cannot use (then nothing is written).
//
// `markfit ksf --help` documents the JSON shape in full.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/env.h"

namespace cli {

// The program's entry for argv[1] == "ksf": argv[2...] are the command and
// its arguments; standard streams.
int run_ksf(int argc, char** argv);

// The same with explicit streams, for tests. `args` are the words after
// "ksf". `env` is what the checker reads through (the driver always uses the
// process's POSIX env).
int run_ksf(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
            platform::Env* env);

}  // namespace cli
