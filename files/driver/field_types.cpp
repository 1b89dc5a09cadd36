#include "files/driver/field_types.h"

#include <array>

namespace files {

std::string_view field_type_name(std::uint8_t code) {
  static constexpr std::array<std::string_view, 31> names = {
      "END",     "BYTE",   "SHORT",   "USHORT",  "DATE",    "TIME",     "LONG",  "ULONG",
      "SREAL",   "REAL",   "DECIMAL", "PDECIMAL", "DUM1",   "BFLOAT4",  "BFLOAT8", "ANY",
      "TEMPUFO", "NOTYPE", "STRING",  "CSTRING", "PSTRING", "MEMO",     "GROUP", "CLASS",
      "ARRAY",   "FIELD",  "QUEUE",   "BLOB",    "STACKSTR", "PICTURE", "STDNUM"};
  return code < names.size() ? names[code] : std::string_view("UNKNOWN");
}

}  // namespace files
