// What every command of the program shares on its command line: options
// parsed by CLI11, one help layout, one way of reporting wrong usage.
//
// A command builds its parser with make_command() (and add_command() for the
// words below it, as in "markfit ksf dump"), binds its options with the
// add_* helpers, and calls parse() on the words after its own name:
//
//   Options o;
//   auto app = make_command("markfit convert", "Turn every line ...");
//   add_value(*app, "-o,--output", "FILE", "write to FILE ...", &o.output);
//   add_flag(*app, "--force", "replace an existing output file", &o.force);
//   add_arguments(*app, "INPUT", "...", &o.inputs);
//   const Parsed p = parse(*app, args);
//   if (p.done) { write p.out and p.err; return p.status; }
//
// Every command so gets: -h/--help and --version at every level, "--opt=value"
// as well as "--opt value" (and "-oVALUE"), the last of a repeated option
// winning, "--" ending the options, and for wrong usage one line
// "markfit convert: MESSAGE" with a suggestion for a near miss, the line
// "Try 'markfit convert --help'.", and exit status 2.
//
// The help text (--help) is made from the definitions, in the layout of GNU
// programs (so that help2man can make a manual page of it):
//
//   Usage: markfit convert [OPTIONS] INPUT
//   <description>
//   Options:
//     -o, --output FILE     write to FILE ...          (wrapped at 79 columns)
//   <footer>
//
// A command with sub-commands lists them under "Commands:" with their usage
// and description. Options in the group "" (hidden()) are left out.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/App.hpp>

namespace cli {

// Exit status of a command used wrongly.
inline constexpr int kUsageStatus = 2;

// The version --version prints: "markfit 1.04".
std::string version_line();

// A parser for the command called `path` ("markfit", "markfit convert").
// `description` follows the usage line, `footer` the options; both are
// printed as written (paragraphs separated by blank lines, lines already
// broken).
std::unique_ptr<CLI::App> make_command(const std::string& path, const std::string& description,
                                       const std::string& footer = {});

// A word below `parent` ("dump" below "markfit ksf"), with the same shared
// behaviour. `summary` is its description in the parent's list and in its
// own help.
CLI::App* add_command(CLI::App& parent, const std::string& name, const std::string& summary,
                      const std::string& footer = {});

// An option with a value; *to is set when it is given (the last one wins).
// `names` as CLI11 takes them: "-o,--output" or "--eol".
CLI::Option* add_value(CLI::App& app, const std::string& names, const std::string& value_name, const std::string& help,
                       std::optional<std::string>* to);

// An option with a value that may be given more than once; each adds its
// value to *to.
CLI::Option* add_values(CLI::App& app, const std::string& names, const std::string& value_name,
                        const std::string& help, std::vector<std::string>* to);

// An option without a value; *to becomes true when it is given.
CLI::Option* add_flag(CLI::App& app, const std::string& names, const std::string& help, bool* to);

// Positional words: at most `most` of them (-1: any number), filling *to in
// order. `name` is shown in the usage line. Missing words are not an error
// here: the command says what it lacks itself.
CLI::Option* add_arguments(CLI::App& app, const std::string& name, const std::string& help, std::vector<std::string>* to,
                           int most = 1);

// Hides an option from the help (for flags that scripts use).
inline CLI::Option* hidden(CLI::Option* o) { return o->group(""); }

struct Parsed {
  bool done = false;  // true: the command must not run; end with `status`
  int status = 0;     // 0 after --help or --version, kUsageStatus for wrong usage
  std::string out;    // help or version text, for standard output
  std::string err;    // the usage message, for standard error
  // The deepest command the words selected ("markfit ksf dump"); the root
  // when no sub-command was given.
  const CLI::App* selected = nullptr;
};

// Parses `args` (the words after the command's own name).
Parsed parse(CLI::App& app, const std::vector<std::string>& args);

// The usage message for a problem a command finds after parsing (a missing
// INPUT, a value out of range), in the same form as parse() gives:
// "markfit convert: MESSAGE\nTry 'markfit convert --help'.\n".
std::string usage_message(const CLI::App& app, const std::string& message);

// The full name of a command: "markfit ksf dump".
std::string command_path(const CLI::App& app);

// The candidate most like `word` when it is close enough to be a likely
// typing slip ("--forse" for "--force", "dumb" for "dump", "--out" for
// "--output"); empty when none is.
std::string near_miss(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace cli
