// `markfit convert` as a new user meets it: standard streams, an empty
// folder, data files, the saved setup, and every kind of bad input.
#include "cli/convert_command.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "app/dictionary/dictionary.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/textline/textline_driver.h"
#include "platform/fault_env.h"
#include "tests/cli/files.h"
#include "tests/platform/temp_dir.h"

namespace cli {
namespace {

using test::contents;
using test::read;
using test::write;

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};


class ConvertCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    setenv("MARKFIT_PROFILE", dir_.file("profile.ini").c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    previous_ = std::filesystem::current_path();
    std::filesystem::create_directory(dir_.file("work"));
    std::filesystem::current_path(dir_.file("work"));
  }
  void TearDown() override { std::filesystem::current_path(previous_); }

  Outcome convert(const std::vector<std::string>& args, std::string_view stdin_bytes = {},
                  bool err_is_terminal = false, std::uint64_t progress_minimum = kProgressMinimumBytes) {
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (!stdin_bytes.empty()) std::fwrite(stdin_bytes.data(), 1, stdin_bytes.size(), in);
    std::rewind(in);
    Outcome o;
    o.status = run_convert(args, in, out, err, err_is_terminal, false, progress_minimum);
    std::fclose(in);
    o.out = contents(out);
    o.err = contents(err);
    return o;
  }
  static std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // TRANSTAB.KSF and TRANSLAT.KSF in `dir` with the tables given.
  static void make_data_files(const std::string& dir,
                              const std::vector<std::tuple<int, std::string, int, std::string>>& entries_) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    using namespace dictionary;
    for (files::FileDescriptor* f : {&TransTables, &Translations}) {
      files::create(*f);
      files::open(*f, 0x42);
      ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
    }
    std::vector<int> ids;
    for (const auto& [id, name, code, html] : entries_) {
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
        ids.push_back(id);
        TTB.idnr = id;
        set_field(TTB.name, name);
        files::add(TransTables);
      }
      clear(TRA);
      TRA.translationtableid = id;
      const char character[2] = {static_cast<char>(code), ' '};
      set_field(TRA.character, std::string_view(character, 2));
      set_field(TRA.htmlchars, html);
      files::add(Translations);
    }
    for (files::FileDescriptor* f : {&TransTables, &Translations}) files::close(*f);
    std::filesystem::current_path(previous);
  }

  // The result of a thread that reads or writes a FIFO. Should the command
  // never open the FIFO's other end, this does (`flags`), so that the thread
  // ends and the test fails instead of waiting for ever: a reader is let go
  // at once (it then reads the end), a writer's bytes are taken until it is
  // done (it would die writing to no reader).
  template <class T>
  static T release(std::future<T>& thread, const std::string& fifo, int flags) {
    int other = -1;
    while (thread.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
      if (other < 0) other = ::open(fifo.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
      if (other >= 0 && flags == O_WRONLY) {
        ::close(other);
        other = -1;
      }
    }
    if (other >= 0) ::close(other);
    return thread.get();
  }

  platform_test::TempDir dir_;
  std::filesystem::path previous_;
};

TEST_F(ConvertCommandTest, StandardStreamsAndTheBuiltInTableInAnEmptyFolder) {
  const Outcome o = convert({"-m", "international", "-i", "2", "-b", "HtmlLine('", "-a", "')", "--eol", "lf", "-"},
                            "  <p>Caf\xE9</p>   \r\n\r\n");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "  HtmlLine('  <<p>Caf&eacute;<</p>')\n  HtmlLine('')\n");
  EXPECT_EQ(o.err, "");
  // Nothing was made on disk, neither data files nor settings.
  EXPECT_TRUE(entries(dir_.file("work")).empty());
  // UTF-8 text in, UTF-8 out, one entity per character; texts given in UTF-8.
  const Outcome u = convert({"-m", "international", "-b", "\xC2\xAB", "-"}, "caf\xC3\xA9\n");
  EXPECT_EQ(u.out, "\xC2\xAB" "caf&eacute;\r\n");
  // Another name needs data files.
  const Outcome t = convert({"-m", "all", "-t", "Mine", "-"}, "x\n");
  EXPECT_EQ(t.status, 1);
  EXPECT_NE(t.err.find("the built-in table is \"Standard\""), std::string::npos) << t.err;
}

