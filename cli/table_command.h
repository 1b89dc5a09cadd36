// `markfit table list|export|import`: translation tables moved between
// folders, machines and version control.
//
//   markfit table list [-C DIR]
//   markfit table export NAME [-o FILE] [--format json|csv] [--force] [-C DIR]
//   markfit table import FILE [--name NAME] [--replace] [--format json|csv] [-C DIR]
//
// The tables are those of TRANSTAB.KSF and TRANSLAT.KSF in DIR (else the
// current directory). list and export open them shared and read only; with
// no data files there, the built-in "Standard" table serves them. import
// opens them shared (so a toolbox may have them open; it creates them when
// missing) and writes through the application's rules (records/records.h):
// a new table gets the next number; --replace replaces the characters of
// the table of that name; both in one transaction over the two files, so
// that other programs see the table whole or not at all. Everything in the
// file is checked first: a malformed file is refused with its line and
// field (CSV) or place (JSON), and nothing is changed.
//
// The texts are UTF-8, the files' Windows-1252 translated both ways; a
// character outside that set is refused by name.
//
// JSON: {"table": NAME, "characters": [{"character": "é", "html": "&eacute",
// "code": 233}, ...]}. CSV: a header line "character,html,code", then one
// line per character (RFC 4180 quoting). "code" is TRA:ASCIINR (0 when left
// out). Exit status 0 success, 1 error (nothing changed), 2 wrong usage.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace cli {

// The program's entry for argv[1] == "table".
int run_table(int argc, char** argv);

// The same with explicit streams, for tests: `args` are the words after
// "table". The current directory is the same afterwards as before.
int run_table(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace cli
