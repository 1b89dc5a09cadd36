#include <gtest/gtest.h>

#include "platform/memory_env.h"

namespace platform {
namespace {

TEST(MemoryEnvTest, ReadOnlyFileRefusesWritersAndWriteLocks) {
  MemoryEnv env;
  ASSERT_TRUE(env.write_file("/ro", "data").ok());
  ASSERT_TRUE(env.set_read_only("/ro", true).ok());
  std::unique_ptr<File> file;
  EXPECT_EQ(env.open("/ro", {Access::write}, &file).error, 5);
  ASSERT_TRUE(env.open("/ro", {Access::read}, &file).ok());
  EXPECT_TRUE(file->lock(0, 1, LockKind::shared, false).ok());
  EXPECT_EQ(file->lock(0, 1, LockKind::exclusive, false).error, 5);
  EXPECT_EQ(env.set_read_only("/nodir/x", true).error, 3);
  EXPECT_EQ(env.make_directory("/ro/sub").error, 3);
}

TEST(MemoryEnvTest, FilesOutliveTheirEnv) {
  std::unique_ptr<File> file;
  {
    MemoryEnv env;
    ASSERT_TRUE(env.write_file("/f", "kept").ok());
    ASSERT_TRUE(env.open("/f", {Access::read}, &file).ok());
    ASSERT_TRUE(file->lock(0, 1, LockKind::shared, false).ok());
  }
  char buf[4] = {};
  std::size_t got = 0;
  ASSERT_TRUE(file->read_at(0, buf, 4, &got).ok());
  EXPECT_EQ(std::string(buf, got), "kept");
}

}  // namespace
}  // namespace platform
