// A run from file to file, stream or clipboard: how lines are split, long
// lines, the safe replacement of the output, refused inputs, progress, and
// the table read from the data files.
#include "app/conversion/conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "app/dictionary/dictionary.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/textline/textline_driver.h"
#include "platform/fault_env.h"
#include "tests/platform/temp_dir.h"

namespace {

using namespace conversion;

class ConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    setenv("MARKFIT_PROFILE", dir_.file("profile.ini").c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    files::set_textline_env(nullptr);
    files::clear_error();
  }
  void TearDown() override { files::set_textline_env(nullptr); }

  std::string path(std::string_view name) const { return dir_.file(name); }
  void write(std::string_view name, std::string_view bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  std::string read(std::string_view name) const {
    std::ifstream in(path(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The lines the reader hands on, each with "+" when more followed.
  std::vector<std::string> lines(std::string_view bytes, std::size_t cap = 0) {
    write("in.txt", bytes);
    InputScanner scanner;
    scanner.feed(bytes.data(), bytes.size());
    TextInput input;
    EXPECT_EQ(input.open(path("in.txt"), scanner.facts(), cap), 0);
    std::vector<std::string> out;
    InputLine line;
    while (input.next(&line)) out.push_back(std::string(line.bytes) + (line.more ? "+" : ""));
    EXPECT_EQ(input.error(), 0) << input.error_text();
    EXPECT_EQ(input.consumed(), bytes.size());
    return out;
  }
  // A whole run of `input` into "out.txt".
  bool run_to_file(std::string_view input, const Options& o = {}, Report* report = nullptr) {
    write("in.html", input);
    Conversion run(o);
    bool ok = run.open_input(path("in.html")) && run.refuse_same_file(path("out.txt"));
    FileOutput sink(path("out.txt"), o.line_end);
    ok = ok && run.run(ReplacementTable::standard(), sink);
    if (report) *report = run.report();
    return ok;
  }

  std::vector<std::string> entries(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  platform_test::TempDir dir_;
};

using Lines = std::vector<std::string>;

TEST_F(ConversionTest, EveryKindOfLineEndEndsOneLine) {
  EXPECT_EQ(lines("a\r\nb\r\n"), (Lines{"a", "b"}));
  EXPECT_EQ(lines("a\nb\n\nc"), (Lines{"a", "b", "", "c"}));
  EXPECT_EQ(lines("a\rb\r\rc\r"), (Lines{"a", "b", "", "c"}));
  EXPECT_EQ(lines("a\r\nb\rc\nd\r\r\ne"), (Lines{"a", "b", "c", "d", "", "e"}));
  EXPECT_EQ(lines("a\r\nb\rc\r\n"), (Lines{"a", "b", "c"}));
  EXPECT_EQ(lines(""), Lines{});
  EXPECT_EQ(lines("\n"), Lines{""});
  // A Ctrl-Z at the very end marks the end of the text; anywhere else it is data.
  EXPECT_EQ(lines("a\x1A" "b\r\n\x1A"), Lines{"a\x1A" "b"});
  EXPECT_EQ(lines("a\x1A"), Lines{"a"});
  // Tabs are handed on as they are.
  EXPECT_EQ(lines("\tx\n"), Lines{"\tx"});
}

TEST_F(ConversionTest, LongLinesAreReadOnAsFarAsTheLimitNeeds) {
  const std::string big(70000, 'x');
  // Whole, past both records, whatever the line end.
  EXPECT_EQ(lines(big + "\r\nnext\r\n"), (Lines{big, "next"}));
  EXPECT_EQ(lines(big + "\rnext\rlast"), (Lines{big, "next", "last"}));
  EXPECT_EQ(lines("a\r" + big + "\nb\rc"), (Lines{"a", big, "b", "c"}));
  // A line of megabytes without a cap is read on in pieces, each of which
  // skips the rest of the line: together they read the file a few times over
  // at most, not once a piece.
  platform::FaultEnv counting(platform::Env::posix());
  files::set_textline_env(&counting);
  const std::string huge(std::size_t{4} << 20, 'h');
  EXPECT_TRUE(lines(huge + "\nz\n") == (Lines{huge, "z"}));
  EXPECT_LT(counting.operations(platform::fault_op::read), 3 * (huge.size() >> 16));
  files::set_textline_env(nullptr);
  // With a cap: the cap's bytes, and whether anything but blanks follows.
  EXPECT_EQ(lines(big + "\nn\n", 100), (Lines{std::string(100, 'x') + "+", "n"}));
  EXPECT_EQ(lines("ab" + std::string(5000, ' ') + "\t \r\nn\r\n", 10),
            (Lines{"ab" + std::string(8, ' '), "n"}));
  EXPECT_EQ(lines("ab" + std::string(5000, ' ') + "z\r\n", 10), (Lines{"ab" + std::string(8, ' ') + "+"}));
  // Mixed line ends inside a long stretch without the record's own end.
  std::string mixed;
  for (int i = 0; i < 3000; ++i) mixed += "line " + std::to_string(i) + "\r";
  mixed += "end\n";
  const Lines got = lines(mixed + "x\n", 16);
  ASSERT_EQ(got.size(), 3002u);
  EXPECT_EQ(got[2999], "line 2999");
  EXPECT_EQ(got[3000], "end");
  // Lines ended one way, then a stretch longer than a record ended the
  // other way, and back.
  std::string stretches;
  Lines expected;
  for (int i = 0; i < 40; ++i) stretches += "cr " + std::to_string(i) + "\r";
  for (int i = 0; i < 35; ++i) stretches += "\nlf line " + std::to_string(i) + std::string(30, '.');
  stretches += "\r\rlast";
  for (int i = 0; i < 40; ++i) expected.push_back("cr " + std::to_string(i));
  for (int i = 0; i < 35; ++i) expected.push_back("lf line " + std::to_string(i) + std::string(30, '.'));
  expected.push_back("");
  expected.push_back("last");
  EXPECT_EQ(lines(stretches), expected);
}

TEST_F(ConversionTest, RunWritesTheFileAndReportsCutLines) {
  Options o;
  o.mode = kModeInternational;
  o.before = "W('";
  o.after = "')";
  o.max_line = 12;
  Report report;
  ASSERT_TRUE(run_to_file("<p>\xE9</p>\nshort\nthis line is too long\nand this one too\n", o, &report))
      << report.error;
  EXPECT_EQ(read("out.txt"), "W('<<p>&eacu\r\nW('short')\r\nW('this line\r\nW('and this\r\n");
  EXPECT_EQ(report.lines, 4u);
  EXPECT_EQ(report.cut_lines, 3u);
  EXPECT_EQ(report.first_cut, 1u);
  o.line_end = LineEnd::lf;
  o.max_line = 0;
  ASSERT_TRUE(run_to_file("a\r\nb", o, &report));
  EXPECT_EQ(read("out.txt"), "W('a')\nW('b')\n");
  // Empty output lines, and lines longer than the driver's record.
  o = Options();
  o.max_line = 0;
  const std::string wide = std::string(70000, 'x') + "    y";
  ASSERT_TRUE(run_to_file("\n" + wide + "\n\n", o, &report)) << report.error;
  EXPECT_EQ(read("out.txt"), "\r\n" + wide + "\r\n\r\n");
  EXPECT_EQ(report.cut_lines, 0u);
  // An empty input gives an empty output.
  ASSERT_TRUE(run_to_file("", o));
  EXPECT_EQ(read("out.txt"), "");
}

TEST_F(ConversionTest, TheFirstPassFindsTheSameFactsWhateverThePieces) {
  // The first pass looks at many bytes at once: its counts must not depend
  // on where blocks and pieces begin, nor on what runs across their edges.
  std::mt19937 random(5);
  const char alphabet[] = {'\r', '\n', '\r', '\n', 'a', '\0', '\xC3', '\xA9', '\xE2', '\x82', '\xAC', '\xFF'};
  for (int round = 0; round < 300; ++round) {
    std::string bytes(random() % 300, 'a');
    const unsigned kinds = round < 100 ? 4 : round < 200 ? 5 : 12;  // line ends alone, then NULs, then UTF-8
    for (char& c : bytes) c = alphabet[random() % kinds];
    InputFacts want;
    want.size = bytes.size();
    bool nul_seen = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')) ++want.lone_cr;
      if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) ++want.lone_lf;
      if (bytes[i] == '\0' && !nul_seen) {
        nul_seen = true;
        want.first_nul = i;
      }
    }
    for (std::size_t i = 0; i < bytes.size() && want.valid_utf8;) {
      char32_t cp = 0;
      const std::size_t length = utf8_sequence(std::string_view(bytes).substr(i), &cp);
      want.valid_utf8 = length != 0;
      want.multibyte = want.multibyte || length > 1;
      i += length;
    }
    InputScanner scanner;
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t piece = std::min<std::size_t>(random() % 80, bytes.size() - at);
      scanner.feed(bytes.data() + at, piece);
      at += piece;
    }
    const InputFacts got = scanner.facts();
    EXPECT_EQ(got.size, want.size);
    EXPECT_EQ(got.lone_cr, want.lone_cr) << round;
    EXPECT_EQ(got.lone_lf, want.lone_lf) << round;
    EXPECT_EQ(got.has_nul, nul_seen) << round;
    if (nul_seen) {
      EXPECT_EQ(got.first_nul, want.first_nul) << round;
    }
    EXPECT_EQ(got.valid_utf8, want.valid_utf8) << round;
    if (want.valid_utf8) {
      EXPECT_EQ(got.multibyte, want.multibyte) << round;
    }
  }
}

TEST_F(ConversionTest, Utf8InputIsDetectedAndWrittenBack) {
  Options o;
  o.mode = kModeInternational;
  Report report;
  ASSERT_TRUE(run_to_file("\xEF\xBB\xBF" "Caf\xC3\xA9 \xE2\x86\x92\n", o, &report));
  EXPECT_TRUE(report.utf8);
  EXPECT_EQ(read("out.txt"), "\xEF\xBB\xBF" "Caf&eacute; \xE2\x86\x92\r\n");
  // Not valid UTF-8: every byte is a 1252 character.
  ASSERT_TRUE(run_to_file("Caf\xC3\xA9 \xE9\n", o, &report));
  EXPECT_FALSE(report.utf8);
  EXPECT_EQ(read("out.txt"), "Caf&Atilde;&copy; &eacute;\r\n");
  // ASCII alone stays 1252; forcing either way works.
  o.encoding = Encoding::ansi;
  ASSERT_TRUE(run_to_file("\xC3\xA9\n", o, &report));
  EXPECT_EQ(read("out.txt"), "&Atilde;&copy;\r\n");
}

TEST_F(ConversionTest, AFailedRunLeavesTheOutputAsItWas) {
  write("out.txt", "precious");
  // A binary input is refused before anything is written.
  write("in.html", std::string("abc\0def", 7));
  Conversion binary({});
  EXPECT_FALSE(binary.open_input(path("in.html")));
  EXPECT_NE(binary.report().error.find("NUL byte (at byte 4)"), std::string::npos) << binary.report().error;
  // A disk that fills up half way.
  platform::FaultEnv fault(platform::Env::posix());
  files::set_textline_env(&fault);
  std::string big;
  for (int i = 0; i < 20000; ++i) big += "<p>line " + std::to_string(i) + "</p>\n";
  write("in.html", big);
  Conversion full({});
  ASSERT_TRUE(full.open_input(path("in.html")));
  FileOutput sink(path("out.txt"), LineEnd::crlf);
  fault.set_space(100000);
  EXPECT_FALSE(full.run(ReplacementTable(), sink));
  EXPECT_NE(full.report().error.find("Disk Full"), std::string::npos) << full.report().error;
  files::set_textline_env(nullptr);
  EXPECT_EQ(read("out.txt"), "precious");
  // ... and no file of its own is left behind.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_.path())) ++entries;
  EXPECT_EQ(entries, 2);
}

TEST_F(ConversionTest, AReplacedFileSurvivesAPowerCutWhole) {
  write("out.txt", "old");
  write("in.html", "new line\n");
  platform::FaultEnv fault(platform::Env::posix());
  files::set_textline_env(&fault);
  Conversion run({});
  ASSERT_TRUE(run.open_input(path("in.html")));
  FileOutput sink(path("out.txt"), LineEnd::crlf);
  ASSERT_TRUE(run.run(ReplacementTable(), sink));
  ASSERT_TRUE(fault.power_cut(platform::PowerCut::drop_unsynced).ok());
  files::set_textline_env(nullptr);
  EXPECT_EQ(read("out.txt"), "new line\r\n");
}

TEST_F(ConversionTest, InputsThatCannotServeAreRefusedByName) {
  Conversion run({});
  EXPECT_FALSE(run.open_input(path("missing.html")));
  EXPECT_NE(run.report().error.find("File Not Found"), std::string::npos) << run.report().error;
  EXPECT_FALSE(run.open_input(dir_.path()));
  EXPECT_NE(run.report().error.find("is a directory"), std::string::npos) << run.report().error;
  // A pipe is refused before it is opened, which could wait for a writer
  // for good, or take what the writer meant for another reader.
  ASSERT_EQ(::mkfifo(path("pipe.html").c_str(), 0600), 0);
  EXPECT_FALSE(run.open_input(path("pipe.html")));
  EXPECT_NE(run.report().error.find("is a pipe, socket or device"), std::string::npos) << run.report().error;
  // The input as output, under its own name, another spelling or a link.
  write("in.html", "x\n");
  ASSERT_EQ(::symlink(path("in.html").c_str(), path("link.html").c_str()), 0);
  ASSERT_EQ(::link(path("in.html").c_str(), path("hard.html").c_str()), 0);
  ASSERT_TRUE(run.open_input(path("in.html")));
  for (const std::string& same : {path("in.html"), dir_.path() + "/./in.html", path("link.html"), path("hard.html")}) {
    EXPECT_FALSE(run.refuse_same_file(same)) << same;
  }
  EXPECT_TRUE(run.refuse_same_file(path("other.html")));
}

TEST_F(ConversionTest, ProgressFollowsTheBytesAndTheClipboardTextIsCut) {
  std::string input;
  for (int i = 0; i < 3000; ++i) input += "line number " + std::to_string(i) + "\r\n";
  write("in.html", input);
  Conversion run({});
  ASSERT_TRUE(run.open_input(path("in.html")));
  ClipboardText clipboard(LineEnd::crlf, false);
  std::vector<int> seen;
  ASSERT_TRUE(run.run(ReplacementTable(), clipboard, [&seen](int p) { seen.push_back(p); }));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), 0);
  EXPECT_EQ(seen.back(), 100);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  // The text cut at 29999 characters, without the blanks the cut left at its end.
  std::string expected = input.substr(0, kClipboardLimit);
  expected.erase(expected.find_last_not_of(' ') + 1);
  EXPECT_EQ(clipboard.text(), expected);
  std::size_t whole = 0;
  for (std::size_t used = 0; whole < 3000; ++whole) {
    const std::size_t n = ("line number " + std::to_string(whole) + "\r\n").size();
    if (used + n > kClipboardLimit) break;
    used += n;
  }
  EXPECT_EQ(clipboard.first_line_cut(), whole + 1);
  EXPECT_EQ(clipboard.lines_cut(), 3000 - whole);
  // A new run starts from an empty text.
  write("in.html", "one\n");
  ASSERT_TRUE(run.open_input(path("in.html")));
  ASSERT_TRUE(run.run(ReplacementTable(), clipboard));
  EXPECT_EQ(clipboard.text(), "one\r\n");
}

