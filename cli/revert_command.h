// `markfit revert`: code lines back into the HTML they were made from.
//
//   markfit revert [OPTIONS] INPUT
//
// Given the indent, before- and after-text, mode, table and quote option
// the code was made with (the same options as `markfit convert`), every
// line loses the indent and the two texts; "<<" becomes "<", doubled quotes
// one quote, and an entity the table writes its character
// (conversion::LineReverter). A line of another shape is left out and
// reported: how many, and the first one's number and problem.
//
// Exit status 0 when every line was reverted, 1 on an error or when lines
// were left out (the output holds the others), 2 on a usage error.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace cli {

// The program's entry for argv[1] == "revert".
int run_revert(int argc, char** argv);

// The same with explicit streams, for tests: `args` are the words after
// "revert". The current directory is the same afterwards as before.
int run_revert(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace cli
