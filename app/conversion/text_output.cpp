#include "app/conversion/text_output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/textline/textline_driver.h"
#include "platform/signals.h"
#include "platform/system_error.h"
#include "runtime/messages.h"

namespace conversion {
namespace {

constexpr std::uint32_t kRecord = 65532;
// Read/write, nobody else: the file is ours until it is renamed, and the
// driver may keep its lines buffered.
constexpr std::uint32_t kReadWriteDenyAll = 0x12;
constexpr int kAccessDenied = 5;
constexpr std::int32_t kFileSystemError = 90;
constexpr std::size_t kStreamBuffer = 256 * 1024;
constexpr std::size_t kCopyChunk = 1024 * 1024;

std::string_view eol_of(LineEnd e) { return e == LineEnd::lf ? std::string_view("\n") : std::string_view("\r\n"); }

// What the user is told for the last failed file operation: the system's
// reason where the driver words it only as "Access Denied" (a full disk).
std::string file_error_text() {
  if (files::ERRORCODE() == kFileSystemError && files::FILEERRORCODE() == "4GB") {
    return "the output would reach 4 GiB, and text files of 4 GiB or more are not supported";
  }
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

std::string system_error_text(int number) { return runtime::system_error_text(number); }

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

// A file being made: unnamed (kept alive by `file`) or named in its folder.
struct FileOutput::Temporary {
  std::unique_ptr<platform::File> file;
  std::string open_name;  // what the driver opens it by
  std::string named;      // its name in the folder, when it has one
  platform::RemovedOnSignal guard;
};

namespace {

std::string folder_of(const std::string& absolute) {
  const auto slash = absolute.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return absolute.substr(0, slash);
}

std::string base_of(const std::string& absolute) { return absolute.substr(absolute.rfind('/') + 1); }

// A free name for a temporary file in `folder` beside `base`: the target's
// name and a random number, or a short name where that would be too long.
std::string temporary_name(const std::string& folder, const std::string& base, std::random_device& random) {
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
  const std::string head = (folder == "/" ? "" : folder) + "/";
  if (base.size() + std::strlen(suffix) <= 200) return head + base + suffix;
  return head + "markfit" + suffix;
}

// The path the chain of symbolic links at `path` (absolute) leads to; the
// path itself when it is no link. A relative link text counts from the
// link's folder as the system sees it, whatever links lead there. A link
// to an open descriptor ends the chain (*descriptor set): its text names no
// file, or not reliably.
std::string follow_links(platform::Env* env, std::string path, bool* descriptor) {
  for (int i = 0; i < 40; ++i) {
    if (env->is_descriptor_link(path)) {
      *descriptor = true;
      return path;
    }
    std::string text;
    if (!env->read_link(path, &text).ok() || text.empty()) return path;
    if (text[0] == '/') {
      path = text;
      continue;
    }
    std::string folder = folder_of(path);
    if (std::string real; env->real_path(folder, &real).ok()) folder = real;
    path = (folder == "/" ? "" : folder) + "/" + text;
  }
  return path;  // a loop: the system says so when the name is used
}

struct Examined {
  int error = 0;           // a look that failed for another reason than a missing file
  std::string full;        // the name as given, absolute
  std::string name;        // links followed
  bool exists = false;
  // Reached through a link the system makes for an open descriptor
  // (/proc/self/fd/N): following its text leads elsewhere or nowhere.
  bool through_descriptor = false;
  platform::FileInfo info;
};

Examined examine(platform::Env* env, const std::string& target) {
  Examined e;
  if (const platform::Status st = env->full_path(target, &e.full); !st.ok()) {
    e.error = st.error;
    return e;
  }
  e.name = follow_links(env, e.full, &e.through_descriptor);
  const platform::Status st = env->file_info(e.full, &e.info);
  if (st.ok()) {
    e.exists = true;
    platform::FileInfo there;
    e.through_descriptor = e.through_descriptor ||
                           (e.name != e.full && (!env->file_info(e.name, &there).ok() ||
                                                 there.device != e.info.device || there.inode != e.info.inode));
  } else if (st.error == platform::syserr::not_supported) {
    e.exists = env->exists(e.full);  // an Env that tells no more holds plain files
    e.info = platform::FileInfo();
  } else if (st.error != platform::syserr::file_not_found && st.error != platform::syserr::path_not_found) {
    e.error = st.error;
  }
  return e;
}

bool refused(int error) {
  return error == platform::syserr::access_denied || error == platform::syserr::write_protect;
}

}  // namespace

OutputKind output_kind(const std::string& path) {
  const Examined e = examine(files::textline_env(), path);
  if (e.error != 0 || !e.exists) return OutputKind::missing;
  switch (e.info.kind) {
    case platform::FileKind::regular:
      return e.through_descriptor ? OutputKind::stream : OutputKind::file;
    case platform::FileKind::directory:
      return OutputKind::directory;
    default:
      return OutputKind::stream;
  }
}

FileOutput::FileOutput(std::string target, LineEnd line_end, bool replace)
    : target_(std::move(target)), line_end_(line_end), replace_(replace), eol_length_(eol_of(line_end).size()) {}

FileOutput::~FileOutput() {
  if (out_ || temp_ || stream_ || in_place_) abandon();
}

bool FileOutput::fail(const std::string& doing) {
  error_ = "cannot " + doing + " '" + target_ + "': " + file_error_text();
  return false;
}

bool FileOutput::fail_with(int system_error, const std::string& doing) {
  error_ = "cannot " + doing + " '" + target_ + "': " + system_error_text(system_error);
  return false;
}

bool FileOutput::refuse_existing() {
  appeared_ = true;
  error_ = "'" + target_ + "' exists already";
  return false;
}

bool FileOutput::begin() {
  abandon();
  appeared_ = false;
  error_.clear();
  written_ = 0;
  partial_ = 0;
  plan_ = Plan::none;
  platform::Env* env = files::textline_env();
  Examined e = examine(env, target_);
  if (e.error != 0) return fail_with(e.error);
  name_ = e.name;
  const std::string folder = folder_of(name_);
  if (!e.exists) {
    plan_ = Plan::create;
    bool denied = false;
    if (!make_temporary(folder, 0666, &denied)) return false;
    return open_driver();
  }
  if (e.info.kind == platform::FileKind::directory) {
    error_ = "'" + target_ + "' is a directory, not a file";
    return false;
  }
  if (e.info.kind != platform::FileKind::regular) {
    plan_ = Plan::direct;
    if (const platform::Status st = env->open_stream(e.full, platform::Access::write, &stream_); !st.ok()) {
      return fail_with(st.error);
    }
    return true;
  }
  // A file handed over as an open descriptor is the caller's to write: it
  // is never replaced, so there is nothing to ask.
  if (!replace_ && !e.through_descriptor) return refuse_existing();
  // Only a file the user may write is replaced, as a shell's ">" would.
  platform::OpenMode how;
  how.access = platform::Access::write;
  if (const platform::Status st = env->open(e.full, how, &in_place_); !st.ok()) return fail_with(st.error);
  if (platform::FileInfo opened; in_place_->info(&opened).ok()) e.info = opened;
  bool in_place = e.info.links > 1 || e.through_descriptor;
  // Beside the target where the folder lets us (a descriptor's link has no
  // folder of its own), else in the temporary folder.
  bool denied = e.through_descriptor;
  if (denied || !make_temporary(folder, 0600, &denied)) {
    if (!denied) return false;
    in_place = true;
    if (!make_temporary(platform::temporary_directory(), 0600, &denied)) return false;
  }
  if (!in_place && !keep_attributes(e.info)) in_place = true;
  if (in_place) {
    plan_ = Plan::in_place;
  } else {
    plan_ = Plan::replace;
    in_place_.reset();
  }
  return open_driver();
}

// Made private (0600) when it is to replace a file, until it has the
// target's attributes; a new file gets what the umask gives, as any other.
bool FileOutput::make_temporary(const std::string& folder, std::uint32_t permissions, bool* denied) {
  platform::Env* env = files::textline_env();
  auto temp = std::make_unique<Temporary>();
  platform::Status st = env->open_unnamed(folder, permissions, &temp->file);
  if (st.ok()) {
    temp->open_name = temp->file->path();
    temp_ = std::move(temp);
    return true;
  }
  if (st.error == platform::syserr::not_supported) {
    std::random_device random;
    const std::string base = base_of(name_);
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name = temporary_name(folder, base, random);
      platform::OpenMode how;
      how.access = platform::Access::read_write;
      how.create = true;
      how.exclusive = true;
      how.permissions = permissions;
      st = env->open(name, how, &temp->file);
      if (st.ok()) {
        temp->guard = platform::RemovedOnSignal(name);
        temp->open_name = name;
        temp->named = std::move(name);
        temp_ = std::move(temp);
        return true;
      }
      if (st.error != platform::syserr::file_exists) break;
    }
  }
  *denied = refused(st.error);
  return fail_with(st.error);
}

// The owner and group first: a change of owner clears the set-user-id bits
// that the permissions then put back.
bool FileOutput::keep_attributes(const platform::FileInfo& target) {
  platform::File& file = *temp_->file;
  platform::FileInfo mine;
  if (!file.info(&mine).ok()) return true;  // an Env without attributes
  if ((mine.owner != target.owner || mine.group != target.group) && !file.set_owner(target.owner, target.group).ok()) {
    return false;
  }
  return file.set_permissions(target.permissions).ok();
}

bool FileOutput::open_driver() {
  out_ = std::make_unique<Declared>(temp_->open_name, line_end_);
  files::open(out_->fd, kReadWriteDenyAll);
  if (files::ERRORCODE() != 0) {
    fail("write");
    abandon();
    return false;
  }
  return true;
}

bool FileOutput::flush_stream() {
  if (buffer_.empty()) return true;
  const platform::Status st = stream_->write(buffer_.data(), buffer_.size());
  buffer_.clear();
  return st.ok() || fail_with(st.error);
}

bool FileOutput::too_large(std::uint64_t more) {
  if (written_ + partial_ + more <= largest_) return false;
  error_ = "cannot write '" + target_ + "': the output would reach 4 GiB, and text files of 4 GiB or more are not supported";
  return true;
}

bool FileOutput::write_line(std::string_view line, std::uint64_t number) {
  (void)number;
  if (plan_ == Plan::direct) {
    buffer_.append(line);
    buffer_.append(eol_of(line_end_));
    return buffer_.size() < kStreamBuffer || flush_stream();
  }
  if (too_large(line.size() + eol_length_)) return false;
  // The rest of a line given in parts goes over the line end they left.
  if (partial_ != 0 || line.size() > kRecord) return write_long(line);
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

bool FileOutput::write_part(std::string_view part) {
  if (plan_ == Plan::direct) {
    buffer_.append(part);
    return buffer_.size() < kStreamBuffer || flush_stream();
  }
  if (part.empty()) return true;
  if (too_large(part.size() + eol_length_)) return false;
  if (partial_ == 0) files::send(out_->fd, "CLIP=OFF");
  return write_bytes(part);
}

// Bytes of the current line after the partial_ bytes already written, in
// records: the first with its own line end added at the end of the file,
// each later one over the line end the one before it left. No piece loses
// the blanks it may end in (the caller has clipping off).
bool FileOutput::write_bytes(std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t n = std::min<std::size_t>(kRecord, bytes.size() - done);
    std::memcpy(out_->record.data(), bytes.data() + done, n);
    files::set_system_error(0);
    if (partial_ == 0) {
      files::add(out_->fd, static_cast<std::uint32_t>(n));
    } else {
      files::put(out_->fd, static_cast<std::uint32_t>(written_ + partial_ + 1), static_cast<std::uint32_t>(n));
    }
    if (files::ERRORCODE() != 0) return fail("write");
    partial_ += n;
    done += n;
  }
  return true;
}

// A line longer than the record, or the rest of one given in parts (which
// turned clipping off already), goes in pieces.
bool FileOutput::write_long(std::string_view line) {
  if (partial_ == 0) files::send(out_->fd, "CLIP=OFF");
  const bool ok = write_bytes(line);
  written_ += partial_ + eol_length_;
  partial_ = 0;
  const files::ErrorState saved = files::save_error_state();
  files::send(out_->fd, "CLIP=ON");
  files::restore_error_state(saved);
  return ok;
}

bool FileOutput::finish() {
  if (plan_ == Plan::direct) {
    const bool ok = flush_stream();
    stream_.reset();
    return ok;
  }
  files::set_system_error(0);
  files::close(out_->fd);
  if (files::ERRORCODE() != 0) {
    fail("write");
    abandon();
    return false;
  }
  out_.reset();
  const bool ok = plan_ == Plan::in_place ? put_in_place() : give_name();
  if (!ok) abandon();
  return ok;
}

bool FileOutput::give_name() {
  platform::Env* env = files::textline_env();
  Temporary& temp = *temp_;
  // A file that replaces another must be on the disk before its name is:
  // else a crash could leave the name with an empty file, the old one lost.
  if (plan_ == Plan::replace) {
    if (const platform::Status st = temp.file->sync(); !st.ok()) return fail_with(st.error);
  }
  platform::Status st;
  if (temp.named.empty()) {
    // An unnamed file takes a name that must be free; to replace a file it
    // takes a free one beside it first and is renamed over the target.
    st = plan_ == Plan::create ? env->link_unnamed(*temp.file, name_) : platform::Status(platform::syserr::file_exists);
    if (st.error == platform::syserr::file_exists && (plan_ == Plan::replace || replace_)) {
      std::random_device random;
      for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = temporary_name(folder_of(name_), base_of(name_), random);
        st = env->link_unnamed(*temp.file, name);
        if (st.ok()) {
          temp.guard = platform::RemovedOnSignal(name);
          temp.named = std::move(name);
          break;
        }
        if (st.error != platform::syserr::file_exists) break;
      }
      if (st.ok()) st = env->rename(temp.named, name_);
    }
  } else {
    st = plan_ == Plan::create && !replace_ ? env->rename_no_replace(temp.named, name_) : env->rename(temp.named, name_);
  }
  if (st.error == platform::syserr::file_exists) {
    appeared_ = true;
    error_ = "'" + target_ + "' exists now (another program made it while this run was writing) and is left as it is";
    return false;
  }
  if (!st.ok()) return fail_with(st.error);
  temp.guard.release();
  temp_.reset();
  // The file is whole either way; a directory that cannot be synced only
  // leaves the new name less durable.
  (void)env->sync_directory_of(name_);
  return true;
}

// The whole output is in the temporary file: it goes over the target's
// bytes from the start, and the target is cut to its length. Nothing is
// read from the target, so the copy cannot be confused by what it held.
bool FileOutput::put_in_place() {
  const platform::SignalsHeld held;
  platform::File& from = *temp_->file;
  platform::File& to = *in_place_;
  std::uint64_t size = 0;
  if (const platform::Status st = from.size(&size); !st.ok()) return fail_with(st.error);
  std::vector<char> chunk(kCopyChunk);
  platform::Status st;
  for (std::uint64_t at = 0; at < size && st.ok();) {
    std::size_t got = 0;
    st = from.read_at(at, chunk.data(), static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - at)), &got);
    if (st.ok() && got == 0) st = platform::Status(platform::syserr::read_fault);
    if (st.ok()) st = to.write_at(at, chunk.data(), got);
    at += got;
  }
  if (st.ok()) st = to.truncate(size);
  if (st.ok()) st = to.sync();
  if (!st.ok()) {
    fail_with(st.error);
    error_ += " (the file now holds part of the new output)";
    return false;
  }
  in_place_.reset();
  abandon();
  return true;
}

