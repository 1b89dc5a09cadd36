// What only the real file system can show: locks between processes,
// permissions, descriptors that cannot carry a lock, offsets past 2 GiB.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <future>

#include "platform/env.h"
#include "tests/platform/temp_dir.h"

namespace platform {
namespace {

using platform_test::TempDir;

constexpr std::uint64_t kWriterByte = (std::uint64_t{1} << 31) + 1023;

std::unique_ptr<File> open_file(const std::string& path, Access access, bool create = false) {
  std::unique_ptr<File> file;
  const Status s = Env::posix()->open(path, {access, create, false, false}, &file);
  EXPECT_EQ(s.error, 0) << path;
  return file;
}

// One byte from the other process, or -1 when none comes in time.
int receive(int fd) {
  pollfd p{fd, POLLIN, 0};
  unsigned char c = 0;
  if (::poll(&p, 1, 20'000) != 1 || ::read(fd, &c, 1) != 1) return -1;
  return c;
}

void send(int fd, int value) {
  const auto c = static_cast<unsigned char>(value);
  ASSERT_EQ(::write(fd, &c, 1), 1);
}

// The child is forked before the holder opens the file, so it inherits no
// descriptor of the holder's open file description.
TEST(PosixLockTest, LockAbove2GiBIsRefusedToAnotherProcessUntilTheHolderCloses) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("shared.ksf");
  ASSERT_TRUE(open_file(path, Access::read_write, true));
  int to_child[2];
  int to_parent[2];
  ASSERT_EQ(::pipe(to_child), 0);
  ASSERT_EQ(::pipe(to_parent), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(60);
    unsigned char c = 0;
    std::unique_ptr<File> file;
    if (::read(to_child[0], &c, 1) != 1 || !Env::posix()->open(path, {Access::read_write}, &file).ok()) _exit(1);
    for (int round = 0; round < 2; ++round) {
      const int held = file->lock(kWriterByte, 1, LockKind::exclusive, false).error;
      const int other = file->lock(kWriterByte - (std::uint64_t{1} << 31), 1, LockKind::exclusive, false).error;
      const unsigned char answer[2] = {static_cast<unsigned char>(held), static_cast<unsigned char>(other)};
      if (::write(to_parent[1], answer, 2) != 2) _exit(1);
      if (round == 0 && ::read(to_child[0], &c, 1) != 1) _exit(1);
    }
    _exit(0);
  }
  auto holder = open_file(path, Access::read_write);
  ASSERT_TRUE(holder->lock(kWriterByte, 1, LockKind::exclusive, false).ok());
  send(to_child[1], 'L');
  EXPECT_EQ(receive(to_parent[0]), 33);
  EXPECT_EQ(receive(to_parent[0]), 0);  // 1023 is another byte, not the same one cut to 32 bits
  holder.reset();
  send(to_child[1], 'C');
  EXPECT_EQ(receive(to_parent[0]), 0);
  EXPECT_EQ(receive(to_parent[0]), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]}) ::close(fd);
}

TEST(PosixFileTest, DataPast2GiBRoundTrips) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  auto file = open_file(dir.file("sparse"), Access::read_write, true);
  const std::uint64_t offset = (std::uint64_t{1} << 32) + 7;
  ASSERT_TRUE(file->write_at(offset, "far", 3).ok());
  std::uint64_t size = 0;
  ASSERT_TRUE(file->size(&size).ok());
  EXPECT_EQ(size, offset + 3);
  char buf[8] = {};
  std::size_t got = 0;
  ASSERT_TRUE(file->read_at(offset - 1, buf, sizeof buf, &got).ok());
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(buf, 4), std::string("\0far", 4));
  EXPECT_EQ(file->write_at(max_file_offset, "ab", 2).error, 87);
}

// Pipes and devices are told from files and folders before anything opens
// them (opening a pipe may wait for a writer).
TEST(PosixFileTest, FileInfoTellsPipesAndDevicesFromFilesAndFolders) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  open_file(dir.file("file"), Access::read_write, true);
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
  const struct {
    std::string path;
    bool directory, special;
  } cases[] = {{dir.file("file"), false, false}, {dir.path(), true, false},
               {dir.file("pipe"), false, true}, {"/dev/null", false, true}};
  for (const auto& c : cases) {
    FileInfo info;
    ASSERT_TRUE(Env::posix()->file_info(c.path, &info).ok()) << c.path;
    EXPECT_EQ(info.directory, c.directory) << c.path;
    EXPECT_EQ(info.special, c.special) << c.path;
  }
}

TEST(PosixAccessTest, PermissionsRefuseAccessWith5) {
  if (::geteuid() == 0) GTEST_SKIP() << "root passes every permission check";
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("locked");
  ASSERT_TRUE(open_file(path, Access::read_write, true));
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  std::unique_ptr<File> file;
  EXPECT_EQ(Env::posix()->open(path, {Access::read_write}, &file).error, 5);
  auto reader = open_file(path, Access::read);
  EXPECT_TRUE(reader->lock(0, 1, LockKind::shared, false).ok());
  EXPECT_EQ(reader->lock(1, 1, LockKind::exclusive, false).error, 5);
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  EXPECT_EQ(Env::posix()->open(path, {Access::read}, &file).error, 5);
}

