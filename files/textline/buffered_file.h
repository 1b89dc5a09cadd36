// A byte window over one open platform::File: the text-line driver's I/O
// buffer.
//
// The window holds the file's bytes [offset, offset + valid) as far as this
// object knows them; writes land in it and are marked dirty until flushed.
// Reads that the window cannot satisfy flush the dirty bytes first and then
// load a fresh window, so a reader always sees its own earlier writes.
//
// With buffering off nothing is trusted between operations: the driver calls
// start_operation() before each one, which drops the window, and flushes
// after each write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/env.h"

namespace files::textline {

class BufferedFile {
 public:
  BufferedFile() = default;
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  // Takes ownership of an open file. The buffer must be set before any I/O.
  void attach(std::unique_ptr<platform::File> file);
  bool is_open() const { return handle_ != nullptr; }
  platform::File* handle() { return handle_.get(); }

  // Uses `size` bytes at `buffer`. The buffer is never owned here: the
  // driver's per-file state keeps the storage and must keep it valid until
  // the next set_buffer or close. Dirty bytes are flushed first; on a failed flush the
  // buffer is not replaced and the error is returned.
  platform::Status set_buffer(std::uint8_t* buffer, std::size_t size);
  std::size_t buffer_size() const { return size_; }

  void set_buffering(bool on) { buffering_ = on; }
  bool buffering() const { return buffering_; }

  // Forgets the cached content when buffering is off (flushing first, should
  // anything be dirty). Call at the start of every operation.
  platform::Status start_operation() {
    if (buffering_) return platform::Status::success();
    return forget_window();
  }

  // Makes at least `min_bytes` bytes from offset p available (fewer only at
  // the end of the file) and points *data at them; *avail receives how many
  // bytes from p the window holds, which may be more than min_bytes.
  // min_bytes must not exceed the buffer size. The pointer is valid until the
  // next call on this object. On failure *avail is 0 and the error is the
  // system error number.
  platform::Status fetch(std::uint64_t p, std::size_t min_bytes, const std::uint8_t** data,
                         std::size_t* avail) {
    // Most reads of a line file find their bytes in the window already.
    if (!content_invalid_ && p >= offset_ && p <= offset_ + valid_) {
      const std::size_t at = static_cast<std::size_t>(p - offset_);
      const std::size_t have = valid_ - at;
      if (have >= min_bytes || window_at_end_) {
        position_ = at;
        *data = buffer_ + at;
        *avail = have;
        return platform::Status::success();
      }
    }
    return load(p, data, avail);
  }

  // The bytes the window holds from p on, without loading anything: false
  // when it holds none (then fetch). For the line reads that almost always
  // find their line in place.
  bool window_holds(std::uint64_t p, const std::uint8_t** data, std::size_t* avail) {
    if (content_invalid_ || p < offset_ || p >= offset_ + valid_) return false;
    const std::size_t at = static_cast<std::size_t>(p - offset_);
    position_ = at;
    *data = buffer_ + at;
    *avail = valid_ - at;
    return true;
  }

  // Puts n bytes and then m more at offset p when both fit in the window
  // where it holds p (as write would put them there); false, with nothing
  // done, when they do not.
  bool write_in_window(std::uint64_t p, const std::uint8_t* a, std::size_t n, const std::uint8_t* b,
                       std::size_t m) {
    if (content_invalid_ || p < offset_ || p > offset_ + valid_) return false;
    const std::size_t at = static_cast<std::size_t>(p - offset_);
    if (n + m == 0 || n + m > size_ - at) return false;
    ++changes_;
    std::memcpy(buffer_ + at, a, n);
    std::memcpy(buffer_ + at + n, b, m);
    const std::size_t end = at + n + m;
    if (end > valid_) valid_ = end;
    if (!dirty_) {
      dirty_ = true;
      dirty_lo_ = at;
      dirty_hi_ = end;
    } else {
      if (at < dirty_lo_) dirty_lo_ = at;
      if (end > dirty_hi_) dirty_hi_ = end;
    }
    position_ = end;
    return true;
  }

  // Writes n bytes at offset p, through the window when they fit in it.
  // *written receives how many bytes reached the file or the window; only a
  // direct (unbuffered) write can stop short.
  platform::Status write(std::uint64_t p, const std::uint8_t* bytes, std::size_t n, std::size_t* written);

  // Writes out the dirty bytes. A failed flush drops them and the window (the
  // file holds whatever prefix the system took), so the error is reported
  // once and never hides behind a later success.
  platform::Status flush();

  // Flushes, then cuts the file at `size`.
  platform::Status truncate(std::uint64_t size);

  // The file's size: what the system says, or the end of the dirty bytes
  // when they reach further.
  platform::Status size(std::uint64_t* out);

  // Flushes and closes; the file is closed even when the flush fails.
  platform::Status close();

  // Drops the window and any dirty bytes without writing them.
  void invalidate();

  // Grows whenever the bytes this object knows may have changed: a write,
  // a truncation, a dropped window, another file attached. What was learned
  // from the content stays true while it has not grown.
  std::uint64_t changes() const { return changes_; }

  // The last system error number seen (0 when none).
  int last_error() const { return last_error_; }

 private:
  platform::Status forget_window();
  // Flushes and loads a fresh window starting at p.
  platform::Status load(std::uint64_t p, const std::uint8_t** data, std::size_t* avail);

  platform::Status remember(platform::Status s) {
    if (!s.ok()) last_error_ = s.error;
    return s;
  }

  std::unique_ptr<platform::File> handle_;
  int last_error_ = 0;
  std::uint64_t changes_ = 0;
  std::uint64_t offset_ = 0;      // file offset of the window's first byte
  std::size_t valid_ = 0;         // bytes of the window that hold file content
  std::size_t position_ = 0;      // where the last fetch or write left off, inside the window
  std::size_t size_ = 0;          // buffer size
  std::uint8_t* buffer_ = nullptr;
  // Flags.
  bool dirty_ = false;            // [dirty_lo_, dirty_hi_) still has to reach the file
  bool buffering_ = false;        // the window survives between operations
  bool content_invalid_ = true;   // the window holds nothing
  bool window_at_end_ = false;    // the file ended at offset_ + valid_ when the window was loaded
  std::size_t dirty_lo_ = 0;
  std::size_t dirty_hi_ = 0;
};

}  // namespace files::textline
