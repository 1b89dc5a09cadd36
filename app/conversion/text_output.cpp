#include "app/conversion/text_output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/textline/textline_driver.h"
#include "runtime/messages.h"

namespace conversion {
namespace {

constexpr std::uint32_t kRecord = 65532;
// Read/write, nobody else: the file is ours until it is renamed, and the
// driver may keep its lines buffered.
constexpr std::uint32_t kReadWriteDenyAll = 0x12;
constexpr int kFileExists = 80;
constexpr int kAccessDenied = 5;
constexpr std::size_t kStreamBuffer = 256 * 1024;

std::string_view eol_of(LineEnd e) { return e == LineEnd::lf ? std::string_view("\n") : std::string_view("\r\n"); }

// What the user is told for the last failed file operation: the system's
// reason where the driver words it only as "Access Denied" (a full disk).
std::string file_error_text() {
  const std::int32_t system = files::system_error();
  if (files::ERRORCODE() == kAccessDenied && system != 0 && system != kAccessDenied) {
    return system_error_text(system);
  }
  return files::ERROR();
}

std::size_t count_chars(std::string_view s, bool utf8) {
  if (!utf8) return s.size();
  std::size_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) == 0x80 ? 0 : 1;
  return n;
}

std::size_t prefix_bytes(std::string_view s, std::size_t chars, bool utf8) {
  if (!utf8) return std::min(s.size(), chars);
  std::size_t seen = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (seen == chars) return i;
      ++seen;
    }
  }
  return s.size();
}

}  // namespace

std::string system_error_text(int number) {
  return runtime::message_text(number >= 2 && number <= 5 ? number : 300 + number);
}

// The output file declared as FILE,DRIVER('ASCII'), one STRING field.
struct FileOutput::Declared {
  Declared(const std::string& path, LineEnd line_end) : record(kRecord, ' ') {
    fd.driver = &files::ascii_driver();
    fd.name = files::TextSource(path);
    fd.options = files::TextSource(line_end == LineEnd::lf ? "/ENDOFRECORD=1,10" : "/ENDOFRECORD=2,13,10");
    fd.label = "OUF";
    fd.record = record.data();
    fd.record_length = kRecord;
    files::FieldDescriptor group;
    group.type = files::FieldType::GROUP;
    group.size = kRecord;
    files::FieldDescriptor line;
    line.type = files::FieldType::STRING;
    line.size = kRecord;
    line.declared_length = kRecord;
    line.label = "OUF:TEXTLINE";
    files::FieldDescriptor end;
    end.type = files::FieldType::END;
    fd.fields = {group, line, end};
  }
  ~Declared() {
    if (fd.fcb) {
      const files::ErrorState saved = files::save_error_state();
      files::close(fd);
      files::restore_error_state(saved);
    }
  }
  std::vector<std::uint8_t> record;
  files::FileDescriptor fd;
};

FileOutput::FileOutput(std::string target, LineEnd line_end)
    : target_(std::move(target)), line_end_(line_end), eol_length_(eol_of(line_end).size()) {}

FileOutput::~FileOutput() {
  if (out_ || !temporary_.empty()) abandon();
}

bool FileOutput::fail(const std::string& doing) {
  error_ = "cannot " + doing + " '" + target_ + "': " + file_error_text();
  return false;
}

bool FileOutput::begin() {
  platform::Env* env = files::textline_env();
  std::string full;
  if (const platform::Status st = env->full_path(target_, &full); !st.ok()) {
    error_ = "cannot write '" + target_ + "': " + system_error_text(st.error);
    return false;
  }
  std::random_device random;
  platform::Status st;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
    std::string name = full + suffix;
    platform::OpenMode how;
    how.access = platform::Access::read_write;
    how.create = true;
    how.exclusive = true;
    std::unique_ptr<platform::File> file;
    st = env->open(name, how, &file);
    if (st.ok()) {
      temporary_ = std::move(name);
      break;
    }
    if (st.error != kFileExists) break;
  }
  if (temporary_.empty()) {
    error_ = "cannot write '" + target_ + "': " + system_error_text(st.error);
    return false;
  }
  out_ = std::make_unique<Declared>(temporary_, line_end_);
  files::open(out_->fd, kReadWriteDenyAll);
  if (files::ERRORCODE() != 0) {
    fail("write");
    abandon();
    return false;
  }
  return true;
}

bool FileOutput::write_line(std::string_view line, std::uint64_t number) {
  (void)number;
  if (line.size() > kRecord) return write_long(line);
  // A write of no bytes would cut the file there; one blank, clipped, is
  // an empty line. The lines never end in blanks, so clipping takes nothing
  // from the others.
  if (line.empty()) {
    out_->record[0] = ' ';
  } else {
    std::memcpy(out_->record.data(), line.data(), line.size());
  }
  files::set_system_error(0);
  files::add(out_->fd, static_cast<std::uint32_t>(std::max<std::size_t>(line.size(), 1)));
  if (files::ERRORCODE() != 0) return fail("write");
  written_ += line.size() + eol_length_;
  return true;
}

