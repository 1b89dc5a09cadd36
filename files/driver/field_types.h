// Field type codes: one byte in every field descriptor, and the same codes
// name the types in a driver's list of accepted types.
#pragma once

#include <cstdint>
#include <string_view>

namespace files {

enum class FieldType : std::uint8_t {
  END = 0,  // closes a GROUP
  BYTE = 1,
  SHORT = 2,
  USHORT = 3,
  DATE = 4,
  TIME = 5,
  LONG = 6,
  ULONG = 7,
  SREAL = 8,
  REAL = 9,
  DECIMAL = 10,
  PDECIMAL = 11,
  DUM1 = 12,  // placeholder
  BFLOAT4 = 13,
  BFLOAT8 = 14,
  ANY = 15,
  TEMPUFO = 16,  // internal
  NOTYPE = 17,
  STRING = 18,
  CSTRING = 19,
  PSTRING = 20,
  MEMO = 21,
  GROUP = 22,
  CLASS = 23,
  ARRAY = 24,
  FIELD = 25,
  QUEUE = 26,
  BLOB = 27,
  STACKSTR = 28,  // internal
  PICTURE = 29,   // internal
  STDNUM = 30,    // internal
};

// The type's name as traces and dumps print it: "LONG", "STRING", ...;
// "UNKNOWN" for codes above 30.
std::string_view field_type_name(std::uint8_t code);
inline std::string_view field_type_name(FieldType t) { return field_type_name(static_cast<std::uint8_t>(t)); }

// True for the types whose descriptor carries a declared length or picture.
constexpr bool is_string_type(FieldType t) {
  return t == FieldType::STRING || t == FieldType::CSTRING || t == FieldType::PSTRING;
}

}  // namespace files
