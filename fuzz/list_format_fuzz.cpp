// Any bytes: validation and parsing must agree, and what parsing accepts
// must survive writing back (same format read again, same text written).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ui/list_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const int position = ui::validateListFormat(text);
  const ui::ListFormatParse parsed = ui::parse_list_format(text);
  if (parsed.error_position != position) std::abort();
  if (position < 0 || static_cast<std::size_t>(position) > size + 1) std::abort();
  if (!parsed.ok()) {
    if (!parsed.format.items.empty()) std::abort();
    return 0;
  }
  const std::string written = ui::write_list_format(parsed.format);
  const ui::ListFormatParse again = ui::parse_list_format(written);
  if (!again.ok() || !(again.format == parsed.format)) std::abort();
  if (ui::write_list_format(again.format) != written) std::abort();
  return 0;
}
