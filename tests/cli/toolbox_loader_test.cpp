// Starting the toolbox through its library: what the user sees when the
// library is missing or foreign, and the real library of this build opening
// the toolbox (offscreen) and ending as asked.
#include "cli/toolbox_loader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/platform/temp_dir.h"

namespace cli {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = 0;
  std::string err;
};

Outcome load(const std::string& library) {
  std::FILE* err = std::tmpfile();
  char arg0[] = "markfit";
  char* argv[] = {arg0, nullptr};
  Outcome o;
  o.status = run_toolbox_library(library, 1, argv, ToolboxStart{}, err);
  std::rewind(err);
  char buf[1024];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, err)) > 0;) o.err.append(buf, n);
  std::fclose(err);
  return o;
}

TEST(ToolboxLoaderTest, LibraryThatCannotBeLoadedIsReportedWithItsPath) {
  platform_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string missing = dir.file("libmarkfit_toolbox.so");
  Outcome o = load(missing);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("markfit: cannot load the toolbox library " + missing + ": "), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find(missing, o.err.find(missing) + 1), std::string::npos) << "the path once: " << o.err;
  EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "one line";

  const std::string not_a_library = dir.file("text.so");
  std::ofstream(not_a_library) << "not a library\n";
  o = load(not_a_library);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("cannot load the toolbox library " + not_a_library), std::string::npos) << o.err;
}

TEST(ToolboxLoaderTest, LibraryWithoutThisInterfacesEntryIsRefused) {
  // Stands in for the library of a build with another interface: loadable,
  // but without the entry point this program calls.
  const Outcome o = load("libc.so.6");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("libc.so.6 is not this program's toolbox library (it has no markfit_toolbox_main_1)"),
            std::string::npos)
      << o.err;
}

// The build's own program and library: this test lies in <build>/tests.
fs::path built_program() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self.parent_path().parent_path() / "cli" / "markfit";
}

TEST(ToolboxLoaderTest, BuiltLibraryLiesWhereTheBuiltProgramLooksAndOpensTheToolbox) {
  const fs::path program = built_program();
  if (program.empty() || !fs::exists(program)) GTEST_SKIP() << "the program is not built: " << program;
  const std::string library = toolbox_library_path(program.string());
  ASSERT_TRUE(fs::is_regular_file(library)) << library << " (the program is built, so its library must be)";

  // A first start in an empty folder on the offscreen platform: the toolbox
  // makes its data files, shows, and ends at once as asked.
  platform_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const fs::path before = fs::current_path();
  fs::current_path(dir.path());
  setenv("MARKFIT_PROFILE", dir.file("profile.ini").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::string arg0 = program.string();
  char* argv[] = {arg0.data(), nullptr};
  ToolboxStart start;
  start.quit_when_shown = true;
  testing::internal::CaptureStdout();
  const int status = run_toolbox_library(library, 1, argv, start);
  const std::string out = testing::internal::GetCapturedStdout();
  fs::current_path(before);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "shown\n");
  EXPECT_TRUE(fs::exists(dir.file("Markfit.ini")));
}

}  // namespace
}  // namespace cli
