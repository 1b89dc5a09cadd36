// Arbitrary bytes: the picture text up to the first NUL, the typed text after
// it. The typed text also serves as a regional short date layout, so that
// the translation of regional layouts sees arbitrary bytes as well.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "runtime/picture.h"
#include "runtime/regional.h"

namespace {

void check_width(const runtime::PictureDescriptor& pic, const std::string& shown) {
  if (shown.size() != pic.width) std::abort();
  if (!pic.valid() && !shown.empty()) std::abort();
}

void exercise(const runtime::PictureDescriptor& pic, std::string_view typed) {
  static constexpr double kValues[] = {0, 1, -1, 0.5, -1234.567, 13.005, 71955, 4711001,
                                       runtime::kLastDay, 1e300, -1e-300};
  for (double v : kValues) check_width(pic, runtime::format_picture(pic, v));
  check_width(pic, runtime::format_picture(pic, typed));
  if (const auto value = runtime::deformat_picture(pic, typed)) {
    check_width(pic, runtime::format_picture(pic, value->number));
    check_width(pic, runtime::format_picture(pic, value->text));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = all.find('\0');
  const std::string_view picture = all.substr(0, nul);
  const std::string_view typed = nul == std::string_view::npos ? std::string_view() : all.substr(nul + 1);

  exercise(runtime::compilePicture(picture), typed);

  runtime::regional().short_date = std::string(typed.substr(0, 255));
  exercise(runtime::compilePicture("@d17"), picture);
  exercise(runtime::compilePicture("@d018"), picture);
  runtime::regional() = runtime::Regional{};
  return 0;
}
