// Behaviour every Env must share: the engines are tested on the memory env
// (bare or under the fault wrapper) and run on the POSIX one, so the three
// have to agree on results, error numbers and lock semantics.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/env.h"
#include "platform/fault_env.h"
#include "platform/memory_env.h"
#include "tests/platform/temp_dir.h"

namespace platform {
namespace {

using platform_test::TempDir;

constexpr OpenMode kCreate{Access::read_write, true, false, false};
constexpr OpenMode kRead{Access::read, false, false, false};
constexpr OpenMode kWrite{Access::write, false, false, false};
constexpr OpenMode kReadWrite{Access::read_write, false, false, false};
constexpr std::uint64_t kLockBase = std::uint64_t{1} << 31;

class EnvTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "posix") {
      ASSERT_TRUE(tmp_.ok());
      ASSERT_TRUE(std::filesystem::create_directory(tmp_.file("sub")));
      env_ = Env::posix();
      root_ = tmp_.path();
      ASSERT_TRUE(env_->current_directory(&saved_cwd_).ok());
      return;
    }
    memory_ = std::make_unique<MemoryEnv>();
    ASSERT_TRUE(memory_->make_directory("/data/sub").ok());
    root_ = "/data";
    env_ = memory_.get();
    if (GetParam() == "fault") {
      fault_ = std::make_unique<FaultEnv>(memory_.get());
      env_ = fault_.get();
    }
  }
  void TearDown() override {
    if (!saved_cwd_.empty()) {
      ASSERT_TRUE(env_->set_current_directory(saved_cwd_).ok());
    }
  }

  std::string at(std::string_view name) const { return root_ + "/" + std::string(name); }

  std::unique_ptr<File> open(const std::string& path, const OpenMode& mode = kReadWrite) {
    std::unique_ptr<File> file;
    EXPECT_EQ(env_->open(path, mode, &file).error, 0) << path;
    return file;
  }
  int open_error(const std::string& path, const OpenMode& mode) {
    std::unique_ptr<File> file;
    return env_->open(path, mode, &file).error;
  }
  void put(const std::string& path, std::string_view bytes) {
    auto file = open(path, kCreate);
    ASSERT_TRUE(file && file->truncate(0).ok());
    ASSERT_TRUE(file->write_at(0, bytes.data(), bytes.size()).ok());
  }
  std::string get(File& file, std::uint64_t offset = 0, std::size_t n = 4096) {
    std::string out(n, '?');
    std::size_t got = 0;
    EXPECT_TRUE(file.read_at(offset, out.data(), n, &got).ok());
    out.resize(got);
    return out;
  }

  TempDir tmp_;
  std::string root_;
  std::string saved_cwd_;
  Env* env_ = nullptr;
  std::unique_ptr<MemoryEnv> memory_;
  std::unique_ptr<FaultEnv> fault_;
};

TEST_P(EnvTest, WriteReadSizeAndTruncateRoundTrip) {
  auto file = open(at("data.bin"), kCreate);
  ASSERT_TRUE(file->write_at(0, "hello world", 11).ok());
  ASSERT_TRUE(file->write_at(20, "x", 1).ok());
  std::uint64_t size = 0;
  ASSERT_TRUE(file->size(&size).ok());
  EXPECT_EQ(size, 21u);
  EXPECT_EQ(get(*file), std::string("hello world") + std::string(9, '\0') + "x");
  EXPECT_EQ(get(*file, 100), "");  // past the end: nothing, and no error
  ASSERT_TRUE(file->truncate(5).ok());
  EXPECT_EQ(get(*file), "hello");
  ASSERT_TRUE(file->truncate(7).ok());
  EXPECT_EQ(get(*file), std::string("hello\0\0", 7));
  EXPECT_EQ(file->path(), at("data.bin"));
}

TEST_P(EnvTest, AppendingFilesWriteAtTheEndWhateverTheOffset) {
  put(at("log.txt"), "start.");
  OpenMode append = kWrite;
  append.append = true;
  auto one = open(at("log.txt"), append);
  auto two = open(at("log.txt"), append);
  ASSERT_TRUE(one->write_at(0, "one.", 4).ok());
  ASSERT_TRUE(two->write_at(0, "two.", 4).ok());
  ASSERT_TRUE(one->write_at(3, "three.", 6).ok());
  auto reader = open(at("log.txt"), kRead);
  EXPECT_EQ(get(*reader), "start.one.two.three.");
}

