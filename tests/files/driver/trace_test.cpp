#include "files/driver/trace.h"

#include <gtest/gtest.h>

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
      : descriptor_(make_driver_descriptor(name, "", "", "", {7, 16, 25}, {1, 2, 3, 4, 5, 6, 18, 22})),
        keys_(keys) {}
  const DriverDescriptor& descriptor() const override { return descriptor_; }
  bool supports_keys() const override { return keys_; }
  std::int32_t perform(Op, FileDescriptor&, FileControlBlock&, Operands&, std::int32_t* result) override {
    *result = 0;
    return 0;
  }
  std::int32_t apply_option(FileControlBlock&, std::string_view, std::string*) override { return 0; }

 private:
  DriverDescriptor descriptor_;
  bool keys_;
};

struct Field {
  FieldType type;
  const char* label;
  std::uint32_t size;
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
  void profile(const std::string& section, const std::string& extra) {
    std::ofstream(dir_ / "profile.ini") << "[" << section << "]\nProfile=1\nTraceFile=" << log() << "\n" << extra;
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Members laid out one after the other inside one record GROUP.
  void declare(FileDescriptor& f, FileControlBlock& fcb, std::vector<Field> fields) {
    f.fields.push_back(fd(FieldType::GROUP, 0, "REC"));
    fcb.field_table.push_back({FieldType::GROUP, 0, 0, 1, -1});
    std::uint32_t offset = 0;
    for (const auto& d : fields) {
      f.fields.push_back(fd(d.type, d.size, d.label));
      fcb.field_table.push_back({d.type, offset, d.size, 1, 0});
      offset += d.size;
    }
    f.fields.push_back(fd(FieldType::END, 0, ""));
    fcb.field_table.push_back({FieldType::END, offset, 0, 1, -1});
    record_.assign(offset, 0);
    fcb.record = record_.data();
    fcb.record_length = offset;
  }
  void setup(FileDescriptor& f, FileControlBlock& fcb, Driver& d, const char* name = "data.txt") {
    f.driver = &d;
    f.name = name;
    fcb.name = name;
    fcb.options = f.options.value();
    fcb.attributes = f.attributes;
    read_trace_settings(f, fcb);
  }
  std::string thread() const { return std::to_string(current_thread_number()); }

  fs::path dir_;
  std::vector<std::uint8_t> record_;
  FakeDriver ascii_{"ASCII", false};
  FakeDriver kestrel_{"KESTREL", true};
};

TEST_F(TraceTest, SettingsFollowTheDriversProfileSection) {
  FileDescriptor f;
  FileControlBlock fcb;
  std::ofstream(dir_ / "profile.ini") << "[OVASCII]\nProfile=0\nDetails=1\nTraceFile=" << log()
                                      << "\n[OVKESTREL]\nProfile=1\n";
  setup(f, fcb, ascii_);
  EXPECT_FALSE(fcb.trace.on);
  EXPECT_FALSE(fcb.trace.details);
  trace_operation(f, fcb, Op::OPEN, nullptr, 0, 5);
  EXPECT_FALSE(fs::exists(log()));

  setup(f, fcb, kestrel_);
  EXPECT_TRUE(fcb.trace.on);
  EXPECT_EQ(fcb.trace.file_name, "KESTREL.LOG");
  EXPECT_FALSE(fcb.trace.details);
}

TEST_F(TraceTest, EncryptedFileGetsDetailsOnlyWithAllowDetails) {
  profile("OVASCII", "Details=1\n");
  for (const auto& [options, allowed] : std::vector<std::pair<std::string, bool>>{
           {"", false}, {"/FOO/allowDetails", true}, {"/ALLOWDETAILSX", false}, {"ALLOWDETAILS", false}}) {
    FileDescriptor f;
    FileControlBlock fcb;
    f.options = options;
    f.attributes = attr::ENCRYPT;
    setup(f, fcb, ascii_);
    EXPECT_EQ(fcb.trace.details, allowed) << options;
    // A property must not open what the declaration keeps shut.
    EXPECT_TRUE(set_trace_property(f, fcb, "details", "1"));
    EXPECT_EQ(fcb.trace.details, allowed) << options;
  }

  FileDescriptor f;
  FileControlBlock fcb;
  f.attributes = attr::ENCRYPT;
  declare(f, fcb, {{FieldType::STRING, "R:S", 4}});
  setup(f, fcb, ascii_);
  std::memcpy(record_.data(), "abcd", 4);
  trace_operation(f, fcb, Op::NEXT, nullptr, 0, 1);
  EXPECT_EQ(read(log()), "NEXT(data.txt " + thread() + ")  Time Taken: 0.01 secs\r\n");
}

TEST_F(TraceTest, LineShowsOperationKeyOutcomeAndTime) {
  profile("OVASCII", "");
  FileDescriptor f;
  FileControlBlock fcb;
  setup(f, fcb, ascii_, "a.txt");
  KeyDescriptor key;
  key.label = "TRA:KEY";
  key.number = 2;

  trace_operation(f, fcb, Op::OPEN, nullptr, 0, 123);
  trace_operation(f, fcb, Op::SETkeykey, &key, 0, 4567);
  trace_operation(f, fcb, Op::GETfilekey, nullptr, 35, 0);
  setDriverError("E7", "disk on fire");
  trace_operation(f, fcb, Op::PUT, nullptr, 90, 100);
  trace_operation(f, fcb, Op::Internal87, nullptr, 0, 1);
  fcb.name.clear();
  trace_operation(f, fcb, Op::CLOSE, nullptr, 0, 1);

  const std::string t = thread();
  EXPECT_EQ(read(log()), "OPEN(a.txt " + t + ")     Time Taken: 1.23 secs\r\n" +
                             "SETkeykey(a.txt,TRA:KEY[2] " + t + ") Time Taken: 45.67 secs\r\n" +
                             "GETfilekey(a.txt " + t + ") Error: Record Not Found Time Taken: 0.00 secs\r\n" +
                             "PUT(a.txt " + t + ")      File Error: disk on fire Time Taken: 1.00 secs\r\n");
}

TEST_F(TraceTest, TracingLeavesTheErrorStateAlone) {
  profile("OVASCII", "Details=1\n");
  FileDescriptor f;
  FileControlBlock fcb;
  declare(f, fcb, {{FieldType::LONG, "R:L", 4}});
  setup(f, fcb, ascii_);
  setDriverError("X1", "driver says no");
  set_system_error(5);
  post(33, &f);
  const ErrorState before = error_state();
  trace_operation(f, fcb, Op::ADD, nullptr, 35, 1);
  EXPECT_TRUE(set_trace_property(f, fcb, "Log", "hello"));
  const ErrorState& after = error_state();
  EXPECT_EQ(after.code, before.code);
  EXPECT_EQ(after.text, before.text);
  EXPECT_EQ(after.file, before.file);
  EXPECT_EQ(after.driver_text, before.driver_text);
  EXPECT_EQ(after.system_error, before.system_error);
}

TEST_F(TraceTest, DeclarationIsDumpedOncePerTraceFileWithoutTheOwner) {
  profile("OVKESTREL", "Details=1\n");
  FileDescriptor f;
  FileControlBlock fcb;
  f.label = "People";
  f.options = "/X=1";
  f.owner = "s3cret";
  f.attributes = attr::CREATE | attr::RECLAIM;
  f.fields = {fd(FieldType::GROUP, 0, "PEO:RECORD"), fd(FieldType::LONG, 4, "PEO:ID"),
              fd(FieldType::STRING, 20, "PEO:NAME"),  fd(FieldType::CSTRING, 11, "PEO:CODE"),
              fd(FieldType::DECIMAL, 4, "PEO:AMOUNT"), fd(FieldType::GROUP, 6, "PEO:ADDR"),
              fd(FieldType::BYTE, 1, "PEO:FLAGS"),    fd(FieldType::END, 0, ""),
              fd(FieldType::SHORT, 2, "PEO:ALT"),     fd(FieldType::END, 0, "")};
  f.fields[2].declared_length = 20;
  f.fields[3].picture = "s10";
  f.fields[4].digits = 7;
  f.fields[4].places = 2;
  f.fields[6].dims = {2, 3};
  f.fields[8].over = 1;
  f.keys.resize(2);
  f.keys[0].label = "PEO:KEYID";
  f.keys[0].components = {{1, false}};
  f.keys[0].flags = key_flag::PRIMARY;
  f.keys[1].label = "PEO:NAMEKEY";
  f.keys[1].components = {{2, true}, {1, false}};
  f.keys[1].flags = key_flag::DUP | key_flag::NOCASE;
  f.keys[1].name = "NK";
  f.link_keys();
  f.memos.resize(2);
  f.memos[0].size = 100;
  f.memos[0].label = "PEO:NOTES";
  f.memos[1].blob = f.memos[1].binary = true;
  f.memos[1].label = "PEO:PIC";
  setup(f, fcb, kestrel_, "people.ksf");
  fcb.owner = "s3cret";

  trace_operation(f, fcb, Op::OPEN, nullptr, 0, 0);
  trace_operation(f, fcb, Op::CLOSE, nullptr, 0, 0);
  const std::string t = thread();
  const std::string declaration =
      "People      FILE,DRIVER(KESTREL,'/X=1'),OWNER(******),NAME('people.ksf'),CREATE,RECLAIM\r\n"
      "PEO:KEYID   KEY(+PEO:ID),PRIMARY\r\n"
      "PEO:NAMEKEY KEY(-PEO:NAME,+PEO:ID),DUP,NOCASE,NAME(NK)\r\n"
      "PEO:NOTES   MEMO(100)\r\n"
      "PEO:PIC     BLOB,BINARY\r\n"
      "PEO:RECORD  RECORD\r\n"
      "PEO:ID      LONG\r\n"
      "PEO:NAME    STRING(20)\r\n"
      "PEO:CODE    CSTRING(@s10)\r\n"
      "PEO:AMOUNT  DECIMAL(7,2)\r\n"
      "PEO:ADDR    GROUP\r\n"
      "PEO:FLAGS   BYTE, DIM(2,3)\r\n"
      "            END\r\n"
      "PEO:ALT     SHORT, OVER(PEO:ID)\r\n"
      "            END\r\n"
      "            END\r\n\r\n";
  const std::string lines = "OPEN(people.ksf " + t + ") Time Taken: 0.00 secs\r\n" + "CLOSE(people.ksf " + t +
                            ") Time Taken: 0.00 secs\r\n";
  EXPECT_EQ(read(log()), declaration + lines);

  // A new trace file gets the declaration again; the same name does not.
  const std::string other = (dir_ / "u.log").string();
  EXPECT_TRUE(set_trace_property(f, fcb, "TRACEFILE", other));
  trace_operation(f, fcb, Op::OPEN, nullptr, 0, 0);
  EXPECT_TRUE(set_trace_property(f, fcb, "TraceFile", other));
  trace_operation(f, fcb, Op::CLOSE, nullptr, 0, 0);
  EXPECT_EQ(read(other), declaration + lines);
  EXPECT_EQ(read(log()).find("s3cret"), std::string::npos);
}

TEST_F(TraceTest, RecordDumpWritesEveryFieldByType) {
  profile("OVASCII", "Details=1\n");
  FileDescriptor f;
  FileControlBlock fcb;
  declare(f, fcb,
          {{FieldType::BYTE, "R:B", 1},      {FieldType::SHORT, "R:S", 2},    {FieldType::USHORT, "R:US", 2},
           {FieldType::LONG, "R:L", 4},      {FieldType::ULONG, "R:UL", 4},   {FieldType::SREAL, "R:SR", 4},
           {FieldType::REAL, "R:R", 8},      {FieldType::DECIMAL, "R:D", 3},  {FieldType::PDECIMAL, "R:PD", 3},
           {FieldType::DECIMAL, "R:XD", 2},  {FieldType::BFLOAT8, "R:BF", 8}, {FieldType::STRING, "R:STR", 5},
           {FieldType::CSTRING, "R:CS", 6},  {FieldType::PSTRING, "R:PS", 6}, {FieldType::DATE, "R:DT", 4},
           {FieldType::DATE, "R:BAD", 4},    {FieldType::TIME, "R:T", 4},     {FieldType::TIME, "R:BT", 4},
           {FieldType::BYTE, "R:A", 1}});
  f.fields[8].places = 2;
  f.fields[9].places = 2;
  fcb.field_table[19].elements = 3;  // R:A, DIM(3), ends the record
  record_.resize(record_.size() + 2);
  fcb.record = record_.data();
  fcb.record_length = static_cast<std::uint32_t>(record_.size());
  const std::int16_t s = -2;
  const std::int32_t l = -100000;
  const std::uint32_t ul = 4000000000u;
  const float sr = 1.5f;
  const double r = -2.25;
  std::uint8_t* p = record_.data();
  p[0] = 0x0A;
  std::memcpy(p + 1, &s, 2);
  std::memset(p + 3, 0xFF, 2);
  std::memcpy(p + 5, &l, 4);
  std::memcpy(p + 9, &ul, 4);
  std::memcpy(p + 13, &sr, 4);
  std::memcpy(p + 17, &r, 8);
  std::memcpy(p + 25, "\xF1\x23\x45" "\x00\x12\x3C" "\x1A\x00", 8);
  std::memcpy(p + 33, "\0\0\0\0\0\0\xC0\x81" "ab   " "xy\0zz\0" "\x03" "abcde", 25);
  std::memcpy(p + 58, "\x05\x03\xE8\x07" "\x00\x03\xE8\x07" "\x07\x09\x05\x0D" "\x00\x00\x00\x18" "\x01\x02\x03", 19);
  setup(f, fcb, ascii_);
  fcb.trace.declaration_dumped = true;

  trace_operation(f, fcb, Op::GETfileptr, nullptr, 0, 0);
  const std::string want = "GETfileptr(data.txt " + thread() + ") Time Taken: 0.00 secs\r\n" +
                           "  R:B               : 0AH\r\n"
                           "  R:S               : -2\r\n"
                           "  R:US              : 65535\r\n"
                           "  R:L               : -100000\r\n"
                           "  R:UL              : 4000000000\r\n"
                           "  R:SR              : 1.500000\r\n"
                           "  R:R               : -2.250000\r\n"
                           "  R:D               : -123.45\r\n"
                           "  R:PD              : 1.23\r\n"
                           "  R:XD              : Invalid decimal (1A 00)\r\n"
                           "  R:BF              : -1.500000\r\n"
                           "  R:STR             : 'ab   '\r\n"
                           "  R:CS              : 'xy'\r\n"
                           "  R:PS              : 'abc'\r\n"
                           "  R:DT              : 05 Mar 2024 (132645637)\r\n"
                           "  R:BAD             : Invalid date (132645632)\r\n"
                           "  R:T               : 13:05:09.07 (218433799)\r\n"
                           "  R:BT              : Invalid time (402653184)\r\n"
                           "  R:A[1]            : 01H\r\n"
                           "  R:A[2]            : 02H\r\n"
                           "  R:A[3]            : 03H\r\n"
                           "\r\n";
  EXPECT_EQ(read(log()), want);
}

TEST_F(TraceTest, MemosWithContentAreHexDumped) {
  profile("OVKESTREL", "Details=1\n");
  FileDescriptor f;
  FileControlBlock fcb;
  declare(f, fcb, {{FieldType::LONG, "R:L", 4}});
  f.memos.resize(3);
  const std::string text = "Hello, world!\x01\x7F~ab";
  f.memos[0].buffer.assign(text.begin(), text.end());
  f.memos[0].buffer.resize(40, ' ');        // trailing blanks are no content
  f.memos[1].buffer.assign(10, ' ');        // nothing to show
  f.memos[2].binary = true;
  f.memos[2].buffer = {' ', 0, 0};          // a blank counts in a BINARY memo
  setup(f, fcb, kestrel_);
  fcb.trace.declaration_dumped = true;
  KeyDescriptor key;
  key.label = "K";
  key.number = 1;
  key.components = {{1, false}};

  trace_operation(f, fcb, Op::ADD, nullptr, 0, 0);
  trace_operation(f, fcb, Op::SETkeykeyptr, &key, 0, 0);
  const std::string t = thread();
  EXPECT_EQ(read(log()),
            "ADD(data.txt " + t + ")   Time Taken: 0.00 secs\r\n" +
                "  48 65 6C 6C 6F 2C 20 77 6F 72 6C 64 21 01 7F 7E  | Hello, world!..~\r\n"
                "  61 62" + std::string(44, ' ') + "| ab\r\n\r\n" +
                "  20" + std::string(47, ' ') + "|  \r\n\r\n" +
                "  R:L               : 0\r\n\r\n" +
                "SETkeykeyptr(data.txt,K[1] " + t + ") Time Taken: 0.00 secs\r\n" +
                "  R:L               : 0\r\n\r\n");
}

TEST_F(TraceTest, PropertiesSwitchTracing) {
  profile("OVASCII", "");
  FileDescriptor f;
  FileControlBlock fcb;
  setup(f, fcb, ascii_);
  std::string value;
  EXPECT_TRUE(get_trace_property(fcb, "tracefile", &value));
  EXPECT_EQ(value, log());
  EXPECT_TRUE(set_trace_property(f, fcb, "Log", "marker"));
  EXPECT_TRUE(set_trace_property(f, fcb, "TraceFile", ""));
  EXPECT_TRUE(get_trace_property(fcb, "TraceFile", &value));
  EXPECT_EQ(value, "");
  trace_operation(f, fcb, Op::OPEN, nullptr, 0, 0);
  EXPECT_TRUE(set_trace_property(f, fcb, "Log", "lost"));
  EXPECT_EQ(read(log()), "marker\r\n");
  EXPECT_FALSE(set_trace_property(f, fcb, "Colour", "1"));
  EXPECT_FALSE(get_trace_property(fcb, "Colour", &value));
}

TEST_F(TraceTest, DispatchTracesTheOperation) {
  profile("OVASCII", "");
  FileDescriptor f;
  f.driver = &ascii_;
  f.name = "in.txt";
  f.fields = {fd(FieldType::GROUP, 4, "REC"), fd(FieldType::STRING, 4, "R:S"), fd(FieldType::END, 0, "")};
  std::uint8_t buffer[4] = {};
  f.record = buffer;
  f.record_length = 4;
  Operands ops;
  ops.number = 0x42;
  dispatch(f, Op::OPEN, ops);
  ASSERT_EQ(ERRORCODE(), 0);
  const std::string trace = read(log());
  EXPECT_EQ(trace.rfind("OPEN(in.txt " + thread() + ")    Time Taken: ", 0), 0u) << trace;
  EXPECT_EQ(trace.substr(trace.size() - 7), " secs\r\n");
}

}  // namespace
