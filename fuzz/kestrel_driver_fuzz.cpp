// Runs the input as a script of operations on a keyed table through the
// driver: adds, changes, deletes, reads by key and pointer, every kind of
// SET, NEXT/PREVIOUS/SKIP, positions (and position strings made of the
// input's bytes), memos, builds, transactions, commands and names taken from
// the input. Whatever the script does, nothing may crash, and the file must
// pass the checker afterwards.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/check.h"
#include "files/kestrel/driver.h"
#include "files/kestrel/transaction.h"
#include "platform/memory_env.h"

namespace {

using namespace files;

class Script {
 public:
  Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool more() const { return at_ < size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string text() {
    const std::size_t n = byte() % 40;
    std::string s;
    for (std::size_t i = 0; i < n && more(); ++i) s += static_cast<char>(byte());
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// ID LONG (unique), NAME STRING(6) (DUP NOCASE), CODE CSTRING(4) (OPT
// unique, descending), a memo and a BLOB.
struct Table {
  explicit Table(const char* name) : buffer(14, ' ') {
    fd.driver = &kestrel_driver();
    fd.name = TextSource(name);
    fd.attributes = attr::CREATE;
    auto field = [&](FieldType t, std::uint32_t size, const char* label) {
      FieldDescriptor f;
      f.type = t;
      f.size = size;
      f.label = label;
      if (is_string_type(t)) f.declared_length = size;
      fd.fields.push_back(f);
    };
    field(FieldType::GROUP, 14, "F:REC");
    field(FieldType::LONG, 4, "F:ID");
    field(FieldType::STRING, 6, "F:NAME");
    field(FieldType::CSTRING, 4, "F:CODE");
    field(FieldType::END, 0, "");
    auto key = [&](const char* label, int f, bool descending, std::uint32_t flags) {
      KeyDescriptor k;
      k.label = label;
      k.components = {{f, descending}};
      k.flags = flags;
      fd.keys.push_back(k);
    };
    key("F:IDKEY", 1, false, 0);
    key("F:NAMEKEY", 2, false, key_flag::DUP | key_flag::NOCASE);
    key("F:CODEKEY", 3, true, key_flag::OPT);
    fd.link_keys();
    MemoDescriptor memo;
    memo.label = "F:MEMO";
    memo.size = 600;
    fd.memos.push_back(memo);
    memo.label = "F:BLOB";
    memo.blob = true;
    fd.memos.push_back(memo);
    fd.record = buffer.data();
    fd.record_length = 14;
  }
  void fill(Script& s) {
    const std::int32_t id = static_cast<std::int8_t>(s.byte());
    std::memcpy(buffer.data(), &id, 4);
    for (int i = 4; i < 10; ++i) buffer[static_cast<std::size_t>(i)] = "aAbB  "[s.byte() % 6];
    for (int i = 10; i < 14; ++i) buffer[static_cast<std::size_t>(i)] = s.byte() % 3 ? 'k' + s.byte() % 3 : 0;
  }
  std::vector<std::uint8_t> buffer;
  FileDescriptor fd;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("MARKFIT_PROFILE", "/nonexistent/markfit-fuzz-profile.ini", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::MemoryEnv env;
  (void)env.make_directory("/f/n");
  (void)env.set_current_directory("/f");
  set_kestrel_env(&env);
  kestrel::set_control_file("/f/kestrel.tcf");
  Script s(data, size);
  {
    Table t("/f/data\\!main");
    Table other("/f/other");
    create(t.fd);
    create(other.fd);
    open(t.fd, 0x12);
    open(other.fd, 0x12);
    std::string saved;
    KeyDescriptor* keys[] = {&t.fd.keys[0], &t.fd.keys[1], &t.fd.keys[2]};
    for (int steps = 0; s.more() && steps < 200; ++steps) {
      KeyDescriptor& k = *keys[s.byte() % 3];
      switch (s.byte() % 24) {
        case 0: t.fill(s); add(t.fd); break;
        case 1: t.fill(s); append(t.fd); break;
        case 2: t.fill(s); put(t.fd); break;
        case 3: erase(t.fd); break;
        case 4: t.fill(s); get(t.fd, k); break;
        case 5: get(t.fd, s.byte()); break;
        case 6: set(t.fd); break;
        case 7: t.fill(s); set(t.fd, k); break;
        case 8: set_pointer(t.fd, s.byte()); break;
        case 9: set(k); break;
        case 10: t.fill(s); set(k, k); break;
        case 11: set_pointer(k, s.byte()); break;
        case 12: t.fill(s); set(k, k, s.byte()); break;
        case 13: s.byte() % 2 ? next(t.fd) : previous(t.fd); break;
        case 14: skip(t.fd, static_cast<std::int8_t>(s.byte())); break;
        case 15: saved = s.byte() % 2 ? position(t.fd) : position(k); break;
        case 16: {
          const std::string p = s.byte() % 2 ? saved : s.text();
          switch (s.byte() % 4) {
            case 0: reset(t.fd, p); break;
            case 1: reset(k, p); break;
            case 2: reget(t.fd, p); break;
            default: reget(k, p); break;
          }
          break;
        }
        case 17: {
          const std::string text = s.text();
          t.fd.memos[s.byte() % 2].buffer.assign(text.begin(), text.end());
          break;
        }
        case 18: s.byte() % 2 ? build(t.fd) : build(k); break;
        case 19: (void)send(t.fd, s.text()); break;
        case 20: {
          switch (s.byte() % 4) {
            case 0: logout(t.fd); logout(other.fd); break;
            case 1: commit(t.fd); break;
            case 2: rollback(other.fd); break;
            default: other.fill(s); add(other.fd); break;
          }
          break;
        }
        case 21: {
          const int what = s.byte() % 4;
          if (what == 0) {
            empty(t.fd);
          } else if (what == 1) {
            (void)duplicate(k);
          } else {
            (void)records(k);
          }
          break;
        }
        case 22: {
          // Names from the input: opens, copies and removes of other files.
          // Kept inside a directory of their own, so that a copy never
          // replaces the tables the script has open.
          auto confined = [&s] {
            std::string n = s.text();
            for (char& c : n) {
              if (c == '/') c = '_';
            }
            return "/f/n/" + n;
          };
          Table named("x");
          named.fd.name = TextSource(confined());
          const int what = s.byte() % 3;
          if (what == 0) {
            open(named.fd, 0x42);
            close(named.fd);
          } else if (what == 1) {
            copy(named.fd, confined());
          } else {
            (void)name(named.fd);
          }
          break;
        }
        default:
          if (!(t.fd.fcb && (t.fd.fcb->state & state::T))) {
            close(t.fd);
            open(t.fd, 0x12);
          }
          break;
      }
    }
    rollback(t.fd);
    close(t.fd);
    close(other.fd);
  }
  for (const char* path : {"/f/data.KSF", "/f/other.KSF"}) {
    const kestrel::CheckReport r = kestrel::check_file(&env, path, std::nullopt);
    if (r.readable && r.fault_count != 0) {
      std::fprintf(stderr, "%s: %s\n", path, r.faults.front().c_str());
      std::abort();
    }
  }
  set_kestrel_env(nullptr);
  return 0;
}
