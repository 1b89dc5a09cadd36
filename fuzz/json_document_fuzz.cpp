// Arbitrary bytes as a JSON document of the data-file commands: parsing
// never crashes or throws, and whatever parses is written back (compact and
// pretty) to text that parses to the same document.
#include <cstdint>
#include <string_view>

#include "cli/json_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace cli::json;
  ParseError error;
  const std::optional<Json> doc = parse(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (!doc) {
    if (error.line == 0 || error.column == 0 || error.message.empty()) __builtin_trap();
    return 0;
  }
  for (const bool pretty : {false, true}) {
    if (parse(write(*doc, pretty), &error) != doc) __builtin_trap();
  }
  return 0;
}
