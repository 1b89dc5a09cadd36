#include "app/conversion/preview.h"

#include <memory>

#include "app/conversion/line_converter.h"
#include "app/conversion/text_input.h"
#include "app/conversion/text_output.h"
#include "files/textline/textline_driver.h"

namespace conversion {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A UTF-8 text in Windows-1252, "?" for what the set lacks.
std::string shown_ansi(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t len = utf8_sequence(text.substr(i), &cp);
    if (len == 0) {
      out.push_back(text[i++]);
      continue;
    }
    const int b = ansi_byte_of(cp);
    out.push_back(b < 0 ? '?' : static_cast<char>(b));
    i += len;
  }
  return out;
}

}  // namespace

Preview preview(const std::string& path, const Options& options, const ReplacementTable& table, std::size_t lines) {
  Preview p;
  platform::Env* env = files::textline_env();
  const std::string shown = "'" + path + "'";
  platform::FileInfo info;
  if (env->file_info(path, &info).ok() && info.directory) {
    p.error = shown + " is a directory, not a file";
    return p;
  }
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
    p.lines.push_back(utf8 ? shown_ansi(out) : std::string(out));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + (rest.substr(end, 2) == "\r\n" ? 2 : 1));
  }
  p.more = p.more || got == kPreviewBytes;
  return p;
}

}  // namespace conversion
