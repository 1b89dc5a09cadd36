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
  // The permission bits a file made by create gets, less the user's umask.
  std::uint32_t permissions = 0666;
};

enum class LockKind : std::uint8_t { shared, exclusive };

enum class FileKind : std::uint8_t { regular, directory, fifo, character_device, block_device, socket, other };

// What the system knows of whatever a path names: enough to tell two names
// of one file apart (a link, a second hard link, a path spelled otherwise),
// and what replacing it must keep.
struct FileInfo {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool directory = false;  // kind == FileKind::directory
  // A pipe, socket or device: what opening or reading may wait on another
  // program, or never end (neither a directory nor a regular file).
  bool special = false;
  FileKind kind = FileKind::regular;
  std::uint64_t links = 1;        // hard links
  std::uint32_t permissions = 0;  // the mode's bits 07777
  std::uint32_t owner = 0;        // user and group ids
  std::uint32_t group = 0;
  std::uint64_t size = 0;
  // The last change of its contents, in nanoseconds since 1970 (0 where
  // the place keeps no such time).
  std::int64_t modified_ns = 0;
};

// A file read or written in sequence, never at an offset: a pipe, a
// terminal, a device. Not thread-safe; one owner at a time.
class Stream {
 public:
  virtual ~Stream() = default;
  // Up to n bytes; *got is 0 only at the end. Waits for a writer's bytes.
  virtual Status read(void* buf, std::size_t n, std::size_t* got) = 0;
  // All n bytes, or a failure (some may have gone).
  virtual Status write(const void* buf, std::size_t n) = 0;
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

  // The path the file was opened with, as given; for a file from
  // Env::open_unnamed, a name that opens it again while this File is open.
  virtual const std::string& path() const = 0;

  // What the system knows of the open file. 50 where the Env cannot tell.
  virtual Status info(FileInfo* out) {
    (void)out;
    return Status(50);
  }
  // Gives the file these permission bits (07777). 5 when the user may not,
  // 50 where the Env cannot.
  virtual Status set_permissions(std::uint32_t bits) {
    (void)bits;
    return Status(50);
  }
  // Gives the file this owner and group. 5 when the user may not (only the
  // superuser gives a file away; an owner may pick a group of his own), 50
  // where the Env cannot.
  virtual Status set_owner(std::uint32_t owner, std::uint32_t group) {
    (void)owner;
    (void)group;
    return Status(50);
  }
};

// An Env outlives every File it opened. Paths hold no NUL byte (3 otherwise).
class Env {
 public:
  virtual ~Env() = default;

  virtual Status open(const std::string& path, const OpenMode& mode, std::unique_ptr<File>* out) = 0;
  virtual Status remove(const std::string& path) = 0;
  // Replaces `to` atomically when it exists.
  virtual Status rename(const std::string& from, const std::string& to) = 0;
  // Renames only when nothing is at `to`, else fails with 80 and changes
  // nothing. The POSIX env decides that in the same step as the rename;
  // this default looks first, which serves an Env no other program uses.
  virtual Status rename_no_replace(const std::string& from, const std::string& to) {
    if (exists(to)) return Status(80);
    return rename(from, to);
  }
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

  // The text of the symbolic link at path (not followed further). 87 when
  // something other than a link is there, 2/3 when nothing is; an Env
  // without links answers 87.
  virtual Status read_link(const std::string& path, std::string* target) {
    (void)path;
    (void)target;
    return Status(87);
  }

  // True when path is a link the system makes for a descriptor a program
  // holds open (/proc/<pid>/fd/N; /dev/stdout and /dev/fd/N lead there):
  // opening it reaches that descriptor's file, whatever the link's text
  // says (a pipe has no name at all). False for anything else.
  virtual bool is_descriptor_link(const std::string& path) {
    (void)path;
    return false;
  }

  // The absolute form of an existing path with every symbolic link, "."
  // and ".." resolved as the system resolves them. The default (an Env
  // without links) is full_path when something is there, else 2.
  virtual Status real_path(const std::string& path, std::string* out) {
    if (!exists(path)) return Status(2);
    return full_path(path, out);
  }

  // A new file without a name in `directory`, open for reading and writing,
  // made with `permissions` less the umask. It vanishes when its last File
  // closes, however the program ends, unless link_unnamed named it; its
  // path() opens it again meanwhile. 50 where the Env or the file system
  // has no such files (the caller then makes a named file).
  virtual Status open_unnamed(const std::string& directory, std::uint32_t permissions, std::unique_ptr<File>* out) {
    (void)directory;
    (void)permissions;
    (void)out;
    return Status(50);
  }
  // Gives a file from open_unnamed the name `to`, which must be in the
  // same file system; 80, changing nothing, when something is there.
  virtual Status link_unnamed(File& file, const std::string& to) {
    (void)file;
    (void)to;
    return Status(50);
  }

  // Opens what is at path for reading or writing in sequence (Access::read
  // or Access::write), without making or cutting anything: a FIFO waits for
  // the other side as the system has it. 50 where the Env cannot.
  virtual Status open_stream(const std::string& path, Access access, std::unique_ptr<Stream>* out) {
    (void)path;
    (void)access;
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

// The folder for temporary files: $TMPDIR when set, else /tmp.
std::string temporary_directory();

// The running program's own file as an absolute path with every symbolic
// link resolved, however the program was started (through PATH, a link, a
// relative name). 2 when the system cannot say.
Status own_program_path(std::string* out);

}  // namespace platform
