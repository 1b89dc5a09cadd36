// `markfit convert` as a new user meets it: standard streams, an empty
// folder, data files, the saved setup, and every kind of bad input.
#include "cli/convert_command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/dictionary/dictionary.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "tests/platform/temp_dir.h"

namespace cli {
namespace {

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};

std::string contents(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
  std::fclose(f);
  return s;
}

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
  static void write(const std::string& path, std::string_view bytes) { std::ofstream(path, std::ios::binary) << bytes; }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
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
      {{"in.html", "-b", "\xE2\x86\x92"}, 2, "Windows-1252"},
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

}  // namespace
}  // namespace cli
