#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "files/driver/driver.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "runtime/messages.h"

namespace files {
namespace {

// A driver that does what the test tells it and remembers what it was asked.
class FakeDriver : public Driver {
 public:
  FakeDriver()
      : descriptor_(make_driver_descriptor("FAKE", "fake.so", "test double", "Fake Driver",
                                           {}, {static_cast<std::uint8_t>(FieldType::GROUP),
                                                static_cast<std::uint8_t>(FieldType::STRING),
                                                static_cast<std::uint8_t>(FieldType::LONG)})) {}

  const DriverDescriptor& descriptor() const override { return descriptor_; }
  bool supports_keys() const override { return keys; }

  std::int32_t perform(Op op, FileDescriptor&, FileControlBlock& fcb, Operands& operands,
                       std::int32_t* result) override {
    calls.push_back(op);
    names_seen.push_back(fcb.name);
    if (op == Op::OPEN || op == Op::SHARE) {
      if (next_code != 0) return take_code();
      if ((operands.number & 0x3) != 0) fcb.state |= state::W;
      if (mode::exclusive_sharing(operands.number)) fcb.state |= state::X;
      return 0;
    }
    if (op == Op::NAME) operands.answer = fcb.name;
    *result = next_result;
    return take_code();
  }

  std::int32_t apply_option(FileControlBlock&, std::string_view token, std::string* answer) override {
    options_seen.emplace_back(token);
    *answer = "";
    return token == "BAD" ? 80 : 0;
  }

  bool keys = true;
  std::int32_t next_code = 0;
  std::int32_t next_result = 0;
  std::vector<Op> calls;
  std::vector<std::string> names_seen;
  std::vector<std::string> options_seen;

 private:
  std::int32_t take_code() {
    const std::int32_t c = next_code;
    next_code = 0;
    return c;
  }
  DriverDescriptor descriptor_;
};

FieldDescriptor field(FieldType t, std::uint32_t size, std::string label, int over = -1) {
  FieldDescriptor f;
  f.type = t;
  f.size = size;
  f.label = std::move(label);
  f.over = over;
  return f;
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No trace: the profile points at a file that does not exist.
    setenv("MARKFIT_PROFILE", (std::filesystem::path(::testing::TempDir()) / "no-such-profile.ini").c_str(), 1);
    runtime::clear_replacement_messages();
    clear_error();
    set_system_error(0);

    file.driver = &driver;
    file.name = "data.txt";
    file.record = record;
    file.record_length = sizeof(record);
    file.fields = {field(FieldType::GROUP, 0, "REC"), field(FieldType::STRING, 16, "REC:TEXT"),
                   field(FieldType::END, 0, "")};
  }

  void open_file(std::uint32_t m = 0x22) {
    open(file, m);
    ASSERT_EQ(ERRORCODE(), 0);
  }

