// Arbitrary bytes as an environment file, as a quoted list and as text to
// convert between the character sets. Besides crashes it checks the
// invariants the keyed-file engine relies on: both weight tables stay
// permutations and the case map stays its own inverse.
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include "runtime/char_tables.h"
#include "runtime/charset.h"
#include "runtime/environment_file.h"
#include "runtime/messages.h"
#include "runtime/regional.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void check_tables() {
  const runtime::CharTables& t = runtime::char_tables();
  bool ansi_seen[256] = {};
  bool oem_seen[256] = {};
  for (unsigned c = 0; c < 256; ++c) {
    const auto b = static_cast<std::uint8_t>(c);
    ansi_seen[t.ansi_weight(b)] = true;
    oem_seen[t.oem_weight(b)] = true;
    check(t.other_case(t.other_case(b)) == b);
  }
  for (unsigned w = 0; w < 256; ++w) check(ansi_seen[w] && oem_seen[w]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // Raw, and once more as the value of a key picked by the first byte so
  // that every key's handler sees arbitrary values without the fuzzer
  // having to guess the names.
  static constexpr std::string_view kKeys[] = {
      "ORVCHARSET", "ORVCOLSEQ", "ORVCASE",   "ORVMONTH", "ORVMON", "ORVAMPM",
      "ORVDIGRAPH", "ORVBUTTON", "ORVLFN",    "ORVMSG5",  "orvmsg81"};
  std::string keyed;
  if (size > 0) {
    keyed = std::string(kKeys[data[0] % std::size(kKeys)]) + "=";
    if (data[0] & 0x80) keyed = "ORVCHARSET=OEM\n" + keyed;
    keyed.append(bytes.substr(1));
  }
  for (std::string_view text : {bytes, std::string_view(keyed)}) {
    runtime::regional() = runtime::Regional{};
    runtime::reset_environment_settings();
    runtime::apply_environment_text(text);
    check_tables();
    (void)runtime::message_text(5);
    (void)runtime::message_text(1234);
  }

  for (bool commas : {true, false}) {
    const auto items = runtime::parse_quoted_list(bytes, commas);
    check(!items.empty());
    // Plain text survives being quoted and read back.
    const auto again = runtime::parse_quoted_list(runtime::quote_as_list(bytes, commas), commas);
    std::string joined;
    for (std::size_t i = 0; i < again.size(); ++i) joined += (i ? "," : "") + again[i];
    check(joined == bytes);
  }
  check(runtime::decode_character_codes(bytes).size() <= bytes.size());

  std::string text(bytes);
  runtime::ansi_to_oem(text);
  runtime::oem_to_ansi(text);
  check(text.size() == bytes.size());
  return 0;
}
