// The command line every command shares: help and version at every level,
// both spellings of a value, and wrong usage told the same way everywhere
// (status 2, the command's name, a near miss suggested).
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "cli/convert_command.h"
#include "cli/ksf_command.h"
#include "cli/program.h"
#include "tests/cli/files.h"

namespace cli {
namespace {

using test::contents;

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};


// `words` as typed after "markfit".
Outcome markfit(std::vector<std::string> words) {
  Outcome o;
  const std::string command = words.empty() ? "" : words.front();
  if (command == "convert") {
    words.erase(words.begin());
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    o.status = run_convert(words, stdin, out, err);
    o.out = contents(out);
    o.err = contents(err);
  } else if (command == "ksf") {
    words.erase(words.begin());
    std::istringstream in;
    std::ostringstream out, err;
    o.status = run_ksf(words, in, out, err, platform::Env::posix());
    o.out = out.str();
    o.err = err.str();
  } else {
    ToolboxStart start;
    o.status = parse_toolbox_start(words, &o.out, &o.err, &start);
  }
  return o;
}

TEST(CommandLineTest, HelpAndVersionAtEveryLevel) {
  const struct {
    std::vector<std::string> words;
    const char* shows;
  } cases[] = {
      {{"--help"}, "Usage: markfit [OPTIONS] [COMMAND] [ARGS]\n"},
      {{"-h"}, "  convert      turn an HTML file"},
      {{"convert", "--help"}, "Usage: markfit convert [OPTIONS] INPUT...\n"},
      {{"convert", "x.html", "-h"}, "  -o, --output FILE     write to FILE"},
      {{"ksf", "--help"}, "  dump FILE[\\!TABLE] [--owner PASSWORD] [--json]\n"},
      {{"ksf", "help"}, "JSON shape:"},
      {{"ksf", "dump", "--help"}, "Usage: markfit ksf dump [OPTIONS] FILE[\\!TABLE]\n"},
      {{"ksf", "load", "-h"}, "Usage: markfit ksf load [OPTIONS] FILE [JSON-FILE]\n"},
      {{"--version"}, "markfit 1."},
      {{"convert", "--version"}, "markfit 1."},
      {{"ksf", "check", "--version"}, "markfit 1."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words.back());
    const Outcome o = markfit(c.words);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find(c.shows), std::string::npos) << o.out;
    EXPECT_EQ(o.err, "");
  }
  // Every help line fits 79 columns, for terminals and help2man alike.
  for (const auto& words : {std::vector<std::string>{"--help"}, {"convert", "--help"}, {"ksf", "--help"}}) {
    std::istringstream lines(markfit(words).out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 79u) << line;
  }
}

TEST(CommandLineTest, WrongUsageIsStatusTwoWithTheCommandAndANearMiss) {
  const struct {
    std::vector<std::string> words;
    const char* says;
  } cases[] = {
      {{"--helo"}, "markfit: unknown option '--helo'; did you mean '--help'?\nTry 'markfit --help'.\n"},
      {{"conver", "x.html"}, "markfit: unknown command 'conver'; did you mean 'convert'?\n"},
      {{"frobnicate"}, "markfit: unknown command 'frobnicate'\nTry 'markfit --help'.\n"},
      {{"--screenshot"}, "markfit: option --screenshot needs a value (DIR)\n"},
      {{"--screenshot="}, "needs a value"},
      {{"convert", "in.html", "--forse"}, "markfit convert: unknown option '--forse'; did you mean '--force'?\n"
                                          "Try 'markfit convert --help'.\n"},
      {{"convert", "in.html", "--out=x"}, "unknown option '--out=x'; did you mean '--output'?"},
      {{"convert", "in.html", "-o", ""}, "markfit convert: the output file name (-o) is empty"},
      {{"convert", "in.html", "--output="}, "option -o/--output needs a value"},
      {{"convert", "in.html", "-m"}, "markfit convert: option -m/--mode needs a value (MODE)\n"},
      {{"ksf"}, "markfit ksf: a command is missing (check, dump or load)\n"},
      {{"ksf", "dumb", "x"}, "markfit ksf: unknown command 'dumb'; did you mean 'dump'?\nTry 'markfit ksf --help'.\n"},
      {{"ksf", "check", "x", "--ownr=1"}, "markfit ksf check: unknown option '--ownr=1'; did you mean '--owner'?\n"
                                          "Try 'markfit ksf check --help'.\n"},
      {{"ksf", "dump", "a", "b"}, "markfit ksf dump: unexpected argument 'b'\n"},
      {{"ksf", "load", "a", "b", "c"}, "markfit ksf load: unexpected argument 'c'\n"},
      {{"ksf", "load"}, "markfit ksf load: load needs a FILE\nTry 'markfit ksf load --help'.\n"},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& w : c.words) shown += w + " ";
    SCOPED_TRACE(shown);
    const Outcome o = markfit(c.words);
    EXPECT_EQ(o.status, kUsageStatus);
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
  }
}

TEST(CommandLineTest, ToolboxStartOptionsInEitherSpelling) {
  for (const auto& words : {std::vector<std::string>{"--screenshot", "shots dir", "--quit-when-shown"},
                            {"--quit-when-shown", "--screenshot=shots dir"}}) {
    ToolboxStart start;
    std::string out, err;
    EXPECT_EQ(parse_toolbox_start(words, &out, &err, &start), -1) << err;
    EXPECT_TRUE(start.quit_when_shown);
    EXPECT_EQ(start.screenshot_dir, "shots dir");
  }
  // The hidden options stay out of the help.
  EXPECT_EQ(markfit({"--help"}).out.find("screenshot"), std::string::npos);
}

}  // namespace
}  // namespace cli
