// Shared set-up of the keyed driver's tests: files declared field by field
// as a program declares them, an in-memory file system per test, and small
// helpers for record values.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/driver.h"
#include "files/kestrel/transaction.h"
#include "platform/memory_env.h"
#include "tests/platform/temp_dir.h"

namespace files::kestrel_test {

// FILE,DRIVER('KESTREL') with a RECORD built by field(), keys by key() and
// memos by memo(); finish() closes the record.
class Declared {
 public:
  explicit Declared(std::string name, std::uint32_t attributes = attr::CREATE) {
    fd.driver = &kestrel_driver();
    fd.name = TextSource(std::move(name));
    fd.attributes = attributes;
    fd.label = "Test";
    FieldDescriptor record;
    record.type = FieldType::GROUP;
    record.label = "TST:RECORD";
    fd.fields.push_back(record);
  }

  int field(FieldType type, std::uint32_t size, std::string label, std::uint8_t digits = 0,
            std::uint8_t places = 0) {
    FieldDescriptor f;
    f.type = type;
    f.size = size;
    f.label = std::move(label);
    if (is_string_type(type)) f.declared_length = size;
    f.digits = digits;
    f.places = places;
    fd.fields.push_back(f);
    offsets.push_back(offset_);
    offset_ += size;
    return static_cast<int>(fd.fields.size() - 1);
  }

  int key(std::string label, std::vector<KeyComponent> components, std::uint32_t flags = 0) {
    KeyDescriptor k;
    k.label = std::move(label);
    k.components = std::move(components);
    k.flags = flags;
    fd.keys.push_back(std::move(k));
    return static_cast<int>(fd.keys.size() - 1);
  }

  void memo(std::string label, std::uint32_t size, bool blob = false) {
    MemoDescriptor m;
    m.label = std::move(label);
    m.size = size;
    m.blob = blob;
    fd.memos.push_back(std::move(m));
  }

  void finish() {
    fd.fields[0].size = offset_;
    FieldDescriptor end;
    end.type = FieldType::END;
    fd.fields.push_back(end);
    buffer.assign(offset_, ' ');
    fd.record = buffer.data();
    fd.record_length = offset_;
    fd.link_keys();
  }

  KeyDescriptor& k(int index) { return fd.keys[static_cast<std::size_t>(index)]; }

  // Field values in the record buffer (fields are numbered as field() gave them).
  std::uint8_t* at(int f) { return buffer.data() + offsets[static_cast<std::size_t>(f - 1)]; }
  std::uint32_t size(int f) const { return fd.fields[static_cast<std::size_t>(f)].size; }
  void set_long(int f, std::int32_t v) { std::memcpy(at(f), &v, 4); }
  std::int32_t get_long(int f) {
    std::int32_t v = 0;
    std::memcpy(&v, at(f), 4);
    return v;
  }
  void set_string(int f, std::string_view s) {
    std::memset(at(f), ' ', size(f));
    std::memcpy(at(f), s.data(), std::min<std::size_t>(s.size(), size(f)));
  }
  std::string get_string(int f) {
    std::string s(reinterpret_cast<const char*>(at(f)), size(f));
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
  }
  void set_cstring(int f, std::string_view s) {
    std::memset(at(f), 0, size(f));
    std::memcpy(at(f), s.data(), std::min<std::size_t>(s.size(), size(f) - 1));
  }
  std::string get_cstring(int f) { return std::string(reinterpret_cast<const char*>(at(f))); }
  // CLEAR: strings blank, everything else zero.
  void clear() {
    std::memset(buffer.data(), 0, buffer.size());
    for (std::size_t i = 1; i + 1 < fd.fields.size(); ++i) {
      if (fd.fields[i].type == FieldType::STRING) std::memset(at(static_cast<int>(i)), ' ', fd.fields[i].size);
    }
    for (auto& m : fd.memos) m.buffer.clear();
  }
  std::string memo_text(std::size_t m) {
    std::string s(fd.memos[m].buffer.begin(), fd.memos[m].buffer.end());
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
  }
  void set_memo(std::size_t m, std::string_view text) { fd.memos[m].buffer.assign(text.begin(), text.end()); }

  bool is_open() const { return fd.fcb && (fd.fcb->state & state::O); }

  std::vector<std::uint8_t> buffer;
  std::vector<std::uint32_t> offsets;
  FileDescriptor fd;

 private:
  std::uint32_t offset_ = 0;
};

// A small people table: ID LONG (unique), NAME STRING(20) (DUP, NOCASE),
// CITY STRING(10) (DUP, OPT), one text memo.
struct People : Declared {
  explicit People(std::string name, std::uint32_t attributes = attr::CREATE) : Declared(std::move(name), attributes) {
    id = field(FieldType::LONG, 4, "PEO:ID");
    name_field = field(FieldType::STRING, 20, "PEO:NAME");
    city = field(FieldType::STRING, 10, "PEO:CITY");
    by_id = key("PEO:IDKEY", {{id, false}}, key_flag::PRIMARY);
    by_name = key("PEO:NAMEKEY", {{name_field, false}}, key_flag::DUP | key_flag::NOCASE);
    by_city = key("PEO:CITYKEY", {{city, false}}, key_flag::DUP | key_flag::OPT);
    memo("PEO:NOTES", 1000);
    finish();
  }
  void set(std::int32_t i, std::string_view n, std::string_view c = "") {
    set_long(id, i);
    set_string(name_field, n);
    set_string(city, c);
  }
  int id = 0, name_field = 0, city = 0;
  int by_id = 0, by_name = 0, by_city = 0;
};

class KestrelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("MARKFIT_PROFILE", profile_dir_.file("no-profile.ini").c_str(), 1);
    setenv("XDG_CONFIG_HOME", profile_dir_.path().c_str(), 1);
    env_ = std::make_unique<platform::MemoryEnv>();
    ASSERT_TRUE(env_->make_directory("/data").ok());
    ASSERT_TRUE(env_->set_current_directory("/data").ok());
    set_kestrel_env(env_.get());
    kestrel::set_control_file("/data/kestrel.tcf");
    clear_error();
  }
  void TearDown() override {
    set_kestrel_env(nullptr);
    set_kestrel_registry(nullptr);
  }

  // Creates and opens `file` shared (0x42).
  void create_open(Declared& file, std::uint32_t mode = 0x42) {
    create(file.fd);
    ASSERT_EQ(ERRORCODE(), 0) << ERROR();
    open(file.fd, mode);
    ASSERT_EQ(ERRORCODE(), 0) << ERROR();
  }

  std::string bytes_of(const std::string& path) {
    std::string s;
    env_->read_file(path, &s);
    return s;
  }

  platform_test::TempDir profile_dir_;
  std::unique_ptr<platform::MemoryEnv> env_;
};

}  // namespace files::kestrel_test
