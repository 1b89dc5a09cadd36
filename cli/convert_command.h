// `markfit convert`: the conversion without a screen.
//
//   markfit convert [OPTIONS] INPUT      (INPUT "-" reads standard input)
//   markfit convert [OPTIONS] INPUT... -d DIR [-r] [--watch]
//
// Options (--help lists them): -o/--output, -b/--before, -a/--after,
// -i/--indent, -m/--mode, -t/--table, --encoding, --eol, --max-line,
// --keep-entities, --numeric, -q/--double-quotes, --force, --setup,
// -C/--directory; for many files -d/--into, --suffix, -r/--recursive,
// --glob, and --watch (see convert_batch.h and batch_plan.h).
//
// Exit status 0 on success (cut lines and lines left with a lone quote are
// reported on standard error and still succeed), 1 on an error (message on
// standard error; no output file replaced), 2 on a usage error.
//
// Tables: modes International and All read the table from the data files
// TRANSTAB.KSF and TRANSLAT.KSF of the directory (-C, else the current
// one), opened shared and read only, never created. With neither file
// there, the built-in standard table serves as "Standard" and nothing is
// created on disk. Mode None reads no table at all.
//
// Texts given on the command line (-b, -a, -t) are UTF-8 as the terminal
// sends them; texts that are not valid UTF-8 are taken as Windows-1252, as
// those of the saved setup are. The before- and after-text go to a UTF-8
// output as they are; to a Windows-1252 output (the input is read so), a
// character that set lacks is a usage error. The table name is taken into
// the program's character set, Windows-1252, where the same holds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/conversion/replacement_table.h"

namespace cli {

// The program's entry for argv[1] == "convert".
int run_convert(int argc, char** argv);

// Inputs larger than this show a progress bar on a terminal.
inline constexpr std::uint64_t kProgressMinimumBytes = 4 * 1024 * 1024;

// The same with explicit streams, for tests: `args` are the words after
// "convert". The progress bar goes to `err` only when `err_is_terminal`
// (and not when the output goes to `out` and that is the terminal too),
// for inputs larger than `progress_minimum` bytes. The current directory is
// the same afterwards as before.
int run_convert(const std::vector<std::string>& args, std::FILE* in, std::FILE* out, std::FILE* err,
                bool err_is_terminal = false, bool out_is_terminal = false,
                std::uint64_t progress_minimum = kProgressMinimumBytes);

// Shared with the other commands that read tables and texts: the table
// NAME (UTF-8 as typed) from the data files of the current directory
// `directory`, or the built-in standard table when it has none; and a typed
// text in the program's character set (`what` names it in the message).
// Each returns "" or what is wrong.
std::string load_run_table(const std::string& name, const std::string& directory,
                           conversion::ReplacementTable* table);
std::string text_to_ansi(const std::string& text, const char* what, std::string* ansi);

}  // namespace cli
