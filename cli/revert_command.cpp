#include "cli/revert_command.h"

#include <charconv>
#include <memory>
#include <optional>

#include "app/conversion/reversion.h"
#include "app/dictionary/standard_table.h"
#include "cli/command_line.h"
#include "cli/convert_command.h"
#include "cli/working_directory.h"
#include "files/textline/textline_driver.h"
#include "platform/env.h"

namespace cli {
namespace {

const char* const kDescription =
    "Turn the code lines of INPUT back into the HTML lines they were made from.\n"
    "Give the options the code was made with: each line loses the indent, the\n"
    "before-text and the after-text; \"<<\" becomes \"<\", doubled quotes (-q, or a\n"
    "table that writes the quote twice) one quote, and an entity that the table\n"
    "writes (modes international and all) its character.\n";

const char* const kFooter =
    "A line without the indent and before-text or the after-text, or with a \"<\"\n"
    "or a doubled quote standing alone, is left out; how many, and the first\n"
    "one's number and problem, go to standard error.\n"
    "\n"
    "Exit status: 0 every line reverted, 1 error or lines left out, 2 wrong usage.\n";

struct Args {
  std::vector<std::string> inputs;
  std::optional<std::string> output;
  std::optional<std::string> before;
  std::optional<std::string> after;
  std::optional<std::string> indent;
  std::optional<std::string> mode;
  std::optional<std::string> table;
  std::optional<std::string> encoding;
  std::optional<std::string> eol;
  std::optional<std::string> directory;
  bool force = false;
  bool keep_entities = false;
  bool double_quotes = false;
};

std::unique_ptr<CLI::App> command_line(Args* a) {
  auto app = make_command("markfit revert", kDescription, kFooter);
  CLI::App& c = *app;
  add_value(c, "-o,--output", "FILE",
            "write to FILE (absent or \"-\": standard output); an existing FILE is replaced only with --force",
            &a->output);
  add_flag(c, "--force", "replace an existing output file", &a->force);
  add_value(c, "-b,--before", "TEXT", "the text in front of every line", &a->before);
  add_value(c, "-a,--after", "TEXT", "the text after every line", &a->after);
  add_value(c, "-i,--indent", "N", "the blanks in front of every line, 0 to 255 (default 0)", &a->indent);
  add_value(c, "-m,--mode", "MODE",
            "none (default): no entity is turned back;\n"
            "international: entities of characters 128 to 255 are;\n"
            "all: entities of every character are",
            &a->mode);
  add_value(c, "-t,--table", "NAME", "the translation table (default \"Standard\")", &a->table);
  add_flag(c, "-q,--double-quotes", "the code has every quote (') twice: write it once", &a->double_quotes);
  add_flag(c, "--keep-entities", "leave the table's entities as they are", &a->keep_entities);
  add_value(c, "--encoding", "ENC", "auto (default), ansi or utf8, as for convert", &a->encoding);
  add_value(c, "--eol", "EOL", "line ends written: crlf (default) or lf", &a->eol);
  add_value(c, "-C,--directory", "DIR", "read the data files in DIR", &a->directory);
  add_arguments(c, "INPUT", "the file of code lines", &a->inputs, -1);
  return app;
}

std::string lower(std::string s) {
  for (char& c : s) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

int finish(std::FILE* err, int status, const std::string& message) {
  std::fprintf(err, "markfit revert: %s\n", message.c_str());
  if (status == kUsageStatus) std::fputs("Try 'markfit revert --help'.\n", err);
  return status;
}

}  // namespace

int run_revert(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  Args a;
  const std::unique_ptr<CLI::App> app = command_line(&a);
  const Parsed parsed = parse(*app, args);
  if (parsed.done) {
    std::fputs(parsed.out.c_str(), out);
    std::fputs(parsed.err.c_str(), err);
    return parsed.status;
  }
  if (a.inputs.empty()) return finish(err, kUsageStatus, "no INPUT given");
  if (a.inputs.size() > 1) return finish(err, kUsageStatus, "more than one INPUT given");
  if (a.output && a.output->empty()) return finish(err, kUsageStatus, "the output file name (-o) is empty");

  conversion::Options options;
  if (a.mode) {
    const std::string m = lower(*a.mode);
    if (m == "none") {
      options.mode = conversion::kModeNone;
    } else if (m == "international") {
      options.mode = conversion::kModeInternational;
    } else if (m == "all") {
      options.mode = conversion::kModeAll;
    } else {
      return finish(err, kUsageStatus, "unknown mode '" + *a.mode + "' (none, international or all)");
    }
  }
  if (a.indent) {
    int n = -1;
    const char* end = a.indent->data() + a.indent->size();
    const auto r = std::from_chars(a.indent->data(), end, n);
    if (r.ec != std::errc() || r.ptr != end || n < 0 || n > conversion::kMaxIndent) {
      return finish(err, kUsageStatus, "the indent must be a number from 0 to 255, not '" + *a.indent + "'");
    }
    options.indent = n;
  }
  if (a.encoding) {
    const std::string e = lower(*a.encoding);
    if (e == "ansi") {
      options.encoding = conversion::Encoding::ansi;
    } else if (e == "utf8" || e == "utf-8") {
      options.encoding = conversion::Encoding::utf8;
    } else if (e != "auto") {
      return finish(err, kUsageStatus, "unknown encoding '" + *a.encoding + "' (auto, ansi or utf8)");
    }
  }
  if (a.eol) {
    const std::string e = lower(*a.eol);
    if (e == "lf") {
      options.line_end = conversion::LineEnd::lf;
    } else if (e != "crlf") {
      return finish(err, kUsageStatus, "unknown line end '" + *a.eol + "' (crlf or lf)");
    }
  }
  if (a.before) {
    if (const std::string m = text_to_ansi(*a.before, "before-text", &options.before); !m.empty()) {
      return finish(err, kUsageStatus, m);
    }
  }
  if (a.after) {
    if (const std::string m = text_to_ansi(*a.after, "after-text", &options.after); !m.empty()) {
      return finish(err, kUsageStatus, m);
    }
  }
  options.keep_entities = a.keep_entities;
  options.double_quotes = a.double_quotes;

  // Paths are the caller's, taken before -C moves.
  WorkingDirectory working_directory;
  std::string input = a.inputs.front();
  std::optional<std::string> output = a.output;
  if (a.directory) {
    // Revert reads no standard input: "-" is a file of that name.
    if (input == "-") input = "./-";
    WorkingDirectory::make_full(input);
    WorkingDirectory::make_full(output);
    if (const std::string m = WorkingDirectory::enter(*a.directory); !m.empty()) return finish(err, 1, m);
  }
  const std::string directory = WorkingDirectory::current();

  // A table serves where entities are turned back: modes International and
  // All, and mode All's quote.
  conversion::ReplacementTable table;
  if (options.mode == conversion::kModeInternational || options.mode == conversion::kModeAll) {
    const std::string name = a.table ? *a.table : std::string(dictionary::kStandardTableName);
    if (const std::string m = load_run_table(name, directory, &table); !m.empty()) return finish(err, 1, m);
  }

  conversion::Reversion back(options);
  if (!back.open_input(input)) return finish(err, 1, back.report().error);
  std::unique_ptr<conversion::LineSink> sink;
  if (output && *output != "-") {
    if (!back.refuse_same_file(*output)) return finish(err, 1, back.report().error);
    switch (conversion::output_kind(*output)) {
      case conversion::OutputKind::directory:
        return finish(err, 1, "'" + *output + "' is a directory, not a file");
      case conversion::OutputKind::file:
        if (!a.force) return finish(err, 1, "'" + *output + "' exists already; give --force to replace it");
        break;
      case conversion::OutputKind::missing:
      case conversion::OutputKind::stream:  // written directly, never replaced
        break;
    }
    sink = std::make_unique<conversion::FileOutput>(*output, options.line_end, a.force);
  } else {
    sink = std::make_unique<conversion::StreamOutput>(out, options.line_end, "standard output");
  }
  if (!back.run(table, *sink)) return finish(err, 1, back.report().error);
  if (const std::string left = conversion::left_out_summary(back.report()); !left.empty()) {
    return finish(err, 1, left);
  }
  return 0;
}

int run_revert(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
  return run_revert(args, stdout, stderr);
}

}  // namespace cli
