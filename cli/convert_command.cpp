#include "cli/convert_command.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "app/conversion/conversion.h"
#include "app/conversion/line_converter.h"
#include "app/conversion/replacement_table.h"
#include "app/dictionary/dictionary.h"
#include "app/dictionary/standard_table.h"
#include "cli/command_line.h"
#include "cli/convert_batch.h"
#include "cli/convert_one.h"
#include "cli/working_directory.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/driver.h"
#include "files/textline/textline_driver.h"
#include "platform/terminal.h"
#include "runtime/settings.h"

namespace cli {
namespace {

using conversion::Options;

const char* const kDescription =
    "Turn every line of the HTML file INPUT (\"-\": standard input) into one line\n"
    "of program code: INDENT blanks, the before-text, the line with every \"<\"\n"
    "written \"<<\" (and, on request, characters replaced by the entities of a\n"
    "translation table), the after-text. Trailing blanks are dropped.\n";

const char* const kFooter =
    "Tables come from TRANSTAB.KSF and TRANSLAT.KSF in the directory, opened\n"
    "shared and read only. Without data files the built-in \"Standard\" table\n"
    "serves and nothing is created.\n"
    "\n"
    "Input lines may end in CR LF, LF or CR; output lines end in CR LF unless\n"
    "--eol lf. A tab becomes blanks up to the next multiple of 8 columns. A\n"
    "Ctrl-Z that is the input's last byte (an old end-of-text mark) is dropped;\n"
    "anywhere else it is kept as data. A file holding a NUL byte is refused\n"
    "as binary. INPUT may be a FIFO or a device; it is read once, as standard\n"
    "input is.\n"
    "\n"
    "The output is made whole in a new file, which then takes the target's\n"
    "name: a failed or stopped run leaves an existing target untouched and no\n"
    "file behind. A symbolic link is followed; a replaced file keeps its\n"
    "permissions, owner and group. A file with other hard links, or in a\n"
    "folder you may not write, is overwritten in place once the output is\n"
    "whole. A FIFO, a device or a terminal is written directly, without\n"
    "--force.\n"
    "\n"
    "With -d, each INPUT is converted on its own: a file that fails is reported\n"
    "and the others are still done (exit status 1 when any failed). An output\n"
    "that would be written over an input, or that two inputs would share, is\n"
    "refused before anything is written. -r walks folders (symbolic links\n"
    "followed, loops passed over, names starting with \".\" left out) and keeps\n"
    "their layout under DIR; DIR itself is not walked.\n"
    "\n"
    "--watch then converts an input again each time it is saved (written in\n"
    "place or renamed over), and with -r new pages in the walked folders, one\n"
    "line per conversion on standard output; a failure is reported and the\n"
    "watch goes on. An output the watch wrote itself is replaced without\n"
    "--force. When the table's data files change, the table is read again and,\n"
    "if it differs, every input is converted again with it; when it cannot be\n"
    "read, the error is reported and the table in use stays. When the system\n"
    "drops change notices (too many at once), the folders are walked again and\n"
    "every input changed since its last conversion is converted again. Ctrl-C\n"
    "ends the watch, after the conversion under way, with status 0.\n"
    "\n"
    "Exit status: 0 success, 1 error, 2 wrong usage.\n";

constexpr std::size_t kMaxLineLimit = 16 * 1024 * 1024;
constexpr const char* kSettingsFile = "./Markfit.ini";
constexpr const char* kSection = "WriteHtml";

struct Args {
  std::vector<std::string> inputs;
  std::optional<std::string> out_dir;
  std::optional<std::string> suffix;
  std::vector<std::string> globs;
  bool recursive = false;
  bool watch = false;
  std::optional<std::string> input;
  std::optional<std::string> output;
  std::optional<std::string> before;
  std::optional<std::string> after;
  std::optional<std::string> indent;
  std::optional<std::string> mode;
  std::optional<std::string> table;
  std::optional<std::string> encoding;
  std::optional<std::string> eol;
  std::optional<std::string> max_line;
  std::optional<std::string> directory;
  bool force = false;
  bool setup = false;
  bool keep_entities = false;
  bool numeric = false;
  bool double_quotes = false;
  // Texts that came from the saved setup are in the program's character
  // set already.
  bool before_is_ansi = false;
  bool after_is_ansi = false;
};

// The command line of `markfit convert`, bound to *a. Values are checked
// after parsing, where the messages can say what a value must be.
std::unique_ptr<CLI::App> command_line(Args* a) {
  auto app = make_command("markfit convert", kDescription, kFooter);
  CLI::App& c = *app;
  add_value(c, "-o,--output", "FILE",
            "write to FILE (absent or \"-\": standard output); an existing FILE is replaced only with --force",
            &a->output);
  add_flag(c, "--force", "replace an existing output file (in a batch: every one)", &a->force);
  add_value(c, "-d,--into", "DIR",
            "convert each INPUT (several may be given) to DIR/NAME.htw, NAME being the input's name without its "
            "extension; DIR and the folders below it are made when missing",
            &a->out_dir);
  add_value(c, "--suffix", "SUFFIX", "what follows NAME in the output's name with -d (default \".htw\")", &a->suffix);
  add_flag(c, "-r,--recursive",
           "with -d: convert the pages in each folder given as INPUT and in the folders below it, keeping their "
           "layout under DIR",
           &a->recursive);
  add_values(c, "--glob", "PATTERN",
             "with -r: the names of the pages to convert (default \"*.htm\" and \"*.html\"; letters of either case); "
             "may be given more than once",
             &a->globs);
  add_flag(c, "--watch",
           "after converting, keep watching the inputs and convert each again whenever it is saved, until Ctrl-C",
           &a->watch);
  add_value(c, "-b,--before", "TEXT", "text in front of every line", &a->before);
  add_value(c, "-a,--after", "TEXT", "text after every line", &a->after);
  add_value(c, "-i,--indent", "N", "N blanks in front of every line, 0 to 255 (default 0)", &a->indent);
  add_value(c, "-m,--mode", "MODE",
            "none (default): only \"<\" is doubled;\n"
            "international: characters 128 to 255 are replaced from the table;\n"
            "all: every character is",
            &a->mode);
  add_value(c, "-t,--table", "NAME",
            "the translation table (default \"Standard\"): the first table of that name in name order", &a->table);
  add_value(c, "--encoding", "ENC",
            "auto (default): UTF-8 when the input is valid UTF-8 (pure ASCII too), else Windows-1252;\n"
            "ansi: Windows-1252; utf8: UTF-8. The output is written in the same encoding",
            &a->encoding);
  add_value(c, "--eol", "EOL", "line ends written: crlf (default) or lf", &a->eol);
  add_value(c, "--max-line", "N",
            "characters per line, longer lines are cut and reported (default 1024; 0: no limit)", &a->max_line);
  add_flag(c, "--keep-entities",
           "leave an entity or character reference of the input (\"&amp;\", \"&#233;\") as it stands",
           &a->keep_entities);
  add_flag(c, "--numeric",
           "write a character from 128 up that the table does not hold as \"&#NNN;\" (modes international and all)",
           &a->numeric);
  add_flag(c, "-q,--double-quotes",
           "write every quote (') of the line twice, as a Netloom string needs it; without it, lines left with "
           "an odd number of quotes are reported",
           &a->double_quotes);
  add_flag(c, "--setup",
           "take every option not given (INPUT and --output too) from the setup the window saved in section "
           "\"WriteHtml\" of ./Markfit.ini",
           &a->setup);
  add_value(c, "-C,--directory", "DIR", "read the data files and Markfit.ini in DIR", &a->directory);
  add_arguments(c, "INPUT...", "the HTML file (\"-\": standard input); with -d, files and (-r) folders", &a->inputs, -1);
  return app;
}

// Checks what the parser cannot: how many INPUTs, empty names.
std::optional<Failure> check(Args* a) {
  if (a->output && a->output->empty()) return Failure{2, "the output file name (-o) is empty; give \"-\" for standard output"};
  if (a->directory && a->directory->empty()) return Failure{2, "the directory name (-C) is empty"};
  if (a->out_dir) {
    if (a->out_dir->empty()) return Failure{2, "the output folder name (-d) is empty"};
    if (a->output) return Failure{2, "-o names one output file and -d a folder for many; give one of them"};
    for (const std::string& input : a->inputs) {
      if (input == "-") return Failure{2, "standard input cannot be converted into a folder; give -o FILE"};
    }
  } else {
    if (a->inputs.size() > 1) {
      return Failure{2, "more than one INPUT given ('" + a->inputs[0] + "' and '" + a->inputs[1] +
                            "'); give -d DIR to convert each into DIR"};
    }
    if (a->recursive) return Failure{2, "-r needs -d DIR, the folder its outputs go to"};
    if (a->suffix) return Failure{2, "--suffix needs -d DIR"};
    if (!a->inputs.empty()) a->input = a->inputs.front();
  }
  if (!a->globs.empty() && !a->recursive) return Failure{2, "--glob chooses the pages of folders walked with -r"};
  for (const std::string& glob : a->globs) {
    if (glob.empty() || glob.find('/') != std::string::npos) {
      return Failure{2, "--glob matches file names, so '" + glob + "' cannot serve"};
    }
  }
  if (a->suffix && a->suffix->find('/') != std::string::npos) {
    return Failure{2, "the suffix '" + *a->suffix + "' holds a '/'"};
  }
  if (a->watch && a->input == "-") return Failure{2, "standard input cannot be watched; give a file"};
  return std::nullopt;
}

std::optional<long long> whole_number(std::string_view text) {
  long long v = 0;
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, v);
  if (r.ec != std::errc() || r.ptr != end || text.empty()) return std::nullopt;
  return v;
}

// A number as a settings value reads: leading digits, else 0.
long long settings_number(std::string_view text) {
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) i = 1;
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && v < 1'000'000'000; ++i) v = v * 10 + (text[i] - '0');
  return negative ? -v : v;
}

