// The preview: the first lines a run would write, from the start of the
// input only.
#include "app/conversion/preview.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/platform/temp_dir.h"

namespace {

using conversion::Options;
using conversion::Preview;
using conversion::ReplacementTable;

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

TEST_F(PreviewTest, ShowsTheFirstLinesAsARunWritesThem) {
  Options o;
  o.mode = conversion::kModeInternational;
  o.indent = 1;
  o.before = "Out('";
  o.after = "')";
  o.double_quotes = true;
  const ReplacementTable standard = ReplacementTable::standard();
  Preview p = conversion::preview(write("a.htm", "<p>Caf\xE9 don't</p>\r\n\nlast"), o, standard);
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.lines, (std::vector<std::string>{" Out('<<p>Caf&eacute; don''t<</p>')", " Out('')", " Out('last')"}));
  EXPECT_FALSE(p.more);
  // UTF-8 input is judged from what is read; a character 1252 lacks shows as "?".
  o.mode = conversion::kModeNone;
  p = conversion::preview(write("u.htm", "\xEF\xBB\xBF" "caf\xC3\xA9 \xE2\x86\x92\n"), o, standard);
  EXPECT_EQ(p.lines, (std::vector<std::string>{" Out('caf\xE9 ?')"}));
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
  // What cannot be shown says why.
  EXPECT_NE(conversion::preview(dir_.file("missing.htm"), o, {}).error.find("cannot read"), std::string::npos);
  EXPECT_NE(conversion::preview(write("bin", std::string("a\0b", 3)), o, {}).error.find("NUL"), std::string::npos);
  EXPECT_NE(conversion::preview(dir_.path(), o, {}).error.find("directory"), std::string::npos);
}

}  // namespace
