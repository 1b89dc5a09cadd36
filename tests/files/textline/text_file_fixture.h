// Shared set-up of the text-line driver tests: a declared text file with a
// one-field record, and a fresh directory per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/textline/textline_driver.h"
#include "tests/platform/temp_dir.h"

namespace files::textline_test {

// A file declared as FILE,DRIVER('ASCII') with RECORD; LINE STRING(n); END.
struct TextFile {
  explicit TextFile(std::string name, std::uint32_t record_length = 20, std::uint32_t attributes = 0,
                    std::string options = {})
      : record(record_length, ' ') {
    fd.driver = &ascii_driver();
    fd.name = TextSource(std::move(name));
    fd.options = TextSource(std::move(options));
    fd.attributes = attributes;
    fd.label = "Text";
    fd.record = reinterpret_cast<std::uint8_t*>(record.data());
    fd.record_length = record_length;
    FieldDescriptor group;
    group.type = FieldType::GROUP;
    group.size = record_length;
    group.label = "TXT:RECORD";
    FieldDescriptor line;
    line.type = FieldType::STRING;
    line.size = record_length;
    line.declared_length = record_length;
    line.label = "TXT:LINE";
    FieldDescriptor end;
    end.type = FieldType::END;
    fd.fields = {group, line, end};
  }

  // The record without its trailing blanks.
  std::string line() const {
    const auto last = record.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : record.substr(0, last + 1);
  }
  void set(std::string_view text) {
    record.assign(record.size(), ' ');
    record.replace(0, std::min(text.size(), record.size()), text.substr(0, record.size()));
  }
  bool is_open() const { return fd.fcb && (fd.fcb->state & state::O); }

  std::string record;
  FileDescriptor fd;
};

class TextLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    // No trace: the profile points at a file that does not exist.
    setenv("MARKFIT_PROFILE", dir_.file("no-profile.ini").c_str(), 1);
    set_textline_env(nullptr);
    clear_error();
  }
  void TearDown() override { set_textline_env(nullptr); }

  std::string path(std::string_view name) const { return dir_.file(name); }

  static void write_bytes(const std::string& p, std::string_view bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  static std::string read_bytes(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Every line NEXT returns from the start, without trailing blanks, until
  // the first failure (whose code is left in ERRORCODE()).
  static std::vector<std::string> read_all(TextFile& f) {
    std::vector<std::string> lines;
    set(f.fd);
    for (;;) {
      next(f.fd);
      if (ERRORCODE() != 0) break;
      lines.push_back(f.line());
    }
    return lines;
  }

  platform_test::TempDir dir_;
};

}  // namespace files::textline_test
