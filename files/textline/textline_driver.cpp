// The driver entry: opening and closing, the operations on closed files,
// options, and the routing of every operation code.
#include "files/textline/textline_driver.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "files/driver/error_state.h"
#include "files/driver/trace.h"
#include "files/textline/text_file_state.h"
#include "platform/system_error.h"

namespace files {
namespace {

std::atomic<platform::Env*> g_env{nullptr};

}  // namespace

void set_textline_env(platform::Env* env) { g_env.store(env); }

platform::Env* textline_env() {
  platform::Env* env = g_env.load();
  return env ? env : platform::Env::posix();
}

Driver& ascii_driver() {
  static textline::TextLineDriver driver;
  return driver;
}

namespace textline {
namespace {

using platform::Status;

constexpr std::int32_t kAccessDenied = 5;
constexpr std::int32_t kNotAvailable = 33;
constexpr std::int32_t kRecordNotFound = 35;
constexpr std::int32_t kInvalidFilename = 45;
constexpr std::int32_t kNoCreateAttribute = 54;
constexpr std::int32_t kUnsupported = 80;
constexpr std::size_t kMaxNameLength = 259;
constexpr std::size_t kCopyChunk = 64 * 1024;

std::uint8_t code_of(Op op) { return static_cast<std::uint8_t>(op); }

// The failure of an open or create: a sharing violation is posted as
// "Access Denied" and a bad path name as "Path Not Found"; the numbers 2 to
// 5 are the file errors of the same number.
std::int32_t open_failure(int system_number) {
  set_system_error(system_number);
  if (system_number == platform::syserr::sharing_violation) return kAccessDenied;
  if (system_number == 161) return 3;
  // A name the system cannot take is invalid like one too long for the rules.
  if (system_number == platform::syserr::filename_too_long) return kInvalidFilename;
  return system_code(system_number);
}

// Completes a file name the way every open, create, remove, rename and copy
// does. The platform this format comes from ignores trailing blanks of a
// name, and names arrive from blank-padded string variables, so they go.
// Returns 0, 45, or a system error number.
std::int32_t complete_name(platform::Env* env, std::string_view name, std::string* full) {
  const auto end = name.find_last_not_of(' ');
  name = end == std::string_view::npos ? std::string_view() : name.substr(0, end + 1);
  if (name.empty() || name.size() > kMaxNameLength) return kInvalidFilename;
  if (name.find('\0') != std::string_view::npos) return kInvalidFilename;
  if (const Status st = env->full_path(std::string(name), full); !st.ok()) return st.error;
  if (full->size() > kMaxNameLength) return kInvalidFilename;
  return 0;
}

bool lock_taken_by_other(platform::File& f, std::uint64_t byte) {
  const Status st = f.lock(byte, 1, platform::LockKind::exclusive, false);
  if (st.ok()) {
    (void)f.unlock(byte, 1);
    return false;
  }
  return st.error == platform::syserr::lock_violation;
}

struct Sharing {
  bool reads = false;
  bool writes = false;
  bool deny_read = false;
  bool deny_write = false;
};

Sharing sharing_of(std::uint32_t mode_word) {
  Sharing s;
  const std::uint32_t access = mode_word & mode::access_mask;
  s.reads = access != mode::write_only;  // 3 counts as read
  s.writes = access == mode::write_only || access == mode::read_write;
  const std::uint32_t sharing = mode_word & mode::sharing_mask;
  s.deny_read = sharing == mode::deny_all || sharing == mode::deny_read;
  s.deny_write = sharing == mode::deny_all || sharing == mode::deny_write;
  return s;
}

// Checks the new opener against everyone who has the file open (see
// share_lock) and, when `keep`, records its own access and denials for as
// long as `f` stays open. Returns 0 or 32 (sharing violation).
int claim_sharing(platform::File& f, const Sharing& me, bool keep) {
  namespace sl = share_lock;
  const bool guarded = f.lock(sl::guard, 1, platform::LockKind::exclusive, true).ok();
  bool conflict = false;
  if (guarded) {
    conflict = (me.reads && lock_taken_by_other(f, sl::deny_read)) ||
               (me.writes && lock_taken_by_other(f, sl::deny_write)) ||
               (me.deny_read && lock_taken_by_other(f, sl::readers)) ||
               (me.deny_write && lock_taken_by_other(f, sl::writers));
  }
  if (!conflict && keep) {
    auto claim = [&f](bool wanted, std::uint64_t byte) {
      if (wanted) (void)f.lock(byte, 1, platform::LockKind::shared, false);
    };
    claim(me.reads, sl::readers);
    claim(me.writes, sl::writers);
    claim(me.deny_read, sl::deny_read);
    claim(me.deny_write, sl::deny_write);
  }
  if (guarded) (void)f.unlock(sl::guard, 1);
  return conflict ? platform::syserr::sharing_violation : 0;
}

void close_state(TextFileState& s) {
  forget_whole_file_lock(s);
  (void)s.file.close();
  s.flags = 0;
  s.buffer.reset();
  s.buffer_size = 0;
  s.conversion.clear();
  s.conversion.shrink_to_fit();
  s.full_name.clear();
}

std::int32_t open_file(Driver& driver, FileControlBlock& fcb, std::uint32_t mode_word) {
  TextFileState& s = state_of(fcb);
  if (s.file.is_open()) close_state(s);
  s.env = textline_env();

  std::string full;
  if (const std::int32_t rc = complete_name(s.env, fcb.name, &full); rc != 0) {
    return rc == kInvalidFilename ? rc : open_failure(rc);
  }
  const Sharing sharing = sharing_of(mode_word);
  platform::OpenMode how;
  how.access = sharing.writes ? platform::Access::read_write : platform::Access::read;
  std::unique_ptr<platform::File> handle;
  Status opened = s.env->open(full, how, &handle);
  // A file opened for writing only is still read at its last byte (a Ctrl-Z
  // there is overwritten), so its handle asks for reading too, and settles
  // for writing alone when the permissions refuse that.
  if (opened.error == platform::syserr::access_denied && sharing.writes && !sharing.reads) {
    how.access = platform::Access::write;
    opened = s.env->open(full, how, &handle);
  }
  if (!opened.ok()) return open_failure(opened.error);
  if (const int conflict = claim_sharing(*handle, sharing, true); conflict != 0) return open_failure(conflict);
  s.file.attach(std::move(handle));

  auto fail = [&s](std::int32_t rc) {
    close_state(s);
    return rc;
  };
  std::uint64_t size = 0;
  if (const Status st = s.file.size(&size); !st.ok()) {
    set_system_error(st.error);
    return fail(kAccessDenied);
  }
  if (size > kMaxFileSize) {
    setDriverError("4GB", "Text files of 4 GiB or more are not supported");
    return fail(90);
  }

  s.flags = 0;
  s.lock_count = 0;
  s.write_only = sharing.writes && !sharing.reads;
  s.others_may_write = !sharing.deny_write;
  s.record_position = 0;
  s.record_span = 0;
  s.file_size = static_cast<std::uint32_t>(size);
  s.next_position = 1;
  s.end_tested = false;
  s.reset_defaults();

  const bool exclusive = mode::exclusive_sharing(mode_word);
  const std::uint64_t default_size = exclusive ? 1024 : 512;
  if (exclusive) s.flags |= tf::quick_scan;
  s.file.set_buffering(exclusive);
  if (const std::int32_t rc =
          replace_buffer(s, fcb, std::max<std::uint64_t>(default_size, 2ull * fcb.record_length));
      rc != 0) {
    return fail(rc);
  }
  if (fcb.attributes & attr::OEM) s.conversion.resize(fcb.record_length);

  if (!fcb.options.empty()) {
    if (const std::int32_t rc = apply_options(driver, fcb, fcb.options); rc != 0) return fail(rc);
  }
  if ((mode_word & mode::access_mask) == 0) s.flags |= tf::read_only;
  if ((mode_word & mode::sharing_mask) == mode::deny_none) s.flags |= tf::shared;

  s.full_name = std::move(full);
  fcb.open_mode = mode_word;
  if (mode_word & mode::access_mask) {
    fcb.state |= state::W;
  } else {
    fcb.state &= ~state::W;
  }
  if (exclusive) {
    fcb.state |= state::X;
  } else {
    fcb.state &= ~state::X;
  }
  return 0;
}

std::int32_t create_file(FileControlBlock& fcb) {
  if (!(fcb.attributes & attr::CREATE)) return kNoCreateAttribute;
  platform::Env* env = textline_env();
  std::string full;
  if (const std::int32_t rc = complete_name(env, fcb.name, &full); rc != 0) {
    return rc == kInvalidFilename ? rc : open_failure(rc);
  }
  platform::OpenMode how;
  how.access = platform::Access::read_write;
  how.create = true;
  std::unique_ptr<platform::File> handle;
  if (const Status st = env->open(full, how, &handle); !st.ok()) return open_failure(st.error);
  // Replacing the file asks for sole use of it, so it must not be open
  // anywhere else; only then is it cut.
  Sharing sole;
  sole.reads = sole.writes = sole.deny_read = sole.deny_write = true;
  if (const int conflict = claim_sharing(*handle, sole, false); conflict != 0) return open_failure(conflict);
  if (const Status st = handle->truncate(0); !st.ok()) {
    set_system_error(st.error);
    return kAccessDenied;
  }
  return 0;
}

std::int32_t remove_file(FileControlBlock& fcb) {
  platform::Env* env = textline_env();
  std::string full;
  if (const std::int32_t rc = complete_name(env, fcb.name, &full); rc != 0) {
    if (rc == kInvalidFilename) return rc;
    set_system_error(rc);
    return kAccessDenied;
  }
  const Status st = env->remove(full);
  if (st.ok()) return 0;
  set_system_error(st.error);
  return st.error == platform::syserr::file_not_found ? 2 : kAccessDenied;
}

std::int32_t rename_file(FileControlBlock& fcb, std::string_view new_name) {
  platform::Env* env = textline_env();
  std::string from;
  std::string to;
  std::int32_t rc = complete_name(env, fcb.name, &from);
  if (rc == 0) rc = complete_name(env, new_name, &to);
  if (rc != 0) return rc == kInvalidFilename ? rc : open_failure(rc);
  if (from == to) return env->exists(from) ? 0 : open_failure(platform::syserr::file_not_found);
  // The system underneath would silently replace an existing file; a rename
  // must never destroy another file.
  if (env->exists(to)) {
    set_system_error(platform::syserr::file_exists);
    return kAccessDenied;
  }
  if (const Status st = env->rename(from, to); !st.ok()) return open_failure(st.error);
  return 0;
}

std::int32_t copy_file(FileControlBlock& fcb, std::string_view new_name) {
  platform::Env* env = textline_env();
  std::string from;
  std::string to;
  std::int32_t rc = complete_name(env, fcb.name, &from);
  if (rc == 0) rc = complete_name(env, new_name, &to);
  if (rc != 0) return rc == kInvalidFilename ? rc : open_failure(rc);
  // Copying a file onto itself would cut it before reading it.
  if (from == to) {
    set_system_error(platform::syserr::sharing_violation);
    return kAccessDenied;
  }
  std::unique_ptr<platform::File> source;
  if (const Status st = env->open(from, platform::OpenMode{}, &source); !st.ok()) return open_failure(st.error);
  platform::OpenMode how;
  how.access = platform::Access::write;
  how.create = true;
  how.truncate = true;
  std::unique_ptr<platform::File> target;
  if (const Status st = env->open(to, how, &target); !st.ok()) return open_failure(st.error);
  std::vector<std::uint8_t> chunk(kCopyChunk);
  for (std::uint64_t at = 0;; ) {
    std::size_t got = 0;
    if (const Status st = source->read_at(at, chunk.data(), chunk.size(), &got); !st.ok()) {
      return open_failure(st.error);
    }
    if (got == 0) break;
    if (const Status st = target->write_at(at, chunk.data(), got); !st.ok()) return open_failure(st.error);
    at += got;
  }
  return 0;
}

// --- Options ---

// Digits with an optional leading "-" (when allowed). A number too large for
// 64 bits saturates; *ok is false when the text is not a number at all.
std::int64_t parse_number(std::string_view text, bool allow_negative, bool* ok) {
  *ok = false;
  bool negative = false;
  if (allow_negative && !text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return 0;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    if (value <= (INT64_MAX - 9) / 10) value = value * 10 + (c - '0');
    else value = INT64_MAX;
  }
  *ok = true;
  return negative ? -value : value;
}

// The token without blanks and in capitals, and its parts: whether it names
// `keyword` (followed by nothing or directly by "="), and the value.
struct Token {
  std::string text;
  bool has_value = false;
  std::string_view value;

