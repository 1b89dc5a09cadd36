// Drives the memory env through the fault wrapper with arbitrary calls and
// checks them against a plain model: file contents, the last synced image
// after a power cut, and lock conflicts byte by byte. Also feeds arbitrary
// bytes to the path normalizer and the errno table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fault_env.h"
#include "platform/memory_env.h"
#include "platform/path.h"
#include "platform/system_error.h"

namespace {

using namespace platform;

constexpr int kFiles = 3;
constexpr std::size_t kLockSpan = 64;

#define CHECK(cond)  \
  do {               \
    if (!(cond)) std::abort(); \
  } while (0)

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
    return v;
  }
  std::string rest() {
    std::string s(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_);
    pos_ = size_;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

void check_normalized(const std::string& base, const std::string& path) {
  std::string out;
  if (!normalize_path(base, path, &out)) {
    CHECK(path.empty() || path.find('\0') != std::string::npos || base.find('\0') != std::string::npos);
    return;
  }
  CHECK(!out.empty() && out.front() == '/');
  CHECK(out == "/" || out.back() != '/');
  CHECK(out.find("//") == std::string::npos);
  CHECK((out + "/").find("/./") == std::string::npos);
  CHECK((out + "/").find("/../") == std::string::npos);
  std::string again;
  CHECK(normalize_path("/elsewhere", out, &again) && again == out);
  CHECK(parent_directory(out).size() <= out.size());
}

struct Model {
  std::string contents;
  std::string durable;
  int held[kFiles][kLockSpan] = {};  // 0 none, 1 shared, 2 exclusive

  bool conflicts(int f, std::uint64_t off, std::uint64_t len, int kind) const {
    for (std::uint64_t b = off; b < off + len; ++b) {
      for (int g = 0; g < kFiles; ++g) {
        if (g != f && held[g][b] != 0 && (kind == 2 || held[g][b] == 2)) return true;
      }
    }
    return false;
  }
  void release(int f) {
    for (auto& b : held[f]) b = 0;
  }
};

void run_env(Input& in) {
  MemoryEnv memory;
  memory.set_max_file_size(1 << 16);
  CHECK(memory.make_directory("/d").ok());
  CHECK(memory.write_file("/d/f", "").ok());
  FaultEnv env(&memory, in.u64());
  std::unique_ptr<File> files[kFiles];
  auto reopen = [&](int f) {
    files[f].reset();
    CHECK(env.open("/d/f", {Access::read_write}, &files[f]).ok());
  };
  for (int f = 0; f < kFiles; ++f) reopen(f);
  Model model;

  for (int steps = 0; steps < 200 && !in.empty(); ++steps) {
    const std::uint8_t op = in.byte();
    const int f = in.byte() % kFiles;
    File& file = *files[f];
    switch (op % 9) {
      case 0: {  // write inside the model's reach
        const std::uint64_t off = in.byte() * 7u;
        const std::string bytes(in.byte() % 64, static_cast<char>('a' + steps % 26));
        std::size_t written = 0;
        CHECK(file.write_at(off, bytes.data(), bytes.size(), &written).ok() && written == bytes.size());
        if (!bytes.empty()) {
          if (model.contents.size() < off + bytes.size()) model.contents.resize(off + bytes.size());
          model.contents.replace(off, bytes.size(), bytes);
        }
        break;
      }
      case 1: {  // read and compare
        const std::uint64_t off = in.byte() * 7u;
        std::string buf(in.byte(), '\0');
        std::size_t got = 0;
        CHECK(file.read_at(off, buf.data(), buf.size(), &got).ok());
        const std::string want = off < model.contents.size() ? model.contents.substr(off, buf.size()) : "";
        CHECK(buf.substr(0, got) == want);
        break;
      }
      case 2: {
        const std::uint64_t size = in.byte() * 5u;
        CHECK(file.truncate(size).ok());
        model.contents.resize(size);
        break;
      }
      case 3:
        CHECK(file.sync().ok());
        model.durable = model.contents;
        break;
      case 4: {  // lock in the modelled span
        const std::uint64_t off = in.byte() % kLockSpan;
        const std::uint64_t len = 1 + in.byte() % (kLockSpan - off);
        const int kind = 1 + in.byte() % 2;
        const int got = file.lock(off, len, kind == 1 ? LockKind::shared : LockKind::exclusive, false).error;
        CHECK(got == (model.conflicts(f, off, len, kind) ? 33 : 0));
        if (got == 0) {
          for (std::uint64_t b = off; b < off + len; ++b) model.held[f][b] = kind;
        }
        break;
      }
      case 5: {
        const std::uint64_t off = in.byte() % kLockSpan;
        const std::uint64_t len = 1 + in.byte() % (kLockSpan - off);
        CHECK(file.unlock(off, len).ok());
        for (std::uint64_t b = off; b < off + len; ++b) model.held[f][b] = 0;
        break;
      }
      case 6:
        reopen(f);
        model.release(f);
        break;
      case 7: {  // anywhere in 64 bits: refused or done, never a crash
        const std::uint64_t off = in.u64();
        const std::uint64_t len = in.u64() >> (in.byte() % 64);
        char c = 'z';
        std::size_t n = 0;
        const int w = file.write_at(off, &c, 1, &n).error;
        CHECK(w == 0 || w == 39 || w == 87);
        if (w == 0) {  // only possible inside the size limit
          if (model.contents.size() <= off) model.contents.resize(off + 1);
          model.contents[off] = c;
        }
        const int r = file.read_at(off, &c, 1, &n).error;
        CHECK(r == 0 || r == 87);
        if (off >= kLockSpan) {
          const int l = file.lock(off, len, LockKind::exclusive, false).error;
          CHECK(l == 0 || l == 33 || l == 87);
          if (l == 0) CHECK(file.unlock(off, len).ok());
        }
        break;
      }
      case 8: {
        const auto mode = static_cast<PowerCut>(in.byte() % 3);
        CHECK(env.power_cut(mode).ok());
        std::string now;
        CHECK(memory.read_file("/d/f", &now));
        if (mode == PowerCut::drop_unsynced) CHECK(now == model.durable);
        model.contents = model.durable = now;
        for (int g = 0; g < kFiles; ++g) {
          reopen(g);
          model.release(g);
        }
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t selector = in.byte();
  if (selector % 2 == 0) {
    const std::string rest = in.rest();
    const std::size_t cut = rest.empty() ? 0 : selector % (rest.size() + 1);
    check_normalized(rest.substr(0, cut), rest.substr(cut));
    int err = 0;
    for (std::size_t i = 0; i < 4 && i < rest.size(); ++i) err = (err << 8) | static_cast<std::uint8_t>(rest[i]);
    for (const auto kind : {IoKind::other, IoKind::read, IoKind::write, IoKind::lock}) {
      CHECK(system_error_from_errno(err, kind) != 0);
    }
  } else {
    run_env(in);
  }
  return 0;
}