TEST_F(ConvertCommandTest, TablesComeFromTheDataFilesOpenedReadOnly) {
  const std::string data = dir_.file("data");
  std::filesystem::create_directory(data);
  make_data_files(data, {{1, "Standard", 233, "&eacute"}, {2, "Mine", 233, "e"}, {2, "Mine", '&', "&amp"}});
  const auto stamp = std::filesystem::last_write_time(data + "/TRANSLAT.KSF");
  write("in.html", "\xE9 & &amp; \xFF\n");
  Outcome o = convert({"-C", data, "-m", "all", "-t", "MINE", "in.html"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "e &amp; &amp;amp; \xFF\r\n");
  o = convert({"-C", data, "-m", "all", "-t", "mine", "--keep-entities", "--numeric", "in.html"});
  EXPECT_EQ(o.out, "e &amp; &amp; &#255;\r\n");
  o = convert({"--directory=" + data, "-m", "all", "-t", "Other", "in.html"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("the tables are: \"Mine\", \"Standard\""), std::string::npos) << o.err;
  EXPECT_EQ(std::filesystem::last_write_time(data + "/TRANSLAT.KSF"), stamp);
  EXPECT_EQ(entries(data), (std::vector<std::string>{"TRANSLAT.KSF", "TRANSTAB.KSF"}));
  // Half a pair is an error, not the built-in table.
  std::filesystem::remove(data + "/TRANSLAT.KSF");
  o = convert({"-C", data, "-m", "all", "in.html"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("TRANSLAT.KSF is missing"), std::string::npos) << o.err;
}

TEST_F(ConvertCommandTest, AnExistingOutputIsReplacedOnlyWithForce) {
  write("in.html", "<b>\n");
  write("out.htw", "keep me");
  Outcome o = convert({"in.html", "-o", "out.htw"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("give --force"), std::string::npos) << o.err;
  EXPECT_EQ(read("out.htw"), "keep me");
  o = convert({"in.html", "-o", "out.htw", "--force"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(read("out.htw"), "<<b>\r\n");
  EXPECT_EQ(entries(dir_.file("work")), (std::vector<std::string>{"in.html", "out.htw"}));
  // Cut lines are reported, and the run still succeeds.
  write("in.html", "0123456789abcdef\nshort\nfedcba9876543210\n");
  o = convert({"in.html", "--max-line", "10", "-o", "cut.htw"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(read("cut.htw"), "0123456789\r\nshort\r\nfedcba9876\r\n");
  EXPECT_EQ(o.err, "markfit convert: 2 lines were cut at 10 characters; the first is line 1\n");
}

TEST_F(ConvertCommandTest, TheSavedSetupFillsInWhatIsNotGiven) {
  const std::string data = dir_.file("data");
  std::filesystem::create_directory(data);
  write(data + "/page.html", "<p>\xE9</p>\n");
  write(data + "/Markfit.ini",
        "[WriteHtml]\nSetup=1\nReadFile=page.html\nWriteFile=\nCommandBefore=Out('\xAB\nCommandAfter=')  \n"
        "Indent=3\nTranslation=1\nLineEnd=LF\n");
  Outcome o = convert({"--setup", "-C", data});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "   Out('\xAB<<p>&eacute;<</p>')\n");
  // What is given wins over the setup.
  o = convert({"--setup", "-C", data, "-i", "0", "-m", "none", "--eol", "crlf"});
  EXPECT_EQ(o.out, "Out('\xAB<<p>\xE9<</p>')\r\n");
  write(data + "/Markfit.ini", "[WriteHtml]\nSetup=0\nReadFile=page.html\n");
  o = convert({"--setup", "-C", data});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("no saved setup"), std::string::npos) << o.err;
}

TEST_F(ConvertCommandTest, QuotesAreDoubledOnRequestAndLoneOnesReported) {
  const std::string page = "<a onclick='go()'>\ndon't\nit's Bob's\nwon't\n";
  Outcome o = convert({"-b", "Html('", "-a", "')", "--eol", "lf", "-"}, page);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "Html('<<a onclick='go()'>')\nHtml('don't')\nHtml('it's Bob's')\nHtml('won't')\n");
  EXPECT_EQ(o.err, "markfit convert: 2 lines hold a lone quote; first: line 2\n");
  o = convert({"-q", "-b", "Html('", "-a", "')", "--eol", "lf", "-"}, page);
  EXPECT_EQ(o.out, "Html('<<a onclick=''go()''>')\nHtml('don''t')\nHtml('it''s Bob''s')\nHtml('won''t')\n");
  EXPECT_EQ(o.err, "");
  // The setup the window saved may ask for it.
  write("page.html", "don't\n");
  write("Markfit.ini", "[WriteHtml]\nSetup=1\nReadFile=page.html\nDoubleQuotes=1\n");
  o = convert({"--setup"});
  EXPECT_EQ(o.out, "don''t\r\n");
}

TEST_F(ConvertCommandTest, BadInputIsAClearErrorAndNothingIsLost) {
  write("in.html", "x\n");
  write("out.htw", "precious");
  write("binary.bin", std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16));
  std::filesystem::create_directory("folder");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{"missing.html"}, 1, "cannot read"},
      {{"folder"}, 1, "is a directory"},
      {{"binary.bin", "-o", "out.htw", "--force"}, 1, "NUL byte"},
      {{"in.html", "-o", "nowhere/out.htw"}, 1, "Path Not Found"},
      {{"in.html", "-o", "folder"}, 1, "is a directory"},
      {{"in.html", "-o", "./in.html", "--force"}, 1, "the input file itself"},
      {{"-C", "nowhere", "in.html"}, 1, "cannot use the directory"},
      {{}, 2, "no INPUT"},
      {{"in.html", "other.html"}, 2, "more than one INPUT"},
      {{"in.html", "--frobnicate"}, 2, "unknown option"},
      {{"in.html", "-m", "some"}, 2, "unknown mode"},
      {{"in.html", "-i", "256"}, 2, "from 0 to 255"},
      {{"in.html", "--max-line", "-1"}, 2, "--max-line"},
      {{"in.html", "--eol", "cr"}, 2, "unknown line end"},
      {{"in.html", "-o"}, 2, "needs a value"},
      {{std::string(300, 'n')}, 1, "Invalid Filename"},
      {{"in.html", "-o", std::string(300, 'o')}, 1, "Invalid Filename"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    const Outcome o = convert(c.args);
    EXPECT_EQ(o.status, c.status);
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
  }
  EXPECT_EQ(read("out.htw"), "precious");
  EXPECT_EQ(read("in.html"), "x\n");
  EXPECT_EQ(entries(dir_.file("work")), (std::vector<std::string>{"binary.bin", "folder", "in.html", "out.htw"}));
  // Binary data on standard input is refused the same way.
  const Outcome o = convert({"-"}, std::string("a\0b", 3));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("standard input is not a text file"), std::string::npos) << o.err;
}

TEST_F(ConvertCommandTest, ABigInputShowsProgressOnlyOnATerminal) {
  std::string big;
  while (big.size() < 200 * 1024) big += "<p>a line of some length to make the file big</p>\n";
  write("big.html", big);
  Outcome o = convert({"big.html", "-o", "big.htw"}, {}, true, 100 * 1024);
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.err.find("converting ["), std::string::npos);
  EXPECT_NE(o.err.find("100%"), std::string::npos);
  o = convert({"big.html", "-o", "big.htw", "--force"}, {}, false, 100 * 1024);
  EXPECT_EQ(o.err, "");
  o = convert({"big.html", "-o", "big.htw", "--force"}, {}, true, 300 * 1024);
  EXPECT_EQ(o.err, "");
}

// Texts typed on the command line are UTF-8: an input that is UTF-8 (pure
// ASCII is) gives a UTF-8 output that holds them as typed, any character at
// all; only an output in Windows-1252 needs them in that set.
TEST_F(ConvertCommandTest, TextsTypedInUtf8KeepTheirEncodingWhereTheOutputAllows) {
  write("ascii.html", "<p>\n");
  write("utf8.html", "\xC3\xA9\n");
  write("ansi.html", "\xE9\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {{"ascii.html", "-b", "\xC3\xA9"}, 0, "\xC3\xA9<<p>\r\n"},
      {{"ascii.html", "-a", " \xE2\x86\x92"}, 0, "<<p> \xE2\x86\x92\r\n"},
      {{"utf8.html", "-b", "\xE2\x86\x92"}, 0, "\xE2\x86\x92\xC3\xA9\r\n"},
      {{"ansi.html", "-b", "\xC3\xA9"}, 0, "\xE9\xE9\r\n"},
      {{"ascii.html", "--encoding", "ansi", "-b", "\xC3\xA9"}, 0, "\xE9<<p>\r\n"},
      {{"ascii.html", "-b", "\xE9"}, 0, "\xC3\xA9<<p>\r\n"},  // not UTF-8: taken as Windows-1252
      {{"ansi.html", "-b", "\xE2\x86\x92"}, 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
    const Outcome o = convert(c.args);
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_EQ(o.out, c.out);
    if (c.status == 2) {
      EXPECT_NE(o.err.find("Windows-1252"), std::string::npos) << o.err;
    }
  }
}

// Replacing follows a symbolic link to its target, keeps a file's
// permissions, owner and group, and writes a file with other hard links in
// place, so that every name sees the new text.
TEST_F(ConvertCommandTest, ReplacingKeepsWhatTheUserMade) {
  write("in.html", "<b>\n");
  write("target \xC3\xA9", "old");
  ASSERT_EQ(::symlink("target \xC3\xA9", "link \xC3\xA9"), 0);
  write("private", "old");
  ASSERT_EQ(::chmod("private", 0600), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown("private", 65534, 65534), 0);  // someone else's, as only root can make it
  }
  struct stat before {};
  ASSERT_EQ(::stat("private", &before), 0);
  write("linked", "old");
  ASSERT_EQ(::link("linked", "other name"), 0);
  struct stat linked {};
  ASSERT_EQ(::stat("linked", &linked), 0);
  for (const char* name : {"link \xC3\xA9", "private", "linked"}) {
    SCOPED_TRACE(name);
    Outcome o = convert({"in.html", "-o", name});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("give --force"), std::string::npos) << o.err;
    o = convert({"in.html", "-o", name, "--force"});
    EXPECT_EQ(o.status, 0) << o.err;
  }
  EXPECT_TRUE(std::filesystem::is_symlink("link \xC3\xA9"));
  EXPECT_EQ(read("target \xC3\xA9"), "<<b>\r\n");
  struct stat after {};
  ASSERT_EQ(::stat("private", &after), 0);
  EXPECT_EQ(read("private"), "<<b>\r\n");
  EXPECT_EQ(after.st_mode & 07777, 0600u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  ASSERT_EQ(::stat("other name", &after), 0);
  EXPECT_EQ(after.st_ino, linked.st_ino);
  EXPECT_EQ(read("other name"), "<<b>\r\n");
  EXPECT_EQ(entries(dir_.file("work")), (std::vector<std::string>{"in.html", "link \xC3\xA9", "linked", "other name",
                                                                   "private", "target \xC3\xA9"}));
}

// What can only be read or written in sequence is: a FIFO as input (kept
// as standard input is), a FIFO or a descriptor's name as output, written
// directly without --force and never replaced.
TEST_F(ConvertCommandTest, FifosAndDescriptorsAreReadAndWrittenAsTheyCome) {
  write("in.html", "<b>\n");
  ASSERT_EQ(::mkfifo("in.fifo", 0600), 0);
  ASSERT_EQ(::mkfifo("out \xC3\xA9.fifo", 0600), 0);
  auto writer = std::async(std::launch::async, [] {
    std::ofstream("in.fifo") << "<i>\n";
    return true;
  });
  Outcome o = convert({"in.fifo"});
  release(writer, "in.fifo", O_RDONLY);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "<<i>\r\n");
  auto reader = std::async(std::launch::async, [] { return read("out \xC3\xA9.fifo"); });
  o = convert({"in.html", "-o", "out \xC3\xA9.fifo"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(release(reader, "out \xC3\xA9.fifo", O_WRONLY), "<<b>\r\n");
  EXPECT_TRUE(std::filesystem::is_fifo("out \xC3\xA9.fifo"));
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  o = convert({"in.html", "-o", "/proc/self/fd/" + std::to_string(pipe_ends[1])});
  EXPECT_EQ(o.status, 0) << o.err;
  ::close(pipe_ends[1]);
  char buf[64];
  const ssize_t n = ::read(pipe_ends[0], buf, sizeof buf);
  ::close(pipe_ends[0]);
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0))), "<<b>\r\n");
  EXPECT_EQ(entries(dir_.file("work")), (std::vector<std::string>{"in.fifo", "in.html", "out \xC3\xA9.fifo"}));
}