TEST_F(ConversionTest, TheTableIsReadFromTheDataFilesInOneScan) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  using namespace dictionary;
  for (files::FileDescriptor* f : {&TransTables, &Translations}) {
    files::create(*f);
    files::open(*f, 0x42);
    ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
  }
  for (auto [id, name] : {std::pair{3, "Zeta"}, {1, "Standard"}, {2, "standard"}}) {
    TTB.idnr = id;
    set_field(TTB.name, name);
    files::add(TransTables);
  }
  struct Entry {
    std::int32_t table;
    const char* character;
    const char* html;
  };
  for (const Entry& e : {Entry{1, "\xE9 ", "&eacute"}, Entry{1, "a ", "A"}, Entry{1, "bc", "never"},
                         Entry{2, "\xE9 ", "e"}, Entry{0, "\xE9 ", "zero"}, Entry{3, "  ", "&nbsp"}}) {
    clear(TRA);
    TRA.translationtableid = e.table;
    set_field(TRA.character, e.character);
    set_field(TRA.htmlchars, e.html);
    files::add(Translations);
    ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
  }
  std::int32_t id = 0;
  EXPECT_EQ(find_table("STANDARD", &id), 0);
  EXPECT_EQ(id, 1);  // the first of the two names in key order
  EXPECT_EQ(find_table("Nothing", &id), 35);
  std::vector<std::string> names;
  ASSERT_EQ(table_names(&names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"Standard", "standard", "Zeta"}));
  ReplacementTable table;
  ASSERT_EQ(load_table(1, &table), 0);
  EXPECT_EQ(table.text(0xE9), "&eacute");
  EXPECT_EQ(table.text('a'), "A");
  EXPECT_FALSE(table.holds('b'));  // "bc" is never found by a lookup of "b "
  ASSERT_EQ(load_table(3, &table), 0);
  EXPECT_TRUE(table.holds(' '));
  EXPECT_FALSE(table.holds(0xE9));
  for (files::FileDescriptor* f : {&TransTables, &Translations}) files::close(*f);
  std::filesystem::current_path(previous);
}

