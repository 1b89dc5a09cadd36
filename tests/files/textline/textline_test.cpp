// Reading, writing, pointers and options of the text-line driver.
#include <cstring>
#include <random>

#include "tests/files/textline/text_file_fixture.h"
#include "platform/fault_env.h"
#include "runtime/charset.h"

namespace files::textline_test {
namespace {

using Lines = std::vector<std::string>;

class ReadingTest : public TextLineTest {};

TEST_F(ReadingTest, LinesComeBackWithoutLineEndAndPaddedWithBlanks) {
  write_bytes(path("in.txt"), "alpha\r\nbeta\r\n\r\ngamma\r\n");
  TextFile f(path("in.txt"));
  open(f.fd, 0x22);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(bytes(f.fd), 22);  // no record yet: the file size
  set(f.fd);
  next(f.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(f.record, "alpha" + std::string(15, ' '));
  EXPECT_EQ(bytes(f.fd), 7);  // the span, line end included
  next(f.fd);
  EXPECT_EQ(f.line(), "beta");
  next(f.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(f.record, std::string(20, ' '));
  EXPECT_EQ(bytes(f.fd), 2);
  next(f.fd);
  EXPECT_EQ(f.line(), "gamma");
  next(f.fd);
  EXPECT_EQ(ERRORCODE(), 33);
  EXPECT_EQ(f.record, std::string(20, ' '));  // a failed read leaves blanks
  EXPECT_EQ(pointer(f.fd), 0);
  close(f.fd);
}

struct TabCase {
  const char* option;  // nullptr: default tab setting
  const char* text;
  const char* expected;
};

class TabTest : public TextLineTest, public ::testing::WithParamInterface<TabCase> {};

TEST_P(TabTest, TabsExpandByTheTabSetting) {
  const TabCase& c = GetParam();
  write_bytes(path("tabs.txt"), std::string(c.text) + "\r\nnext\r\n");
  TextFile f(path("tabs.txt"), 20, 0, c.option ? c.option : "");
  open(f.fd, 0x22);
  ASSERT_EQ(ERRORCODE(), 0);
  set(f.fd);
  next(f.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(f.line(), c.expected);
  next(f.fd);  // the line end after the tabs was found, or the rest skipped
  EXPECT_EQ(f.line(), "next");
}

INSTANTIATE_TEST_SUITE_P(
    EverySetting, TabTest,
    ::testing::Values(TabCase{nullptr, "A\tB", "A       B"}, TabCase{nullptr, "ABCDEFGH\tI", "ABCDEFGH        I"},
                      TabCase{nullptr, "\t\tX", "                X"},
                      TabCase{"/TAB=4", "A\tB", "A   B"}, TabCase{"/TAB=1", "A\tB", "A B"},
                      TabCase{"/TAB=0", "A\tB\tC", "ABC"}, TabCase{"/TAB=-100", "A\tB", "A\tB"},
                      TabCase{"/TAB=-3", "AB\tC", "AB   C"},
                      // Blanks stop at the end of the record; the rest of the line is skipped.
                      TabCase{nullptr, "ABCDEFGHIJKLMNOPQR\tZZZ", "ABCDEFGHIJKLMNOPQR"},
                      TabCase{"/TAB=-2147483648", "A\tB", "A"}));

TEST_F(ReadingTest, LongLineIsCutAndItsRestSkipped) {
  write_bytes(path("long.txt"), "abcdefghij\r\nxy\r\nvwxyz\r\nlast");
  TextFile f(path("long.txt"), 5);
  open(f.fd, 0x22);
  set(f.fd);
  next(f.fd);
  EXPECT_EQ(f.record, "abcde");
  EXPECT_EQ(bytes(f.fd), 12);
  next(f.fd);
  EXPECT_EQ(f.line(), "xy");
  next(f.fd);  // exactly the record length, then the line end
  EXPECT_EQ(f.record, "vwxyz");
  EXPECT_EQ(bytes(f.fd), 7);
  next(f.fd);
  EXPECT_EQ(f.line(), "last");
  next(f.fd);
  EXPECT_EQ(ERRORCODE(), 33);
}

TEST_F(ReadingTest, LongLineSkipFindsLineEndsAcrossBufferRefills) {
  // Lines much longer than the buffer, with a CR LF split over a refill.
  std::string text(3000, 'x');
  text += "\r\nsecond\r\n";
  text += std::string(1022, 'y') + "\r\nthird";
  write_bytes(path("big.txt"), text);
  TextFile f(path("big.txt"), 8);
  open(f.fd, 0x42);  // 512-byte buffer
  EXPECT_EQ(read_all(f), (Lines{"xxxxxxxx", "second", "yyyyyyyy", "third"}));
}

TEST_F(ReadingTest, ALineReadOnInPiecesIsPassedOverOnce) {
  // Each read of a piece of a line longer than the record skips the rest of
  // the line; the pieces together must look at that rest once, not once a
  // piece (256 pieces here; a 64 KiB window passes over the line in 16).
  const std::string line(std::size_t{1} << 20, 'x');
  write_bytes(path("one.txt"), line + "\r\nend\r\n");
  platform::FaultEnv counting(platform::Env::posix());
  set_textline_env(&counting);
  TextFile f(path("one.txt"), 4096);
  open(f.fd, 0x12);
  ASSERT_EQ(ERRORCODE(), 0);
  const std::uint64_t reads_before = counting.operations(platform::fault_op::read);
  for (std::uint32_t at = 1; at <= line.size(); at += 4096) {
    get(f.fd, at);
    ASSERT_EQ(ERRORCODE(), 0);
    ASSERT_EQ(bytes(f.fd), static_cast<std::int32_t>(line.size() + 2 - (at - 1)));
  }
  EXPECT_LT(counting.operations(platform::fault_op::read) - reads_before, 40u);
  // A line end written into the line is where the next piece's line ends.
  f.set("y");
  put(f.fd, 500'001, 1);
  ASSERT_EQ(ERRORCODE(), 0);
  get(f.fd, 4097);
  EXPECT_EQ(bytes(f.fd), 500'003 - 4096);
  set_pointer(f.fd, 500'004);
  next(f.fd);
  EXPECT_EQ(f.line(), std::string(4096, 'x'));
  EXPECT_EQ(bytes(f.fd), static_cast<std::int32_t>(line.size() + 2 - 500'003));
  next(f.fd);
  EXPECT_EQ(f.line(), "end");
  close(f.fd);
}

TEST_F(ReadingTest, LastLineWithoutLineEndIsARecord) {
  write_bytes(path("last.txt"), "one\r\ntwo");
  TextFile f(path("last.txt"));
  open(f.fd, 0x22);
  set(f.fd);
  next(f.fd);
  EXPECT_FALSE(eof(f.fd));
  next(f.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(f.line(), "two");
  EXPECT_EQ(bytes(f.fd), 3);
  EXPECT_TRUE(eof(f.fd));
  next(f.fd);
  EXPECT_EQ(ERRORCODE(), 33);
  EXPECT_TRUE(eof(f.fd));
}

TEST_F(ReadingTest, LoneCarriageReturnAndNulBytesAreData) {
  write_bytes(path("odd.txt"), std::string("a\rb\r\nc\0d\r\n\r", 11));
  TextFile f(path("odd.txt"));
  open(f.fd, 0x22);
  EXPECT_EQ(read_all(f), (Lines{"a\rb", std::string("c\0d", 3), "\r"}));
}

TEST_F(ReadingTest, CtrlZEndsTheData) {
  write_bytes(path("z.txt"), "ab\x1a" "cd\r\nef\r\n\x1agarbage\r\n");
  TextFile f(path("z.txt"));
  open(f.fd, 0x22);
  // A Ctrl-Z inside a line ends that record and is skipped over; one at the
  // start of a line is the end.
  set(f.fd);
  next(f.fd);
  EXPECT_EQ(f.line(), "ab");
  EXPECT_EQ(bytes(f.fd), 3);
  next(f.fd);
  EXPECT_EQ(f.line(), "cd");
  next(f.fd);
  EXPECT_EQ(f.line(), "ef");
  EXPECT_TRUE(eof(f.fd));
  next(f.fd);
  EXPECT_EQ(ERRORCODE(), 33);
}

TEST_F(ReadingTest, CtrlZIsDataWhenSwitchedOff) {
  write_bytes(path("z.txt"), "ab\x1a" "cd\r\n\x1a");
  TextFile f(path("z.txt"), 20, 0, "/CTRLZISEOF=OFF");
  open(f.fd, 0x22);
  EXPECT_EQ(read_all(f), (Lines{"ab\x1a" "cd", "\x1a"}));
  EXPECT_TRUE(eof(f.fd));
}

TEST_F(ReadingTest, EndOfRecordOption) {
  write_bytes(path("lf.txt"), "a\nbb\r\nccc");
  TextFile f(path("lf.txt"), 20, 0, "/ENDOFRECORD=1,10");
  open(f.fd, 0x22);
  EXPECT_EQ(read_all(f), (Lines{"a", "bb\r", "ccc"}));
}

TEST_F(ReadingTest, OemTextIsConvertedToAnsi) {
  write_bytes(path("oem.txt"), "caf\x82\r\n");  // 0x82 is e-acute in the OEM set
  TextFile f(path("oem.txt"), 20, attr::OEM);
  open(f.fd, 0x22);
  set(f.fd);
  next(f.fd);
  EXPECT_EQ(f.line(), "caf\xe9");
}

TEST_F(ReadingTest, GetByPointerAndLength) {
  write_bytes(path("p.txt"), "first\r\nsecond\r\n");
  TextFile f(path("p.txt"));
  open(f.fd, 0x22);
  f.set("untouched");
  get(f.fd, 0u);  // pointer 0 reads nothing and is no failure
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(f.line(), "untouched");
  get(f.fd, 8u);
  EXPECT_EQ(f.line(), "second");
  get(f.fd, 8u, 3u);
  EXPECT_EQ(f.line(), "sec");
  EXPECT_EQ(bytes(f.fd), 8);  // the rest of the line still belongs to it
  get(f.fd, 16u);
  EXPECT_EQ(ERRORCODE(), 33);
}

TEST_F(ReadingTest, QuickScanOffSeesLinesAnotherHandleAppends) {
  write_bytes(path("log.txt"), "one\r\n");
  TextFile reader(path("log.txt"));
  TextFile writer(path("log.txt"));
  share(reader.fd, 0x40);
  share(writer.fd, 0x42);
  ASSERT_EQ(ERRORCODE(), 0);
  set(reader.fd);
  next(reader.fd);
  EXPECT_EQ(reader.line(), "one");
  EXPECT_TRUE(eof(reader.fd));
  writer.set("two");
  add(writer.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_FALSE(eof(reader.fd));
  next(reader.fd);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(reader.line(), "two");
  EXPECT_EQ(bytes(reader.fd), 5);
}

TEST_F(ReadingTest, QuickScanOnKeepsWhatItLearned) {
  write_bytes(path("log.txt"), "one\r\n");
  TextFile reader(path("log.txt"), 20, 0, "/QUICKSCAN=ON");
  TextFile writer(path("log.txt"));
  share(reader.fd, 0x40);
  share(writer.fd, 0x42);
  set(reader.fd);
  next(reader.fd);
  writer.set("two");
  add(writer.fd);
  EXPECT_TRUE(eof(reader.fd));  // the size was learned at open
  next(reader.fd);
  EXPECT_EQ(ERRORCODE(), 33);
  EXPECT_EQ(send(reader.fd, "QUICKSCAN=OFF"), "ON");
  set_pointer(reader.fd, 6);
  next(reader.fd);
  EXPECT_EQ(reader.line(), "two");
}

TEST_F(ReadingTest, LinesReadFromTheWindowMatchLinesReadFromTheFile) {
  // With quick scan on most lines come straight from the window; with it
  // off every line is read from the file. Both must give the same records,
  // pointers and spans, for lines of every length around the window's and
  // the vectors' boundaries, with tabs, Ctrl-Z, lone CRs and NULs among them
  // (a Ctrl-Z never first on a line, so that the data runs on).
  std::mt19937 random(11);
  std::string data;
  while (data.size() < 200'000) {
    const std::size_t length = random() % 8 == 0 ? random() % 300 : random() % 70;
    for (std::size_t i = 0; i < length; ++i) {
      const unsigned r = random() % 4000;
      const char c = r < 20 ? '\t' : r < 40 ? '\r' : r < 60 ? '\0' : r == 60 && i > 0 ? '\x1a' : 'a';
      data += c == 'a' ? static_cast<char>('a' + r % 26) : c;
    }
    data += random() % 50 == 0 ? "\n" : "\r\n";
  }
  write_bytes(path("mixed.txt"), data);
  // PADDING=LINES blanks less of the record and must leave it the same.
  const std::pair<const char*, const char*> settings[] = {
      {"", ""}, {"/CTRLZISEOF=OFF", "/CTRLZISEOF=OFF"}, {"/ENDOFRECORD=1,10/TAB=-3", "/ENDOFRECORD=1,10/TAB=-3"},
      {"/TAB=-100/PADDING=LINES", "/TAB=-100"}, {"/PADDING=LINES", ""}};
  for (const auto& [options, file_options] : settings) {
    struct Read {
      std::string line;
      std::int32_t pointer, bytes;
      bool operator==(const Read&) const = default;
    };
    auto read_with = [&](std::uint32_t mode, const char* with) {
      TextFile f(path("mixed.txt"), 100, 0, with);
      open(f.fd, mode);
      EXPECT_EQ(ERRORCODE(), 0);
      std::vector<Read> reads;
      set(f.fd);
      for (;;) {
        const std::int32_t told = next_bytes(f.fd);
        if (ERRORCODE() != 0) break;
        reads.push_back({f.record, pointer(f.fd), bytes(f.fd)});
        EXPECT_EQ(told, reads.back().bytes);  // NEXT tells what BYTES answers
      }
      EXPECT_EQ(ERRORCODE(), 33);
      close(f.fd);
      return reads;
    };
    const std::vector<Read> from_window = read_with(0x22, options);
    const std::vector<Read> from_file = read_with(0x42, file_options);
    EXPECT_GT(from_window.size(), 1000u) << options;
    ASSERT_EQ(from_window.size(), from_file.size()) << options;
    for (std::size_t i = 0; i < from_file.size(); ++i) {
      ASSERT_TRUE(from_window[i] == from_file[i]) << options << " line " << i << " at " << from_file[i].pointer;
    }
  }
}

class WritingTest : public TextLineTest {};

TEST_F(WritingTest, ClippingFindsTheLastNonBlankWhereverTheRecordLies) {
  // Records of several lengths, placed at every offset from a 32-byte
  // boundary, each with its last non-blank at every position.
  std::string expected;
  TextFile created(path("clip.txt"), 10, attr::CREATE);
  create(created.fd);
  std::vector<std::uint8_t> storage(400 + 64);
  for (const std::uint32_t length : {40u, 64u, 100u, 300u}) {
    for (std::size_t offset = 0; offset < 32; ++offset) {
      std::uint8_t* base = storage.data() + (32 - reinterpret_cast<std::uintptr_t>(storage.data()) % 32) % 32;
      TextFile f(path("clip.txt"), length);
      f.fd.record = base + offset;
      open(f.fd, 0x22);
      ASSERT_EQ(ERRORCODE(), 0);
      for (std::uint32_t last = 0; last <= length; ++last) {
        std::memset(f.fd.record, ' ', length);
        std::string line(last, ' ');
        for (std::uint32_t i = 0; i < last; i += 7) line[i] = 'a';
        if (last > 0) line[last - 1] = 'z';
        std::memcpy(f.fd.record, line.data(), line.size());
        add(f.fd);
        ASSERT_EQ(ERRORCODE(), 0);
        expected += line + "\r\n";
      }
      close(f.fd);
    }
  }
  EXPECT_TRUE(read_bytes(path("clip.txt")) == expected);
}

TEST_F(WritingTest, AddClipsTrailingBlanksUnlessClipIsOff) {
  TextFile f(path("out.txt"), 10, attr::CREATE);
  create(f.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  open(f.fd, 0x22);
  f.set("abc");
  add(f.fd);
  EXPECT_EQ(bytes(f.fd), 5);
  EXPECT_EQ(send(f.fd, "CLIP=OFF"), "ON");
  add(f.fd);
  f.set("");
  add(f.fd, 4u);
  close(f.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(read_bytes(path("out.txt")), "abc\r\nabc       \r\n    \r\n");
}

TEST_F(WritingTest, AddOverwritesTheCtrlZAtTheEnd) {
  write_bytes(path("z.txt"), "x\r\n\x1a");
  TextFile f(path("z.txt"));
  open(f.fd, 0x22);
  EXPECT_EQ(read_all(f), (Lines{"x"}));
  f.set("y");
  add(f.fd);
  EXPECT_EQ(pointer(f.fd), 4);
  f.set("z");
  add(f.fd);
  close(f.fd);
  EXPECT_EQ(read_bytes(path("z.txt")), "x\r\ny\r\nz\r\n");
}

TEST_F(WritingTest, AddedLinesReadBackThroughTheSameHandle) {
  TextFile f(path("out.txt"), 30, attr::CREATE);
  create(f.fd);
  open(f.fd, 0x22);  // quick scan: the lines sit in the buffer for a while
  Lines expected;
  for (int i = 0; i < 200; ++i) {
    expected.push_back("line " + std::to_string(i));
    f.set(expected.back());
    add(f.fd);
    ASSERT_EQ(ERRORCODE(), 0);
  }
  EXPECT_EQ(read_all(f), expected);
  close(f.fd);
  TextFile again(path("out.txt"), 30);
  open(again.fd, 0x20);
  EXPECT_EQ(read_all(again), expected);
}

TEST_F(WritingTest, PutRewritesInPlaceAndMayRunIntoTheNextLine) {
  write_bytes(path("p.txt"), "aaa\r\nbbb\r\nccc\r\n");
  TextFile f(path("p.txt"));
  open(f.fd, 0x22);
  set(f.fd);
  next(f.fd);
  next(f.fd);
  f.set("BBBBB");
  put(f.fd);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(pointer(f.fd), 6);
  close(f.fd);
  EXPECT_EQ(read_bytes(path("p.txt")), "aaa\r\nBBBBB\r\nc\r\n");
}

TEST_F(WritingTest, PutAtPointerAndZeroLengthCuts) {
  write_bytes(path("p.txt"), "aaa\r\nbbb\r\nccc\r\n");
  TextFile f(path("p.txt"));
  open(f.fd, 0x22);
  f.set("XYZ");
  put(f.fd, 6u);
  f.set("12345");
  put(f.fd, 11u, 2u);
  put(f.fd, 15u, 0u);  // n == 0: the file ends at the pointer
  EXPECT_EQ(ERRORCODE(), 0);
  close(f.fd);
  EXPECT_EQ(read_bytes(path("p.txt")), "aaa\r\nXYZ\r\n12\r\n");
}

TEST_F(WritingTest, EndOfRecordOptionShapesWrittenLines) {
  TextFile f(path("lf.txt"), 10, attr::CREATE, "/ENDOFRECORD=1,10");
  create(f.fd);
  open(f.fd, 0x22);
  f.set("a");
  add(f.fd);
  EXPECT_EQ(send(f.fd, "ENDOFRECORD=3,1,2,3"), "1");
  f.set("b");
  add(f.fd);
  close(f.fd);
  EXPECT_EQ(read_bytes(path("lf.txt")), "a\nb\x01\x02\x03");
}

TEST_F(WritingTest, OemTextRoundTrips) {
  TextFile f(path("oem.txt"), 10, attr::CREATE | attr::OEM);
  create(f.fd);
  open(f.fd, 0x22);
  f.set("\xe9t\xe9");  // e-acute, t, e-acute in ANSI
  add(f.fd);
  EXPECT_EQ(f.line(), "\xe9t\xe9");  // the record buffer itself is left alone
  set(f.fd);
  next(f.fd);
  EXPECT_EQ(f.line(), "\xe9t\xe9");
  close(f.fd);
  EXPECT_EQ(read_bytes(path("oem.txt")), "\x82t\x82\r\n");
}

TEST_F(WritingTest, ReadOnlyFileRefusesWrites) {
  write_bytes(path("r.txt"), "a\r\n");
  TextFile f(path("r.txt"));
  open(f.fd, 0x20);
  f.set("b");
  add(f.fd, 1u);  // ADDfilelen needs no W by its rule: the driver refuses
  EXPECT_EQ(ERRORCODE(), 5);
  close(f.fd);
  EXPECT_EQ(read_bytes(path("r.txt")), "a\r\n");
}

TEST_F(WritingTest, WriteOnlyFileTakesEveryLine) {
  // Quick scan off (0x01, 0x41) and on (0x11, 0x21); a Ctrl-Z at the end is
  // still overwritten, and reading stays refused.
  for (const std::uint32_t mode : {0x01u, 0x41u, 0x11u, 0x21u}) {
    write_bytes(path("w.txt"), "a\r\n\x1a");
    TextFile f(path("w.txt"));
    open(f.fd, mode);
    ASSERT_EQ(ERRORCODE(), 0);
    for (const char* line : {"b", "c", "d"}) {
      f.set(line);
      add(f.fd);
      EXPECT_EQ(ERRORCODE(), 0) << std::hex << mode << " " << line;
    }
    set(f.fd);
    next(f.fd);
    EXPECT_EQ(ERRORCODE(), 5);
    close(f.fd);
    EXPECT_EQ(read_bytes(path("w.txt")), "a\r\nb\r\nc\r\nd\r\n") << std::hex << mode;
  }
}

TEST_F(WritingTest, QuickScanLearnsTheSizeWhenOthersMayWrite) {
  // 0x32 denies reading only: quick scan is on, yet another opener may
  // write, so a line added here must not land on the other's.
  write_bytes(path("q.txt"), "a\r\n");
  TextFile mine(path("q.txt"));
  TextFile other(path("q.txt"));
  open(mine.fd, 0x32);
  share(other.fd, 0x41);
  ASSERT_EQ(ERRORCODE(), 0);
  other.set("b");
  add(other.fd);
  mine.set("c");
  add(mine.fd);
  EXPECT_EQ(pointer(mine.fd), 7);
  other.set("d");
  add(other.fd);
  close(other.fd);
  close(mine.fd);
  EXPECT_EQ(read_bytes(path("q.txt")), "a\r\nb\r\nc\r\nd\r\n");
}

class PointerTest : public TextLineTest {};

TEST_F(PointerTest, PointerIsThePositionOfTheRecordPlusOne) {
  write_bytes(path("p.txt"), "a\r\nbb\r\nccc\r\n");
  TextFile f(path("p.txt"));
  open(f.fd, 0x22);
  set(f.fd);
  next(f.fd);
  EXPECT_EQ(pointer(f.fd), 1);
  next(f.fd);
  EXPECT_EQ(pointer(f.fd), 4);
  next(f.fd);
  EXPECT_EQ(pointer(f.fd), 8);
  set_pointer(f.fd, 4);
  next(f.fd);
  EXPECT_EQ(f.line(), "bb");
  set_pointer(f.fd, 0);  // 0 means the start
  next(f.fd);
  EXPECT_EQ(f.line(), "a");
}

TEST_F(PointerTest, PositionStringsResetAndReget) {
  write_bytes(path("p.txt"), "a\r\nbb\r\nccc\r\n");
  TextFile f(path("p.txt"));
  open(f.fd, 0x22);
  set(f.fd);
  next(f.fd);
  next(f.fd);
  const std::string where = position(f.fd);
  EXPECT_EQ(where, std::string("\x04\0\0\0", 4));  // little-endian pointer
  next(f.fd);
  reget(f.fd, where);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(f.line(), "bb");
  reset(f.fd, where);
  next(f.fd);
  EXPECT_EQ(f.line(), "bb");
  next(f.fd);
  EXPECT_EQ(f.line(), "ccc");
  reget(f.fd, "\x04");  // too short to hold a pointer
  EXPECT_EQ(ERRORCODE(), 35);
  reset(f.fd, "    ");
  EXPECT_EQ(ERRORCODE(), 35);
}

class OptionTest : public TextLineTest {};

TEST_F(OptionTest, SendAnswersThePreviousValue) {
  write_bytes(path("o.txt"), "x\r\n");
  TextFile f(path("o.txt"));
  open(f.fd, 0x22);
  EXPECT_EQ(send(f.fd, "FILEBUFFERS"), "1024");
  EXPECT_EQ(send(f.fd, " filebuffers = 4 "), "1024");
  EXPECT_EQ(send(f.fd, "FILEBUFFERS=0"), "2048");
  EXPECT_EQ(send(f.fd, "FILEBUFFERS"), "22");  // never below one record and its line end
  EXPECT_EQ(send(f.fd, "FILEBUFFERS=99999999999999999999"), "22");
  EXPECT_EQ(send(f.fd, "FILEBUFFERS"), "16777216");
  EXPECT_EQ(send(f.fd, "Tab=-4"), "8");
  EXPECT_EQ(send(f.fd, "TAB"), "-4");
  EXPECT_EQ(send(f.fd, "CLIP=maybe"), "ON");
  EXPECT_EQ(send(f.fd, "CLIP"), "ON");
  EXPECT_EQ(send(f.fd, "CTRLZISEOF=off"), "ON");
  EXPECT_EQ(send(f.fd, "CTRLZISEOF=yes"), "OFF");
  EXPECT_EQ(send(f.fd, "CTRLZISEOF"), "ON");
  EXPECT_EQ(send(f.fd, "QUICKSCAN"), "ON");
  EXPECT_EQ(send(f.fd, "ENDOFRECORD"), "2");
  EXPECT_EQ(send(f.fd, "PADDING=LINES"), "FULL");
  EXPECT_EQ(send(f.fd, "PADDING"), "LINES");
  EXPECT_EQ(ERRORCODE(), 0);
  set(f.fd);
  next(f.fd);
  EXPECT_EQ(f.line(), "x");
}

TEST_F(OptionTest, MalformedTokensAreRejected) {
  write_bytes(path("o.txt"), "x\r\n");
  TextFile f(path("o.txt"));
  open(f.fd, 0x22);
  for (const char* bad : {"TABS=3", "TAB=x", "TAB=", "TAB=99999999999", "FILEBUFFERS=-1", "ENDOFRECORD=2,10",
                          "ENDOFRECORD=0", "ENDOFRECORD=1,256", "ENDOFRECORD=1,,", "NOSUCH", ""}) {
    send(f.fd, bad);
    EXPECT_EQ(ERRORCODE(), 80) << bad;
  }
  EXPECT_EQ(send(f.fd, "TAB"), "8");
  EXPECT_EQ(send(f.fd, "ENDOFRECORD"), "2");
}

TEST_F(OptionTest, BadDeclaredOptionFailsTheOpen) {
  write_bytes(path("o.txt"), "x\r\n");
  TextFile f(path("o.txt"), 20, 0, "/TAB=4/BOGUS=1/CLIP=OFF");
  open(f.fd, 0x22);
  EXPECT_EQ(ERRORCODE(), 80);
  EXPECT_FALSE(f.is_open());
  // The failed open let go of the file: an exclusive opener gets it.
  TextFile other(path("o.txt"));
  open(other.fd, 0x12);
  EXPECT_EQ(ERRORCODE(), 0);
}

TEST_F(OptionTest, OptionsAreFreshAtEveryOpen) {
  write_bytes(path("o.txt"), "a\tb\r\n");
  TextFile f(path("o.txt"));
  open(f.fd, 0x22);
  send(f.fd, "TAB=0");
  close(f.fd);
  open(f.fd, 0x22);
  EXPECT_EQ(send(f.fd, "TAB"), "8");
  set(f.fd);
  next(f.fd);
  EXPECT_EQ(f.line(), "a       b");
}

}  // namespace
}  // namespace files::textline_test