// A command-line text into the program's character set.
std::optional<Failure> to_ansi(std::string_view text, const char* what, std::string* out) {
  out->clear();
  std::string ansi;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t len = conversion::utf8_sequence(text.substr(i), &cp);
    if (len == 0) {  // not UTF-8: taken byte for byte
      *out = text;
      return std::nullopt;
    }
    const int b = conversion::ansi_byte_of(cp);
    if (b < 0) {
      return Failure{2, std::string("the ") + what + " holds '" + std::string(text.substr(i, len)) +
                            "', which the program's character set (Windows-1252) lacks"};
    }
    ansi.push_back(static_cast<char>(b));
    i += len;
  }
  *out = std::move(ansi);
  return std::nullopt;
}

// A text as UTF-8: one typed on the command line as it is, unless it is
// not valid UTF-8 (then its bytes are Windows-1252, as one from the saved
// setup always is).
std::string as_utf8(std::string_view text, bool is_ansi) {
  bool valid = !is_ansi;
  for (std::size_t i = 0; valid && i < text.size();) {
    char32_t cp = 0;
    const std::size_t len = conversion::utf8_sequence(text.substr(i), &cp);
    valid = len != 0;
    i += len;
  }
  if (valid) return std::string(text);
  std::string out;
  conversion::append_ansi_as_utf8(out, text);
  return out;
}