// Without a limit a line longer than the reader's piece is read, converted
// and written in pieces, and comes out as the whole line converted at once
// would: the first line's byte order mark, tabs, characters and references
// across the pieces' edges, a last line without a line end.
TEST_F(ConversionTest, LongLinesGoThroughInPiecesAsTheyWouldWhole) {
  std::string first;
  while (first.size() < (std::size_t{3} << 20)) first += "\xC3\xA9\t<a href=\"x\">&amp; ";
  std::string last;
  while (last.size() < (std::size_t{3} << 19)) last += "x ";
  last += "y  \t ";
  Options o;
  o.mode = kModeInternational;
  o.max_line = 0;
  o.before = "B(";
  o.after = ")";
  o.keep_entities = true;
  Report report;
  ASSERT_TRUE(run_to_file("\xEF\xBB\xBF" + first + "\r\nshort\tx\r\n" + last, o, &report)) << report.error;
  LineConverter whole(o, ReplacementTable::standard(), true);
  bool cut = false;
  std::string expected = "\xEF\xBB\xBF";
  for (const std::string& line : {first, std::string("short\tx"), last}) {
    expected += std::string(whole.convert(line, false, &cut)) + "\r\n";
  }
  EXPECT_TRUE(read("out.txt") == expected);
  EXPECT_EQ(report.lines, 3u);
  // No write carries a whole long line: it never was in memory at once.
  struct Parts final : LineSink {
    bool begin() override { return true; }
    bool write_line(std::string_view line, std::uint64_t) override { return take(line) && take("\r\n"); }
    bool write_part(std::string_view part) override { return take(part); }
    bool finish() override { return true; }
    void abandon() override {}
    std::string error() const override { return {}; }
    bool take(std::string_view bytes) {
      text.append(bytes);
      largest = std::max(largest, bytes.size());
      return true;
    }
    std::string text;
    std::size_t largest = 0;
  } parts;
  Conversion again(o);
  ASSERT_TRUE(again.open_input(path("in.html")));
  ASSERT_TRUE(again.run(ReplacementTable::standard(), parts));
  EXPECT_TRUE(parts.text == expected);
  EXPECT_LT(parts.largest, std::size_t{2} << 20);
}

