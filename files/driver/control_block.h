// The run-time state of one file, made on its first operation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "files/driver/field_types.h"

namespace files {

// One entry per field descriptor, made by walking the declaration.
struct FieldEntry {
  FieldType type = FieldType::END;
  std::uint32_t offset = 0;        // from the start of the record
  std::uint32_t size = 0;          // bytes of one element
  std::uint32_t elements = 1;      // product of the dimensions
  int parent = -1;                 // index of the enclosing GROUP entry, -1 for the record
};

struct TraceSettings {
  bool on = false;
  std::string file_name;           // the trace file
  bool details = false;
  bool declaration_dumped = false; // the declaration is already in this trace file
};

// Whatever a driver keeps per open file.
class DriverState {
 public:
  virtual ~DriverState() = default;
};

struct FileControlBlock {
  std::string name;                // resolved at the last operation on the closed file
  std::string owner;
  std::string options;
  std::uint8_t* record = nullptr;
  std::uint32_t record_length = 0;
  std::uint32_t attributes = 0;
  std::vector<FieldEntry> field_table;
  std::uint32_t open_mode = 0;
  std::uint32_t state = 0;         // state word (state:: bits)
  std::uint32_t actions = 0;       // action flags of the running operation
  int last_sequential = 0;         // code of the last class-4 operation
  std::int32_t last_result = 0;
  TraceSettings trace;
  std::unique_ptr<DriverState> driver;

  template <class T>
  T* driver_state() { return static_cast<T*>(driver.get()); }
};

// Open mode bits.
namespace mode {
constexpr std::uint32_t access_mask = 0x3;
constexpr std::uint32_t read_only = 0x0;
constexpr std::uint32_t write_only = 0x1;
constexpr std::uint32_t read_write = 0x2;
constexpr std::uint32_t sharing_mask = 0x70;
constexpr std::uint32_t deny_all = 0x10;
constexpr std::uint32_t deny_write = 0x20;
constexpr std::uint32_t deny_read = 0x30;
constexpr std::uint32_t deny_none = 0x40;

constexpr bool exclusive_sharing(std::uint32_t m) {
  const auto s = m & sharing_mask;
  return s == deny_all || s == deny_write || s == deny_read;
}
}  // namespace mode

}  // namespace files
