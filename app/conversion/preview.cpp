#include "app/conversion/preview.h"

#include <memory>

#include "app/conversion/conversion.h"
#include "app/conversion/line_converter.h"
#include "app/conversion/text_input.h"
#include "app/conversion/text_output.h"
#include "files/textline/textline_driver.h"

namespace conversion {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

Preview preview(const std::string& path, const Options& options, const ReplacementTable& table, std::size_t lines) {
  Preview p;
  platform::Env* env = files::textline_env();
  const std::string shown = "'" + path + "'";
  // A pipe is not opened at all: that could wait for a writer for good.
  if (p.error = input_refusal(path); !p.error.empty()) return p;
  std::unique_ptr<platform::File> file;
  std::string bytes(kPreviewBytes, '\0');
  std::size_t got = 0;
  platform::Status st = env->open(path, platform::OpenMode{}, &file);
  if (st.ok()) st = file->read_at(0, bytes.data(), bytes.size(), &got);
  if (!st.ok()) {
    p.error = "cannot read " + shown + ": " + system_error_text(st.error);
    return p;
  }
  bytes.resize(got);
  // A full piece ends with its last whole line, so that its encoding is
  // judged on whole characters; a first line longer than the piece is shown
  // as far as it goes.
  bool cut_short = false;
  if (got == kPreviewBytes) {
    const std::size_t end = bytes.find_last_of("\r\n");
    if (end != std::string::npos && end > 0) {
      bytes.resize(end + 1);
    } else {
      cut_short = true;
    }
  }
  InputScanner scanner;
  scanner.feed(bytes.data(), bytes.size());
  const InputFacts facts = scanner.facts();
  if (facts.has_nul) {
    p.error = shown + " is not a text file: it holds a NUL byte";
    return p;
  }
  const bool utf8 = options.encoding == Encoding::utf8 ||
                    (options.encoding == Encoding::automatic && facts.is_utf8());
  LineConverter converter(options, table, utf8);
  std::string_view rest = bytes;
  if (utf8 && rest.substr(0, 3) == kByteOrderMark) rest.remove_prefix(3);
  if (!cut_short && got < kPreviewBytes && !rest.empty() && rest.back() == '\x1A') rest.remove_suffix(1);
  while (!rest.empty()) {
    if (p.lines.size() == lines) {
      p.more = true;
      break;
    }
    const std::size_t end = rest.find_first_of("\r\n");
    const std::string_view line = rest.substr(0, end);
    bool cut = false;
    const std::string_view out = converter.convert(line, cut_short && end == std::string_view::npos, &cut);
    if (utf8) {
      p.lines.emplace_back(out);
    } else {
      p.lines.emplace_back();
      append_ansi_as_utf8(p.lines.back(), out);
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + (rest.substr(end, 2) == "\r\n" ? 2 : 1));
  }
  p.more = p.more || got == kPreviewBytes;
  return p;
}

}  // namespace conversion
