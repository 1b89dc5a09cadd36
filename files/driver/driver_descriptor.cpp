#include <algorithm>

#include "files/driver/driver.h"

namespace files {
namespace {

template <std::size_t N>
void copy_text(std::array<char, N>& to, std::string_view from) {
  to.fill('\0');
  // The last byte stays NUL so the field always reads as a C text.
  std::copy_n(from.begin(), std::min(from.size(), N - 1), to.begin());
}

}  // namespace

bool DriverDescriptor::implements(int code) const {
  return std::find(operations.begin(), operations.end(), static_cast<std::uint8_t>(code)) != operations.end();
}

bool DriverDescriptor::accepts(FieldType t) const {
  return std::find(types.begin(), types.end(), static_cast<std::uint8_t>(t)) != types.end();
}

std::vector<std::uint8_t> DriverDescriptor::operation_list() const {
  std::vector<std::uint8_t> list;
  list.reserve(operations.size() + types.size() + 2);
  list.push_back(static_cast<std::uint8_t>(operations.size()));
  list.insert(list.end(), operations.begin(), operations.end());
  list.push_back(static_cast<std::uint8_t>(types.size()));
  list.insert(list.end(), types.begin(), types.end());
  return list;
}

DriverDescriptor make_driver_descriptor(std::string_view name, std::string_view library,
                                        std::string_view notice, std::string_view description,
                                        std::vector<std::uint8_t> operations,
                                        std::vector<std::uint8_t> types) {
  DriverDescriptor d;
  copy_text(d.name, name);
  copy_text(d.library, library);
  copy_text(d.notice, notice);
  copy_text(d.description, description);
  d.operations = std::move(operations);
  d.types = std::move(types);
  return d;
}

}  // namespace files