std::string shown_ansi(std::string_view ansi) {
  std::string out;
  conversion::append_ansi_as_utf8(out, ansi);
  return out;
}

bool same_name_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string clipped(std::string text) {
  const auto end = text.find_last_not_of(' ');
  text.resize(end == std::string::npos ? 0 : end + 1);
  return text;
}

// The data files for one table read: opened shared and read only, closed
// again however the reading ends.
class DataFiles {
 public:
  ~DataFiles() {
    for (files::FileDescriptor* f : opened_) files::close(*f);
  }
  bool open(files::FileDescriptor& f) {
    files::open(f, 0x40);
    if (files::ERRORCODE() != 0) return false;
    opened_.push_back(&f);
    return true;
  }

 private:
  std::vector<files::FileDescriptor*> opened_;
};

std::optional<Failure> load_table(const std::string& name, const std::string& directory,
                                  conversion::ReplacementTable* table) {
  platform::Env* env = files::kestrel_env();
  const bool has_tables = env->exists("TRANSTAB.KSF");
  const bool has_characters = env->exists("TRANSLAT.KSF");
  if (!has_tables && !has_characters) {
    if (!same_name_ignoring_case(clipped(name), dictionary::kStandardTableName)) {
      return Failure{1, "no table named '" + shown_ansi(name) + "': " + directory +
                            " holds no data files, and the built-in table is \"Standard\""};
    }
    *table = conversion::ReplacementTable::standard();
    return std::nullopt;
  }
  if (!has_tables || !has_characters) {
    return Failure{1, std::string("the data files in ") + directory + " are incomplete: " +
                          (has_tables ? "TRANSLAT.KSF" : "TRANSTAB.KSF") + " is missing"};
  }
  DataFiles data;
  for (files::FileDescriptor* f : {&dictionary::TransTables, &dictionary::Translations}) {
    if (!data.open(*f)) {
      return Failure{1, "cannot read " + std::string(f == &dictionary::TransTables ? "TRANSTAB.KSF" : "TRANSLAT.KSF") +
                            " in " + directory + ": " + files::ERROR()};
    }
  }
  std::int32_t id = 0;
  std::int32_t rc = conversion::find_table(name, &id);
  if (rc == 35) {
    std::vector<std::string> names;
    if (conversion::table_names(&names) != 0) {
      return Failure{1, "no table named '" + shown_ansi(name) + "' (the table names cannot be read: " +
                            files::ERROR() + ")"};
    }
    std::string list;
    for (const std::string& n : names) list += (list.empty() ? "" : ", ") + ("\"" + shown_ansi(n) + "\"");
    return Failure{1, "no table named '" + shown_ansi(name) + "' in " + directory + "; " +
                          (names.empty() ? std::string("there are no tables") : "the tables are: " + list)};
  }
  if (rc == 0) rc = conversion::load_table(id, table);
  if (rc != 0) return Failure{1, "cannot read the table '" + shown_ansi(name) + "': " + files::ERROR()};
  return std::nullopt;
}

