#include <gtest/gtest.h>

#include "platform/memory_env.h"

namespace platform {
namespace {

constexpr OpenMode kCreate{Access::read_write, true, false, false};

TEST(MemoryEnvTest, ClockIsWhatTheTestSets) {
  MemoryEnv env;
  EXPECT_EQ(env.ticks(), 0u);
  env.set_ticks(1000);
  env.advance_ticks(25);
  EXPECT_EQ(env.ticks(), 1025u);
  env.set_now(1'700'000'000);
  EXPECT_EQ(env.now(), 1'700'000'000);
}

TEST(MemoryEnvTest, GrowthPastTheSizeLimitStoresWhatFitsAndFailsWith39) {
  MemoryEnv env;
  env.set_max_file_size(10);
  std::unique_ptr<File> file;
  ASSERT_TRUE(env.open("f", kCreate, &file).ok());
  std::size_t written = 0;
  EXPECT_EQ(file->write_at(5, "abcdefgh", 8, &written).error, 39);
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(file->write_at(1u << 30, "a", 1, &written).error, 39);
  EXPECT_EQ(file->truncate(11).error, 39);
  std::string data;
  ASSERT_TRUE(env.read_file("/f", &data));
  EXPECT_EQ(data, std::string(5, '\0') + "abcde");
}

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