// A line longer than the record goes in pieces, each written over the line
// end the one before it left; no piece loses the blanks it may end in.
bool FileOutput::write_long(std::string_view line) {
  files::send(out_->fd, "CLIP=OFF");
  bool ok = true;
  for (std::size_t done = 0; done < line.size() && ok;) {
    const std::size_t n = std::min<std::size_t>(kRecord, line.size() - done);
    std::memcpy(out_->record.data(), line.data() + done, n);
    files::set_system_error(0);
    if (done == 0) {
      files::add(out_->fd, static_cast<std::uint32_t>(n));
    } else {
      files::put(out_->fd, static_cast<std::uint32_t>(written_ + done + 1), static_cast<std::uint32_t>(n));
    }
    ok = files::ERRORCODE() == 0;
    if (!ok) fail("write");
    done += n;
  }
  written_ += line.size() + eol_length_;
  const files::ErrorState saved = files::save_error_state();
  files::send(out_->fd, "CLIP=ON");
  files::restore_error_state(saved);
  return ok;
}

bool FileOutput::finish() {
  files::set_system_error(0);
  files::close(out_->fd);
  if (files::ERRORCODE() != 0) {
    fail("write");
    abandon();
    return false;
  }
  out_.reset();
  platform::Env* env = files::textline_env();
  std::string full;
  platform::Status st = env->full_path(target_, &full);
  // A file that replaces another must be on the disk before its name is:
  // else a crash could leave the name with an empty file, the old one lost.
  if (st.ok() && env->exists(full)) {
    std::unique_ptr<platform::File> file;
    st = env->open(temporary_, platform::OpenMode{}, &file);
    if (st.ok()) st = file->sync();
  }
  if (st.ok()) st = env->rename(temporary_, full);
  if (!st.ok()) {
    error_ = "cannot write '" + target_ + "': " + system_error_text(st.error);
    abandon();
    return false;
  }
  temporary_.clear();
  // The file is whole either way; a directory that cannot be synced only
  // leaves the new name less durable.
  (void)env->sync_directory_of(full);
  return true;
}

void FileOutput::abandon() {
  out_.reset();
  if (!temporary_.empty()) {
    (void)files::textline_env()->remove(temporary_);
    temporary_.clear();
  }
}

StreamOutput::StreamOutput(std::FILE* stream, LineEnd line_end, std::string name)
    : stream_(stream), eol_(eol_of(line_end)), name_(std::move(name)) {
  buffer_.reserve(kStreamBuffer);
}

StreamOutput::~StreamOutput() { (void)drain(); }

bool StreamOutput::drain() {
  if (buffer_.empty()) return true;
  const bool ok = std::fwrite(buffer_.data(), 1, buffer_.size(), stream_) == buffer_.size();
  buffer_.clear();
  if (!ok) error_ = "cannot write to " + name_ + ": " + std::strerror(errno);
  return ok;
}

bool StreamOutput::write_line(std::string_view line, std::uint64_t number) {
  (void)number;
  if (buffer_.size() + line.size() + eol_.size() > kStreamBuffer && !drain()) return false;
  if (line.size() + eol_.size() > kStreamBuffer) {
    if (std::fwrite(line.data(), 1, line.size(), stream_) != line.size()) {
      error_ = "cannot write to " + name_ + ": " + std::strerror(errno);
      return false;
    }
    buffer_.append(eol_);
    return true;
  }
  buffer_.append(line);
  buffer_.append(eol_);
  return true;
}

bool StreamOutput::finish() {
  if (!drain()) return false;
  if (std::fflush(stream_) != 0 || std::ferror(stream_)) {
    error_ = "cannot write to " + name_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

ClipboardText::ClipboardText(LineEnd line_end, bool utf8) : eol_(eol_of(line_end)), utf8_(utf8) {}

bool ClipboardText::begin() {
  text_.clear();
  chars_ = 0;
  lines_cut_ = 0;
  first_cut_ = 0;
  return true;
}

bool ClipboardText::write_line(std::string_view line, std::uint64_t number) {
  const std::size_t chars = count_chars(line, utf8_);
  const std::size_t eol_chars = eol_.size();
  if (chars_ + chars + eol_chars <= kClipboardLimit) {
    text_.append(line);
    text_.append(eol_);
    chars_ += chars + eol_chars;
    return true;
  }
  // What still fits of the line's text goes in; a line end is never cut in
  // two.
  const std::size_t room = kClipboardLimit - chars_;
  text_.append(line.substr(0, prefix_bytes(line, room, utf8_)));
  chars_ = kClipboardLimit;
  ++lines_cut_;
  if (first_cut_ == 0) first_cut_ = number;
  return true;
}

bool ClipboardText::finish() {
  const auto end = text_.find_last_not_of(' ');
  text_.resize(end == std::string::npos ? 0 : end + 1);
  return true;
}

}  // namespace conversion
