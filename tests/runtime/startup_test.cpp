#include "runtime/startup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "runtime/environment_file.h"
#include "runtime/messages.h"
#include "tests/platform/temp_dir.h"

namespace runtime {
namespace {

namespace fs = std::filesystem;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    setenv("MARKFIT_PROFILE", dir_.file("profile.ini").c_str(), 1);
    before_ = fs::current_path();
    fs::current_path(dir_.path());
    reset_environment_settings();
  }
  void TearDown() override {
    fs::current_path(before_);
    reset_environment_settings();
    unsetenv("MARKFIT_PROFILE");
  }

  platform_test::TempDir dir_;
  fs::path before_;
};

TEST_F(StartupTest, EnvironmentFileIsLookedForBesideTheProgramItself) {
  // Started through PATH ("markfit") or by a path that is not where the
  // program lies, the environment file of the working directory, or of that
  // path, is not the program's.
  const std::string own = fs::canonical("/proc/self/exe").string();
  EXPECT_EQ(program_path("markfit"), own);
  EXPECT_EQ(program_path(dir_.file("prog")), own);
  std::ofstream(dir_.file("markfit.ENV")) << "ORVMSG7=from the working directory\r\n";
  std::ofstream(dir_.file("prog.ENV")) << "ORVMSG7=from beside argv[0]\r\n";
  start_runtime("markfit");
  start_runtime(dir_.file("prog"));
  EXPECT_NE(message_text(7), "from the working directory");
  EXPECT_NE(message_text(7), "from beside argv[0]");
}

}  // namespace
}  // namespace runtime