// A user may write a file in a folder he may not write (a shell's ">"
// can): it is written in place from a copy made elsewhere. Root may write
// every folder, so the run is made by a child that gave up root (the user
// nobody); another user's child meets a folder closed to him.
TEST_F(ConvertCommandTest, AFileInAFolderTheUserMayNotWriteIsWrittenInPlace) {
  const bool root = ::geteuid() == 0;
  const std::string closed = dir_.file("closed \xC3\xA9");
  const std::string tmp = dir_.file("tmp");
  std::filesystem::create_directory(closed);
  std::filesystem::create_directory(tmp);
  write(closed + "/in.html", "<b>\n");
  const std::string target = closed + "/out \xC3\xA9.htw";
  write(target, "an old text, longer than the new one\n");
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(tmp.c_str(), 01777), 0);
  if (root) {
    ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(::chmod(closed.c_str(), 0555), 0);
  struct stat before {};
  ASSERT_EQ(::stat(target.c_str(), &before), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(3);
    setenv("TMPDIR", tmp.c_str(), 1);
    std::FILE* out = std::tmpfile();
    const int status = run_convert({closed + "/in.html", "-o", target, "--force"}, stdin, out, stderr);
    _exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_EQ(::chmod(closed.c_str(), 0755), 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(read(target), "<<b>\r\n");
  struct stat after {};
  ASSERT_EQ(::stat(target.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(entries(closed), (std::vector<std::string>{"in.html", "out \xC3\xA9.htw"}));
  EXPECT_TRUE(entries(tmp).empty());
}

// A run stopped by Ctrl-C, SIGTERM or SIGHUP, or killed, leaves neither a
// part of its output nor the copy of standard input: a real child process,
// stopped while it writes (its progress bar, written to a pipe that is not
// read, tells that the output has begun, and then holds it there). Where
// the file system has no unnamed files (the fault env offers none), the
// named ones are removed on the way out; SIGKILL allows no way out, so it
// is tried only where nothing has a name. A batch (-d) writes each output
// the same way.
TEST_F(ConvertCommandTest, AStoppedRunLeavesNothingBehind) {
  std::string big;
  for (int i = 0; i < 3000; ++i) big += "<p>line " + std::to_string(i) + "</p>\n";
  write("in.html", big);
  const std::string tmp = dir_.file("tmp");
  std::filesystem::create_directory(tmp);
  struct Case {
    int signal;
    bool named;
    bool batch = false;
  };
  for (const Case c : {Case{SIGINT, false}, Case{SIGTERM, false}, Case{SIGHUP, false}, Case{SIGKILL, false},
                       Case{SIGINT, true}, Case{SIGTERM, true}, Case{SIGHUP, true}, Case{SIGINT, false, true},
                       Case{SIGKILL, false, true}, Case{SIGINT, true, true}, Case{SIGTERM, true, true}}) {
    SCOPED_TRACE(::testing::Message() << "signal " << c.signal << " named " << c.named << " batch " << c.batch);
    int bar[2];
    ASSERT_EQ(::pipe(bar), 0);
    ASSERT_GE(::fcntl(bar[1], F_SETPIPE_SZ, 4096), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(bar[0]);
      for (const int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);  // as a program starts
      setenv("TMPDIR", tmp.c_str(), 1);
      platform::FaultEnv fault(platform::Env::posix());
      if (c.named) files::set_textline_env(&fault);
      std::FILE* in = std::fopen("in.html", "rb");
      std::FILE* err = ::fdopen(bar[1], "w");
      std::FILE* out = std::tmpfile();
      if (c.batch) {
        run_convert({"in.html", "-d", "out \xC3\xA9"}, in, out, err, true, false, 0);
      } else {
        run_convert({"-", "-o", "out \xC3\xA9.htw"}, in, out, err, true, false, 0);
      }
      _exit(0);
    }
    ::close(bar[1]);
    char shown[16];
    EXPECT_GT(::read(bar[0], shown, sizeof shown), 0);
    ::kill(pid, c.signal);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(bar[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
    if (c.batch) {
      EXPECT_TRUE(entries(dir_.file("work/out \xC3\xA9")).empty());
      std::filesystem::remove(dir_.file("work/out \xC3\xA9"));
    }
    EXPECT_EQ(entries(dir_.file("work")), std::vector<std::string>{"in.html"});
    EXPECT_TRUE(entries(tmp).empty());
  }
}

}  // namespace
}  // namespace cli