// Works as root too: no one may open a running program for writing, so
// the descriptor stays read-only and cannot carry a write lock.
TEST(PosixAccessTest, ReadOnlyDescriptorRefusesExclusiveLockWith5) {
  char self[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  const int probe = ::open(self, O_RDWR | O_CLOEXEC);
  const int why = errno;
  if (probe >= 0) {
    ::close(probe);
    GTEST_SKIP() << "this kernel lets a running program be opened for writing";
  }
  auto reader = open_file(self, Access::read);
  ASSERT_TRUE(reader);
  EXPECT_TRUE(reader->lock(kWriterByte, 1, LockKind::shared, false).ok());
  EXPECT_EQ(reader->lock(kWriterByte, 1, LockKind::exclusive, false).error, 5);
  std::unique_ptr<File> file;
  EXPECT_EQ(Env::posix()->open(self, {Access::read_write}, &file).error, why == ETXTBSY ? 32 : 5);
}

// A file made without a name is seen by nothing until it is linked in
// whole, and neither a link nor a rename without replacing takes a name
// that is in use.
TEST(PosixNamesTest, UnnamedFilesAndRenamesNeverTakeANameInUse) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Env* env = Env::posix();
  std::unique_ptr<File> file;
  ASSERT_TRUE(env->open_unnamed(dir.path(), 0640, &file).ok());
  ASSERT_TRUE(file->write_at(0, "whole", 5).ok());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  FileInfo info;
  ASSERT_TRUE(file->info(&info).ok());
  EXPECT_EQ(info.permissions & 0600, 0600u);
  std::unique_ptr<File> again;  // the name it gives opens it while it is open
  ASSERT_TRUE(env->open(file->path(), {Access::read}, &again).ok());
  char buf[8] = {};
  std::size_t got = 0;
  ASSERT_TRUE(again->read_at(0, buf, sizeof buf, &got).ok());
  EXPECT_EQ(std::string(buf, got), "whole");

  ASSERT_TRUE(open_file(dir.file("taken"), Access::read_write, true));
  EXPECT_EQ(env->link_unnamed(*file, dir.file("taken")).error, 80);
  ASSERT_TRUE(env->link_unnamed(*file, dir.file("linked")).ok());
  EXPECT_EQ(std::filesystem::file_size(dir.file("linked")), 5u);
  EXPECT_EQ(std::filesystem::file_size(dir.file("taken")), 0u);
  EXPECT_EQ(env->rename_no_replace(dir.file("linked"), dir.file("taken")).error, 80);
  EXPECT_EQ(std::filesystem::file_size(dir.file("taken")), 0u);
  ASSERT_TRUE(env->rename_no_replace(dir.file("linked"), dir.file("free")).ok());
  EXPECT_EQ(std::filesystem::file_size(dir.file("free")), 5u);
  EXPECT_FALSE(env->exists(dir.file("linked")));
  // A name longer than the system takes is told apart from a missing path.
  EXPECT_EQ(env->open(dir.file(std::string(300, 'n')), {Access::read}, &again).error, 206);
}

// What replacing an output must look at: kinds, links, attributes, link
// texts, descriptor links, and a FIFO read and written in sequence.
TEST(PosixNamesTest, InfoTellsWhatANameStandsFor) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Env* env = Env::posix();
  const std::string plain = dir.file("plain é");
  auto file = open_file(plain, Access::read_write, true);
  ASSERT_TRUE(file->set_permissions(0604).ok());
  ASSERT_EQ(::link(plain.c_str(), dir.file("second").c_str()), 0);
  ASSERT_EQ(::symlink("plain é", dir.file("link").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  FileInfo info;
  ASSERT_TRUE(env->file_info(dir.file("link"), &info).ok());
  EXPECT_EQ(info.kind, FileKind::regular);
  EXPECT_EQ(info.links, 2u);
  EXPECT_EQ(info.permissions, 0604u);
  EXPECT_EQ(info.owner, ::geteuid());
  const struct timespec when[2] = {{0, UTIME_OMIT}, {1'700'000'000, 123'456'789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, plain.c_str(), when, 0), 0);
  ASSERT_TRUE(env->file_info(dir.file("link"), &info).ok());
  EXPECT_EQ(info.modified_ns, 1'700'000'000'123'456'789);
  ASSERT_TRUE(env->file_info(dir.file("fifo"), &info).ok());
  EXPECT_EQ(info.kind, FileKind::fifo);
  ASSERT_TRUE(env->file_info("/dev/null", &info).ok());
  EXPECT_EQ(info.kind, FileKind::character_device);
  ASSERT_TRUE(env->file_info(dir.path(), &info).ok());
  EXPECT_TRUE(info.directory && info.kind == FileKind::directory);

  std::string text;
  ASSERT_TRUE(env->read_link(dir.file("link"), &text).ok());
  EXPECT_EQ(text, "plain é");
  EXPECT_EQ(env->read_link(plain, &text).error, 87);
  EXPECT_EQ(env->read_link(dir.file("none"), &text).error, 2);
  std::string real;
  ASSERT_TRUE(env->real_path(dir.path() + "/./link", &real).ok());
  EXPECT_EQ(real, std::filesystem::canonical(plain).string());
  EXPECT_TRUE(env->is_descriptor_link("/dev/stdout") == false);  // a link to one, not one itself
  EXPECT_TRUE(env->is_descriptor_link("/proc/self/fd/1"));
  EXPECT_FALSE(env->is_descriptor_link(dir.file("link")));

  std::unique_ptr<Stream> writer;
  auto sent = std::async(std::launch::async, [&] {
    return env->open_stream(dir.file("fifo"), Access::write, &writer).ok() && writer->write("piped", 5).ok();
  });
  std::unique_ptr<Stream> reader;
  ASSERT_TRUE(env->open_stream(dir.file("fifo"), Access::read, &reader).ok());
  ASSERT_TRUE(sent.get());
  writer.reset();
  std::string piped;
  char buf[16];
  for (std::size_t got = 1; got != 0;) {
    ASSERT_TRUE(reader->read(buf, sizeof buf, &got).ok());
    piped.append(buf, got);
  }
  EXPECT_EQ(piped, "piped");
}

}  // namespace
}  // namespace platform
