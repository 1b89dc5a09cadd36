#include "app/conversion/conversion.h"

#include <memory>
#include <vector>

#include "files/textline/textline_driver.h"

namespace conversion {
namespace {

constexpr std::size_t kScanChunk = 256 * 1024;
// Without a limit, lines longer than this are read, converted and written
// in pieces of about this size, never held whole.
constexpr std::size_t kPiece = 1024 * 1024;
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
  return facts_.valid_utf8 && (facts_.multibyte || options_.texts_utf8);
}

bool Conversion::open_input(const std::string& path, bool streams) {
  input_ok_ = false;
  report_ = Report();
  spool_.reset();
  shown_ = "'" + path + "'";
  platform::Env* env = files::textline_env();
  platform::FileInfo info;
  if (env->file_info(path, &info).ok()) {
    if (!streams || info.directory || info.kind == platform::FileKind::socket) {
      if (std::string refusal = input_refusal(path); !refusal.empty()) return fail(std::move(refusal));
    } else if (info.special) {
      // Read once as it comes, like standard input.
      std::unique_ptr<platform::Stream> stream;
      if (const platform::Status st = env->open_stream(path, platform::Access::read, &stream); !st.ok()) {
        return fail("cannot read " + shown_ + ": " + system_error_text(st.error));
      }
      const std::string shown = shown_;
      return open_input([&stream](void* buf, std::size_t n, std::size_t* got) { return stream->read(buf, n, got); },
                        shown);
    }
  }
  return open_file(path);
}

bool Conversion::open_input(const InputSpool::ReadFn& read, const std::string& shown) {
  input_ok_ = false;
  report_ = Report();
  shown_ = shown;
  spool_ = std::make_unique<InputSpool>();
  if (!spool_->fill(read, shown)) {
    std::string error = spool_->error();
    spool_.reset();
    return fail(std::move(error));
  }
  return open_file(spool_->path());
}

bool Conversion::open_file(const std::string& path) {
  input_ = path;
  platform::Env* env = files::textline_env();
  const std::string& shown = shown_;
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
  if (!check_texts()) return false;
  report_.input_bytes = facts_.size;
  report_.utf8 = utf8();
  input_ok_ = true;
  return true;
}

// Texts typed in UTF-8 must fit a Windows-1252 output whole: a "?" in
// every line is not what was asked for.
bool Conversion::check_texts() {
  if (!options_.texts_utf8 || utf8()) return true;
  for (const auto& [text, what] : {std::pair{&options_.before, "before-text"}, std::pair{&options_.after, "after-text"}}) {
    std::string ansi;
    std::string missing;
    if (!ansi_of_utf8(*text, &ansi, &missing)) {
      return fail(std::string("the ") + what + " holds '" + missing + "', which Windows-1252 lacks, and the output is " +
                      "written in Windows-1252 as the input is read",
                  Report::Failure::texts);
    }
  }
  return true;
}

bool Conversion::refuse_same_file(const std::string& output_path) {
  if (spool_) return true;
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
  if (input.open(input_, facts_, converter.input_cap(), kPiece) != 0) {
    return fail("cannot read " + shown_ + ": " + input.error_text());
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
  bool in_pieces = false;  // a line handed on in pieces is under way
  // The output of such a line goes on in parts; the first part of the first
  // line carries the byte order mark.
  const LineConverter::PieceFn put = [&](std::string_view part) {
    if (!first.empty()) {
      first.append(part);
      part = first;
    }
    const bool ok = sink.write_part(part);
    first.clear();
    return ok;
  };
  while (input.next(&line)) {
    std::string_view bytes = line.bytes;
    const bool starts = !in_pieces;
    if (starts) ++number;
    if (starts && number == 1 && mark && bytes.substr(0, 3) == kByteOrderMark) bytes.remove_prefix(3);
    const bool keep_mark = starts && number == 1 && mark && sink.keeps_byte_order_mark();
    bool ok = true;
    if (line.partial || in_pieces) {
      // A line too long to hold whole, converted and written as it comes.
      if (starts) {
        converter.begin_pieces();
        if (keep_mark) first.assign(kByteOrderMark);
      }
      in_pieces = line.partial;
      ok = converter.piece(bytes, !in_pieces, put);
      if (ok && !in_pieces) {
        ok = sink.write_line(first, number);  // an empty output still has its mark
        first.clear();
      }
    } else {
      bool cut = false;
      std::string_view out = converter.convert(bytes, line.more, &cut);
      if (cut && report_.cut_lines++ == 0) report_.first_cut = number;
      if (keep_mark) {
        first.assign(kByteOrderMark);
        first.append(out);
        out = first;
      }
      ok = sink.write_line(out, number);
    }
    if (!ok) {
      const std::string error = sink.error();
      sink.abandon();
      return fail(error, Report::Failure::output);
    }
    if (!in_pieces) {
      report_.lines = number;
      if (converter.lone_quote() && report_.lone_quote_lines++ == 0) report_.first_lone_quote = number;
    }
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
    return fail("cannot read " + shown_ + ": " + input.error_text());
  }
  input.close();
  if (!sink.finish()) return fail(sink.error(), Report::Failure::output);
  if (progress && percent < 100) progress(100);
  return true;
}

}  // namespace conversion