TEST_P(EnvTest, RequestedAccessIsEnforcedPerFile) {
  put(at("f"), "abc");
  auto reader = open(at("f"), kRead);
  EXPECT_EQ(reader->write_at(0, "z", 1).error, 5);
  EXPECT_EQ(reader->truncate(0).error, 5);
  // Locks do not depend on the access asked for: a reader may hold records.
  EXPECT_TRUE(reader->lock(kLockBase + 5000, 1, LockKind::exclusive, false).ok());
  auto writer = open(at("f"), kWrite);
  char c = 0;
  std::size_t got = 0;
  EXPECT_EQ(writer->read_at(0, &c, 1, &got).error, 5);
  EXPECT_TRUE(writer->lock(kLockBase, 1, LockKind::shared, false).ok());
  EXPECT_EQ(open_error(at("f"), {Access::read, false, true, false}), 87);
}

TEST_P(EnvTest, OpenFailuresMapToFileSystemErrors) {
  put(at("plain"), "content");
  EXPECT_EQ(open_error(at("missing"), kReadWrite), 2);
  EXPECT_EQ(open_error(at("nodir/f"), kCreate), 3);
  EXPECT_EQ(open_error(at("plain/f"), kRead), 3);
  EXPECT_EQ(open_error(at("sub"), kRead), 5);
  EXPECT_EQ(open_error("", kRead), 3);
  EXPECT_EQ(open_error(at(std::string("a\0b", 3)), kCreate), 3);
  EXPECT_EQ(open_error(at("plain"), {Access::read_write, true, false, true}), 80);
  EXPECT_EQ(open_error(at("fresh"), {Access::read_write, true, false, true}), 0);
  auto cut = open(at("plain"), {Access::write, false, true, false});
  std::uint64_t size = 1;
  ASSERT_TRUE(cut->size(&size).ok());
  EXPECT_EQ(size, 0u);
}

TEST_P(EnvTest, RemoveAndRenameReportMissingNames) {
  EXPECT_EQ(env_->remove(at("missing")).error, 2);
  EXPECT_EQ(env_->remove(at("nodir/f")).error, 3);
  EXPECT_EQ(env_->remove(at("sub")).error, 5);
  EXPECT_EQ(env_->rename(at("missing"), at("x")).error, 2);
  put(at("a"), "A");
  EXPECT_EQ(env_->rename(at("a"), at("nodir/a")).error, 3);
  EXPECT_TRUE(env_->exists(at("a")) && env_->exists(at("sub")));
  EXPECT_TRUE(env_->sync_directory_of(at("a")).ok());
  EXPECT_EQ(env_->sync_directory_of(at("nodir/a")).error, 3);
}

TEST_P(EnvTest, RenameReplacesTargetWhileOpenFilesKeepTheirContents) {
  put(at("old"), "old contents");
  put(at("new"), "new contents");
  auto old_reader = open(at("old"), kRead);
  auto new_reader = open(at("new"), kRead);
  ASSERT_TRUE(env_->rename(at("new"), at("old")).ok());
  EXPECT_FALSE(env_->exists(at("new")));
  EXPECT_EQ(get(*open(at("old"), kRead)), "new contents");
  EXPECT_EQ(get(*old_reader), "old contents");
  EXPECT_EQ(get(*new_reader), "new contents");
  ASSERT_TRUE(env_->remove(at("old")).ok());
  EXPECT_EQ(get(*new_reader), "new contents");
}

TEST_P(EnvTest, FullPathIsLexicalAndAbsolute) {
  ASSERT_TRUE(env_->set_current_directory(root_).ok());
  std::string out;
  auto full = [&](const std::string& p) {
    out = "?";
    EXPECT_TRUE(env_->full_path(p, &out).ok()) << p;
    return out;
  };
  EXPECT_EQ(full("a/./b/../c"), root_ + "/a/c");
  EXPECT_EQ(full("//x//y/"), "/x/y");
  EXPECT_EQ(full("/x/../../y"), "/y");
  EXPECT_EQ(env_->full_path("", &out).error, 3);
  ASSERT_TRUE(env_->set_current_directory("sub").ok());
  EXPECT_EQ(full("../f"), root_ + "/f");
  EXPECT_EQ(env_->set_current_directory(at("missing")).error, 2);
  EXPECT_EQ(env_->set_current_directory(at("nodir/x")).error, 3);
}

