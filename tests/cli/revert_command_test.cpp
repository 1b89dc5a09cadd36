// `markfit revert` on files that `markfit convert` wrote, and on code that
// was edited by hand.
#include "cli/revert_command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/convert_command.h"
#include "tests/cli/files.h"
#include "tests/platform/temp_dir.h"

namespace cli {
namespace {

using test::contents;
using test::read;
using test::write;

class RevertCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    setenv("MARKFIT_PROFILE", dir_.file("profile.ini").c_str(), 1);
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override { std::filesystem::current_path(previous_); }

  int revert(const std::vector<std::string>& args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = run_revert(args, out, err);
    out_ = contents(out);
    err_ = contents(err);
    return status;
  }

  platform_test::TempDir dir_;
  std::filesystem::path previous_;
  std::string out_;
  std::string err_;
};

TEST_F(RevertCommandTest, WhatConvertWroteComesBackWithTheSameOptions) {
  const std::string page = "<p class='x'>Caf\xE9 \xE0 la carte</p>\r\n\r\n  <a href=\"#\">&amp; don't</a>\r\n";
  write("page.htm", page);
  const std::vector<std::string> options = {"-m", "international", "-i", "2", "-b", "Html('", "-a", "');", "-q"};
  std::vector<std::string> to_code = options;
  to_code.insert(to_code.end(), {"page.htm", "-o", "page.htw"});
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_EQ(run_convert(to_code, stdin, out, err), 0) << contents(err);
  std::fclose(out);
  EXPECT_EQ(read("page.htw").substr(0, 40), "  Html('<<p class=''x''>Caf&eacute; &agr");
  std::vector<std::string> back = options;
  back.insert(back.end(), {"page.htw", "-o", "back.htm"});
  EXPECT_EQ(revert(back), 0) << err_;
  EXPECT_EQ(read("back.htm"), page);
  EXPECT_EQ(err_, "");
  // An existing output is kept without --force; entities kept on request.
  back.push_back("--keep-entities");
  EXPECT_EQ(revert(back), 1);
  EXPECT_NE(err_.find("give --force"), std::string::npos) << err_;
  // A device is written, never replaced, so it needs no --force.
  std::vector<std::string> to_device = options;
  to_device.insert(to_device.end(), {"page.htw", "-o", "/dev/null"});
  EXPECT_EQ(revert(to_device), 0) << err_;
  std::vector<std::string> keep = options;
  keep.insert(keep.end(), {"page.htw", "--keep-entities"});
  EXPECT_EQ(revert(keep), 0) << err_;
  EXPECT_EQ(out_.substr(0, 30), "<p class='x'>Caf&eacute; &agra");
}

TEST_F(RevertCommandTest, LinesOfAnotherShapeAreLeftOutCountedAndFail) {
  write("code.htw", "Out('<<b>');\nOut('x');\n// a comment\nOut('a<b');\nOut('')\nOut('end');\n");
  EXPECT_EQ(revert({"-b", "Out('", "-a", "');", "--eol", "lf", "code.htw"}), 1);
  EXPECT_EQ(out_, "<b>\nx\nend\n");
  EXPECT_EQ(err_,
            "markfit revert: 3 lines do not have the expected shape and were left out; first: line 3 "
            "(does not start with the indent and before-text)\n");
  EXPECT_EQ(revert({"-m", "some", "code.htw"}), 2);
  EXPECT_EQ(revert({"missing.htw"}), 1);
  EXPECT_NE(err_.find("missing.htw"), std::string::npos) << err_;
}

}  // namespace
}  // namespace cli