  bool names(std::string_view keyword) {
    if (text.compare(0, keyword.size(), keyword) != 0) return false;
    if (text.size() == keyword.size()) {
      has_value = false;
      value = {};
      return true;
    }
    if (text[keyword.size()] != '=') return false;
    has_value = true;
    value = std::string_view(text).substr(keyword.size() + 1);
    return true;
  }
};

std::string on_off(bool on) { return on ? "ON" : "OFF"; }

std::int32_t switch_quick_scan(TextFileState& s, const FileControlBlock& fcb, bool on) {
  if (on) {
    s.flags |= tf::quick_scan;
  } else {
    s.flags &= ~tf::quick_scan;
  }
  // Whatever was cached under the old setting is written out and forgotten.
  if (const Status st = s.file.flush(); !st.ok()) {
    set_system_error(st.error);
    return kAccessDenied;
  }
  s.file.invalidate();
  s.file.set_buffering(on);
  // The window's stride follows the setting (see kQuickScanWindow).
  return replace_buffer(s, fcb, s.buffer_size);
}

std::int32_t set_end_of_record(TextFileState& s, const FileControlBlock& fcb, std::string_view value) {
  std::vector<std::int64_t> numbers;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = value.find(',', start);
    bool ok = false;
    const std::string_view part = value.substr(start, comma == std::string_view::npos ? value.npos : comma - start);
    numbers.push_back(parse_number(part, false, &ok));
    if (!ok) return kUnsupported;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  const std::int64_t count = numbers.front();
  if (count < 1 || count > static_cast<std::int64_t>(kMaxEndOfRecord) ||
      numbers.size() != static_cast<std::size_t>(count) + 1) {
    return kUnsupported;
  }
  for (std::size_t i = 1; i < numbers.size(); ++i) {
    if (numbers[i] > 255) return kUnsupported;
  }
  s.eor.fill(0);
  for (std::size_t i = 1; i < numbers.size(); ++i) s.eor[i - 1] = static_cast<std::uint8_t>(numbers[i]);
  s.eor_length = static_cast<std::uint32_t>(count);
  s.skipped = SkippedLine();
  // A longer sequence may no longer fit beside the record in the window.
  if (s.buffer_size < fcb.record_length + s.eor_length) return replace_buffer(s, fcb, s.buffer_size);
  return 0;
}

}  // namespace

std::string encode_position(std::uint32_t pointer) {
  std::string text(4, '\0');
  for (int i = 0; i < 4; ++i) text[i] = static_cast<char>((pointer >> (8 * i)) & 0xFF);
  return text;
}

bool decode_position(std::string_view text, std::uint32_t* pointer) {
  if (text.size() < 4) return false;
  std::uint32_t p = 0;
  for (int i = 0; i < 4; ++i) p |= std::uint32_t{static_cast<std::uint8_t>(text[i])} << (8 * i);
  *pointer = p;
  return true;
}

TextLineDriver::TextLineDriver()
    : descriptor_(make_driver_descriptor(
          "ASCII", "MFASCII", "Markfit text-line file driver", "Ascii File Driver 1.0",
          {code_of(Op::ADD), code_of(Op::ADDfilelen), code_of(Op::APPEND), code_of(Op::APPENDlen),
           code_of(Op::BYTES), code_of(Op::EOF_), code_of(Op::CLOSE), code_of(Op::COPY),
           code_of(Op::CREATE), code_of(Op::EMPTY), code_of(Op::FLUSH), code_of(Op::GETfileptrlen),
           code_of(Op::GETfileptr), code_of(Op::GET_PROPERTY), code_of(Op::LOCKfile),
           code_of(Op::LOCKfilesec), code_of(Op::NAME), code_of(Op::NEXT), code_of(Op::OPEN),
           code_of(Op::POINTERfile), code_of(Op::POSITIONfile), code_of(Op::PUT), code_of(Op::PUTfileptr),
           code_of(Op::PUTfileptrlen), code_of(Op::REGETfile), code_of(Op::REMOVE), code_of(Op::RENAME),
           code_of(Op::RESETfile), code_of(Op::SEND), code_of(Op::SETfile), code_of(Op::SETfileptr),
           code_of(Op::SET_PROPERTY), code_of(Op::SHARE), code_of(Op::UNLOCK)},
          {static_cast<std::uint8_t>(FieldType::STRING), static_cast<std::uint8_t>(FieldType::GROUP)})) {}

void TextLineDriver::release(FileControlBlock& fcb) {
  if (fcb.driver) close_state(state_of(fcb));
}

std::int32_t TextLineDriver::apply_option(FileControlBlock& fcb, std::string_view token, std::string* answer) {
  TextFileState& s = state_of(fcb);
  Token t;
  for (const char c : token) {
    if (c == ' ') continue;
    t.text.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
  if (!t.text.empty() && t.text.front() == '/') t.text.erase(0, 1);  // SEND may carry the "/"
  answer->clear();

  if (t.names("FILEBUFFERS")) {
    *answer = std::to_string(s.buffer_size);
    if (!t.has_value) return 0;
    bool ok = false;
    const std::int64_t blocks = parse_number(t.value, false, &ok);
    if (!ok) return kUnsupported;
    const std::uint64_t bytes = static_cast<std::uint64_t>(std::min<std::int64_t>(blocks, kMaxBufferBlocks)) *
                                kBufferBlock;
    return replace_buffer(s, fcb, std::max<std::uint64_t>(bytes, fcb.record_length));
  }
  if (t.names("QUICKSCAN")) {
    *answer = on_off(s.quick());
    if (t.value == "ON") return switch_quick_scan(s, fcb, true);
    if (t.value == "OFF") return switch_quick_scan(s, fcb, false);
    return 0;
  }
  if (t.names("ENDOFRECORD")) {
    *answer = std::to_string(s.eor_length);
    return t.has_value ? set_end_of_record(s, fcb, t.value) : 0;
  }
  if (t.names("CTRLZISEOF")) {
    *answer = on_off(s.ctrlz_ends_data());
    if (!t.has_value) return 0;
    if (t.value == "OFF") {
      s.flags |= tf::ctrlz_is_data;
    } else {
      s.flags &= ~tf::ctrlz_is_data;
    }
    s.skipped = SkippedLine();
    return 0;
  }
  if (t.names("CLIP")) {
    *answer = on_off(s.clip);
    if (t.value == "ON") s.clip = true;
    if (t.value == "OFF") s.clip = false;
    return 0;
  }
  if (t.names("PADDING")) {
    *answer = s.pad_lines ? "LINES" : "FULL";
    if (t.value == "LINES" && !s.pad_lines) {
      s.pad_lines = true;
      s.record_dirty = kUnknownExtent;
    }
    if (t.value == "FULL") s.pad_lines = false;
    return 0;
  }
  if (t.names("TAB")) {
    *answer = std::to_string(s.tab);
    if (!t.has_value) return 0;
    bool ok = false;
    const std::int64_t n = parse_number(t.value, true, &ok);
    if (!ok || n < INT32_MIN || n > INT32_MAX) return kUnsupported;
    s.tab = static_cast<std::int32_t>(n);
    s.tab_set = true;
    return 0;
  }
  return kUnsupported;
}

// TextLineDriver::perform, the common case of NEXT and ADD, is in
// text_records.cpp beside the routines it calls, so that they go inline.

std::int32_t TextLineDriver::perform_any(Op op, FileDescriptor& file, FileControlBlock& fcb, Operands& operands,
                                         std::int32_t* result) {
  TextFileState& s = state_of(fcb);
  const std::uint32_t record_length = fcb.record ? fcb.record_length : 0;
  auto read_at_pointer = [&](std::uint32_t pointer, std::uint32_t length) -> std::int32_t {
    if (pointer == 0) return 0;  // reads nothing, and that is no failure
    return read_record(s, fcb, pointer - 1ull, length);
  };

  switch (op) {
    case Op::OPEN:
    case Op::SHARE:
      return open_file(*this, fcb, operands.number);

    case Op::CLOSE: {
      const Status st = s.file.close();
      close_state(s);
      if (!st.ok()) {
        // The lines still buffered are lost and that is reported, but the
        // file is closed all the same: a second CLOSE could not bring them
        // back, and a block left open would hold a dead handle.
        fcb.state &= ~(state::O | state::L);
        set_system_error(st.error);
        return kAccessDenied;
      }
      return 0;
    }

    case Op::CREATE:
      return create_file(fcb);

    case Op::ADD:
    case Op::APPEND:
      return write_record(s, fcb, 0, record_length);
    case Op::ADDfilelen:
    case Op::APPENDlen:
      return write_record(s, fcb, 0, std::min(operands.length, record_length));
    case Op::PUT:
      if (!(s.flags & tf::current)) return kNotAvailable;
      return write_record(s, fcb, s.record_position + 1, record_length);
    case Op::PUTfileptr:
      return write_record(s, fcb, operands.number, record_length);
    case Op::PUTfileptrlen:
      return write_record(s, fcb, operands.number, std::min(operands.length, record_length));

    case Op::NEXT: {
      const std::int32_t rc = read_record(s, fcb, s.next_position - 1ull, record_length);
      if (rc == 0) {
        s.next_position = s.record_position + s.record_span + 1;
        *result = static_cast<std::int32_t>(s.record_span);
      }
      return rc;
    }
    case Op::GETfileptr:
      return read_at_pointer(operands.number, record_length);
    case Op::GETfileptrlen:
      return read_at_pointer(operands.number, std::min(operands.length, record_length));
    case Op::REGETfile: {
      std::uint32_t pointer = 0;
      if (!decode_position(operands.text, &pointer)) return kRecordNotFound;
      return read_at_pointer(pointer, record_length);
    }

    case Op::SETfile:
      s.next_position = 1;
      return 0;
    case Op::SETfileptr:
      s.next_position = operands.number ? operands.number : 1;
      return 0;
    case Op::RESETfile: {
      std::uint32_t pointer = 0;
      if (!decode_position(operands.text, &pointer)) return kRecordNotFound;
      s.next_position = pointer ? pointer : 1;
      return 0;
    }

    case Op::POINTERfile:
      *result = (s.flags & tf::current) ? static_cast<std::int32_t>(s.record_position + 1) : 0;
      return 0;
    case Op::POSITIONfile:
      operands.answer = encode_position((s.flags & tf::current) ? s.record_position + 1 : 0);
      return 0;
    case Op::BYTES: {
      if (fcb.state & state::C) {
        *result = static_cast<std::int32_t>(s.record_span);
        return 0;
      }
      if ((s.flags & tf::shared) && !s.quick()) {
        std::uint64_t n = 0;
        if (const Status st = s.file.size(&n); !st.ok()) {
          set_system_error(st.error);
          return kAccessDenied;
        }
        s.file_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, kMaxFileSize));
      }
      *result = static_cast<std::int32_t>(s.file_size);
      return 0;
    }
    case Op::EOF_:
      *result = at_end(s) ? 1 : 0;
      return 0;

    case Op::EMPTY: {
      if (const Status st = s.file.truncate(0); !st.ok()) {
        set_system_error(st.error);
        return kAccessDenied;
      }
      s.file_size = 0;
      return 0;
    }
    case Op::FLUSH:
      if (const Status st = s.file.flush(); !st.ok()) {
        set_system_error(st.error);
        return kAccessDenied;
      }
      return 0;

    case Op::LOCKfile:
      return lock_level(s, true);
    case Op::LOCKfilesec:
      return lock_with_deadline(s, operands.number);
    case Op::UNLOCK:
      unlock_level(s);
      return 0;

    case Op::NAME:
      operands.answer = s.file.is_open() ? s.full_name : fcb.name;
      return 0;
    case Op::REMOVE:
      return remove_file(fcb);
    case Op::RENAME:
      return rename_file(fcb, operands.text);
    case Op::COPY:
      return copy_file(fcb, operands.text);

    case Op::SEND:
      return apply_option(fcb, operands.text, &operands.answer);
    case Op::SET_PROPERTY:
      return set_trace_property(file, fcb, operands.text, operands.value) ? 0 : kUnsupported;
    case Op::GET_PROPERTY:
      return get_trace_property(fcb, operands.text, &operands.answer) ? 0 : kUnsupported;

    case Op::BUILDevent:
      fcb.state &= ~state::B;
      return 0;
    case Op::INVIEW:
    case Op::ENDVIEW:
    case Op::QUERY_KEY:
    case Op::SETPROPERTYkey:
    case Op::GETPROPERTYkey:
    case Op::Internal91:
      return 0;
    case Op::CLEAR:
      if (record_length) std::memset(fcb.record, ' ', record_length);
      s.record_dirty = 0;
      return 0;

    default:
      return kUnsupported;
  }
}

}  // namespace textline
}  // namespace files