  FakeDriver driver;
  FileDescriptor file;
  std::uint8_t record[16] = {};
};

TEST_F(DispatchTest, RefusedOperationsNeverReachTheDriver) {
  next(file);  // closed: O missing
  EXPECT_EQ(ERRORCODE(), 37);
  open_file(0x20);  // read only
  next(file);       // no sequence set
  EXPECT_EQ(ERRORCODE(), 33);
  add(file);  // no write access
  EXPECT_EQ(ERRORCODE(), 5);
  erase(file);  // no current record
  EXPECT_EQ(ERRORCODE(), 33);
  empty(file);  // deny-write gives X, read-only no W
  EXPECT_EQ(ERRORCODE(), 5);
  open(file, 0x22);
  EXPECT_EQ(ERRORCODE(), 52);
  EXPECT_EQ(driver.calls, std::vector<Op>{Op::OPEN});
}

TEST_F(DispatchTest, ExclusiveAndWriteChecksInOrder) {
  open_file(0x42);  // read/write, shared: W but no X
  empty(file);
  EXPECT_EQ(ERRORCODE(), 63);
  close(file);
  open_file(0x40);  // read only, shared: neither
  empty(file);
  EXPECT_EQ(ERRORCODE(), 63);
  close(file);
  open_file(0x10);  // read only, exclusive: X but no W
  empty(file);
  EXPECT_EQ(ERRORCODE(), 5);
}

TEST_F(DispatchTest, SkippedOperationsPostNothingAndKeepTheErrorState) {
  open_file();
  lock(file);
  EXPECT_EQ(ERRORCODE(), 0);
  lock(file);  // already locked: skipped
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(driver.calls.size(), 2u);  // OPEN and the first LOCKfile

  // COMMIT without LOGOUT: T missing is none of the reported flags.
  post(33, &file);
  commit(file);
  EXPECT_EQ(ERRORCODE(), 33);
  EXPECT_EQ(driver.calls.size(), 2u);
}

TEST_F(DispatchTest, TransactionConflicts) {
  open_file();
  logout(file);
  EXPECT_EQ(ERRORCODE(), 0);
  logout(file);
  EXPECT_EQ(ERRORCODE(), 56);
  close(file);  // refused while a transaction runs; the file stays open
  EXPECT_EQ(ERRORCODE(), 56);
  ASSERT_NE(file.fcb, nullptr);
  EXPECT_TRUE(file.fcb->state & state::O);
  commit(file);
  EXPECT_EQ(ERRORCODE(), 0);
  close(file);
  EXPECT_EQ(ERRORCODE(), 0);
}

TEST_F(DispatchTest, BlankPositionStringIsNotFound) {
  open_file();
  reget(file, "    ");
  EXPECT_EQ(ERRORCODE(), 35);
  reset(file, "");
  EXPECT_EQ(ERRORCODE(), 35);
  reget(file, std::string("\x01\0\0\0", 4));
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(driver.calls.back(), Op::REGETfile);
}

TEST_F(DispatchTest, BuildInProgressRefusesAllButAFew) {
  open_file();
  file.fcb->state |= state::B;
  next(file);  // a missing flag is reported before the build
  EXPECT_EQ(ERRORCODE(), 33);
  records(file);
  EXPECT_EQ(ERRORCODE(), 92);
  EXPECT_EQ(name(file), "data.txt");
  EXPECT_EQ(ERRORCODE(), 92);  // NAME (class 8) leaves the error in place
  Operands o;
  dispatch(file, Op::BUILDevent, o);
  EXPECT_EQ(ERRORCODE(), 0);
  close(file);
  EXPECT_EQ(ERRORCODE(), 0);
}

TEST_F(DispatchTest, UnknownCodesAreUnsupported) {
  Operands o;
  dispatch(file, 0, o);
  EXPECT_EQ(ERRORCODE(), 80);
  dispatch(file, 94, o);
  EXPECT_EQ(ERRORCODE(), 80);
  dispatch(file, -3, o);
  EXPECT_EQ(ERRORCODE(), 80);
  EXPECT_TRUE(driver.calls.empty());
}

TEST_F(DispatchTest, DynamicIndexMustBeBuilt) {
  file.keys.resize(1);
  file.keys[0].label = "REC:DYN";
  file.keys[0].flags = key_flag::INDEX | key_flag::DYNAMIC;
  file.link_keys();
  open_file();
  set(file.keys[0]);
  EXPECT_EQ(ERRORCODE(), 46);
  Operands o;
  o.key = &file.keys[0];
  dispatch(file, Op::BUILDdyn, o);
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_TRUE(file.keys[0].built);
  set(file.keys[0]);
  EXPECT_EQ(ERRORCODE(), 0);
  close(file);
  EXPECT_FALSE(file.keys[0].built);
}

TEST_F(DispatchTest, StateFlagsFollowSuccessAndFailure) {
  open_file();
  set(file);
  ASSERT_EQ(ERRORCODE(), 0);
  EXPECT_TRUE(file.fcb->state & state::Q);
  EXPECT_EQ(file.fcb->last_sequential, static_cast<int>(Op::SETfile));
  watch(file);
  hold(file);
  EXPECT_TRUE(file.fcb->state & (state::w | state::h));
  next(file);  // a read consumes the requests
  EXPECT_TRUE(file.fcb->state & state::C);
  EXPECT_FALSE(file.fcb->state & (state::w | state::h));

  watch(file);
  driver.next_code = 33;
  next(file);  // a failed move drops the record, the sequence and the watch
  EXPECT_EQ(ERRORCODE(), 33);
  EXPECT_FALSE(file.fcb->state & (state::C | state::Q | state::F | state::w));
  EXPECT_TRUE(eof(file));  // Q missing now: an error, so EOF reads true
  EXPECT_EQ(ERRORCODE(), 33);
}

TEST_F(DispatchTest, FunctionStyleSuccessKeepsAnEarlierError) {
  open_file();
  set(file);
  driver.next_code = 35;
  next(file);
  ASSERT_EQ(ERRORCODE(), 35);
  driver.next_result = 7;
  EXPECT_EQ(records(file), 7);  // class "-": leaves the error
  EXPECT_EQ(ERRORCODE(), 35);
  driver.next_result = 0;
  bytes(file);  // class 1: clears it
  EXPECT_EQ(ERRORCODE(), 0);
}

TEST_F(DispatchTest, ControlBlockLifecycle) {
  remove(file);  // on a never-opened file: a block for this call only
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(file.fcb, nullptr);
  driver.next_code = 2;
  remove(file);
  EXPECT_EQ(ERRORCODE(), 2);
  EXPECT_EQ(file.fcb, nullptr);

  EXPECT_EQ(name(file), "data.txt");  // class 8 keeps the block
  EXPECT_NE(file.fcb, nullptr);
  driver.next_code = 2;
  open(file, 0x22);  // a failed open keeps it too
  EXPECT_EQ(ERRORCODE(), 2);
  EXPECT_NE(file.fcb, nullptr);
  open_file();
  close(file);
  EXPECT_EQ(file.fcb, nullptr);

  add(file);  // refused on a closed file: the block made for it goes
  EXPECT_EQ(ERRORCODE(), 37);
  EXPECT_EQ(file.fcb, nullptr);
}

TEST_F(DispatchTest, NameVariableIsBoundWhenTheFileIsClosed) {
  std::string var = "first.txt";
  file.name = TextSource::variable(&var);
  open_file();
  var = "second.txt";
  EXPECT_EQ(name(file), "first.txt");  // open: the name stays
  close(file);
  var = "third.txt";
  open_file();
  EXPECT_EQ(driver.names_seen.back(), "third.txt");
}

TEST_F(DispatchTest, DeclarationChecksAtFirstUse) {
  auto expect_open_fails = [&](std::int32_t code) {
    open(file, 0x22);
    EXPECT_EQ(ERRORCODE(), code);
    EXPECT_EQ(file.fcb, nullptr);
    EXPECT_TRUE(driver.calls.empty());
  };
  file.record_length = 65536;
  expect_open_fails(47);
  file.record_length = sizeof(record);

  file.fields[0].type = FieldType::STRING;
  expect_open_fails(75);
  file.fields[0].type = FieldType::GROUP;

  file.fields.insert(file.fields.begin() + 1, field(FieldType::REAL, 8, "REC:AMOUNT"));
  expect_open_fails(79);
  file.fields.erase(file.fields.begin() + 1);

  file.fields.clear();
  for (int i = 0; i < 101; ++i) file.fields.push_back(field(FieldType::GROUP, 0, "G"));
  expect_open_fails(75);
  file.fields = {field(FieldType::GROUP, 0, "REC"), field(FieldType::END, 0, "")};

  driver.keys = false;
  file.keys.resize(1);
  expect_open_fails(47);
  file.keys.clear();
  file.memos.resize(1);
  expect_open_fails(47);
}

TEST_F(DispatchTest, FieldTableOffsets) {
  // REC { A STRING(4), G { B LONG[3], C STRING(2) }, D STRING(6) OVER(A-group start) , E LONG }
  file.fields = {field(FieldType::GROUP, 0, "REC"),
                 field(FieldType::STRING, 4, "REC:A"),
                 field(FieldType::GROUP, 0, "REC:G"),
                 field(FieldType::LONG, 4, "REC:B"),
                 field(FieldType::STRING, 2, "REC:C"),
                 field(FieldType::END, 0, ""),
                 field(FieldType::STRING, 6, "REC:D", 2),
                 field(FieldType::LONG, 4, "REC:E"),
                 field(FieldType::END, 0, "")};
  file.fields[3].dims = {3};
  open_file();
  const auto& t = file.fcb->field_table;
  ASSERT_EQ(t.size(), file.fields.size());
  EXPECT_EQ(t[1].offset, 0u);
  EXPECT_EQ(t[2].offset, 4u);
  EXPECT_EQ(t[2].size, 14u);  // 3 LONGs and 2 bytes
  EXPECT_EQ(t[3].offset, 4u);
  EXPECT_EQ(t[3].elements, 3u);
  EXPECT_EQ(t[3].parent, 2);
  EXPECT_EQ(t[4].offset, 16u);
  EXPECT_EQ(t[6].offset, 4u);   // over the group: same start, no advance
  EXPECT_EQ(t[7].offset, 18u);
  EXPECT_EQ(t[0].size, 22u);
}

TEST_F(DispatchTest, OptionTextGoesThroughTheDriverToTheFirstRejection) {
  FileControlBlock fcb;
  EXPECT_EQ(apply_options(driver, fcb, "/A=1/\"B/C\"/BAD/D"), 80);
  EXPECT_EQ(driver.options_seen, (std::vector<std::string>{"A=1", "\"B/C\"", "BAD"}));
}

TEST(OptionTokens, QuotesAndCommas) {
  std::size_t pos = 0;
  std::string token;
  std::vector<std::string> tokens;
  while (nextOption("junk/ENDOFRECORD=2,13,10/TAB=\"a/b\"//last", &pos, &token)) tokens.push_back(token);
  EXPECT_EQ(tokens, (std::vector<std::string>{"ENDOFRECORD=2,13,10", "TAB=\"a/b\"", "", "last"}));
  EXPECT_EQ(option_values("N=2,13,\"1,0\""), (std::vector<std::string>{"N=2", "13", "\"1,0\""}));
}

TEST(RuleTable, NamesAndShapes) {
  EXPECT_EQ(op_rule(0).name, "(0)");
  EXPECT_EQ(op_rule(35).name, "(35)");
  EXPECT_EQ(op_rule(39).name, "(39)");
  EXPECT_EQ(op_rule(87).name, "Internal");
  EXPECT_EQ(op_rule(91).name, "Internal");
  EXPECT_EQ(op_name(Op::GETfilekey), "GETfilekey");
  EXPECT_EQ(op_name(Op::EOF_), "EOF");
  EXPECT_EQ(op_name(Op::NULL_), "NULL");
  EXPECT_EQ(op_name(Op::ENDVIEW), "ENDVIEW");
  // Class digits side by side: 14 is classes 1 and 4, 18 is 1 and 8.
  EXPECT_EQ(op_rule(Op::NEXT).op_class, 1 | 4);
  EXPECT_EQ(op_rule(Op::CLOSE).op_class, 1 | 2);
  EXPECT_EQ(op_rule(Op::OPEN).op_class, 1 | 8);
  EXPECT_EQ(op_rule(Op::NAME).op_class, 8);
  EXPECT_EQ(op_rule(Op::BOF).op_class, 0);
  EXPECT_EQ(op_rule(Op::INVIEW).refused_when, state::K);
  EXPECT_EQ(op_rule(Op::GETfilekey).requires_, state::O | state::K);
  EXPECT_EQ(op_rule(Op::NEXT).clears_on_failure, state::C | state::Q | state::F);
}

TEST(RuleCheck, ClosedFileIsTheDriversToHandle) {
  std::uint32_t actions = 0;
  Operands o;
  // BUILDfile needs W and X, not O: on a closed file it is allowed.
  EXPECT_EQ(check_rule(static_cast<int>(Op::BUILDfile), 0, nullptr, o, &actions), 0);
  // On an open file without X it is refused.
  EXPECT_EQ(check_rule(static_cast<int>(Op::BUILDfile), state::O | state::W, nullptr, o, &actions), 63);
  // UNLOCK of an unlocked file: L missing is skipped.
  EXPECT_EQ(check_rule(static_cast<int>(Op::UNLOCK), state::O, nullptr, o, &actions), kSkip);
}

class ErrorPostingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime::clear_replacement_messages();
    clear_error();
    set_system_error(0);
  }
  void TearDown() override { runtime::clear_replacement_messages(); }
};