// Without leave to replace, the output takes its name at the last step only
// if the name is still free: a file that another run made meanwhile is left
// alone, and this run leaves nothing of its own. With leave, it is replaced.
TEST_F(ConversionTest, ANameTakenWhileTheRunWroteIsReplacedOnlyWithLeave) {
  write("in.html", "mine\n");
  for (const bool named : {false, true}) {  // a file without a name where the system has them
    platform::FaultEnv fault(platform::Env::posix());
    files::set_textline_env(named ? &fault : nullptr);
    for (const bool replace : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "named " << named << " replace " << replace);
      std::filesystem::remove(path("out.txt"));
      Conversion run({});
      ASSERT_TRUE(run.open_input(path("in.html")));
      FileOutput sink(path("out.txt"), LineEnd::crlf, replace);
      // Progress starts once the output has begun: another run ends now.
      const bool ok = run.run(ReplacementTable(), sink, [this](int percent) {
        if (percent == 0) write("out.txt", "theirs");
      });
      EXPECT_EQ(ok, replace) << run.report().error;
      EXPECT_EQ(sink.appeared(), !replace);
      EXPECT_EQ(read("out.txt"), replace ? "mine\r\n" : "theirs");
      EXPECT_EQ(entries(dir_.path()), (std::vector<std::string>{"in.html", "out.txt"}));
    }
    files::set_textline_env(nullptr);
  }
}

