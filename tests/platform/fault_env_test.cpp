#include <gtest/gtest.h>

#include <vector>

#include "platform/fault_env.h"
#include "platform/memory_env.h"

namespace platform {
namespace {

constexpr OpenMode kCreate{Access::read_write, true, false, false};
constexpr OpenMode kReadWrite{Access::read_write, false, false, false};

class FaultEnvTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(memory_.make_directory("/db").ok()); }

  std::unique_ptr<File> open(Env& env, const std::string& path, const OpenMode& mode = kReadWrite) {
    std::unique_ptr<File> file;
    EXPECT_EQ(env.open(path, mode, &file).error, 0) << path;
    return file;
  }
  std::string contents(const std::string& path) {
    std::string out = "<missing>";
    memory_.read_file(path, &out);
    return out;
  }

  MemoryEnv memory_;
};

// The workload a crash test would repeat: four counted calls.
std::vector<int> run_workload(FaultEnv& env) {
  std::unique_ptr<File> file;
  if (!env.open("/db/f", kCreate, &file).ok()) return {-1};
  return {file->write_at(0, "aaaa", 4).error, file->write_at(4, "bbbb", 4).error, file->truncate(6).error,
          file->sync().error};
}

TEST_F(FaultEnvTest, CountdownFailsEachPositionExactlyOnce) {
  for (std::uint64_t nth = 1; nth <= 5; ++nth) {
    MemoryEnv memory;
    ASSERT_TRUE(memory.make_directory("/db").ok());
    FaultEnv env(&memory);
    env.fail_nth(nth);
    std::vector<int> expected(4, 0);
    if (nth <= 4) expected[nth - 1] = 29;
    EXPECT_EQ(run_workload(env), expected) << "failing call " << nth;
    EXPECT_EQ(env.faults_fired(), nth <= 4 ? 1u : 0u);
    EXPECT_EQ(env.operations(), 4u);
    std::string data;
    ASSERT_TRUE(memory.read_file("/db/f", &data));
    if (nth == 1) {
      EXPECT_EQ(data, std::string("\0\0\0\0bb", 6));  // the failed write stored nothing
    } else if (nth == 3) {
      EXPECT_EQ(data, "aaaabbbb");
    }
  }
}

