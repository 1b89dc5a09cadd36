// Opening the application's data files: the checked open, through which
// every procedure opens a keyed data file, and the usage counts that share
// one open between the procedures that need it.
//
// The checked open creates a missing file, offers to rebuild damaged keys
// and ends the program, after saying why, on anything it cannot repair:
//   1. open the file read/write, others may read and write (0x42);
//   2. a refusal (32 "File Is Already Locked", or 5 "Access Denied": another
//      program holds the file in a way that keeps us out) is waited out: the
//      open is tried again every kRetryPause for kRetryTime before anything
//      is said. A file the system does not let this user write is no such
//      refusal and goes on at once (to message 30);
//   3. then by the error of the last open:
//      - 0 or 52 ("File Already Open"): done;
//      - 2 ("File Not Found"): the file is made, exclusively: when another
//        program made it meanwhile, it is opened (and, should its table not
//        be there yet, waited for) rather than replaced; a failed create is
//        message 4, a failed open of the made file message 5;
//      - 47 ("Invalid Record Declaration"): message 1;
//      - 46 ("Key File Must Be Rebuilt"): message 2; Yes rebuilds every key
//        (message 3 when that fails) and opens again, No ends the program;
//   4. any error still present: message 30, then the halt text "Disk Error".
// The messages name the file as the driver reports it.
//
// UI thread only.
#pragma once

#include <chrono>
#include <cstdint>

#include "files/driver/descriptors.h"

namespace app {

inline constexpr std::chrono::milliseconds kRetryPause{250};
inline constexpr std::chrono::milliseconds kRetryTime{3000};

// Returns only when the file is open; otherwise the program has ended.
void checked_open(files::FileDescriptor& file);

// Whether the system lets this user open the data file for writing; a
// missing file counts as writable (it can be made). This tells the two
// kinds of "Access Denied" apart: another program's hold on a file (its
// transaction, its sharing mode) lives in the file's lock bytes and never
// makes the system refuse the open itself, while the file's permissions (or
// a read-only disk) do. Asked through the keyed driver's platform seam.
bool system_lets_write(files::FileDescriptor& file);

// Takes one usage count of a data file, opening it (checked) when the count
// was 0.
void use_file(files::FileDescriptor& file);
// Gives one back; the count that reaches 0 closes the file. A count that is
// 0 already is left alone.
void release_file(files::FileDescriptor& file);

// The same for the time of one scope.
class FileUse {
 public:
  explicit FileUse(files::FileDescriptor& file) : file_(file) { use_file(file_); }
  ~FileUse() { release_file(file_); }
  FileUse(const FileUse&) = delete;
  FileUse& operator=(const FileUse&) = delete;

 private:
  files::FileDescriptor& file_;
};

}  // namespace app