TEST_P(EnvTest, LocksConflictBetweenFilesButNeverWithinOne) {
  put(at("f"), "");
  auto a = open(at("f"));
  auto b = open(at("f"));
  ASSERT_TRUE(a->lock(100, 10, LockKind::exclusive, false).ok());
  EXPECT_EQ(b->lock(109, 5, LockKind::exclusive, false).error, 33);
  EXPECT_EQ(b->lock(100, 1, LockKind::shared, false).error, 33);
  EXPECT_TRUE(a->lock(105, 1, LockKind::exclusive, false).ok());  // its own range again
  ASSERT_TRUE(a->lock(100, 10, LockKind::shared, false).ok());    // converts
  EXPECT_TRUE(b->lock(100, 10, LockKind::shared, false).ok());
  EXPECT_EQ(b->lock(100, 1, LockKind::exclusive, false).error, 33);
  EXPECT_EQ(a->lock(109, 1, LockKind::exclusive, false).error, 33);
  // Unlocking the middle of a range keeps both ends.
  ASSERT_TRUE(a->lock(1000, 100, LockKind::exclusive, false).ok());
  ASSERT_TRUE(a->unlock(1040, 20).ok());
  EXPECT_TRUE(b->lock(1040, 20, LockKind::exclusive, false).ok());
  EXPECT_EQ(b->lock(1039, 1, LockKind::shared, false).error, 33);
  EXPECT_EQ(b->lock(1060, 1, LockKind::shared, false).error, 33);
}

TEST_P(EnvTest, ClosingOneFileKeepsTheLocksOfAnother) {
  put(at("f"), "");
  auto a = open(at("f"));
  auto b = open(at("f"));
  auto c = open(at("f"));
  ASSERT_TRUE(a->lock(kLockBase + 1023, 1, LockKind::exclusive, false).ok());
  ASSERT_TRUE(b->lock(kLockBase, 1023, LockKind::shared, false).ok());
  b.reset();
  EXPECT_EQ(c->lock(kLockBase + 1023, 1, LockKind::exclusive, false).error, 33);
  EXPECT_TRUE(c->lock(kLockBase, 1023, LockKind::exclusive, false).ok());
  a.reset();
  EXPECT_TRUE(c->lock(kLockBase + 1023, 1, LockKind::exclusive, false).ok());
}

TEST_P(EnvTest, LockOffsetsAreSixtyFourBitAndRangesChecked) {
  put(at("f"), "");
  auto a = open(at("f"));
  auto b = open(at("f"));
  const std::uint64_t record = kLockBase + 1024 + 0xFFFF'FFFFULL + 1;  // the highest record byte
  ASSERT_TRUE(a->lock(kLockBase + 1023, 1, LockKind::exclusive, false).ok());
  ASSERT_TRUE(a->lock(record, 1, LockKind::exclusive, false).ok());
  EXPECT_TRUE(b->lock(1023, 1, LockKind::exclusive, false).ok());
  EXPECT_TRUE(b->lock(record & 0xFFFF'FFFFULL, 1, LockKind::exclusive, false).ok());
  EXPECT_EQ(b->lock(record, 1, LockKind::shared, false).error, 33);
  EXPECT_TRUE(a->lock(max_file_offset, 1, LockKind::exclusive, false).ok());
  EXPECT_EQ(b->lock(max_file_offset - 9, 10, LockKind::exclusive, false).error, 33);
  EXPECT_EQ(a->lock(0, 0, LockKind::exclusive, false).error, 87);
  EXPECT_EQ(a->lock(max_file_offset, 2, LockKind::exclusive, false).error, 87);
  EXPECT_EQ(a->unlock(max_file_offset + 1, 1).error, 87);
}

TEST_P(EnvTest, WaitingLockBlocksUntilTheHolderReleases) {
  put(at("f"), "");
  auto holder = open(at("f"));
  auto waiter = open(at("f"));
  ASSERT_TRUE(holder->lock(kLockBase + 1023, 1, LockKind::exclusive, false).ok());
  auto result = std::async(std::launch::async, [&] {
    return waiter->lock(kLockBase + 1023, 1, LockKind::shared, true).error;
  });
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  ASSERT_TRUE(holder->lock(kLockBase + 1023, 1, LockKind::shared, false).ok());  // a conversion is enough
  const bool woke = result.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  if (!woke) holder.reset();  // let the thread end rather than hang in the future's destructor
  ASSERT_TRUE(woke);
  EXPECT_EQ(result.get(), 0);
  EXPECT_EQ(holder->lock(kLockBase + 1023, 1, LockKind::exclusive, false).error, 33);
}

INSTANTIATE_TEST_SUITE_P(AllEnvs, EnvTest, ::testing::Values("posix", "memory", "fault"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace platform