// The table read again while watching. Another program's update is one
// transaction over both files: a reader sees each file whole, but could
// read one before the commit and the other after it. Two readings in a row
// that agree cannot both straddle the same commit, so the table is taken
// when two agree. A reading that fails (a file locked by an update under
// way, a file replaced a moment ago) is tried again every 50 ms for a
// second: an update of a table takes far less, and the watch is not held up
// for long when the failure stays.
std::string reload_table(const std::string& name, const std::string& directory,
                         conversion::ReplacementTable* in_use, bool* changed) {
  constexpr auto kPatience = std::chrono::seconds(1);
  constexpr auto kStep = std::chrono::milliseconds(50);
  const auto give_up = std::chrono::steady_clock::now() + kPatience;
  std::optional<conversion::ReplacementTable> last;
  for (;;) {
    conversion::ReplacementTable read;
    const std::optional<Failure> f = load_table(name, directory, &read);
    if (!f && last && *last == read) break;
    if (std::chrono::steady_clock::now() >= give_up) {
      return f ? f->message : "the translation table kept changing while it was read";
    }
    if (f) {
      last.reset();
      std::this_thread::sleep_for(kStep);
    } else {
      last = read;
    }
  }
  *changed = !(*last == *in_use);
  if (*changed) *in_use = *last;
  return {};
}

std::optional<Failure> take_setup(Args* a) {
  using runtime::GETINI;
  if (settings_number(GETINI(kSection, "Setup", "0", kSettingsFile)) == 0) {
    return Failure{1, std::string("there is no saved setup in ") + kSettingsFile +
                          " (the window saves one when \"Save setup\" is ticked)"};
  }
  auto fill = [](std::optional<std::string>& field, const char* key) {
    if (field) return;
    const std::string value = GETINI(kSection, key, "", kSettingsFile);
    if (!value.empty()) field = value;
  };
  // Values stored by the window are already in the program's character set.
  fill(a->input, "ReadFile");
  fill(a->output, "WriteFile");
  if (!a->before) {
    a->before = GETINI(kSection, "CommandBefore", "", kSettingsFile);
    a->before_is_ansi = true;
  }
  if (!a->after) {
    a->after = GETINI(kSection, "CommandAfter", "", kSettingsFile);
    a->after_is_ansi = true;
  }
  if (!a->indent) {
    const long long indent = settings_number(GETINI(kSection, "Indent", "0", kSettingsFile));
    a->indent = std::to_string(std::clamp<long long>(indent, 0, conversion::kMaxIndent));
  }
  if (!a->double_quotes) a->double_quotes = settings_number(GETINI(kSection, "DoubleQuotes", "0", kSettingsFile)) != 0;
  fill(a->eol, "LineEnd");
  fill(a->encoding, "Encoding");
  return std::nullopt;
}

