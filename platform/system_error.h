// System error numbers as the file layer posts them (it shows them as 300 +
// the number, "Access Denied" under 305 and so on), and the one table that
// turns a Linux errno into them. Every errno that leaves platform/ goes
// through system_error_from_errno; nothing else in the program looks at errno.
//
// The table (errno -> number, text of 300 + number):
//
//   0 (a failure without an errno) -> 31 General Failure
//   ENOENT                  -> 2 File Not Found, or 3 Path Not Found when the
//                              directory that should hold the file is missing
//                              (see system_error_for_path)
//   ENOTDIR, ELOOP          -> 3 Path Not Found (a bad path name counts as a
//                              missing path, as the open rules want)
//   ENAMETOOLONG            -> 206 Filename Too Long: a name the system cannot
//                              take at all; the file drivers post it as their
//                              "Invalid Filename", as for names too long
//                              for their own rules
//   EMFILE, ENFILE          -> 4 Too Many Open Files
//   EACCES, EPERM, EISDIR,
//   ENOTEMPTY               -> 5 Access Denied (opening or removing a
//                              directory as a file is refused, not "missing")
//   EBADF                   -> 6 Invalid Handle
//   ENOMEM                  -> 8 Insufficient Memory
//   EXDEV                   -> 17 Not Same Device
//   EROFS                   -> 19 Write Protect: the medium refuses every
//                              write whatever the file's permissions say,
//                              which is what "Write Protect" tells the user and
//                              "Access Denied" would not
//   ENXIO, ENODEV           -> 21 Device Not Ready
//   ESPIPE                  -> 25 Seek Location Inaccessible
//   EIO                     -> 29 Write Fault on writes, truncates and syncs,
//                              30 Read Fault on reads, else 31 General Failure
//   EBUSY, ETXTBSY          -> 32 Sharing Violation
//   EAGAIN (EWOULDBLOCK),
//   EDEADLK                 -> 33 Lock Violation
//   EACCES in a lock call   -> 33 Lock Violation (fcntl reports a conflicting
//                              lock with EACCES on some systems)
//   ENOLCK                  -> 36 Sharing Buffer Exceeded (lock table full)
//   ENOSPC, EDQUOT, EFBIG   -> 39 Handle Disk Full
//   ENOTSUP, EOPNOTSUPP,
//   ENOSYS                  -> 50 Not Supported
//   ESTALE                  -> 64 Network Name Deleted
//   ENETDOWN, ENETUNREACH,
//   ECONNRESET, ETIMEDOUT,
//   EHOSTUNREACH            -> 59 Unexpected Network Error
//   EEXIST                  -> 80 File Already Exists
//   EINVAL, EOVERFLOW,
//   EFAULT                  -> 87 Invalid Parameter
//   anything else           -> 31 General Failure
//
// A failure never maps to 0: 0 is success, and a failed call that reported
// success would lose data silently.
#pragma once

#include <string>

namespace platform {

// The numbers the seam itself produces; callers compare against these
// rather than against bare literals.
namespace syserr {
inline constexpr int invalid_function = 1;
inline constexpr int file_not_found = 2;
inline constexpr int path_not_found = 3;
inline constexpr int too_many_open_files = 4;
inline constexpr int access_denied = 5;
inline constexpr int invalid_handle = 6;
inline constexpr int insufficient_memory = 8;
inline constexpr int not_same_device = 17;
inline constexpr int write_protect = 19;
inline constexpr int device_not_ready = 21;
inline constexpr int seek_inaccessible = 25;
inline constexpr int write_fault = 29;
inline constexpr int read_fault = 30;
inline constexpr int general_failure = 31;
inline constexpr int sharing_violation = 32;
inline constexpr int lock_violation = 33;
inline constexpr int sharing_buffer_exceeded = 36;
inline constexpr int disk_full = 39;
inline constexpr int not_supported = 50;
inline constexpr int unexpected_network_error = 59;
inline constexpr int network_name_deleted = 64;
inline constexpr int file_exists = 80;
inline constexpr int invalid_parameter = 87;
inline constexpr int filename_too_long = 206;
}  // namespace syserr

// What the failed call was doing; some errnos mean different things by it.
enum class IoKind { other, read, write, lock };

// The system error number for errno `err` raised by a call of kind `kind`.
// Never returns 0; an errno the table does not know gives 31.
int system_error_from_errno(int err, IoKind kind = IoKind::other);

// As system_error_from_errno, but an ENOENT raised for `path` is told apart:
// 2 when the directory that should hold the last component exists, 3 when it
// does not (or the path is empty). Looks at the file system, so call it right
// after the failing call, before anything else can change the directory.
int system_error_for_path(int err, const std::string& path, IoKind kind = IoKind::other);

}  // namespace platform
