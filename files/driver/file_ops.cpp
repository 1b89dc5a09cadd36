#include "files/driver/file_ops.h"

#include <cstring>

#include "files/driver/error_state.h"

namespace files {
namespace {

std::int32_t run(FileDescriptor& f, Op op, Operands& o) { return dispatch(f, op, o); }

// Most calls carry no operand but a number or two, and making and dropping
// an Operands (five containers) costs more than a line read or written from
// the driver's window. Those calls share one per thread, put back as made
// after each use. A call made while it is in use (a driver running file
// operations of its own) makes its own.
struct Spare {
  Operands operands;
  bool busy = false;
};
thread_local Spare t_spare;

[[gnu::noinline]] std::int32_t run_with_own(FileDescriptor& f, Op op, std::uint32_t number, std::uint32_t length) {
  Operands o;
  o.number = number;
  o.length = length;
  return dispatch(f, op, o);
}

std::int32_t run_number(FileDescriptor& f, Op op, std::uint32_t number, std::uint32_t length = 0) {
  Spare& spare = t_spare;
  if (spare.busy) return run_with_own(f, op, number, length);
  struct Borrowed {
    Spare& spare;
    ~Borrowed() {
      Operands& o = spare.operands;
      o.key = nullptr;
      o.number = 0;
      o.length = 0;
      if (!o.text.empty()) o.text.clear();
      if (!o.value.empty()) o.value.clear();
      if (!o.components.empty()) o.components.clear();
      if (!o.files.empty()) o.files.clear();
      if (!o.answer.empty()) o.answer.clear();
      spare.busy = false;
    }
  } borrowed{spare};
  spare.busy = true;
  spare.operands.number = number;
  spare.operands.length = length;
  return dispatch(f, op, spare.operands);
}

std::int32_t run(FileDescriptor& f, Op op) { return run_number(f, op, 0); }

std::string run_text(FileDescriptor& f, Op op, std::string_view text = {}) {
  Operands o;
  o.text.assign(text);
  dispatch(f, op, o);
  return o.answer;
}

// A key operation goes to the key's file with the key as first operand.
std::int32_t run_key(KeyDescriptor& key, Op op, Operands& o) {
  o.key = &key;
  if (key.file == nullptr) {
    post(80);
    return 0;
  }
  return dispatch(*key.file, op, o);
}

std::int32_t run_key(KeyDescriptor& key, Op op) {
  Operands o;
  return run_key(key, op, o);
}

}  // namespace

void open(FileDescriptor& f, std::uint32_t mode) { run_number(f, Op::OPEN, mode); }
void share(FileDescriptor& f, std::uint32_t mode) { run_number(f, Op::SHARE, mode); }
void close(FileDescriptor& f) { run(f, Op::CLOSE); }
void create(FileDescriptor& f) { run(f, Op::CREATE); }
void add(FileDescriptor& f) { run(f, Op::ADD); }
void add(FileDescriptor& f, std::uint32_t length) { run_number(f, Op::ADDfilelen, 0, length); }
void append(FileDescriptor& f) { run(f, Op::APPEND); }
void append(FileDescriptor& f, std::uint32_t length) { run_number(f, Op::APPENDlen, 0, length); }
void put(FileDescriptor& f) { run(f, Op::PUT); }
void put(FileDescriptor& f, std::uint32_t pointer) { run_number(f, Op::PUTfileptr, pointer); }
void put(FileDescriptor& f, std::uint32_t pointer, std::uint32_t length) {
  run_number(f, Op::PUTfileptrlen, pointer, length);
}
void erase(FileDescriptor& f) { run(f, Op::DELETE); }

void get(FileDescriptor& f, KeyDescriptor& key) {
  Operands o;
  o.key = &key;
  run(f, Op::GETfilekey, o);
}
void get(FileDescriptor& f, std::uint32_t pointer) { run_number(f, Op::GETfileptr, pointer); }
void get(FileDescriptor& f, std::uint32_t pointer, std::uint32_t length) {
  run_number(f, Op::GETfileptrlen, pointer, length);
}
void get(KeyDescriptor& key, std::uint32_t pointer) {
  Operands o;
  o.number = pointer;
  run_key(key, Op::GETkeyptr, o);
}

void set(FileDescriptor& f) { run(f, Op::SETfile); }
void set(FileDescriptor& f, KeyDescriptor& key) {
  Operands o;
  o.key = &key;
  run(f, Op::SETfilekey, o);
}
void set_pointer(FileDescriptor& f, std::uint32_t pointer) { run_number(f, Op::SETfileptr, pointer); }
void set(KeyDescriptor& key) { run_key(key, Op::SETkey); }
void set(KeyDescriptor& key, KeyDescriptor& value_key) {
  (void)value_key;  // the value is the key's fields in the record buffer
  run_key(key, Op::SETkeykey);
}
void set_pointer(KeyDescriptor& key, std::uint32_t pointer) {
  Operands o;
  o.number = pointer;
  run_key(key, Op::SETkeyptr, o);
}
void set(KeyDescriptor& key, KeyDescriptor& value_key, std::uint32_t pointer) {
  (void)value_key;
  Operands o;
  o.number = pointer;
  run_key(key, Op::SETkeykeyptr, o);
}
void reset(FileDescriptor& f, std::string_view position) { run_text(f, Op::RESETfile, position); }
void reset(KeyDescriptor& key, std::string_view position) {
  Operands o;
  o.text.assign(position);
  run_key(key, Op::RESETkey, o);
}

void next(FileDescriptor& f) { run(f, Op::NEXT); }
std::int32_t next_bytes(FileDescriptor& f) {
  const std::int32_t n = run(f, Op::NEXT);
  return ERRORCODE() == 0 ? n : 0;
}
void previous(FileDescriptor& f) { run(f, Op::PREVIOUS); }
void skip(FileDescriptor& f, std::int32_t count) {
  run_number(f, Op::SKIP, static_cast<std::uint32_t>(count));
}
std::int32_t records(FileDescriptor& f) { return run(f, Op::RECORDSfile); }
std::int32_t records(KeyDescriptor& key) { return run_key(key, Op::RECORDSkey); }
std::int32_t bytes(FileDescriptor& f) { return run(f, Op::BYTES); }
std::string position(FileDescriptor& f) { return run_text(f, Op::POSITIONfile); }
std::string position(KeyDescriptor& key) {
  Operands o;
  run_key(key, Op::POSITIONkey, o);
  return o.answer;
}
std::int32_t pointer(FileDescriptor& f) { return run(f, Op::POINTERfile); }
std::int32_t pointer(KeyDescriptor& key) { return run_key(key, Op::POINTERkey); }
void reget(FileDescriptor& f, std::string_view position) { run_text(f, Op::REGETfile, position); }
void reget(KeyDescriptor& key, std::string_view position) {
  Operands o;
  o.text.assign(position);
  run_key(key, Op::REGETkey, o);
}
bool bof(FileDescriptor& f) { return run(f, Op::BOF) != 0; }
bool eof(FileDescriptor& f) { return run(f, Op::EOF_) != 0; }

void watch(FileDescriptor& f) { run(f, Op::WATCH); }
void hold(FileDescriptor& f) { run(f, Op::HOLDfile); }
void hold(FileDescriptor& f, std::uint32_t seconds) { run_number(f, Op::HOLDfilesec, seconds); }
void release(FileDescriptor& f) { run(f, Op::RELEASE); }
void lock(FileDescriptor& f) { run(f, Op::LOCKfile); }
void lock(FileDescriptor& f, std::uint32_t seconds) { run_number(f, Op::LOCKfilesec, seconds); }
void unlock(FileDescriptor& f) { run(f, Op::UNLOCK); }
void logout(FileDescriptor& f) { run(f, Op::LOGOUT); }
void logout(std::uint32_t seconds, std::initializer_list<FileDescriptor*> files) {
  if (files.size() == 0 || *files.begin() == nullptr) {
    post(78);
    return;
  }
  Operands o;
  o.number = seconds;
  o.files.assign(files.begin(), files.end());
  run(**files.begin(), Op::LOGOUT, o);
}
void commit(FileDescriptor& f) { run(f, Op::COMMIT); }
void rollback(FileDescriptor& f) { run(f, Op::ROLLBACK); }
void build(FileDescriptor& f) { run(f, Op::BUILDfile); }
void build(KeyDescriptor& key) { run_key(key, Op::BUILDkey); }
void flush(FileDescriptor& f) { run(f, Op::FLUSH); }
void stream(FileDescriptor& f) { run(f, Op::STREAM); }
std::string send(FileDescriptor& f, std::string_view message) { return run_text(f, Op::SEND, message); }
void remove(FileDescriptor& f) { run(f, Op::REMOVE); }
void rename(FileDescriptor& f, std::string_view new_name) { run_text(f, Op::RENAME, new_name); }
void copy(FileDescriptor& f, std::string_view new_name) { run_text(f, Op::COPY, new_name); }
std::string name(FileDescriptor& f) { return run_text(f, Op::NAME); }
void empty(FileDescriptor& f) { run(f, Op::EMPTY); }
bool duplicate(FileDescriptor& f) { return run(f, Op::DUPLICATE) != 0; }
bool duplicate(KeyDescriptor& key) { return run_key(key, Op::DUPLICATEkey) != 0; }
void clear(FileDescriptor& f) { run(f, Op::CLEAR); }
void set_property(FileDescriptor& f, std::string_view property, std::string_view value) {
  Operands o;
  o.text.assign(property);
  o.value.assign(value);
  run(f, Op::SET_PROPERTY, o);
}
std::string get_property(FileDescriptor& f, std::string_view property) {
  return run_text(f, Op::GET_PROPERTY, property);
}

}  // namespace files
