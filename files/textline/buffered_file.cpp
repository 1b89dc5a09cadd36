#include "files/textline/buffered_file.h"

#include <algorithm>
#include <cstring>

#include "platform/system_error.h"

namespace files::textline {

using platform::Status;

void BufferedFile::attach(std::unique_ptr<platform::File> file) {
  handle_ = std::move(file);
  last_error_ = 0;
  invalidate();
}

Status BufferedFile::set_buffer(std::uint8_t* buffer, std::size_t size) {
  if (const Status s = flush(); !s.ok()) return s;
  invalidate();
  buffer_ = buffer;
  size_ = size;
  return Status::success();
}

Status BufferedFile::forget_window() {
  const Status s = flush();
  invalidate();
  return s;
}

void BufferedFile::invalidate() {
  ++changes_;
  content_invalid_ = true;
  window_at_end_ = false;
  dirty_ = false;
  offset_ = 0;
  valid_ = 0;
  position_ = 0;
  dirty_lo_ = dirty_hi_ = 0;
}

Status BufferedFile::load(std::uint64_t p, const std::uint8_t** data, std::size_t* avail) {
  *avail = 0;
  *data = buffer_;
  if (!handle_ || buffer_ == nullptr) return remember(Status(platform::syserr::invalid_handle));
  if (const Status s = flush(); !s.ok()) return s;
  std::size_t got = 0;
  if (const Status s = handle_->read_at(p, buffer_, size_, &got); !s.ok()) {
    invalidate();
    return remember(s);
  }
  offset_ = p;
  valid_ = got;
  position_ = 0;
  content_invalid_ = false;
  window_at_end_ = got < size_;
  *avail = got;
  return Status::success();
}

Status BufferedFile::write(std::uint64_t p, const std::uint8_t* bytes, std::size_t n, std::size_t* written) {
  *written = 0;
  if (!handle_ || buffer_ == nullptr) return remember(Status(platform::syserr::invalid_handle));
  if (n == 0) return Status::success();
  ++changes_;

  const bool joins_window = !content_invalid_ && p >= offset_ && p <= offset_ + valid_ &&
                            static_cast<std::size_t>(p - offset_) <= size_ &&
                            n <= size_ - static_cast<std::size_t>(p - offset_);
  if (joins_window) {
    const std::size_t at = static_cast<std::size_t>(p - offset_);
    std::memcpy(buffer_ + at, bytes, n);
    valid_ = std::max(valid_, at + n);
    if (dirty_) {
      dirty_lo_ = std::min(dirty_lo_, at);
      dirty_hi_ = std::max(dirty_hi_, at + n);
    } else {
      dirty_ = true;
      dirty_lo_ = at;
      dirty_hi_ = at + n;
    }
    position_ = at + n;
    *written = n;
    return Status::success();
  }

  // Whatever is pending goes first, so that the order of writes on disk is
  // the order they were made in.
  if (const Status s = flush(); !s.ok()) return s;
  if (n > size_) {
    // Too big for the window: straight to the file. The window may hold the
    // old bytes, or believe the file ends where this write now continues it.
    invalidate();
    return remember(handle_->write_at(p, bytes, n, written));
  }
  invalidate();
  std::memcpy(buffer_, bytes, n);
  offset_ = p;
  valid_ = n;
  position_ = n;
  content_invalid_ = false;
  window_at_end_ = false;  // unknown: whatever follows is loaded on demand
  dirty_ = true;
  dirty_lo_ = 0;
  dirty_hi_ = n;
  *written = n;
  return Status::success();
}

Status BufferedFile::flush() {
  if (!dirty_) return Status::success();
  dirty_ = false;
  std::size_t done = 0;
  const Status s = handle_->write_at(offset_ + dirty_lo_, buffer_ + dirty_lo_, dirty_hi_ - dirty_lo_, &done);
  if (!s.ok()) {
    invalidate();
    return remember(s);
  }
  return Status::success();
}

Status BufferedFile::truncate(std::uint64_t size) {
  if (!handle_) return remember(Status(platform::syserr::invalid_handle));
  if (const Status s = flush(); !s.ok()) return s;
  invalidate();
  return remember(handle_->truncate(size));
}

Status BufferedFile::size(std::uint64_t* out) {
  *out = 0;
  if (!handle_) return remember(Status(platform::syserr::invalid_handle));
  std::uint64_t n = 0;
  if (const Status s = handle_->size(&n); !s.ok()) return remember(s);
  if (dirty_) n = std::max<std::uint64_t>(n, offset_ + dirty_hi_);
  *out = n;
  return Status::success();
}

Status BufferedFile::close() {
  Status s = Status::success();
  if (handle_) s = flush();
  handle_.reset();
  invalidate();
  return s;
}

}  // namespace files::textline