int finish(std::FILE* err, const Failure& f) {
  std::fprintf(err, "markfit convert: %s\n", f.message.c_str());
  if (f.status == kUsageStatus) std::fputs("Try 'markfit convert --help'.\n", err);
  return f.status;
}

std::string lower(std::string s) {
  for (char& c : s) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

struct ConvertStreams {
  std::FILE* in;
  std::FILE* out;
  std::FILE* err;
  bool err_is_terminal;
  bool out_is_terminal;
  std::uint64_t progress_minimum;
};

// One input into one output: the single form's whole work, and each file's
// in a batch.
OneResult convert_one(const OneFile& file, const Options& options, const conversion::ReplacementTable& table,
                      const ConvertStreams& s, BatchProgress* batch) {
  OneResult result;
  auto fail = [&result](Failure f) {
    result.failure = std::move(f);
    return result;
  };
  conversion::Conversion run(options);
  const bool opened =
      file.input == "-"
          ? run.open_input(
                [&s](void* buf, std::size_t n, std::size_t* got) {
                  *got = std::fread(buf, 1, n, s.in);
                  return *got == 0 && std::ferror(s.in) ? platform::Status(platform::syserr::read_fault)
                                                        : platform::Status::success();
                },
                "standard input")
          : run.open_input(file.input, /*streams=*/true);
  if (!opened) {
    if (run.report().failure == conversion::Report::Failure::texts) {
      return fail({2, run.report().error + " (--encoding utf8 writes UTF-8)"});
    }
    return fail({1, run.report().error});
  }

  const bool to_file = file.output && !file.output->empty() && *file.output != "-";
  std::unique_ptr<conversion::LineSink> sink;
  conversion::FileOutput* file_output = nullptr;
  if (to_file) {
    const std::string& target = *file.output;
    if (!run.refuse_same_file(target)) return fail({1, run.report().error});
    switch (conversion::output_kind(target)) {
      case conversion::OutputKind::directory:
        return fail({1, "'" + target + "' is a directory, not a file"});
      case conversion::OutputKind::file:
        if (!file.force) return fail({1, "'" + target + "' exists already; give --force to replace it"});
        break;
      case conversion::OutputKind::missing:
      case conversion::OutputKind::stream:  // written directly, never replaced
        break;
    }
    auto output = std::make_unique<conversion::FileOutput>(target, options.line_end, file.force);
    file_output = output.get();
    sink = std::move(output);
  } else {
    sink = std::make_unique<conversion::StreamOutput>(s.out, options.line_end, "standard output");
  }

  result.input_bytes = run.facts().size;
  std::optional<ProgressBar> bar;
  conversion::ProgressFn progress;
  if (batch != nullptr) {
    // The share of the whole batch that this file's percent brings it to.
    progress = [batch, size = run.facts().size](int percent) {
      const std::uint64_t at = batch->done + size / 100 * static_cast<std::uint64_t>(percent) +
                               size % 100 * static_cast<std::uint64_t>(percent) / 100;
      const std::uint64_t total = std::max<std::uint64_t>(batch->total, 1);
      batch->bar->show(static_cast<int>(std::min(at, total) * 100 / total));
    };
  } else if (s.err_is_terminal && run.facts().size > s.progress_minimum && (to_file || !s.out_is_terminal)) {
    bar.emplace(s.err);
    progress = [&bar](int percent) { bar->show(percent); };
  }
  const bool ok = run.run(table, *sink, progress);
  bar.reset();
  if (!ok) {
    std::string message = run.report().error;
    if (file_output != nullptr && file_output->appeared()) message += "; give --force to replace it";
    return fail({1, message});
  }

  const conversion::Report& report = run.report();
  result.lines = report.lines;
  if (report.cut_lines > 0) {
    if (batch != nullptr) batch->bar->hide();
    std::fprintf(s.err,
                 "markfit convert: %s%llu line%s cut at %zu characters; the first is line %llu\n",
                 file.name_in_notes.empty() ? "" : (file.name_in_notes + ": ").c_str(),
                 static_cast<unsigned long long>(report.cut_lines), report.cut_lines == 1 ? " was" : "s were",
                 options.max_line, static_cast<unsigned long long>(report.first_cut));
  }
  if (const std::string lone = conversion::lone_quote_summary(report); !lone.empty()) {
    if (batch != nullptr) batch->bar->hide();
    std::fprintf(s.err, "markfit convert: %s%s\n",
                 file.name_in_notes.empty() ? "" : (file.name_in_notes + ": ").c_str(), lone.c_str());
  }
  return result;
}

}  // namespace

