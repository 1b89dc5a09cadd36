// Names, failures, operations on closed files, sharing and the whole-file
// lock of the text-line driver.
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "files/textline/text_file_state.h"
#include "platform/fault_env.h"
#include "platform/memory_env.h"
#include "tests/files/textline/text_file_fixture.h"

namespace files::textline_test {
namespace {

namespace fs = std::filesystem;

class ErrorTest : public TextLineTest {};

TEST_F(ErrorTest, NamesOf260CharactersAreInvalid) {
  // A full path of exactly 259 characters works; one more is refused.
  const std::string base = path("");
  std::string dir = base + std::string(200 - base.size(), 'd');
  fs::create_directories(dir);
  const std::string name259 = dir + "/" + std::string(259 - dir.size() - 1, 'f');
  ASSERT_EQ(name259.size(), 259u);
  write_bytes(name259, "x\r\n");
  TextFile ok(name259);
  open(ok.fd, 0x22);
  EXPECT_EQ(ERRORCODE(), 0);
  close(ok.fd);

  TextFile too_long(name259 + "g");
  open(too_long.fd, 0x22);
  EXPECT_EQ(ERRORCODE(), 45);
  // Trailing blanks of a name variable do not count, and an all-blank name is no name.
  TextFile padded(name259 + "   ");
  open(padded.fd, 0x22);
  EXPECT_EQ(ERRORCODE(), 0);
  TextFile blank("    ");
  open(blank.fd, 0x22);
  EXPECT_EQ(ERRORCODE(), 45);
  TextFile none("");
  open(none.fd, 0x22);
  EXPECT_EQ(ERRORCODE(), 45);
}

TEST_F(ErrorTest, MissingFilesAndDirectories) {
  TextFile missing(path("nope.txt"));
  open(missing.fd, 0x22);
  EXPECT_EQ(ERRORCODE(), 2);
  TextFile no_dir(path("nodir/nope.txt"));
  open(no_dir.fd, 0x22);
  EXPECT_EQ(ERRORCODE(), 3);
  EXPECT_FALSE(no_dir.is_open());
}

TEST_F(ErrorTest, UnreadableFileIsAccessDenied) {
  const std::string p = path("secret.txt");
  write_bytes(p, "x\r\n");
  fs::permissions(p, fs::perms::none);
  if (std::ifstream(p).is_open()) GTEST_SKIP() << "running with rights that ignore permissions";
  TextFile f(p);
  open(f.fd, 0x20);
  EXPECT_EQ(ERRORCODE(), 5);
  fs::permissions(p, fs::perms::owner_all);
}

TEST_F(ErrorTest, BinaryFilesReadWithoutLosingAByte) {
  std::mt19937 random(7);
  std::string data(50000, '\0');
  for (char& c : data) c = static_cast<char>(random() % 256);
  for (std::size_t i = 0; i < data.size(); i += 97) data[i] = '\r';  // plenty of lone CRs
  for (std::size_t i = 0; i < data.size(); i += 193) data.replace(i, 2, "\r\n");
  write_bytes(path("bin.dat"), data);
  for (const char* options : {"/CTRLZISEOF=OFF", "/CTRLZISEOF=OFF/TAB=-100/FILEBUFFERS=1", "/TAB=0"}) {
    TextFile f(path("bin.dat"), 64, 0, options);
    open(f.fd, 0x42);
    ASSERT_EQ(ERRORCODE(), 0);
    set(f.fd);
    std::uint64_t consumed = 0;
    int records = 0;
    for (;;) {
      next(f.fd);
      if (ERRORCODE() != 0) break;
      EXPECT_EQ(pointer(f.fd), static_cast<std::int32_t>(consumed + 1));
      consumed += static_cast<std::uint32_t>(bytes(f.fd));
      ++records;
    }
    EXPECT_EQ(ERRORCODE(), 33);
    if (std::string(options).find("CTRLZISEOF=OFF") != std::string::npos) {
      EXPECT_GT(records, 200);
      EXPECT_EQ(consumed, data.size()) << options;
    } else {
      EXPECT_LE(consumed, data.size()) << options;
    }
    close(f.fd);
  }
}

TEST_F(ErrorTest, FullDiskIsAccessDenied) {
  platform::MemoryEnv memory;
  platform::FaultEnv faulty(&memory);
  ASSERT_TRUE(memory.make_directory("/data").ok());
  set_textline_env(&faulty);

  // Shared: every line goes to the file at once, so the failing ADD says so.
  TextFile shared("/data/full.txt", 20, attr::CREATE);
  create(shared.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  share(shared.fd, 0x42);
  faulty.set_space(30);
  shared.set("0123456789");
  add(shared.fd);
  add(shared.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  add(shared.fd);
  EXPECT_EQ(ERRORCODE(), 5);
  EXPECT_EQ(system_error(), 39);
  close(shared.fd);
  std::string contents;
  ASSERT_TRUE(memory.read_file("/data/full.txt", &contents));
  EXPECT_EQ(contents, "0123456789\r\n0123456789\r\n");  // no torn line is left behind

  // Exclusive: lines wait in the buffer, and the failure comes out at CLOSE
  // rather than going unnoticed.
  faulty.clear_faults();
  TextFile buffered("/data/full2.txt", 20, attr::CREATE);
  create(buffered.fd);
  open(buffered.fd, 0x22);
  faulty.set_space(10);
  buffered.set("0123456789");
  add(buffered.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  close(buffered.fd);
  EXPECT_EQ(ERRORCODE(), 5);
  EXPECT_FALSE(buffered.is_open());
}

TEST_F(ErrorTest, FailedWriteMovesNeitherTheRecordNorTheLength) {
  platform::MemoryEnv memory;
  platform::FaultEnv faulty(&memory);
  ASSERT_TRUE(memory.write_file("/f.txt", "x\x1a").ok());
  set_textline_env(&faulty);
  // Shared, quick scan off, and quick scan on with others allowed to write:
  // each line goes to the file at once, so its ADD sees the failure.
  for (const std::uint32_t mode : {0x42u, 0x02u, 0x32u}) {
    TextFile f("/f.txt", 20);
    open(f.fd, mode);
    ASSERT_EQ(ERRORCODE(), 0);
    set(f.fd);
    next(f.fd);
    EXPECT_EQ(f.line(), "x");
    // The line would overwrite the Ctrl-Z and then run out of room.
    faulty.set_space(3);
    f.set("a long line");
    add(f.fd);
    EXPECT_EQ(ERRORCODE(), 5) << std::hex << mode;
    EXPECT_EQ(pointer(f.fd), 1);
    EXPECT_EQ(bytes(f.fd), 2);  // the line and the Ctrl-Z after it
    faulty.clear_faults();
    f.set("y");
    put(f.fd);  // rewrites the record still current, not the failed one
    EXPECT_EQ(pointer(f.fd), 1);
    f.set("z");
    add(f.fd);
    close(f.fd);
    std::string contents;
    ASSERT_TRUE(memory.read_file("/f.txt", &contents));
    EXPECT_EQ(contents, "y\r\nz\r\n") << std::hex << mode;
    ASSERT_TRUE(memory.write_file("/f.txt", "x\x1a").ok());
  }
}

TEST_F(ErrorTest, WriteBeyond4GiBKeepsTheCurrentRecord) {
  const std::string p = path("big.txt");
  write_bytes(p, "a\r\n");
  std::error_code error;
  fs::resize_file(p, 0xFFFF'FFF0ull, error);  // sparse: takes no space
  if (error) GTEST_SKIP() << "no sparse files here";
  TextFile f(p, 20);
  open(f.fd, 0x22);
  ASSERT_EQ(ERRORCODE(), 0);
  set(f.fd);
  next(f.fd);
  ASSERT_EQ(f.line(), "a");
  f.set("a line that does not fit");
  add(f.fd);
  EXPECT_EQ(ERRORCODE(), 90);
  EXPECT_EQ(pointer(f.fd), 1);
  EXPECT_EQ(bytes(f.fd), 3);
  close(f.fd);
  EXPECT_EQ(fs::file_size(p), 0xFFFF'FFF0ull);
}

TEST_F(ErrorTest, FilesOf4GiBAreRefusedAtOpen) {
  // Pointers are 32-bit: such a file could not be addressed.
  const std::string p = path("huge.txt");
  write_bytes(p, "");
  std::error_code error;
  fs::resize_file(p, 0x1'0000'0000ull, error);  // sparse: takes no space
  if (error) GTEST_SKIP() << "no sparse files here";
  TextFile f(p);
  open(f.fd, 0x22);
  EXPECT_EQ(ERRORCODE(), 90);
  EXPECT_FALSE(FILEERROR().empty());
  EXPECT_FALSE(f.is_open());
  fs::resize_file(p, 0xFFFF'FFFEull, error);  // the largest that still works
  open(f.fd, 0x22);
  EXPECT_EQ(ERRORCODE(), 0);
  close(f.fd);
}

TEST_F(ErrorTest, ReadFailureIsPostedWithTheSystemNumber) {
  platform::MemoryEnv memory;
  platform::FaultEnv faulty(&memory);
  ASSERT_TRUE(memory.write_file("/in.txt", "a\r\nb\r\n").ok());
  set_textline_env(&faulty);
  TextFile f("/in.txt");
  open(f.fd, 0x22);
  ASSERT_EQ(ERRORCODE(), 0);
  faulty.fail_nth(1, platform::fault_op::read);
  set(f.fd);
  next(f.fd);
  EXPECT_EQ(ERRORCODE(), 330);  // "Read Fault", not the file error 30
  EXPECT_EQ(ERROR(), "Read Fault");
  EXPECT_EQ(pointer(f.fd), 0);
  set(f.fd);
  next(f.fd);
  EXPECT_EQ(f.line(), "a");
}

class ClosedFileTest : public TextLineTest {};

TEST_F(ClosedFileTest, CreateNeedsTheAttributeAndReplaces) {
  write_bytes(path("c.txt"), "old\r\n");
  TextFile plain(path("c.txt"));
  create(plain.fd);
  EXPECT_EQ(ERRORCODE(), 54);
  TextFile creatable(path("c.txt"), 20, attr::CREATE);
  create(creatable.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_FALSE(creatable.is_open());
  EXPECT_EQ(read_bytes(path("c.txt")), "");
  TextFile nowhere(path("no/c.txt"), 20, attr::CREATE);
  create(nowhere.fd);
  EXPECT_EQ(ERRORCODE(), 3);
}

TEST_F(ClosedFileTest, CreateRefusesAFileSomeoneHasOpen) {
  write_bytes(path("c.txt"), "keep\r\n");
  TextFile reader(path("c.txt"));
  share(reader.fd, 0x40);
  TextFile creator(path("c.txt"), 20, attr::CREATE);
  create(creator.fd);
  EXPECT_EQ(ERRORCODE(), 5);
  EXPECT_EQ(read_bytes(path("c.txt")), "keep\r\n");
  close(reader.fd);
  create(creator.fd);
  EXPECT_EQ(ERRORCODE(), 0);
}

TEST_F(ClosedFileTest, RemoveRenameCopyAndName) {
  write_bytes(path("a.txt"), "data\r\n");
  TextFile f(path("a.txt"));
  EXPECT_EQ(name(f.fd), path("a.txt"));
  copy(f.fd, path("b.txt"));
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(read_bytes(path("b.txt")), "data\r\n");
  copy(f.fd, path("a.txt"));  // onto itself would destroy it
  EXPECT_EQ(ERRORCODE(), 5);
  EXPECT_EQ(read_bytes(path("a.txt")), "data\r\n");
  rename(f.fd, path("b.txt"));  // never over another file
  EXPECT_EQ(ERRORCODE(), 5);
  rename(f.fd, path("c.txt"));
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_FALSE(fs::exists(path("a.txt")));
  remove(f.fd);
  EXPECT_EQ(ERRORCODE(), 2);
  TextFile c("c.txt");  // relative names complete against the current directory
  const auto here = fs::current_path();
  fs::current_path(path(""));
  open(c.fd, 0x20);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(name(c.fd), path("c.txt"));
  close(c.fd);
  EXPECT_EQ(name(c.fd), "c.txt");
  remove(c.fd);
  fs::current_path(here);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_FALSE(fs::exists(path("c.txt")));
  TextFile in_no_dir(path("x/y.txt"));
  remove(in_no_dir.fd);
  EXPECT_EQ(ERRORCODE(), 5);
}

TEST_F(ClosedFileTest, TracePropertiesOnlyAndClear) {
  write_bytes(path("a.txt"), "x\r\n");
  TextFile f(path("a.txt"));
  open(f.fd, 0x22);
  set_property(f.fd, "Details", "1");
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(get_property(f.fd, "details"), "1");
  set_property(f.fd, "Colour", "red");
  EXPECT_EQ(ERRORCODE(), 80);
  f.set("dirty");
  clear(f.fd);
  EXPECT_EQ(f.record, std::string(20, ' '));
}

class SharingTest : public TextLineTest {};

TEST_F(SharingTest, OpenersConflictAsTheirModesSay) {
  write_bytes(path("s.txt"), "x\r\n");
  struct Case {
    std::uint32_t first, second;
    bool second_opens;
  };
  for (const Case c : {Case{0x22, 0x22, false}, Case{0x22, 0x42, false}, Case{0x42, 0x22, false},
                       Case{0x42, 0x42, true}, Case{0x20, 0x20, true}, Case{0x22, 0x40, true},
                       Case{0x12, 0x40, false}, Case{0x30, 0x42, false}, Case{0x30, 0x01, true}}) {
    TextFile first(path("s.txt"));
    TextFile second(path("s.txt"));
    open(first.fd, c.first);
    ASSERT_EQ(ERRORCODE(), 0);
    open(second.fd, c.second);
    EXPECT_EQ(ERRORCODE(), c.second_opens ? 0 : 5) << std::hex << c.first << " then " << c.second;
    close(second.fd);
    close(first.fd);
  }
}

class LockTest : public TextLineTest {};

TEST_F(LockTest, NestingKeepsTheLockUntilTheLastLevel) {
  write_bytes(path("l.txt"), "");
  TextFile owner(path("l.txt"));
  TextFile other(path("l.txt"));
  share(owner.fd, 0x42);
  share(other.fd, 0x42);
  lock(owner.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  owner.set("mine");
  add(owner.fd);  // a shared write takes and gives back one more level
  EXPECT_EQ(ERRORCODE(), 0);
  lock(other.fd, 0u);  // 0 seconds: one try
  EXPECT_EQ(ERRORCODE(), 32);
  unlock(owner.fd);
  lock(other.fd, 0u);
  EXPECT_EQ(ERRORCODE(), 0);
  unlock(other.fd);
  EXPECT_EQ(read_bytes(path("l.txt")), "mine\r\n");
}

TEST_F(LockTest, WaitingForAHandleOfThisProgramFailsAtOnce) {
  write_bytes(path("l.txt"), "");
  TextFile owner(path("l.txt"));
  TextFile other(path("l.txt"));
  share(owner.fd, 0x42);
  share(other.fd, 0x42);
  lock(owner.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  // Should the waits not give up, the holder lets go after a while, and the
  // waiters succeed where they ought to have failed.
  auto* held = owner.fd.fcb->driver.get();
  std::thread releaser([held] {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    textline::unlock_level(*static_cast<textline::TextFileState*>(held));
  });
  other.set("blocked");
  add(other.fd);
  const std::int32_t add_code = ERRORCODE();
  lock(other.fd);
  const std::int32_t lock_code = ERRORCODE();
  releaser.join();
  EXPECT_EQ(add_code, 5);
  EXPECT_EQ(lock_code, 32);
  other.set("free");
  add(other.fd);  // the lock is free now
  EXPECT_EQ(ERRORCODE(), 0);
  close(other.fd);
  close(owner.fd);
  EXPECT_EQ(read_bytes(path("l.txt")), "free\r\n");
}

TEST_F(LockTest, LockWithSecondsWaitsForTheHolder) {
  write_bytes(path("l.txt"), "");
  TextFile owner(path("l.txt"));
  TextFile other(path("l.txt"));
  share(owner.fd, 0x42);
  share(other.fd, 0x42);
  lock(owner.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  // The holder lets go from another thread while the waiter polls; only the
  // driver's own File is touched there, never the error state.
  auto* held = owner.fd.fcb->driver.get();
  std::thread releaser([held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto* s = static_cast<textline::TextFileState*>(held);
    textline::unlock_level(*s);
  });
  lock(other.fd, 5u);
  releaser.join();
  EXPECT_EQ(ERRORCODE(), 0);
}

TEST_F(LockTest, LockWithSecondsGivesUpWhenTheClockSaysSo) {
  platform::MemoryEnv memory;
  ASSERT_TRUE(memory.write_file("/l.txt", "").ok());
  set_textline_env(&memory);
  TextFile owner("/l.txt");
  TextFile other("/l.txt");
  share(owner.fd, 0x42);
  share(other.fd, 0x42);
  lock(owner.fd);
  const auto started = std::chrono::steady_clock::now();
  lock(other.fd, 0u);
  EXPECT_EQ(ERRORCODE(), 32);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
  memory.set_ticks(1000);
  lock(other.fd, 1u);  // the stopped clock still lets it give up
  EXPECT_EQ(ERRORCODE(), 32);
}

}  // namespace
}  // namespace files::textline_test
