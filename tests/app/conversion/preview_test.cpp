// The preview: the first lines a run would write, from the start of the
// input only.
#include "app/conversion/preview.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "app/conversion/conversion.h"
#include "tests/platform/temp_dir.h"

namespace {

using conversion::Options;
using conversion::Preview;
using conversion::ReplacementTable;

// The lines of a real run, as they reach the output.
class Lines final : public conversion::LineSink {
 public:
  bool begin() override { return true; }
  bool write_line(std::string_view line, std::uint64_t) override {
    lines.emplace_back(line);
    return true;
  }
  bool finish() override { return true; }
  void abandon() override {}
  std::string error() const override { return {}; }
  bool keeps_byte_order_mark() const override { return false; }
  std::vector<std::string> lines;
};

class PreviewTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.file(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  platform_test::TempDir dir_;
};

// Whatever the input and the setup, the preview is the start of what a run
// writes (in UTF-8 for the eye: an ANSI run's bytes read as 1252).
TEST_F(PreviewTest, ShowsTheFirstLinesARunWrites) {
  const ReplacementTable standard = ReplacementTable::standard();
  std::string many;
  for (int i = 0; i < 30; ++i) many += "<b>line " + std::to_string(i) + "</b>\n";
  const struct {
    const char* name;
    std::string bytes;
    int mode;
    bool quotes;
  } cases[] = {
      {"crlf-lf-cr", "<p>Caf\xE9 don't</p>\r\n\nlone\rcr\r\n\rlast", conversion::kModeInternational, true},
      {"tabs", "\ta\tb  \r\n  \t<i>x</i>\t\r\n", conversion::kModeNone, false},
      {"ansi", "na\xEFve \x80 \x81 '\x1A" "x\r\n\x1A", conversion::kModeNone, false},
      {"utf8", "\xEF\xBB\xBF" "caf\xC3\xA9 \xE2\x86\x92 '\r\n\xF0\x9F\x98\x80\n", conversion::kModeAll, true},
      {"many", many, conversion::kModeAll, false},
      {"long", std::string(300, 'x') + "\n" + std::string(100, ' ') + "y", conversion::kModeNone, false},
      {"empty", "", conversion::kModeNone, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Options o;
    o.mode = c.mode;
    o.indent = 2;
    o.before = "Out('";
    o.after = "')";
    o.double_quotes = c.quotes;
    const std::string path = write(c.name, c.bytes);
    conversion::Conversion run(o);
    ASSERT_TRUE(run.open_input(path));
    Lines sink;
    ASSERT_TRUE(run.run(standard, sink));
    std::vector<std::string> expected;
    for (const std::string& line : sink.lines) {
      if (expected.size() == conversion::kPreviewLines) break;
      expected.emplace_back();
      if (run.utf8()) {
        expected.back() = line;
      } else {
        conversion::append_ansi_as_utf8(expected.back(), line);
      }
    }
    const Preview p = conversion::preview(path, o, standard);
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.lines, expected);
    EXPECT_EQ(p.more, sink.lines.size() > conversion::kPreviewLines);
  }
}

TEST_F(PreviewTest, ALargeFileIsReadOnlyAsFarAsThePreviewNeeds) {
  Options o;
  std::string many;
  for (int i = 0; i < 200000; ++i) many += "<b>line " + std::to_string(i) + "</b>\n";
  Preview p = conversion::preview(write("big.htm", many), o, {});
  ASSERT_EQ(p.lines.size(), conversion::kPreviewLines);
  EXPECT_EQ(p.lines[19], "<<b>line 19<</b>");
  EXPECT_TRUE(p.more);
  // One line longer than what is read: its start, and more to come.
  p = conversion::preview(write("long.htm", std::string(200000, 'x')), o, {});
  ASSERT_EQ(p.lines.size(), 1u);
  EXPECT_EQ(p.lines[0].size(), conversion::kDefaultMaxLine);
  EXPECT_TRUE(p.more);
}

TEST_F(PreviewTest, WhatCannotBeShownSaysWhyAndNeverWaits) {
  ASSERT_EQ(::mkfifo(dir_.file("pipe").c_str(), 0600), 0);
  const struct {
    std::string path;
    const char* says;
  } cases[] = {
      {dir_.file("missing.htm"), "cannot read"},
      {write("bin", std::string("a\0b", 3)), "NUL"},
      {dir_.path(), "directory"},
      {dir_.file("pipe"), "is a pipe, socket or device"},  // no writer: opening it could wait for good
      {"/dev/zero", "is a pipe, socket or device"},        // endless
  };
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const Preview p = conversion::preview(c.path, {}, {});
    EXPECT_NE(p.error.find(c.says), std::string::npos) << c.path << ": " << p.error;
    EXPECT_TRUE(p.lines.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.path;
  }
}

}  // namespace
