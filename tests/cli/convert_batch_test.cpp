// `markfit convert -d DIR` with many files, and --watch, as a user meets
// them: an empty folder, names with blanks and accents, files that fail
// beside files that do not, saves as editors make them, Ctrl-C.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "cli/convert_command.h"
#include "cli/table_command.h"
#include "platform/watcher.h"
#include "tests/cli/files.h"
#include "tests/platform/temp_dir.h"

namespace cli {
namespace {

using test::contents;
using test::read;
using test::write;

namespace fs = std::filesystem;

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};




// Every file below `dir`, relative, sorted.
std::vector<std::string> tree(const std::string& dir) {
  std::vector<std::string> names;
  if (!fs::exists(dir)) return names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) names.push_back(fs::relative(e.path(), dir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class ConvertBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    setenv("MARKFIT_PROFILE", dir_.file("profile.ini").c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    previous_ = fs::current_path();
    fs::create_directory(dir_.file("work"));
    fs::current_path(dir_.file("work"));
  }
  void TearDown() override { fs::current_path(previous_); }

  static Outcome convert(const std::vector<std::string>& args, bool err_is_terminal = false,
                         std::uint64_t progress_minimum = kProgressMinimumBytes) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Outcome o;
    o.status = run_convert(args, stdin, out, err, err_is_terminal, false, progress_minimum);
    o.out = contents(out);
    o.err = contents(err);
    return o;
  }

  platform_test::TempDir dir_;
  fs::path previous_;
};

TEST_F(ConvertBatchTest, EveryFileOnItsOwnAndTheFailuresSaidPerFile) {
  const std::string cafe = "caf\xC3\xA9 menu.htm";
  write(cafe, "<p>Caf\xC3\xA9</p>\n");
  write("two.html", "<b>2</b>\n");
  write("binary.htm", std::string("a\0b", 3));
  fs::create_directories("out/deep");
  write("out/deep/two.htw", "old\r\n");
  fs::create_directory("site");
  Outcome o = convert({"--eol", "lf", cafe, "binary.htm", "missing.htm", "site", "two.html", "-d", "out/deep"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(read("out/deep/caf\xC3\xA9 menu.htw"), "<<p>Caf\xC3\xA9<</p>\n");
  EXPECT_EQ(read("out/deep/two.htw"), "old\r\n");
  std::istringstream lines(o.err);
  std::vector<std::string> said;
  for (std::string line; std::getline(lines, line);) said.push_back(line.substr(0, 45));
  EXPECT_EQ(said, (std::vector<std::string>{
                      "markfit convert: 'binary.htm' is not a text f",
                      "markfit convert: cannot read 'missing.htm': F",
                      "markfit convert: 'site' is a folder; give -r ",
                      "markfit convert: 'out/deep/two.htw' exists al",
                      "markfit convert: 4 of 5 files were not conver",
                  }))
      << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(tree("out"), (std::vector<std::string>{"deep/caf\xC3\xA9 menu.htw", "deep/two.htw"}));

  // --force replaces per file; a folder that is missing is made, with the
  // folders above it, but not for an input that is not there.
  o = convert({"two.html", "-d", "out/deep", "--force", "--suffix", ".txt"});
  EXPECT_EQ(o.status, 0) << o.err;
  o = convert({"two.html", "-d", "out/deep", "--force"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(read("out/deep/two.htw"), "<<b>2<</b>\r\n");
  o = convert({"missing.htm", "-d", "new/er"});
  EXPECT_EQ(o.status, 1);
  EXPECT_FALSE(fs::exists("new"));
  o = convert({"two.html", "-d", "new/er/"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(tree("new"), (std::vector<std::string>{"er/two.htw"}));
}

TEST_F(ConvertBatchTest, AWalkKeepsTheLayoutUnderOneProgressBar) {
  std::string big;
  while (big.size() < 64 * 1024) big += "<p>a line of some length to make the file big</p>\n";
  fs::create_directories("site/a b/c\xC3\xA9");
  write("site/index.htm", big);
  write("site/a b/c\xC3\xA9/page.HTML", big);
  write("site/notes.txt", "x\n");
  const Outcome o = convert({"-r", "site", "-d", "out"}, true, 100 * 1024);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(tree("out"), (std::vector<std::string>{"a b/c\xC3\xA9/page.htw", "index.htw"}));
  // One bar over both files: it never goes back, and it ends at 100 %.
  std::vector<int> shown;
  const std::regex percent(R"(\] +(\d+)%)");
  for (std::sregex_iterator it(o.err.begin(), o.err.end(), percent), end; it != end; ++it) {
    shown.push_back(std::stoi((*it)[1]));
  }
  ASSERT_FALSE(shown.empty()) << o.err;
  EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
  EXPECT_EQ(shown.back(), 100);
  EXPECT_LT(shown.front(), 50);
}

TEST_F(ConvertBatchTest, WhatABatchCannotBeIsWrongUsage) {
  write("a.htm", "x\n");
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"a.htm", "b.htm"}, "more than one INPUT given ('a.htm' and 'b.htm'); give -d DIR"},
      {{"a.htm", "-d", "out", "-o", "x"}, "-o names one output file and -d a folder for many"},
      {{"-", "-d", "out"}, "standard input cannot be converted into a folder"},
      {{"a.htm", "-r", "-o", "x"}, "-r needs -d DIR"},
      {{"a.htm", "-d", "out", "--glob", "*.x"}, "--glob chooses the pages of folders walked with -r"},
      {{"a.htm", "-d", "out", "-r", "--glob", "x/*.htm"}, "--glob matches file names"},
      {{"a.htm", "-d", "out", "--suffix", "/x"}, "the suffix '/x' holds a '/'"},
      {{"a.htm", "--suffix", ".x"}, "--suffix needs -d DIR"},
      {{"a.htm", "--watch"}, "--watch writes files: give -o FILE or -d DIR"},
      {{"-", "-o", "x", "--watch"}, "standard input cannot be watched"},
      {{"-d", "out"}, "no INPUT given"},
  };
  for (const auto& c : cases) {
    const Outcome o = convert(c.args);
    EXPECT_EQ(o.status, 2) << c.says;
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
  }
  EXPECT_TRUE(tree(".") == std::vector<std::string>{"a.htm"});
}

// --watch runs until a signal; the test holds SIGINT and SIGTERM itself, so
// that the one it sends reaches the watch on its own thread.
class WatchTest : public ConvertBatchTest {
 protected:
  void SetUp() override {
    ConvertBatchTest::SetUp();
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &stop, &before_), 0);
  }
  void TearDown() override {
    platform::Watcher::drop_events_for_test(false);
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    ConvertBatchTest::TearDown();
  }
  // Waits up to two seconds for `path` to hold `text`.
  static bool becomes(const std::string& path, const std::string& text) {
    for (int i = 0; i < 200; ++i) {
      if (fs::exists(path) && read(path) == text) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  sigset_t before_{};
};

TEST_F(WatchTest, SavesAreConvertedUntilCtrlCAndNothingIsLeftBehind) {
  fs::create_directory("site");
  write("site/p\xC3\xA9 1.htm", "<p>1</p>\n");
  auto watch = std::async(std::launch::async, [] {
    return convert({"-r", "site", "-d", "site/out", "--eol", "lf", "--watch"});
  });
  const std::string output = "site/out/p\xC3\xA9 1.htw";
  ASSERT_TRUE(becomes(output, "<<p>1<</p>\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the watch is set up

  // Saved by rename, in place, wrongly and then right again; a new page
  // in a new folder; the output folder itself is no source.
  write("site/.p.swp", "<p>2</p>\n");
  fs::rename("site/.p.swp", "site/p\xC3\xA9 1.htm");
  EXPECT_TRUE(becomes(output, "<<p>2<</p>\n"));
  write("site/p\xC3\xA9 1.htm", std::string("<p>\0</p>\n", 9));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  write("site/p\xC3\xA9 1.htm", "<p>3</p>\n<p>3</p>\n");
  EXPECT_TRUE(becomes(output, "<<p>3<</p>\n<<p>3<</p>\n"));
  fs::create_directory("site/new");
  write("site/new/n.html", "<i>n</i>\n");
  EXPECT_TRUE(becomes("site/out/new/n.htw", "<<i>n<</i>\n"));
  write("site/out/stray.htm", "x\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  ASSERT_EQ(kill(getpid(), SIGINT), 0);
  ASSERT_EQ(watch.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  const Outcome o = watch.get();
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(tree("site"), (std::vector<std::string>{"new/n.html", "out/new/n.htw", "out/p\xC3\xA9 1.htw",
                                                    "out/stray.htm", "p\xC3\xA9 1.htm"}));
  // One line per conversion (the first pass, two good saves, the new
  // page), each with the time; the failed save on standard error.
  const std::regex line(R"(\d\d:\d\d:\d\d site/p\xC3\xA9 1\.htm -> site/out/p\xC3\xA9 1\.htw \([12] lines?\)\n)");
  EXPECT_EQ(std::distance(std::sregex_iterator(o.out.begin(), o.out.end(), line), std::sregex_iterator()), 3)
      << o.out;
  EXPECT_NE(o.out.find(" site/new/n.html -> site/out/new/n.htw (1 line)\n"), std::string::npos) << o.out;
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 4) << o.out;
  EXPECT_NE(o.err.find("watching 1 file and 1 folder; Ctrl-C ends"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("markfit convert: 'site/p\xC3\xA9 1.htm' is not a text file"), std::string::npos) << o.err;
}

// Ends the watch with Ctrl-C; what it said.
Outcome stop(std::future<Outcome>& watch) {
  EXPECT_EQ(kill(getpid(), SIGINT), 0);
  EXPECT_EQ(watch.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  return watch.get();
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(WatchTest, ATableChangedByAnotherProgramConvertsEveryPageAgainAndABadOneIsKeptOut) {
  // "Standard" replaced by another program, in its own process as the
  // table windows would be: one transaction over both data files.
  const auto import = [](const std::string& html) {
    const pid_t child = ::fork();
    if (child == 0) {
      std::istringstream in("character,html\n\xC3\xA9," + html + "\n");
      std::ostringstream out, err;
      ::_exit(run_table({"import", "-", "--name", "Standard", "--replace"}, in, out, err));
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    return status;
  };
  {
    std::istringstream in("character,html\n\xC3\xA9,&eacute\n");
    std::ostringstream out, err;
    ASSERT_EQ(run_table({"import", "-", "--name", "Standard"}, in, out, err), 0) << err.str();
  }
  fs::create_directory("site");
  write("site/a.htm", "<p>\xC3\xA9</p>\n");
  write("site/b.htm", "\xC3\xA9\n");
  auto watch = std::async(std::launch::async, [] {
    return convert({"-r", "site", "-d", "out", "--eol", "lf", "-m", "international", "--watch"});
  });
  EXPECT_TRUE(becomes("out/a.htw", "<<p>&eacute;<</p>\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  EXPECT_EQ(import("&#233"), 0);
  EXPECT_TRUE(becomes("out/a.htw", "<<p>&#233;<</p>\n"));
  EXPECT_TRUE(becomes("out/b.htw", "&#233;\n"));
  // Half the data files gone: said, and the table in use converts on.
  fs::remove("TRANSLAT.KSF");
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  write("site/b.htm", "x\xC3\xA9\n");
  EXPECT_TRUE(becomes("out/b.htw", "x&#233;\n"));

  const Outcome o = stop(watch);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(count(o.out, " the translation table changed; converting every file again\n"), 1u) << o.out;
  EXPECT_EQ(count(o.out, " -> out/"), 5u) << o.out;  // the first pass, both again, the save
  EXPECT_EQ(count(o.err, "TRANSLAT.KSF is missing; the table in use stays"), 1u) << o.err;
}

TEST_F(WatchTest, AfterDroppedNoticesTheFoldersAreWalkedAgainAndOnlyChangedPagesConverted) {
  fs::create_directory("site");
  write("site/a.htm", "<p>a</p>\n");
  write("site/b.htm", "<p>b</p>\n");
  auto watch = std::async(std::launch::async, [] { return convert({"-r", "site", "-d", "out", "--eol", "lf", "--watch"}); });
  EXPECT_TRUE(becomes("out/b.htw", "<<p>b<</p>\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  platform::Watcher::drop_events_for_test(true);
  write("site/a.htm", "<p>a2</p>\n");  // same size as before
  write("site/d.htm", "<p>d</p>\n");
  fs::create_directory("site/new");
  write("site/new/c.htm", "<p>c</p>\n");
  write("out/b.htw", "not converted again\n");  // b.htm itself is as it was
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  platform::Watcher::drop_events_for_test(false);

  EXPECT_TRUE(becomes("out/a.htw", "<<p>a2<</p>\n"));
  EXPECT_TRUE(becomes("out/d.htw", "<<p>d<</p>\n"));
  EXPECT_TRUE(becomes("out/new/c.htw", "<<p>c<</p>\n"));
  // The new folder is watched from then on.
  write("site/new/c.htm", "<p>c2</p>\n");
  EXPECT_TRUE(becomes("out/new/c.htw", "<<p>c2<</p>\n"));
  const Outcome o = stop(watch);
  EXPECT_EQ(read("out/b.htw"), "not converted again\n");
  EXPECT_EQ(count(o.out, " -> out/"), 6u) << o.out;
  EXPECT_EQ(count(o.err, "dropped change notices"), 1u) << o.err;
}

}  // namespace
}  // namespace cli