// The action runs once, before the nth call of its kinds, which then goes
// on: what was written before is in the file when it runs.
TEST_F(FaultEnvTest, ActionRunsOnceBeforeTheNthCallOfItsKinds) {
  FaultEnv env(&memory_);
  std::vector<std::string> seen;
  env.at_nth(2, fault_op::write | fault_op::sync, [&] { seen.push_back(contents("/db/f")); });
  EXPECT_EQ(run_workload(env), std::vector<int>(4, 0));
  EXPECT_EQ(seen, std::vector<std::string>{"aaaa"});
  env.at_nth(1, fault_op::sync, [&] { seen.push_back("sync"); });
  env.clear_faults();
  EXPECT_EQ(run_workload(env), std::vector<int>(4, 0));
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(FaultEnvTest, StickyCountdownKeepsFailingOnlyItsKinds) {
  FaultEnv env(&memory_);
  auto file = open(env, "/db/f", kCreate);
  env.fail_nth(2, fault_op::write | fault_op::read, 39, true);
  EXPECT_TRUE(file->write_at(0, "a", 1).ok());
  EXPECT_EQ(file->write_at(0, "b", 1).error, 39);
  EXPECT_TRUE(file->sync().ok());
  char c = 0;
  std::size_t got = 0;
  EXPECT_EQ(file->read_at(0, &c, 1, &got).error, 39);
  EXPECT_EQ(env.faults_fired(), 2u);
}

TEST_F(FaultEnvTest, FailedSyncStaysFailedAndItsDataIsNotDurable) {
  ASSERT_TRUE(memory_.write_file("/db/f", "old").ok());
  FaultEnv env(&memory_);
  auto file = open(env, "/db/f");
  ASSERT_TRUE(file->write_at(0, "new", 3).ok());
  env.fail_nth(1, fault_op::sync);
  EXPECT_EQ(file->sync().error, 29);
  EXPECT_EQ(file->sync().error, 29);
  EXPECT_EQ(env.faults_fired(), 1u);
  ASSERT_TRUE(env.power_cut(PowerCut::drop_unsynced).ok());
  EXPECT_EQ(contents("/db/f"), "old");
}

TEST_F(FaultEnvTest, ShortWriteStoresAPrefixThenFailsWithDiskFull) {
  FaultEnv env(&memory_);
  auto file = open(env, "/db/f", kCreate);
  env.short_write_nth(2, 3);
  std::size_t written = 0;
  EXPECT_TRUE(file->write_at(0, "hello", 5, &written).ok());
  EXPECT_EQ(file->write_at(5, "world", 5, &written).error, 39);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(contents("/db/f"), "hellowor");
}

TEST_F(FaultEnvTest, DiskFullLimitsGrowthButNotOverwrites) {
  ASSERT_TRUE(memory_.write_file("/db/f", std::string(100, 'o')).ok());
  FaultEnv env(&memory_);
  auto file = open(env, "/db/f");
  env.set_space(50);
  const std::string block(80, 'n');
  std::size_t written = 0;
  EXPECT_TRUE(file->write_at(0, block.data(), block.size(), &written).ok());
  EXPECT_EQ(file->write_at(100, block.data(), block.size(), &written).error, 39);
  EXPECT_EQ(written, 50u);
  EXPECT_TRUE(file->write_at(140, "inside", 6).ok());
  env.clear_faults();
  EXPECT_TRUE(file->write_at(150, "x", 1).ok());
  EXPECT_EQ(contents("/db/f").size(), 151u);
}

TEST_F(FaultEnvTest, PowerCutKeepsTheLastSyncAndClosesEveryFile) {
  ASSERT_TRUE(memory_.write_file("/db/f", "durable").ok());
  FaultEnv env(&memory_);
  auto file = open(env, "/db/f");
  ASSERT_TRUE(file->write_at(0, "XYZ", 3).ok());
  ASSERT_TRUE(file->sync().ok());
  ASSERT_TRUE(file->write_at(10, "lost", 4).ok());
  ASSERT_TRUE(file->truncate(5).ok());
  ASSERT_TRUE(file->lock(7, 1, LockKind::exclusive, false).ok());
  ASSERT_TRUE(env.power_cut(PowerCut::drop_unsynced).ok());
  EXPECT_EQ(contents("/db/f"), "XYZable");
  EXPECT_EQ(file->write_at(0, "a", 1).error, 6);
  EXPECT_EQ(file->lock(8, 1, LockKind::shared, false).error, 6);
  auto after = open(memory_, "/db/f");
  EXPECT_TRUE(after->lock(7, 1, LockKind::exclusive, false).ok());
}

TEST_F(FaultEnvTest, NamesAreDurableOnlyAfterTheirDirectoryIsSynced) {
  ASSERT_TRUE(memory_.write_file("/db/a", "A").ok());
  ASSERT_TRUE(memory_.write_file("/db/c", "C").ok());
  ASSERT_TRUE(memory_.make_directory("/other").ok());
  FaultEnv env(&memory_);
  for (const char* name : {"/other/unlisted", "/db/listed"}) {
    auto file = open(env, name, kCreate);
    ASSERT_TRUE(file->write_at(0, "new", 3).ok());
    ASSERT_TRUE(file->sync().ok());
  }
  ASSERT_TRUE(env.sync_directory_of("/db/listed").ok());
  ASSERT_TRUE(env.rename("/db/a", "/db/b").ok());
  ASSERT_TRUE(env.remove("/db/c").ok());
  ASSERT_TRUE(env.power_cut(PowerCut::drop_unsynced).ok());
  EXPECT_EQ(contents("/other/unlisted"), "<missing>");
  EXPECT_EQ(contents("/db/listed"), "new");
  EXPECT_EQ(contents("/db/a"), "A");
  EXPECT_EQ(contents("/db/b"), "<missing>");
  EXPECT_EQ(contents("/db/c"), "C");

  env.set_names_need_directory_sync(false);
  ASSERT_TRUE(env.rename("/db/a", "/db/b").ok());
  ASSERT_TRUE(env.power_cut(PowerCut::drop_unsynced).ok());
  EXPECT_EQ(contents("/db/a"), "<missing>");
  EXPECT_EQ(contents("/db/b"), "A");
}

// Image of /db/f after a cut with the given seed: 4096 bytes of 'o' on disk,
// then unsynced writes of 100 'p' at 0 and 2000 'n' at 300 (sectors 0 to 4).
std::string torn_image(PowerCut mode, std::uint64_t seed) {
  MemoryEnv memory;
  EXPECT_TRUE(memory.make_directory("/db").ok());
  EXPECT_TRUE(memory.write_file("/db/f", std::string(4096, 'o')).ok());
  FaultEnv env(&memory, seed);
  std::unique_ptr<File> file;
  EXPECT_TRUE(env.open("/db/f", kReadWrite, &file).ok());
  EXPECT_TRUE(file->write_at(0, std::string(100, 'p').data(), 100).ok());
  EXPECT_TRUE(file->write_at(300, std::string(2000, 'n').data(), 2000).ok());
  EXPECT_TRUE(env.power_cut(mode).ok());
  std::string out;
  EXPECT_TRUE(memory.read_file("/db/f", &out));
  return out;
}

// Whether each sector's share of [begin, end) came through whole ('+') or
// not at all ('-'); '!' for a sector that mixes old and new bytes.
std::string sector_pattern(const std::string& image, std::size_t begin, std::size_t end, char fresh) {
  std::string pattern;
  for (std::size_t s = begin / sector_size; s <= (end - 1) / sector_size; ++s) {
    const std::size_t lo = std::max(begin, s * sector_size);
    const std::size_t hi = std::min(end, (s + 1) * sector_size);
    const std::string part = image.substr(lo, hi - lo);
    pattern += part == std::string(hi - lo, fresh) ? '+' : part == std::string(hi - lo, 'o') ? '-' : '!';
  }
  return pattern;
}

TEST_F(FaultEnvTest, TearingLandsTheLastWriteInWholeSectors) {
  bool some_kept = false;
  bool some_lost = false;
  for (std::uint64_t seed = 1; seed <= 16; ++seed) {
    const std::string image = torn_image(PowerCut::tear_last_write, seed);
    ASSERT_EQ(image.size(), 4096u);
    EXPECT_EQ(image.substr(0, 100), std::string(100, 'p'));  // earlier unsynced write landed whole
    EXPECT_EQ(image.substr(100, 200), std::string(200, 'o'));
    EXPECT_EQ(image.substr(2300), std::string(4096 - 2300, 'o'));
    const std::string pattern = sector_pattern(image, 300, 2300, 'n');
    EXPECT_EQ(pattern.find('!'), std::string::npos) << pattern;
    some_kept |= pattern.find('+') != std::string::npos;
    some_lost |= pattern.find('-') != std::string::npos;
    EXPECT_EQ(image, torn_image(PowerCut::tear_last_write, seed)) << "seed " << seed;
  }
  EXPECT_TRUE(some_kept && some_lost);
}

TEST_F(FaultEnvTest, TearingAllWritesCanLoseEarlierWritesToo) {
  bool earlier_lost = false;
  for (std::uint64_t seed = 1; seed <= 16 && !earlier_lost; ++seed) {
    const std::string image = torn_image(PowerCut::tear_all_writes, seed);
    EXPECT_EQ(sector_pattern(image, 300, 2300, 'n').find('!'), std::string::npos);
    earlier_lost = image.substr(0, 100) == std::string(100, 'o');
  }
  EXPECT_TRUE(earlier_lost);
}

}  // namespace
}  // namespace platform
