// The Linux implementation of the seam.
//
// Access and locks: a lock of either kind must work on a file opened for
// reading only (the keyed-file engine holds record bytes of a table it only
// reads), but fcntl refuses a write lock on a read-only descriptor, and open
// file description locks belong to the description, so a second read/write
// descriptor taken just for the lock would not conflict with ours. So every
// file is opened O_RDWR when its permissions allow it, and the access the
// caller asked for is enforced here on each read, write and truncate. Only
// when the permissions (or a read-only medium, or a running executable)
// refuse O_RDWR does the descriptor get just the requested access; a lock
// of the kind that descriptor cannot carry then fails with 5.
//
// Locks are open-file-description locks (F_OFD_SETLK / F_OFD_SETLKW): they
// belong to this File, never to the process, so two Files in one process
// conflict like two programs and closing one leaves the other's locks alone.
// No descriptor is ever duplicated, and all are close-on-exec, so closing a
// File really ends its description and frees its locks.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "platform/env.h"
#include "platform/path.h"
#include "platform/system_error.h"

static_assert(sizeof(off_t) == 8, "the lock layout lives above 2^31: 64-bit file offsets are required");

namespace platform {

namespace {

bool bad_name(const std::string& path) { return path.empty() || path.find('\0') != std::string::npos; }

bool range_ok(std::uint64_t offset, std::uint64_t length) {
  return length != 0 && offset <= max_file_offset && length - 1 <= max_file_offset - offset;
}

int open_retrying(const char* path, int flags) {
  for (;;) {
    const int fd = ::open(path, flags, 0666);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

class PosixFile final : public File {
 public:
  PosixFile(int fd, std::string path, Access access, bool readable, bool writable)
      : fd_(fd), path_(std::move(path)), access_(access), readable_(readable), writable_(writable) {}

  // A failing close cannot lose anything that sync did not already report.
  ~PosixFile() override { ::close(fd_); }

  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  Status read_at(std::uint64_t offset, void* buf, std::size_t n, std::size_t* got) override {
    std::size_t done = 0;
    Status result;
    if (access_ == Access::write) {
      result = Status(syserr::access_denied);
    } else if (offset > max_file_offset || (n != 0 && buf == nullptr)) {
      result = Status(syserr::invalid_parameter);
    } else {
      auto* out = static_cast<unsigned char*>(buf);
      while (done < n) {
        const std::uint64_t pos = offset + done;
        if (pos > max_file_offset) break;  // nothing can lie there
        const std::size_t chunk = static_cast<std::size_t>(
            std::min<std::uint64_t>({n - done, SSIZE_MAX, max_file_offset - pos + 1}));
        const ssize_t r = ::pread(fd_, out + done, chunk, static_cast<off_t>(pos));
        if (r < 0) {
          if (errno == EINTR) continue;
          result = Status(system_error_from_errno(errno, IoKind::read));
          break;
        }
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
      }
    }
    if (got != nullptr) *got = done;
    return result;
  }

  Status write_at(std::uint64_t offset, const void* buf, std::size_t n, std::size_t* written) override {
    std::size_t done = 0;
    Status result;
    if (access_ == Access::read) {
      result = Status(syserr::access_denied);
    } else if (n != 0 && (buf == nullptr || !range_ok(offset, n))) {
      result = Status(syserr::invalid_parameter);
    } else {
      const auto* in = static_cast<const unsigned char*>(buf);
      while (done < n) {
        const std::size_t chunk = std::min<std::size_t>(n - done, SSIZE_MAX);
        const ssize_t r = ::pwrite(fd_, in + done, chunk, static_cast<off_t>(offset + done));
        if (r < 0) {
          if (errno == EINTR) continue;
          result = Status(system_error_from_errno(errno, IoKind::write));
          break;
        }
        if (r == 0) {  // no progress and no reason: the medium is full
          result = Status(syserr::disk_full);
          break;
        }
        done += static_cast<std::size_t>(r);
      }
    }
    if (written != nullptr) *written = done;
    return result;
  }

  Status size(std::uint64_t* out) override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return Status(system_error_from_errno(errno));
    *out = static_cast<std::uint64_t>(st.st_size);
    return Status::success();
  }

  Status truncate(std::uint64_t size) override {
    if (access_ == Access::read) return Status(syserr::access_denied);
    if (size > max_file_offset) return Status(syserr::invalid_parameter);
    for (;;) {
      if (::ftruncate(fd_, static_cast<off_t>(size)) == 0) return Status::success();
      if (errno != EINTR) return Status(system_error_from_errno(errno, IoKind::write));
    }
  }

  // After a failed fsync the kernel may already have dropped the dirty pages
  // and cleared the error, so a second fsync could succeed without the data
  // ever reaching the disk. The first failure therefore sticks.
  // fdatasync: the data and what reading it back needs (the size) become
  // durable; the times of last change, which nobody relies on after a
  // crash, are not worth a journal commit of the file system each time.
  Status sync() override {
    if (sync_error_ != 0) return Status(sync_error_);
    for (;;) {
      if (::fdatasync(fd_) == 0) return Status::success();
      if (errno != EINTR) break;
    }
    sync_error_ = system_error_from_errno(errno, IoKind::write);
    return Status(sync_error_);
  }

  Status lock(std::uint64_t offset, std::uint64_t length, LockKind kind, bool wait) override {
    if (!range_ok(offset, length)) return Status(syserr::invalid_parameter);
    if (kind == LockKind::shared ? !readable_ : !writable_) return Status(syserr::access_denied);
    return set_lock(offset, length, kind == LockKind::shared ? F_RDLCK : F_WRLCK, wait);
  }

  Status unlock(std::uint64_t offset, std::uint64_t length) override {
    if (!range_ok(offset, length)) return Status(syserr::invalid_parameter);
    return set_lock(offset, length, F_UNLCK, false);
  }

  const std::string& path() const override { return path_; }

 private:
  Status set_lock(std::uint64_t offset, std::uint64_t length, short type, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    fl.l_pid = 0;  // required by F_OFD_*
    for (;;) {
      if (::fcntl(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return Status::success();
      if (errno != EINTR) return Status(system_error_from_errno(errno, IoKind::lock));
    }
  }

  int fd_;
  std::string path_;
  Access access_;
  bool readable_;  // the descriptor itself, whatever access_ allows
  bool writable_;
  int sync_error_ = 0;
};

class PosixEnv final : public Env {
 public:
  Status open(const std::string& path, const OpenMode& mode, std::unique_ptr<File>* out) override {
    if (bad_name(path)) return Status(syserr::path_not_found);
    if (mode.truncate && mode.access == Access::read) return Status(syserr::invalid_parameter);
    int extra = O_CLOEXEC | O_NOCTTY;
    if (mode.create) extra |= O_CREAT;
    if (mode.create && mode.exclusive) extra |= O_EXCL;
    if (mode.truncate) extra |= O_TRUNC;
    // pwrite on such a descriptor appends whatever offset it is given.
    if (mode.append) extra |= O_APPEND;

    bool readable = true;
    bool writable = true;
    int fd = open_retrying(path.c_str(), O_RDWR | extra);
    if (fd < 0 && mode.access != Access::read_write &&
        (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY)) {
      readable = mode.access == Access::read;
      writable = !readable;
      fd = open_retrying(path.c_str(), (readable ? O_RDONLY : O_WRONLY) | extra);
    }
    if (fd < 0) return Status(system_error_for_path(errno, path));

    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(fd);
      return Status(syserr::access_denied);
    }
    *out = std::make_unique<PosixFile>(fd, path, mode.access, readable, writable);
    return Status::success();
  }

  Status remove(const std::string& path) override {
    if (bad_name(path)) return Status(syserr::path_not_found);
    if (::unlink(path.c_str()) == 0) return Status::success();
    return Status(system_error_for_path(errno, path));
  }

  Status rename(const std::string& from, const std::string& to) override {
    if (bad_name(from) || bad_name(to)) return Status(syserr::path_not_found);
    if (::rename(from.c_str(), to.c_str()) == 0) return Status::success();
    const int err = errno;
    if (err == ENOENT) {
      struct stat st {};
      // Either side may be the missing one; the source is the likelier.
      if (::lstat(from.c_str(), &st) != 0) return Status(system_error_for_path(err, from));
      return Status(system_error_for_path(err, to));
    }
    return Status(system_error_from_errno(err));
  }

  bool exists(const std::string& path) override {
    struct stat st {};
    return !bad_name(path) && ::stat(path.c_str(), &st) == 0;
  }

  Status file_info(const std::string& path, FileInfo* out) override {
    if (bad_name(path)) return Status(syserr::path_not_found);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Status(system_error_for_path(errno, path));
    out->device = static_cast<std::uint64_t>(st.st_dev);
    out->inode = static_cast<std::uint64_t>(st.st_ino);
    out->directory = S_ISDIR(st.st_mode);
    out->special = !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode);
    return Status::success();
  }

  Status full_path(const std::string& path, std::string* out) override {
    if (bad_name(path)) return Status(syserr::path_not_found);
    std::string base;
    if (path.front() != '/') {
      if (const Status s = current_directory(&base); !s.ok()) return s;
    }
    std::string result;
    if (!normalize_path(base, path, &result)) return Status(syserr::path_not_found);
    *out = std::move(result);
    return Status::success();
  }

  Status current_directory(std::string* out) override {
    std::vector<char> buf(256);
    for (;;) {
      if (::getcwd(buf.data(), buf.size()) != nullptr) {
        *out = buf.data();
        return Status::success();
      }
      if (errno != ERANGE) break;
      if (buf.size() >= (std::size_t{1} << 20)) return Status(syserr::path_not_found);
      buf.resize(buf.size() * 2);
    }
    // The directory we stand in was removed.
    if (errno == ENOENT) return Status(syserr::path_not_found);
    return Status(system_error_from_errno(errno));
  }

  Status set_current_directory(const std::string& path) override {
    if (bad_name(path)) return Status(syserr::path_not_found);
    if (::chdir(path.c_str()) == 0) return Status::success();
    return Status(system_error_for_path(errno, path));
  }

  Status sync_directory_of(const std::string& path) override {
    std::string full;
    if (const Status s = full_path(path, &full); !s.ok()) return s;
    const std::string dir = parent_directory(full);
    const int fd = open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return Status(syserr::path_not_found);
      return Status(system_error_from_errno(errno));
    }
    int err = 0;
    while (::fsync(fd) != 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    ::close(fd);
    // Some file systems cannot sync a directory at all; their entries are as
    // durable as they will ever be, and refusing here would only stop work.
    if (err == 0 || err == EINVAL || err == ENOTSUP) return Status::success();
    return Status(system_error_from_errno(err, IoKind::write));
  }

  std::uint64_t ticks() override {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 100 + static_cast<std::uint64_t>(ts.tv_nsec) / 10'000'000;
  }

  std::int64_t now() override {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec);
  }
};

}  // namespace

Status own_program_path(std::string* out) {
  std::vector<char> buf(256);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return Status(syserr::file_not_found);
    if (static_cast<std::size_t>(n) < buf.size()) {
      *out = std::string(buf.data(), static_cast<std::size_t>(n));
      return Status::success();
    }
    if (buf.size() >= (std::size_t{1} << 16)) return Status(syserr::file_not_found);
    buf.resize(buf.size() * 2);
  }
}

Env* Env::posix() {
  // Never destroyed: Files may still be closing during static destruction.
  static Env* const env = new PosixEnv();
  return env;
}

}  // namespace platform
