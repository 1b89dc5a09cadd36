// The operating-system seam. Every byte the engines read or write, every
// lock, every sync and every clock tick goes through an Env. Nothing above
// platform/ includes a POSIX header.
//
// Errors are reported as system error numbers in the numbering the file
// layer posts (2 not found, 3 path not found, 5 access denied, 32 sharing
// violation, 33 lock violation, 39 disk full, ...; see system_error.h).
// 0 means success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The last byte a read, write, truncate or lock may touch. Beyond it a call
// fails with 87 (invalid parameter) instead of wrapping around.
inline constexpr std::uint64_t max_file_offset = 0x7fff'ffff'ffff'ffffULL;

// Result of one call: 0 on success, else a system error number.
struct [[nodiscard]] Status {
  int error = 0;

  constexpr Status() = default;
  constexpr explicit Status(int e) : error(e) {}
  static constexpr Status success() { return Status(); }
  constexpr bool ok() const { return error == 0; }
  explicit constexpr operator bool() const { return ok(); }
};

enum class Access : std::uint8_t { read, write, read_write };

// How a file is opened. Reads need read access, writes and truncates write
// access (5 otherwise). truncate needs write access (87 with Access::read);
// exclusive only matters together with create. A directory is refused with 5.
struct OpenMode {
  Access access = Access::read;
  bool create = false;     // make the file when missing
  bool truncate = false;   // cut an existing file to length 0
  bool exclusive = false;  // with create: fail with 80 (file exists) when present
  // Every write goes to the end of the file as it is at that moment,
  // whatever offset it names, in one system call: writers of several
  // programs appending to one file interleave whole writes, never pieces.
  bool append = false;
};

enum class LockKind : std::uint8_t { shared, exclusive };

// What the system knows of whatever a path names: enough to tell two names
// of one file apart (a link, a second hard link, a path spelled otherwise).
struct FileInfo {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool directory = false;
  // A pipe, socket or device: what opening or reading may wait on another
  // program, or never end (neither a directory nor a regular file).
  bool special = false;
};

// One open file. Not thread-safe; one owner at a time. Locks belong to this
// object (the open file description), not to the process: two File objects
// on the same path conflict with each other exactly as two programs would,
// and closing one never releases the other's locks.
class File {
 public:
  virtual ~File() = default;

  // Reads up to n bytes at offset into buf; *got receives the count read
  // (less than n only at end of file).
  virtual Status read_at(std::uint64_t offset, void* buf, std::size_t n, std::size_t* got) = 0;

  // Writes all n bytes at offset. On failure some prefix may have reached
  // the file; *written (if given) receives how many bytes did.
  virtual Status write_at(std::uint64_t offset, const void* buf, std::size_t n,
                          std::size_t* written = nullptr) = 0;

  virtual Status size(std::uint64_t* out) = 0;
  virtual Status truncate(std::uint64_t size) = 0;

  // Makes everything written so far durable. A failed sync poisons the
  // object: every later sync fails too, so a lost write is never reported
  // as durable by a retry.
  virtual Status sync() = 0;

  // Byte-range locks at 64-bit offsets. With wait == false a conflicting
  // lock fails at once with 33 (lock violation); with wait == true the call
  // blocks until the range is free. length must be at least 1 (87 otherwise).
  // Locks of one File never conflict with each other: locking a range this
  // File already holds converts it to `kind`, and unlock frees whatever part
  // of the range this File holds (success when it holds none of it).
  // Both kinds work whatever access the File was opened with, as long as the
  // file's permissions allow reading (shared) or writing (exclusive);
  // otherwise the lock fails with 5.
  virtual Status lock(std::uint64_t offset, std::uint64_t length, LockKind kind, bool wait) = 0;
  virtual Status unlock(std::uint64_t offset, std::uint64_t length) = 0;

  // The path the file was opened with, as given.
  virtual const std::string& path() const = 0;
};

// An Env outlives every File it opened. Paths hold no NUL byte (3 otherwise).
class Env {
 public:
  virtual ~Env() = default;

  virtual Status open(const std::string& path, const OpenMode& mode, std::unique_ptr<File>* out) = 0;
  virtual Status remove(const std::string& path) = 0;
  // Replaces `to` atomically when it exists.
  virtual Status rename(const std::string& from, const std::string& to) = 0;
  // True when something (a file or a directory) is at path.
  virtual bool exists(const std::string& path) = 0;

  // The identity of what is at path, symbolic links followed. An Env that
  // cannot tell answers 50 (not supported), and callers then compare full
  // paths; that is the default.
  virtual Status file_info(const std::string& path, FileInfo* out) {
    (void)path;
    (void)out;
    return Status(50);
  }

  // The absolute form of path, taken against the current directory now:
  // "." and ".." are resolved lexically, repeated and trailing "/" dropped;
  // the path need not exist. An empty path fails with 3.
  virtual Status full_path(const std::string& path, std::string* out) = 0;
  virtual Status current_directory(std::string* out) = 0;
  virtual Status set_current_directory(const std::string& path) = 0;

  // Makes the directory entry of a file durable after a create, rename or
  // remove: syncs the directory that holds path. 3 when that directory is
  // missing.
  virtual Status sync_directory_of(const std::string& path) = 0;

  // Monotonic clock in hundredths of a second.
  virtual std::uint64_t ticks() = 0;
  // Wall-clock time in seconds since 1970-01-01 00:00 UTC.
  virtual std::int64_t now() = 0;

  // The process-wide POSIX environment. Never null, never destroyed.
  static Env* posix();
};

// The running program's own file as an absolute path with every symbolic
// link resolved, however the program was started (through PATH, a link, a
// relative name). 2 when the system cannot say.
Status own_program_path(std::string* out);

}  // namespace platform
