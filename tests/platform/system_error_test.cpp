#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "platform/path.h"
#include "platform/system_error.h"
#include "tests/platform/temp_dir.h"

namespace platform {
namespace {

TEST(SystemErrorTest, FailuresNeverMapToSuccess) {
  EXPECT_EQ(system_error_from_errno(0), 31);
  EXPECT_EQ(system_error_from_errno(4095), 31);
  for (int err = 1; err < 200; ++err) EXPECT_NE(system_error_from_errno(err), 0) << err;
}

TEST(SystemErrorTest, MeaningDependsOnWhatTheCallWasDoing) {
  EXPECT_EQ(system_error_from_errno(EIO, IoKind::read), 30);
  EXPECT_EQ(system_error_from_errno(EIO, IoKind::write), 29);
  EXPECT_EQ(system_error_from_errno(EIO), 31);
  EXPECT_EQ(system_error_from_errno(EACCES, IoKind::lock), 33);
  EXPECT_EQ(system_error_from_errno(EACCES), 5);
  EXPECT_EQ(system_error_from_errno(EAGAIN, IoKind::lock), 33);
}

TEST(SystemErrorTest, MissingFileIsToldFromMissingDirectory) {
  platform_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(std::filesystem::create_directory(dir.file("sub")));
  EXPECT_EQ(system_error_for_path(ENOENT, dir.file("x")), 2);
  EXPECT_EQ(system_error_for_path(ENOENT, dir.file("sub/x/")), 2);
  EXPECT_EQ(system_error_for_path(ENOENT, dir.file("none/x")), 3);
  EXPECT_EQ(system_error_for_path(ENOENT, "relative-name"), 2);
  EXPECT_EQ(system_error_for_path(ENOENT, ""), 3);
  EXPECT_EQ(system_error_for_path(ENOSPC, dir.file("none/x"), IoKind::write), 39);
}

TEST(PathTest, NormalizesLexically) {
  std::string out = "untouched";
  EXPECT_FALSE(normalize_path("/base", "", &out));
  EXPECT_FALSE(normalize_path("/base", std::string_view("a\0b", 3), &out));
  EXPECT_EQ(out, "untouched");
  ASSERT_TRUE(normalize_path("/base/dir", "../x/./y//", &out));
  EXPECT_EQ(out, "/base/x/y");
  ASSERT_TRUE(normalize_path("/ignored", "/../../a", &out));
  EXPECT_EQ(out, "/a");
  ASSERT_TRUE(normalize_path("", "a/..", &out));
  EXPECT_EQ(out, "/");
  EXPECT_EQ(parent_directory("/a/b"), "/a");
  EXPECT_EQ(parent_directory("/a"), "/");
  EXPECT_EQ(parent_directory("/"), "/");
}

}  // namespace
}  // namespace platform
