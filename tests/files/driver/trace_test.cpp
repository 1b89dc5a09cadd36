#include "files/driver/trace.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "files/driver/driver.h"
#include "files/driver/error_state.h"

namespace fs = std::filesystem;
using namespace files;

namespace {

class FakeDriver : public Driver {
 public:
  FakeDriver(const char* name, bool keys)
      : descriptor_(make_driver_descriptor(name, "", "", "", {7, 25}, {1, 4, 5, 18, 22})), keys_(keys) {}
  const DriverDescriptor& descriptor() const override { return descriptor_; }
  bool supports_keys() const override { return keys_; }
  std::int32_t perform(Op, FileDescriptor&, FileControlBlock&, Operands&, std::int32_t*) override { return 0; }
  std::int32_t apply_option(FileControlBlock&, std::string_view, std::string*) override { return 0; }

 private:
  DriverDescriptor descriptor_;
  bool keys_;
};

FieldDescriptor fd(FieldType type, std::uint32_t size, const char* label) {
  FieldDescriptor d;
  d.type = type;
  d.size = size;
  d.label = label;
  return d;
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("markfit-trace-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    setenv("MARKFIT_PROFILE", (dir_ / "profile.ini").c_str(), 1);
    clear_error();
  }
  void TearDown() override {
    unsetenv("MARKFIT_PROFILE");
    fs::remove_all(dir_);
  }

  std::string log() const { return (dir_ / "t.log").string(); }
  void profile(const std::string& text) { std::ofstream(dir_ / "profile.ini") << text; }
  void profile_on(const std::string& section, const std::string& extra) {
    profile("[" + section + "]\nProfile=1\nTraceFile=" + log() + "\n" + extra);
  }
  static std::string read(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
  }
  // One record GROUP whose members lie one after the other.
  void declare(std::vector<FieldDescriptor> members) {
    f_.fields = {fd(FieldType::GROUP, 0, "REC")};
    fcb_.field_table = {{FieldType::GROUP, 0, 0, 1, -1}};
    std::uint32_t offset = 0;
    for (const auto& d : members) {
      f_.fields.push_back(d);
      fcb_.field_table.push_back({d.type, offset, d.size, 1, 0});
      offset += d.size;
    }
    record_.assign(offset, 0);
    fcb_.record = record_.data();
    fcb_.record_length = offset;
  }
  void setup(Driver& d, const char* name = "data.txt") {
    f_.driver = &d;
    f_.name = fcb_.name = name;
    fcb_.options = f_.options.value();
    fcb_.attributes = f_.attributes;
    read_trace_settings(f_, fcb_);
  }
  void trace(Op op, std::int32_t code = 0, std::uint64_t hundredths = 0, const KeyDescriptor* key = nullptr) {
    trace_operation(f_, fcb_, op, key, code, hundredths);
  }
  std::string t() const { return std::to_string(current_thread_number()); }

  fs::path dir_;
  FileDescriptor f_;
  FileControlBlock fcb_;
  std::vector<std::uint8_t> record_;
  FakeDriver ascii_{"ASCII", false};
  FakeDriver kestrel_{"KESTREL", true};
};

TEST_F(TraceTest, ProfileOffWritesNothingAndTheDefaultFileIsNamedAfterTheDriver) {
  profile("[OVASCII]\nProfile=0\nDetails=1\nTraceFile=" + log() + "\n[OVKESTREL]\nProfile=1\n");
  setup(ascii_);
  EXPECT_FALSE(fcb_.trace.on || fcb_.trace.details);
  trace(Op::OPEN);
  EXPECT_FALSE(fs::exists(log()));
  setup(kestrel_);
  EXPECT_TRUE(fcb_.trace.on);
  EXPECT_EQ(fcb_.trace.file_name, "KESTREL.LOG");
}

TEST_F(TraceTest, EncryptedFileGetsDetailsOnlyWithAllowDetails) {
  profile_on("OVASCII", "Details=1\n");
  f_.attributes = attr::ENCRYPT;
  for (const auto& [options, allowed] : std::vector<std::pair<const char*, bool>>{
           {"", false}, {"/FOO/allowDetails", true}, {"/ALLOWDETAILSX", false}, {"ALLOWDETAILS", false}}) {
    f_.options = options;
    setup(ascii_);
    EXPECT_EQ(fcb_.trace.details, allowed) << options;
    // A property must not open what the declaration keeps shut.
    EXPECT_TRUE(set_trace_property(f_, fcb_, "details", "1"));
    EXPECT_EQ(fcb_.trace.details, allowed) << options;
  }
  declare({fd(FieldType::STRING, 4, "R:S")});
  trace(Op::NEXT, 0, 1);
  EXPECT_EQ(read(log()), "NEXT(data.txt " + t() + ")  Time Taken: 0.01 secs\r\n");
}

TEST_F(TraceTest, LineShowsOperationKeyOutcomeAndTimeWithoutTouchingTheErrorState) {
  profile_on("OVASCII", "");
  setup(ascii_, "a.txt");
  KeyDescriptor key;
  key.label = "TRA:KEY";
  key.number = 2;
  setDriverError("E7", "disk on fire");
  post(33, &f_);
  const ErrorState before = error_state();

  trace(Op::OPEN, 0, 123);
  trace(Op::SETkeykey, 0, 4567, &key);
  trace(Op::GETfilekey, 35);
  trace(Op::PUT, 90, 100);
  trace(Op::Internal87);
  EXPECT_TRUE(set_trace_property(f_, fcb_, "LOG", "marker"));
  fcb_.name.clear();
  trace(Op::CLOSE);

  EXPECT_EQ(read(log()), "OPEN(a.txt " + t() + ")     Time Taken: 1.23 secs\r\n" +
                             "SETkeykey(a.txt,TRA:KEY[2] " + t() + ") Time Taken: 45.67 secs\r\n" +
                             "GETfilekey(a.txt " + t() + ") Error: Record Not Found Time Taken: 0.00 secs\r\n" +
                             "PUT(a.txt " + t() + ")      File Error: disk on fire Time Taken: 1.00 secs\r\n" +
                             "marker\r\n");
  EXPECT_EQ(error_state().code, before.code);
  EXPECT_EQ(error_state().text, before.text);
  EXPECT_EQ(error_state().driver_text, before.driver_text);
}

TEST_F(TraceTest, DeclarationIsDumpedOncePerTraceFileWithoutTheOwner) {
  profile_on("OVKESTREL", "Details=1\n");
  f_.label = "People";
  f_.options = "/X=1";
  f_.owner = "s3cret";
  f_.attributes = attr::CREATE | attr::RECLAIM;
  f_.fields = {fd(FieldType::GROUP, 0, "PEO:RECORD"), fd(FieldType::LONG, 4, "PEO:ID"),
               fd(FieldType::STRING, 20, "PEO:NAME"),  fd(FieldType::CSTRING, 11, "PEO:CODE"),
               fd(FieldType::GROUP, 6, "PEO:ADDR"),    fd(FieldType::BYTE, 1, "PEO:FLAGS"),
               fd(FieldType::END, 0, ""),              fd(FieldType::SHORT, 2, "PEO:ALT"),
               fd(FieldType::END, 0, "")};
  f_.fields[2].declared_length = 20;
  f_.fields[3].picture = "s10";
  f_.fields[5].dims = {2, 3};
  f_.fields[7].over = 1;
  f_.keys.resize(2);
  f_.keys[0].label = "PEO:KEYID";
  f_.keys[0].components = {{1, false}};
  f_.keys[0].flags = key_flag::PRIMARY;
  f_.keys[1].label = "PEO:NAMEKEY";
  f_.keys[1].components = {{2, true}, {1, false}};
  f_.keys[1].flags = key_flag::DUP | key_flag::NOCASE;
  f_.keys[1].name = "NK";
  f_.memos.resize(1);
  f_.memos[0].blob = f_.memos[0].binary = true;
  f_.memos[0].label = "PEO:PIC";
  setup(kestrel_, "people.ksf");
  fcb_.owner = "s3cret";

  trace(Op::OPEN);
  trace(Op::CLOSE);
  EXPECT_EQ(read(log()),
            "People      FILE,DRIVER(KESTREL,'/X=1'),OWNER(******),NAME('people.ksf'),CREATE,RECLAIM\r\n"
            "PEO:KEYID   KEY(+PEO:ID),PRIMARY\r\n"
            "PEO:NAMEKEY KEY(-PEO:NAME,+PEO:ID),DUP,NOCASE,NAME(NK)\r\n"
            "PEO:PIC     BLOB,BINARY\r\n"
            "PEO:RECORD  RECORD\r\n"
            "PEO:ID      LONG\r\n"
            "PEO:NAME    STRING(20)\r\n"
            "PEO:CODE    CSTRING(@s10)\r\n"
            "PEO:ADDR    GROUP\r\n"
            "PEO:FLAGS   BYTE, DIM(2,3)\r\n"
            "            END\r\n"
            "PEO:ALT     SHORT, OVER(PEO:ID)\r\n"
            "            END\r\n"
            "            END\r\n\r\n"
            "OPEN(people.ksf " + t() + ") Time Taken: 0.00 secs\r\n" +
            "CLOSE(people.ksf " + t() + ") Time Taken: 0.00 secs\r\n");

  // A new trace file gets the declaration again, naming the same one does not.
  const std::string other = (dir_ / "u.log").string();
  EXPECT_TRUE(set_trace_property(f_, fcb_, "TraceFile", other));
  trace(Op::OPEN);
  EXPECT_TRUE(set_trace_property(f_, fcb_, "tracefile", other));
  trace(Op::CLOSE);
  const std::string again = read(other);
  EXPECT_EQ(again.find("FILE,DRIVER"), again.rfind("FILE,DRIVER"));
  EXPECT_EQ(again.find("s3cret"), std::string::npos);

  EXPECT_TRUE(set_trace_property(f_, fcb_, "TraceFile", ""));
  std::string value = "x";
  EXPECT_TRUE(get_trace_property(fcb_, "TraceFile", &value));
  EXPECT_EQ(value, "");
}

TEST_F(TraceTest, RecordDumpShowsMemosAndFieldsByType) {
  profile_on("OVKESTREL", "Details=1\n");
  declare({fd(FieldType::SHORT, 2, "R:S"), fd(FieldType::DECIMAL, 3, "R:D"), fd(FieldType::PDECIMAL, 3, "R:PD"),
           fd(FieldType::BFLOAT8, 8, "R:BF"), fd(FieldType::CSTRING, 6, "R:CS"),
           fd(FieldType::PSTRING, 6, "R:PS"), fd(FieldType::DATE, 4, "R:DT"), fd(FieldType::DATE, 4, "R:BAD"),
           fd(FieldType::TIME, 4, "R:T"), fd(FieldType::BYTE, 1, "R:A")});
  f_.fields[2].places = f_.fields[3].places = 2;
  fcb_.field_table.back().elements = 3;  // R:A, DIM(3)
  record_.resize(record_.size() + 2);
  fcb_.record = record_.data();
  fcb_.record_length = static_cast<std::uint32_t>(record_.size());
  std::memcpy(record_.data(),
              "\xFE\xFF" "\xF1\x23\x45" "\x00\x12\x3C" "\0\0\0\0\0\0\xC0\x81" "xy\0zz\0"
              "\x03" "abcde" "\x05\x03\xE8\x07" "\x00\x03\xE8\x07" "\x07\x09\x05\x0D" "\x01\x02\x03", 43);
  const std::string text = "Hello, world!\x01\x7F~ab";
  f_.memos.resize(2);
  f_.memos[0].buffer.assign(text.begin(), text.end());
  f_.memos[0].buffer.resize(40, ' ');  // trailing blanks are no content
  f_.memos[1].buffer.assign(10, ' ');
  setup(kestrel_);
  fcb_.trace.declaration_dumped = true;

  trace(Op::GETfileptr);
  EXPECT_EQ(read(log()), "GETfileptr(data.txt " + t() + ") Time Taken: 0.00 secs\r\n" +
                             "  48 65 6C 6C 6F 2C 20 77 6F 72 6C 64 21 01 7F 7E  | Hello, world!..~\r\n"
                             "  61 62" + std::string(44, ' ') + "| ab\r\n\r\n" +
                             "  R:S               : -2\r\n"
                             "  R:D               : -123.45\r\n"
                             "  R:PD              : 1.23\r\n"
                             "  R:BF              : -1.500000\r\n"
                             "  R:CS              : 'xy'\r\n"
                             "  R:PS              : 'abc'\r\n"
                             "  R:DT              : 05 Mar 2024 (132645637)\r\n"
                             "  R:BAD             : Invalid date (132645632)\r\n"
                             "  R:T               : 13:05:09.07 (218433799)\r\n"
                             "  R:A[1]            : 01H\r\n"
                             "  R:A[2]            : 02H\r\n"
                             "  R:A[3]            : 03H\r\n\r\n");
}

TEST_F(TraceTest, ErrorTextIsWrittenAsWorded) {
  profile_on("OVASCII", "");
  setup(ascii_);
  trace(Op::OPEN, 78);
  trace(Op::NEXT, 350);
  EXPECT_EQ(read(log()), "OPEN(data.txt " + t() + ")  Error: Invalid Number Of Parameters  Time Taken: 0.00 secs\r\n" +
                             "NEXT(data.txt " + t() + ")  Error: Not Supported  Time Taken: 0.00 secs\r\n");
}

TEST_F(TraceTest, TwoProcessesTracingIntoOneFileKeepEveryLineWhole) {
  // Each operation writes its line and its record dump; neither may be lost,
  // torn or split from the other, however the two programs interleave.
  constexpr int kLines = 3000;
  profile_on("OVASCII", "Details=1\n");
  declare({fd(FieldType::STRING, 12, "R:S")});
  setup(ascii_);
  fcb_.trace.declaration_dumped = true;
  // Both start together: the parent lets them go once both are forked.
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(start[1]);
      char go = 0;
      if (::read(start[0], &go, 1) != 1) ::_exit(2);
      for (int n = 0; n < kLines; ++n) {
        std::string value = "w" + std::to_string(writer) + "n" + std::to_string(n);
        value.resize(record_.size(), '\0');
        std::memcpy(record_.data(), value.data(), value.size());
        trace(Op::NEXT, n % 7 == 0 ? 33 : 0);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(start[0]);
  ASSERT_EQ(::write(start[1], "gg", 2), 2);
  ::close(start[1]);
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::vector<std::string> lines;
  const std::string text = read(log());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "unterminated: " << text.substr(at);
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  std::vector<int> seen(2 * kLines, 0);
  const std::string head = "NEXT(data.txt " + t() + ")  ";
  ASSERT_EQ(lines.size() % 3, 0u);
  for (std::size_t i = 0; i < lines.size(); i += 3) {
    ASSERT_EQ(lines[i].rfind(head, 0), 0u) << lines[i];
    ASSERT_EQ(lines[i + 1].rfind("  R:S               : 'w", 0), 0u) << lines[i + 1];
    ASSERT_EQ(lines[i + 2], "");
    const int writer = lines[i + 1][24] - '0';
    const int n = std::atoi(lines[i + 1].c_str() + 26);
    ASSERT_TRUE((writer == 0 || writer == 1) && n >= 0 && n < kLines) << lines[i + 1];
    EXPECT_EQ(lines[i + 1], "  R:S               : 'w" + std::to_string(writer) + "n" + std::to_string(n) + "'");
    EXPECT_EQ(lines[i].find("Error: Record Not Available") != std::string::npos, n % 7 == 0) << lines[i];
    ++seen[static_cast<std::size_t>(writer * kLines + n)];
  }
  EXPECT_EQ(lines.size(), 3u * 2 * kLines);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 2 * kLines);
}

TEST_F(TraceTest, DispatchTracesTheOperation) {
  profile_on("OVASCII", "");
  f_.driver = &ascii_;
  f_.name = "in.txt";
  f_.fields = {fd(FieldType::GROUP, 4, "REC"), fd(FieldType::STRING, 4, "R:S"), fd(FieldType::END, 0, "")};
  std::uint8_t buffer[4] = {};
  f_.record = buffer;
  f_.record_length = 4;
  Operands ops;
  ops.number = 0x42;
  dispatch(f_, Op::OPEN, ops);
  ASSERT_EQ(ERRORCODE(), 0);
  const std::string trace = read(log());
  EXPECT_EQ(trace.rfind("OPEN(in.txt " + t() + ")    Time Taken: ", 0), 0u) << trace;
  EXPECT_EQ(trace.substr(trace.size() - 7), " secs\r\n");
}

}  // namespace
