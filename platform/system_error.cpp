#include "platform/system_error.h"

#include <sys/stat.h>

#include <cerrno>

namespace platform {

int system_error_from_errno(int err, IoKind kind) {
  switch (err) {
    case ENOENT:
      return syserr::file_not_found;
    case ENOTDIR:
    case ELOOP:
      return syserr::path_not_found;
    case ENAMETOOLONG:
      return syserr::filename_too_long;
    case EMFILE:
    case ENFILE:
      return syserr::too_many_open_files;
    case EACCES:
      return kind == IoKind::lock ? syserr::lock_violation : syserr::access_denied;
    case EPERM:
    case EISDIR:
    case ENOTEMPTY:
      return syserr::access_denied;
    case EBADF:
      return syserr::invalid_handle;
    case ENOMEM:
      return syserr::insufficient_memory;
    case EXDEV:
      return syserr::not_same_device;
    case EROFS:
      return syserr::write_protect;
    case ENXIO:
    case ENODEV:
      return syserr::device_not_ready;
    case ESPIPE:
      return syserr::seek_inaccessible;
    case EIO:
      switch (kind) {
        case IoKind::read:
          return syserr::read_fault;
        case IoKind::write:
          return syserr::write_fault;
        default:
          return syserr::general_failure;
      }
    case EBUSY:
    case ETXTBSY:
      return syserr::sharing_violation;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EDEADLK:
      return syserr::lock_violation;
    case ENOLCK:
      return syserr::sharing_buffer_exceeded;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return syserr::disk_full;
    case ENOTSUP:
#if EOPNOTSUPP != ENOTSUP
    case EOPNOTSUPP:
#endif
    case ENOSYS:
      return syserr::not_supported;
    case ESTALE:
      return syserr::network_name_deleted;
    case ENETDOWN:
    case ENETUNREACH:
    case ECONNRESET:
    case ETIMEDOUT:
    case EHOSTUNREACH:
      return syserr::unexpected_network_error;
    case EEXIST:
      return syserr::file_exists;
    case EINVAL:
    case EOVERFLOW:
    case EFAULT:
      return syserr::invalid_parameter;
    default:
      return syserr::general_failure;
  }
}

namespace {

// The directory that should hold the last component of `path`, lexically.
std::string holding_directory(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

int system_error_for_path(int err, const std::string& path, IoKind kind) {
  if (err != ENOENT) return system_error_from_errno(err, kind);
  if (path.empty() || path.find('\0') != std::string::npos) return syserr::path_not_found;
  struct stat st {};
  const std::string dir = holding_directory(path);
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return syserr::path_not_found;
  return syserr::file_not_found;
}

}  // namespace platform
