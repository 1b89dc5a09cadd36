#include "app/conversion/conversion.h"

#include <memory>
#include <vector>

#include "files/textline/textline_driver.h"

namespace conversion {
namespace {

constexpr std::uint64_t kLargestInput = 0xFFFF'FFFEull;  // the text-line driver's pointers
constexpr std::size_t kScanChunk = 256 * 1024;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

std::string lone_quote_summary(const Report& report) {
  if (report.lone_quote_lines == 0) return {};
  return std::to_string(report.lone_quote_lines) + (report.lone_quote_lines == 1 ? " line holds" : " lines hold") +
         " a lone quote; first: line " + std::to_string(report.first_lone_quote);
}

std::string input_refusal(const std::string& path) {
  platform::FileInfo info;
  if (!files::textline_env()->file_info(path, &info).ok()) return {};  // the open tells why
  if (info.directory) return "'" + path + "' is a directory, not a file";
  if (info.special) return "'" + path + "' is a pipe, socket or device, not a file";
  return {};
}

Conversion::Conversion(Options options) : options_(std::move(options)) {}

bool Conversion::fail(std::string message, Report::Failure side) {
  report_.error = std::move(message);
  report_.failure = side;
  return false;
}

bool Conversion::utf8() const {
  switch (options_.encoding) {
    case Encoding::ansi:
      return false;
    case Encoding::utf8:
      return true;
    case Encoding::automatic:
      break;
  }
  return facts_.is_utf8();
}

bool Conversion::open_input(const std::string& path) {
  input_ok_ = false;
  input_ = path;
  report_ = Report();
  platform::Env* env = files::textline_env();
  const std::string shown = "'" + path + "'";
  if (std::string refusal = input_refusal(path); !refusal.empty()) return fail(std::move(refusal));
  std::unique_ptr<platform::File> file;
  if (const platform::Status st = env->open(path, platform::OpenMode{}, &file); !st.ok()) {
    return fail("cannot read " + shown + ": " + system_error_text(st.error));
  }
  std::uint64_t size = 0;
  if (const platform::Status st = file->size(&size); !st.ok()) {
    return fail("cannot read " + shown + ": " + system_error_text(st.error));
  }
  if (size > kLargestInput) return fail("cannot read " + shown + ": files of 4 GiB or more are not supported");

  InputScanner scanner;
  std::vector<char> chunk(kScanChunk);
  for (std::uint64_t at = 0;;) {
    std::size_t got = 0;
    if (const platform::Status st = file->read_at(at, chunk.data(), chunk.size(), &got); !st.ok()) {
      return fail("cannot read " + shown + ": " + system_error_text(st.error));
    }
    if (got == 0) break;
    scanner.feed(chunk.data(), got);
    at += got;
    // A NUL byte settles it; there is no need to read on.
    if (scanner.facts().has_nul) break;
  }
  facts_ = scanner.facts();
  if (facts_.has_nul) {
    return fail(shown + " is not a text file: it holds a NUL byte (at byte " + std::to_string(facts_.first_nul + 1) +
                "), as binary files and UTF-16 text do");
  }
  report_.input_bytes = facts_.size;
  report_.utf8 = utf8();
  input_ok_ = true;
  return true;
}

bool Conversion::refuse_same_file(const std::string& output_path) {
  platform::Env* env = files::textline_env();
  std::string a;
  std::string b;
  bool same = env->full_path(input_, &a).ok() && env->full_path(output_path, &b).ok() && a == b;
  platform::FileInfo in;
  platform::FileInfo out;
  if (!same && env->file_info(input_, &in).ok() && env->file_info(output_path, &out).ok()) {
    same = in.device == out.device && in.inode == out.inode;
  }
  if (same) {
    return fail("'" + output_path + "' is the input file itself; write the output to another file",
                Report::Failure::output);
  }
  return true;
}

bool Conversion::run(const ReplacementTable& table, LineSink& sink, const ProgressFn& progress) {
  if (!input_ok_) return fail(report_.error.empty() ? "no input" : report_.error);
  const bool utf8_mode = utf8();
  LineConverter converter(options_, table, utf8_mode);
  TextInput input;
  if (input.open(input_, facts_, converter.input_cap()) != 0) {
    return fail("cannot read '" + input_ + "': " + input.error_text());
  }
  if (!sink.begin()) return fail(sink.error(), Report::Failure::output);

  const bool mark = utf8_mode && facts_.bom;
  const std::uint64_t total = facts_.size;
  int percent = 0;
  // The bytes consumed that make the next whole percent.
  auto step_after = [total](int p) { return ((static_cast<std::uint64_t>(p) + 1) * total + 99) / 100; };
  std::uint64_t next_step = step_after(0);
  if (progress) progress(0);
  std::string first;  // the first output line with its byte order mark
  InputLine line;
  std::uint64_t number = 0;
  while (input.next(&line)) {
    ++number;
    std::string_view bytes = line.bytes;
    if (number == 1 && mark && bytes.substr(0, 3) == kByteOrderMark) bytes.remove_prefix(3);
    bool cut = false;
    std::string_view out = converter.convert(bytes, line.more, &cut);
    if (cut) {
      if (report_.cut_lines++ == 0) report_.first_cut = number;
    }
    if (converter.lone_quote()) {
      if (report_.lone_quote_lines++ == 0) report_.first_lone_quote = number;
    }
    if (number == 1 && mark && sink.keeps_byte_order_mark()) {
      first.assign(kByteOrderMark);
      first.append(out);
      out = first;
    }
    if (!sink.write_line(out, number)) {
      const std::string error = sink.error();
      sink.abandon();
      return fail(error, Report::Failure::output);
    }
    report_.lines = number;
    if (progress && input.consumed() >= next_step) {
      const int now = static_cast<int>(input.consumed() * 100 / total);
      if (now > percent) {
        percent = now;
        progress(percent);
      }
      next_step = step_after(percent);
    }
  }
  if (input.error() != 0) {
    sink.abandon();
    return fail("cannot read '" + input_ + "': " + input.error_text());
  }
  input.close();
  if (!sink.finish()) return fail(sink.error(), Report::Failure::output);
  if (progress && percent < 100) progress(100);
  return true;
}

}  // namespace conversion