// What is piped in is kept where no one else can read it and never left;
// more than the driver can read is refused as soon as it comes; an output
// that would pass the driver's bound says so.
TEST_F(ConversionTest, StandardInputIsKeptPrivatelyAndTheBoundsAreNamed) {
  const std::string tmp = path("tmp");
  std::filesystem::create_directory(tmp);
  setenv("TMPDIR", tmp.c_str(), 1);
  auto given = [](std::string text) {
    return [text](void* buf, std::size_t n, std::size_t* got) mutable {
      *got = std::min(n, text.size());
      std::memcpy(buf, text.data(), *got);
      text.erase(0, *got);
      return platform::Status();
    };
  };
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named);
    platform::FaultEnv fault(platform::Env::posix());
    files::set_textline_env(named ? &fault : nullptr);
    {
      InputSpool spool;
      ASSERT_TRUE(spool.fill(given("piped\n"), "standard input")) << spool.error();
      const std::vector<std::string> kept = entries(tmp);
      ASSERT_EQ(kept.size(), named ? 1u : 0u);
      if (named) {
        struct stat st {};
        ASSERT_EQ(::stat((tmp + "/" + kept[0]).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
      }
      std::ifstream copy(spool.path(), std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}), "piped\n");
    }
    EXPECT_TRUE(entries(tmp).empty());
    files::set_textline_env(nullptr);
  }
  std::uint64_t read_bytes = 0;
  InputSpool spool;
  EXPECT_FALSE(spool.fill(
      [&read_bytes](void* buf, std::size_t n, std::size_t* got) {
        std::memset(buf, 'a', n);
        read_bytes += n;
        *got = n;
        return platform::Status();
      },
      "standard input", 1000));
  EXPECT_EQ(read_bytes, 1001u);
  EXPECT_NE(spool.error().find("standard input is 4 GiB or more"), std::string::npos) << spool.error();
  EXPECT_TRUE(entries(tmp).empty());
  unsetenv("TMPDIR");

  write("in.html", "0123456789\n0123456789\n");
  Conversion run({});
  ASSERT_TRUE(run.open_input(path("in.html")));
  FileOutput sink(path("out.txt"), LineEnd::crlf);
  sink.set_largest(20);
  EXPECT_FALSE(run.run(ReplacementTable(), sink));
  EXPECT_NE(run.report().error.find("the output would reach 4 GiB"), std::string::npos) << run.report().error;
  EXPECT_EQ(entries(dir_.path()), (std::vector<std::string>{"in.html", "tmp"}));
}

}  // namespace
