// The run-time description of a declared file: file, field, key and memo
// descriptors. A program builds each FileDescriptor once and shares it by
// every procedure that uses the file; the driver that serves it keeps its
// run-time state in the control block hanging off the descriptor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "files/driver/field_types.h"

namespace files {

class Driver;
struct FileControlBlock;
struct FileDescriptor;

// A NAME, OWNER or option text: a constant, or a reference to a string
// variable whose value is taken anew whenever an operation works on the
// closed file.
class TextSource {
 public:
  TextSource() = default;
  TextSource(std::string constant) : constant_(std::move(constant)) {}  // NOLINT: implicit on purpose
  TextSource(const char* constant) : constant_(constant) {}            // NOLINT
  static TextSource variable(const std::string* var) {
    TextSource t;
    t.variable_ = var;
    return t;
  }
  std::string value() const { return variable_ ? *variable_ : constant_; }
  bool is_variable() const { return variable_ != nullptr; }
  bool empty() const { return value().empty(); }

 private:
  std::string constant_;
  const std::string* variable_ = nullptr;
};

// File attribute flags.
namespace attr {
constexpr std::uint32_t CREATE = 0x1;
constexpr std::uint32_t ENCRYPT = 0x2;
constexpr std::uint32_t RECLAIM = 0x4;
constexpr std::uint32_t OEM = 0x8;
constexpr std::uint32_t THREAD = 0x10;  // carried, not used by the drivers here
}  // namespace attr

constexpr int kMaxDimensions = 4;

struct FieldDescriptor {
  FieldType type = FieldType::STRING;
  std::uint32_t size = 0;               // bytes of one element (a GROUP: its whole size)
  std::vector<std::uint32_t> dims;      // array dimensions, at most kMaxDimensions
  int over = -1;                        // index of the field it overlays, or -1
  std::string label;                    // "TRA:HTMLCHARS"
  std::uint32_t declared_length = 0;    // string types: the declared length ...
  std::string picture;                  // ... or a picture ("@s20"), shown as (@s20)
  std::uint8_t digits = 0;              // DECIMAL, PDECIMAL
  std::uint8_t places = 0;

  // Elements of the field: the product of its dimensions (1 for a plain field).
  std::uint32_t element_count() const {
    std::uint32_t n = 1;
    for (auto d : dims) n *= d;
    return n;
  }
};

struct KeyComponent {
  int field = 0;          // index into FileDescriptor::fields
  bool descending = false;
};

namespace key_flag {
constexpr std::uint32_t DUP = 0x1;
constexpr std::uint32_t OPT = 0x2;
constexpr std::uint32_t NOCASE = 0x4;
constexpr std::uint32_t PRIMARY = 0x10;
constexpr std::uint32_t INDEX = 0x20;    // entries built only on request
constexpr std::uint32_t DYNAMIC = 0x100; // components given at build time
}  // namespace key_flag

struct KeyDescriptor {
  std::string label;                   // "TRA:CHARACTERSKEY"
  std::vector<KeyComponent> components;
  std::uint32_t flags = 0;             // key_flag bits
  bool built = false;                  // the K flag of a dynamic index
  std::string name;                    // external NAME, may be empty
  FileDescriptor* file = nullptr;      // back reference
  int number = 0;                      // 1-based position among the file's keys

  bool is_index() const { return flags & key_flag::INDEX; }
  bool is_dynamic() const { return flags & key_flag::DYNAMIC; }
};

struct MemoDescriptor {
  bool blob = false;                   // BLOB, else MEMO
  std::uint32_t size = 0;              // MEMO: maximum size in bytes
  bool binary = false;
  std::string name;                    // external NAME, may be empty
  std::string label;
  std::vector<std::uint8_t> buffer;    // the memo's contents in memory
};

// The record is handed to the file as a buffer the program owns; a read
// fills it, a write takes it. Its first field descriptor is the record itself
// as a GROUP, closed by an END after its members.
struct FileDescriptor {
  Driver* driver = nullptr;
  TextSource options;                  // driver options, "/FILEBUFFERS=8/TAB=4"
  TextSource name;
  TextSource owner;                    // never shown in any dump or trace
  std::uint32_t attributes = 0;        // attr bits
  std::string label;                   // the declaration's label ("Translations")
  std::uint8_t* record = nullptr;      // the one record buffer of this file
  std::uint32_t record_length = 0;
  // A file declared without a layout (no fields) takes its layout from the
  // data file at open, where the driver can tell it (the keyed driver); the
  // driver then fills fields, keys and memos and, when the program gave no
  // buffer, points `record` into this one.
  std::vector<std::uint8_t> owned_record;
  std::vector<FieldDescriptor> fields;
  std::vector<KeyDescriptor> keys;
  std::vector<MemoDescriptor> memos;

  // Run-time state, made by the first operation and released by close
  // (and by the operations that leave no block behind).
  std::unique_ptr<FileControlBlock> fcb;

  FileDescriptor();
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  // Sets every key's back reference and number; call once after filling keys.
  void link_keys();
};

}  // namespace files
