// Arbitrary bytes as a text file, read and written through the text-line
// driver with an option text and SEND texts taken from the input.
//
// Input layout: record length (2 bytes), a switch byte, the option text and
// up to three SEND texts (each a length byte and that many bytes), then the
// file's contents. Everything runs on an in-memory Env.
//
// Beyond "no crash", it checks what every read must keep: records follow
// each other without gaps or overlaps, and none is empty of file bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/textline/textline_driver.h"
#include "platform/memory_env.h"

namespace {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string text() {
    const std::size_t n = std::min<std::size_t>(byte(), size_ - at_);
    std::string t(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return t;
  }
  std::string rest() {
    std::string t(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
    at_ = size_;
    return t;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

struct Declared {
  Declared(std::uint32_t length, std::uint32_t attributes, std::string options) : record(length, ' ') {
    using namespace files;
    fd.driver = &ascii_driver();
    fd.name = TextSource("/data/in.txt");
    fd.options = TextSource(std::move(options));
    fd.attributes = attributes;
    fd.record = reinterpret_cast<std::uint8_t*>(record.data());
    fd.record_length = length;
    FieldDescriptor group;
    group.type = FieldType::GROUP;
    group.size = length;
    FieldDescriptor line;
    line.type = FieldType::STRING;
    line.size = length;
    FieldDescriptor end;
    end.type = FieldType::END;
    fd.fields = {group, line, end};
  }
  std::string record;
  files::FileDescriptor fd;
};

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Reads from the start to the end; every record must start where the one
// before it ended.
void read_everything(files::FileDescriptor& fd, std::size_t limit) {
  files::set(fd);
  std::int64_t expected = 1;
  for (std::size_t i = 0; i <= limit; ++i) {
    files::next(fd);
    if (files::ERRORCODE() != 0) return;
    const std::int32_t at = files::pointer(fd);
    const std::int32_t span = files::bytes(fd);
    check(at == expected);
    check(span >= 1);
    expected = static_cast<std::int64_t>(at) + span;
    if (i % 7 == 3) {
      const std::string where = files::position(fd);
      check(where.size() == 4);
      files::eof(fd);
      files::reget(fd, where);
      check(files::ERRORCODE() == 0 && files::pointer(fd) == at);
    }
  }
  check(false);  // more records than bytes: a read consumed nothing
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No trace: the profile is a file that does not exist.
  setenv("MARKFIT_PROFILE", "/nonexistent/markfit-fuzz-profile.ini", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint32_t length = (in.byte() | (std::uint32_t{in.byte()} << 8)) % 1500;
  const std::uint8_t switches = in.byte();
  std::string options = in.text();
  std::vector<std::string> sends;
  for (int i = switches % 4; i > 0; --i) sends.push_back(in.text());
  const std::string contents = in.rest();

  platform::MemoryEnv env;
  if (!env.make_directory("/data").ok() || !env.write_file("/data/in.txt", contents).ok()) return 0;
  files::set_textline_env(&env);
  {
    static constexpr std::uint32_t kModes[] = {0x22, 0x42, 0x40, 0x12, 0x20, 0x02, 0x32, 0x00};
    const std::uint32_t attributes = files::attr::CREATE | ((switches & 0x10) ? files::attr::OEM : 0u);
    Declared f(length, attributes, options);
    files::open(f.fd, kModes[(switches >> 5) & 7]);
    if (files::ERRORCODE() == 0) {
      for (const std::string& s : sends) files::send(f.fd, s);
      read_everything(f.fd, contents.size());
      for (std::uint32_t p : {0u, 1u, 2u, static_cast<std::uint32_t>(contents.size()),
                              static_cast<std::uint32_t>(contents.size() / 2 + 1), 0xFFFFFFFFu}) {
        files::get(f.fd, p);
        files::get(f.fd, p, length / 2);
      }
      if (switches & 0x4) {
        // Write some of the contents back as lines, then read it all again.
        f.record.assign(f.record.size(), ' ');
        f.record.replace(0, std::min(contents.size(), f.record.size()), contents.substr(0, f.record.size()));
        files::add(f.fd);
        files::put(f.fd);
        files::put(f.fd, static_cast<std::uint32_t>(contents.size() / 3 + 1), length / 3);
        files::add(f.fd, length / 2);
        if (switches & 0x8) files::put(f.fd, static_cast<std::uint32_t>(contents.size() / 2), 0u);
        files::flush(f.fd);
        read_everything(f.fd, contents.size() + 4 * (length + 256));
      }
      files::close(f.fd);
    }
  }
  files::set_textline_env(nullptr);
  return 0;
}