void ProgressBar::show(int percent) {
  char bar[41];
  const int filled = percent * 40 / 100;
  for (int i = 0; i < 40; ++i) bar[i] = i < filled ? '#' : '.';
  bar[40] = '\0';
  std::fprintf(err_, "\rconverting [%s] %3d%%", bar, percent);
  std::fflush(err_);
  shown_ = true;
}

void ProgressBar::hide() {
  if (!shown_) return;
  std::fprintf(err_, "\r%60s\r", "");
  std::fflush(err_);
  shown_ = false;
}

int run_convert(const std::vector<std::string>& args, std::FILE* in, std::FILE* out, std::FILE* err,
                bool err_is_terminal, bool out_is_terminal, std::uint64_t progress_minimum) {
  Args a;
  const std::unique_ptr<CLI::App> app = command_line(&a);
  const Parsed parsed = parse(*app, args);
  if (parsed.done) {
    std::fputs(parsed.out.c_str(), out);
    std::fputs(parsed.err.c_str(), err);
    return parsed.status;
  }
  if (auto f = check(&a)) return finish(err, *f);
  WorkingDirectory working_directory;
  // Paths given here are the caller's, taken against the directory the
  // command started in, before -C moves (and shown as given otherwise).
  if (a.directory) {
    WorkingDirectory::make_full(a.input);
    WorkingDirectory::make_full(a.output);
    WorkingDirectory::make_full(a.out_dir);
    for (std::string& input : a.inputs) WorkingDirectory::make_full(input);
    if (std::string m = WorkingDirectory::enter(*a.directory); !m.empty()) return finish(err, {1, std::move(m)});
  }
  const std::string directory = WorkingDirectory::current();

  std::optional<long long> setup_mode;
  if (a.setup) {
    if (auto f = take_setup(&a)) return finish(err, *f);
    if (!a.mode) setup_mode = settings_number(runtime::GETINI(kSection, "Translation", "0", kSettingsFile));
  }
  if (a.out_dir && a.inputs.empty() && a.input) a.inputs.push_back(*a.input);
  if (a.out_dir ? a.inputs.empty() : !a.input) return finish(err, {2, "no INPUT given"});
  if (a.watch && !a.out_dir && (!a.output || *a.output == "-")) {
    return finish(err, {2, "--watch writes files: give -o FILE or -d DIR"});
  }

  Options options;
  if (a.mode) {
    const std::string m = lower(*a.mode);
    if (m == "none") {
      options.mode = conversion::kModeNone;
    } else if (m == "international") {
      options.mode = conversion::kModeInternational;
    } else if (m == "all") {
      options.mode = conversion::kModeAll;
    } else {
      return finish(err, {2, "unknown mode '" + *a.mode + "' (none, international or all)"});
    }
  } else if (setup_mode) {
    options.mode = static_cast<std::int32_t>(*setup_mode);
  }
  if (a.indent) {
    const auto n = whole_number(*a.indent);
    if (!n || *n < 0 || *n > conversion::kMaxIndent) {
      return finish(err, {2, "the indent must be a number from 0 to 255, not '" + *a.indent + "'"});
    }
    options.indent = static_cast<int>(*n);
  }
  if (a.encoding) {
    const std::string e = lower(*a.encoding);
    if (e == "auto") {
      options.encoding = conversion::Encoding::automatic;
    } else if (e == "ansi") {
      options.encoding = conversion::Encoding::ansi;
    } else if (e == "utf8" || e == "utf-8") {
      options.encoding = conversion::Encoding::utf8;
    } else {
      return finish(err, {2, "unknown encoding '" + *a.encoding + "' (auto, ansi or utf8)"});
    }
  }
  if (a.eol) {
    const std::string e = lower(*a.eol);
    if (e == "crlf") {
      options.line_end = conversion::LineEnd::crlf;
    } else if (e == "lf") {
      options.line_end = conversion::LineEnd::lf;
    } else {
      return finish(err, {2, "unknown line end '" + *a.eol + "' (crlf or lf)"});
    }
  }
  if (a.max_line) {
    const auto n = whole_number(*a.max_line);
    if (!n || *n < 0 || static_cast<unsigned long long>(*n) > kMaxLineLimit) {
      return finish(err, {2, "--max-line must be a number from 0 to " + std::to_string(kMaxLineLimit) + ", not '" +
                                 *a.max_line + "'"});
    }
    options.max_line = static_cast<std::size_t>(*n);
  }
  options.keep_entities = a.keep_entities;
  options.numeric = a.numeric;
  options.double_quotes = a.double_quotes;
  // The texts are kept in UTF-8, as typed; whether the output can hold
  // them is known once the input has been read.
  options.texts_utf8 = true;
  if (a.before) options.before = as_utf8(*a.before, a.before_is_ansi);
  if (a.after) options.after = as_utf8(*a.after, a.after_is_ansi);

  conversion::ReplacementTable table;
  if (options.mode == conversion::kModeInternational || options.mode == conversion::kModeAll) {
    std::string name(dictionary::kStandardTableName);
    if (a.table) {
      if (auto f = to_ansi(*a.table, "table name", &name)) return finish(err, *f);
    }
    if (auto f = load_table(name, directory, &table)) return finish(err, *f);
  }

  const ConvertStreams streams{in, out, err, err_is_terminal, out_is_terminal, progress_minimum};
  const ConvertOne convert = [&](const OneFile& file, BatchProgress* progress) {
    return convert_one(file, options, table, streams, progress);
  };
  if (a.out_dir || a.watch) {
    BatchRun batch;
    batch.request.folder = a.out_dir.value_or("");
    if (a.suffix) batch.request.suffix = *a.suffix;
    batch.request.recursive = a.recursive;
    batch.request.globs = a.globs;
    batch.inputs = a.inputs;
    if (!a.out_dir) batch.single = BatchItem{*a.input, *a.output, ""};
    batch.force = a.force;
    batch.watch = a.watch;
    if (a.watch && (options.mode == conversion::kModeInternational || options.mode == conversion::kModeAll)) {
      std::string name(dictionary::kStandardTableName);
      if (a.table) (void)to_ansi(*a.table, "table name", &name);  // taken once already
      const std::string folder = directory == "/" ? std::string() : directory;
      batch.table = WatchedTable{{folder + "/TRANSTAB.KSF", folder + "/TRANSLAT.KSF"},
                                 [&table, name, directory](bool* changed) {
                                   return reload_table(name, directory, &table, changed);
                                 }};
    }
    return run_batch(batch, convert, {out, err, err_is_terminal, progress_minimum});
  }
  OneFile file;
  file.input = *a.input;
  file.output = a.output;
  file.force = a.force;
  const OneResult result = convert(file, nullptr);
  return result.failure ? finish(err, *result.failure) : 0;
}

std::string load_run_table(const std::string& name, const std::string& directory,
                           conversion::ReplacementTable* table) {
  std::string ansi;
  if (auto f = to_ansi(name, "table name", &ansi)) return f->message;
  if (auto f = load_table(ansi, directory, table)) return f->message;
  return {};
}

std::string text_to_ansi(const std::string& text, const char* what, std::string* ansi) {
  if (auto f = to_ansi(text, what, ansi)) return f->message;
  return {};
}

int run_convert(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 2; i < argc; ++i) args.emplace_back(argv[i]);
  return run_convert(args, stdin, stdout, stderr, platform::is_terminal(2), platform::is_terminal(1));
}

}  // namespace cli