void FileOutput::abandon() {
  out_.reset();
  stream_.reset();
  buffer_.clear();
  in_place_.reset();
  if (temp_) {
    temp_->file.reset();
    if (!temp_->named.empty()) (void)files::textline_env()->remove(temp_->named);
    temp_.reset();
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

bool StreamOutput::put(std::string_view bytes) {
  if (buffer_.size() + bytes.size() > kStreamBuffer && !drain()) return false;
  if (bytes.size() > kStreamBuffer) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream_) != bytes.size()) {
      error_ = "cannot write to " + name_ + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  buffer_.append(bytes);
  return true;
}

bool StreamOutput::write_line(std::string_view line, std::uint64_t number) {
  (void)number;
  return put(line) && put(eol_);
}

bool StreamOutput::write_part(std::string_view part) { return put(part); }

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
  gathered_.clear();
  text_.clear();
  chars_ = 0;
  lines_cut_ = 0;
  first_cut_ = 0;
  return true;
}

bool ClipboardText::write_line(std::string_view whole, std::uint64_t number) {
  std::string_view line = whole;
  if (!gathered_.empty()) {
    gathered_.append(whole);
    line = gathered_;
  }
  const bool ok = add_line(line, number);
  gathered_.clear();
  return ok;
}

bool ClipboardText::add_line(std::string_view line, std::uint64_t number) {
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