TEST_F(ErrorPostingTest, CodeZeroIsTheSystemError) {
  set_system_error(5);
  post(0);
  EXPECT_EQ(ERRORCODE(), 305);
  EXPECT_EQ(ERROR(), "Access Denied");
  EXPECT_EQ(error_state().system_error, 5);
}

TEST_F(ErrorPostingTest, TextIsClippedPaddedAndUnknownCodesSaySo) {
  post(1234);
  EXPECT_EQ(ERROR(), "Unknown Error Posted : 1234");
  EXPECT_EQ(error_state().text.size(), 80u);

  runtime::set_replacement_message(40, "   " + std::string(100, 'x'));
  post(40);
  EXPECT_EQ(ERROR(), std::string(79, 'x'));
  EXPECT_EQ(error_state().text.back(), ' ');

  runtime::set_replacement_message(81, "Nobody knows");
  post(777);
  EXPECT_EQ(ERROR(), "Nobody knows : 777");
}

TEST_F(ErrorPostingTest, DriverErrorAndSaveRestore) {
  setDriverError("1173");
  EXPECT_EQ(FILEERRORCODE(), "1173");
  EXPECT_EQ(FILEERROR(), "File System Error : 1173");
  setDriverError("X", std::string(300, 'm'));
  EXPECT_EQ(FILEERROR().size(), 254u);

  post(90);
  const ErrorState saved = save_error_state();
  clear_error();
  post(2);
  restore_error_state(saved);
  EXPECT_EQ(ERRORCODE(), 90);
  EXPECT_EQ(FILEERRORCODE(), "X");
  clear_error();
  EXPECT_EQ(ERRORCODE(), 0);
  EXPECT_EQ(ERROR(), "");
  EXPECT_EQ(FILEERROR(), "");
}

TEST(DriverDescriptorTest, OperationListLayout) {
  const DriverDescriptor d = make_driver_descriptor("A_VERY_LONG_DRIVER_NAME_OVER_20", "lib", "n", "desc",
                                                    {1, 7, 25}, {18, 22});
  EXPECT_EQ(d.name_view(), "A_VERY_LONG_DRIVER_N");
  EXPECT_EQ(d.operation_list(), (std::vector<std::uint8_t>{3, 1, 7, 25, 2, 18, 22}));
  EXPECT_TRUE(d.implements(7));
  EXPECT_FALSE(d.implements(8));
  EXPECT_TRUE(d.accepts(FieldType::GROUP));
}

}  // namespace
}  // namespace files
