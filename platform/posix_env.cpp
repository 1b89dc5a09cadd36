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
#include <stdio.h>
#include <stdlib.h>
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

int open_retrying(const char* path, int flags, mode_t permissions = 0666) {
  for (;;) {
    const int fd = ::open(path, flags, permissions);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

FileKind kind_of(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::regular;
  if (S_ISDIR(mode)) return FileKind::directory;
  if (S_ISFIFO(mode)) return FileKind::fifo;
  if (S_ISCHR(mode)) return FileKind::character_device;
  if (S_ISBLK(mode)) return FileKind::block_device;
  if (S_ISSOCK(mode)) return FileKind::socket;
  return FileKind::other;
}

void fill_info(const struct stat& st, FileInfo* out) {
  out->device = static_cast<std::uint64_t>(st.st_dev);
  out->inode = static_cast<std::uint64_t>(st.st_ino);
  out->kind = kind_of(st.st_mode);
  out->directory = out->kind == FileKind::directory;
  out->special = out->kind != FileKind::directory && out->kind != FileKind::regular;
  out->links = static_cast<std::uint64_t>(st.st_nlink);
  out->permissions = static_cast<std::uint32_t>(st.st_mode & 07777);
  out->owner = static_cast<std::uint32_t>(st.st_uid);
  out->group = static_cast<std::uint32_t>(st.st_gid);
  out->size = static_cast<std::uint64_t>(st.st_size);
  out->modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

// The name under which the process reaches one of its open descriptors.
std::string descriptor_name(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

class PosixStream final : public Stream {
 public:
  explicit PosixStream(int fd) : fd_(fd) {}
  ~PosixStream() override { ::close(fd_); }
  PosixStream(const PosixStream&) = delete;
  PosixStream& operator=(const PosixStream&) = delete;

  Status read(void* buf, std::size_t n, std::size_t* got) override {
    *got = 0;
    for (;;) {
      const ssize_t r = ::read(fd_, buf, std::min<std::size_t>(n, SSIZE_MAX));
      if (r >= 0) {
        *got = static_cast<std::size_t>(r);
        return Status::success();
      }
      if (errno != EINTR) return Status(system_error_from_errno(errno, IoKind::read));
    }
  }

  Status write(const void* buf, std::size_t n) override {
    const auto* in = static_cast<const unsigned char*>(buf);
    for (std::size_t done = 0; done < n;) {
      const ssize_t r = ::write(fd_, in + done, std::min<std::size_t>(n - done, SSIZE_MAX));
      if (r < 0) {
        if (errno == EINTR) continue;
        return Status(system_error_from_errno(errno, IoKind::write));
      }
      if (r == 0) return Status(syserr::disk_full);
      done += static_cast<std::size_t>(r);
    }
    return Status::success();
  }

 private:
  int fd_;
};

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

  Status info(FileInfo* out) override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return Status(system_error_from_errno(errno));
    fill_info(st, out);
    return Status::success();
  }

  Status set_permissions(std::uint32_t bits) override {
    if (::fchmod(fd_, static_cast<mode_t>(bits & 07777)) == 0) return Status::success();
    return Status(system_error_from_errno(errno));
  }

  Status set_owner(std::uint32_t owner, std::uint32_t group) override {
    if (::fchown(fd_, static_cast<uid_t>(owner), static_cast<gid_t>(group)) == 0) return Status::success();
    return Status(system_error_from_errno(errno));
  }

  int descriptor() const { return fd_; }

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
    const auto permissions = static_cast<mode_t>(mode.permissions & 07777);
    int fd = open_retrying(path.c_str(), O_RDWR | extra, permissions);
    if (fd < 0 && mode.access != Access::read_write &&
        (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY)) {
      readable = mode.access == Access::read;
      writable = !readable;
      fd = open_retrying(path.c_str(), (readable ? O_RDONLY : O_WRONLY) | extra, permissions);
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

  // In one step where the file system can (renameat2); else a hard link,
  // which refuses an existing name just as atomically, and the old name
  // removed; a file system without either is left with a look first.
  Status rename_no_replace(const std::string& from, const std::string& to) override {
    if (bad_name(from) || bad_name(to)) return Status(syserr::path_not_found);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return Status::success();
    int err = errno;
    if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
      if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return Status::success();
      }
      err = errno;
      if (err == EPERM || err == ENOTSUP) {
        struct stat st {};
        if (::lstat(to.c_str(), &st) == 0) return Status(syserr::file_exists);
        return rename(from, to);
      }
    }
    if (err == ENOENT) {
      struct stat st {};
      if (::lstat(from.c_str(), &st) != 0) return Status(system_error_for_path(err, from));
      return Status(system_error_for_path(err, to));
    }
    return Status(system_error_from_errno(err));
  }

  Status read_link(const std::string& path, std::string* target) override {
    if (bad_name(path)) return Status(syserr::path_not_found);
    std::vector<char> buf(256);
    for (;;) {
      const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
      if (n < 0) {
        if (errno == EINVAL) return Status(syserr::invalid_parameter);
        return Status(system_error_for_path(errno, path));
      }
      if (static_cast<std::size_t>(n) < buf.size()) {
        target->assign(buf.data(), static_cast<std::size_t>(n));
        return Status::success();
      }
      buf.resize(buf.size() * 2);
    }
  }

  bool is_descriptor_link(const std::string& path) override {
    struct stat st {};
    if (bad_name(path) || ::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    const auto slash = path.rfind('/');
    std::string folder;
    if (slash == std::string::npos) {
      folder = ".";
    } else {
      folder = slash == 0 ? "/" : path.substr(0, slash);
    }
    if (!real_path(folder, &folder).ok()) return false;
    // /proc/<pid>/fd or /proc/<pid>/task/<tid>/fd
    if (folder.compare(0, 6, "/proc/") != 0 || folder.size() < 9 || folder.compare(folder.size() - 3, 3, "/fd") != 0) {
      return false;
    }
    return true;
  }

  Status real_path(const std::string& path, std::string* out) override {
    if (bad_name(path)) return Status(syserr::path_not_found);
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return Status(system_error_for_path(errno, path));
    *out = resolved;
    ::free(resolved);
    return Status::success();
  }

  // O_TMPFILE. Kernels and file systems without it answer EISDIR or
  // EOPNOTSUPP; that is "not supported", not a fault of the folder.
  Status open_unnamed(const std::string& directory, std::uint32_t permissions, std::unique_ptr<File>* out) override {
    if (bad_name(directory)) return Status(syserr::path_not_found);
    const int fd =
        open_retrying(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, static_cast<mode_t>(permissions & 07777));
    if (fd < 0) {
      if (errno == EISDIR || errno == EOPNOTSUPP || errno == EINVAL) return Status(syserr::not_supported);
      if (errno == ENOENT) return Status(syserr::path_not_found);  // the folder is missing
      return Status(system_error_from_errno(errno));
    }
    *out = std::make_unique<PosixFile>(fd, descriptor_name(fd), Access::read_write, true, true);
    return Status::success();
  }

  // linkat with AT_EMPTY_PATH would need a privilege; the descriptor's name
  // under /proc does not.
  Status link_unnamed(File& file, const std::string& to) override {
    if (bad_name(to)) return Status(syserr::path_not_found);
    auto* posix = dynamic_cast<PosixFile*>(&file);
    if (posix == nullptr) return Status(syserr::invalid_handle);
    const std::string from = descriptor_name(posix->descriptor());
    if (::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0) return Status::success();
    return Status(system_error_for_path(errno, to));
  }

  Status open_stream(const std::string& path, Access access, std::unique_ptr<Stream>* out) override {
    if (bad_name(path)) return Status(syserr::path_not_found);
    if (access == Access::read_write) return Status(syserr::invalid_parameter);
    const int fd = open_retrying(path.c_str(), (access == Access::read ? O_RDONLY : O_WRONLY) | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return Status(system_error_for_path(errno, path));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(fd);
      return Status(syserr::access_denied);
    }
    *out = std::make_unique<PosixStream>(fd);
    return Status::success();
  }

  bool exists(const std::string& path) override {
    struct stat st {};
    return !bad_name(path) && ::stat(path.c_str(), &st) == 0;
  }

  Status file_info(const std::string& path, FileInfo* out) override {
    if (bad_name(path)) return Status(syserr::path_not_found);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Status(system_error_for_path(errno, path));
    fill_info(st, out);
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

std::string temporary_directory() {
  const char* dir = ::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string("/tmp");
}

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
