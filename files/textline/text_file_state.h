// The text-line driver's per-file state and the record-level routines the
// driver entry is built from. Internal to files/textline; application code
// goes through the dispatch.
//
// Sizes and positions are 32-bit: a pointer is the 1-based byte position of
// a record, so a file may hold at most kMaxFileSize bytes. A larger file is
// refused at open (90, with the driver text saying why) and a write that
// would grow a file past it fails the same way, instead of handing out
// pointers that wrap around.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "files/driver/control_block.h"
#include "files/textline/buffered_file.h"
#include "platform/env.h"

namespace files::textline {

// TextFileState::flags.
namespace tf {
constexpr std::uint32_t current = 0x1;     // a record has been read or written: the position is valid
constexpr std::uint32_t shared = 0x2;      // opened with sharing 0x40
constexpr std::uint32_t read_only = 0x4;   // access bits 0
constexpr std::uint32_t quick_scan = 0x8;  // the buffer caches file contents between operations
constexpr std::uint32_t ctrlz_is_data = 0x20;  // Ctrl-Z is not the end of the data
}  // namespace tf

constexpr std::uint32_t kMaxFileSize = 0xFFFF'FFFEu;
constexpr std::uint32_t kUnknownExtent = 0xFFFF'FFFFu;  // so that size + 1 still fits a pointer
constexpr std::uint8_t kCtrlZ = 26;
constexpr std::uint8_t kTab = 9;
constexpr std::size_t kMaxEndOfRecord = 255;
constexpr std::uint32_t kBufferBlock = 512;
// "FILEBUFFERS" asks in blocks of 512 bytes. The description's own ceiling
// (8,388,607 blocks, just under 4 GiB) would let one option text take all
// memory, so the buffer stops at 16 MiB; larger requests get that.
constexpr std::uint32_t kMaxBufferBlocks = 32768;
// With quick scan on the buffer caches the file between operations, so it
// may as well read and write in large strides: the window then holds at
// least this many bytes, whatever the buffer size says. The buffer size
// ("FILEBUFFERS") stays what the options set and report; only the stride of
// the system calls grows. With quick scan off every read goes to the file
// anyway, and a large window would only read bytes nobody uses.
constexpr std::uint32_t kQuickScanWindow = 64 * 1024;

// Sharing between openers. Linux does not enforce the sharing bits of an
// open mode, so every opener of a text file records, with shared OFD locks
// on bytes far above any real data, what access it has and what it denies
// others; a new opener whose access someone denies, or who would deny an
// access someone already has, is refused with 32 (posted as 5, "Access
// Denied"). The check runs under an exclusive lock on the guard byte so two
// openers cannot pass it at once. The locks are advisory: only openers that
// go through this driver see them. On a file whose permissions forbid
// writing, exclusive probes are impossible; such an opener records its own
// claims but cannot detect conflicts.
namespace share_lock {
constexpr std::uint64_t base = 0x7FFF'FFFF'FFFF'FF00ull;
constexpr std::uint64_t guard = base;            // held exclusively during the check
constexpr std::uint64_t readers = base + 1;      // shared by every opener with read access
constexpr std::uint64_t writers = base + 2;      // ... with write access
constexpr std::uint64_t deny_read = base + 3;    // ... that denies others reading
constexpr std::uint64_t deny_write = base + 4;   // ... that denies others writing
}  // namespace share_lock

// The whole-file lock: byte 0, length 1, nested by lock_count.
constexpr std::uint64_t kWholeFileLockOffset = 0;

// Where the last skip over the rest of a line found the line's end: from any
// offset in [from, stop] the first end-of-record sequence (or Ctrl-Z, while
// it ends the data) starts at `stop` and ends at `end`. Trusted only with
// quick scan on (the window is trusted so too) and while the file, its size
// as learned and the end-of-record settings are as they were when it was
// found: `changes` and `size` must still match, and a change of the
// settings forgets it.
struct SkippedLine {
  bool valid = false;
  std::uint64_t from = 0;
  std::uint64_t stop = 0;
  std::uint64_t end = 0;
  std::uint64_t changes = 0;  // BufferedFile::changes() when found
  std::uint32_t size = 0;     // file_size when found
};

struct TextFileState;
// Forgets every level of the whole-file lock, whose system lock goes with
// the handle; CLOSE and the release of a control block call it before the
// handle closes.
void forget_whole_file_lock(TextFileState& s);

struct TextFileState final : DriverState {
  // A block released without CLOSE still gets its buffered lines out.
  ~TextFileState() override {
    forget_whole_file_lock(*this);
    (void)file.close();
  }

  std::uint32_t flags = 0;
  std::uint8_t lock_count = 0;
  BufferedFile file;
  std::uint32_t record_position = 0;  // 0-based offset of the current record
  std::uint32_t record_span = 0;      // file bytes of the current record, end-of-record included
  std::uint32_t file_size = 0;        // as last learned
  std::uint32_t next_position = 1;    // 1-based, where NEXT reads
  std::uint32_t buffer_size = 0;
  std::unique_ptr<std::uint8_t[]> buffer;  // buffer_size bytes
  std::uint32_t eor_length = 2;
  std::array<std::uint8_t, kMaxEndOfRecord> eor{13, 10};
  std::int32_t tab = 8;
  bool tab_set = false;
  SkippedLine skipped;
  // PADDING=LINES: the program never writes into the record itself (it
  // only reads what the driver put there), so a read blanks only as far as
  // the driver's own earlier writes reached: `record_dirty` bytes from the
  // start may hold something else than blanks (kUnknownExtent: all of it).
  // With PADDING=FULL, the default, every read blanks the whole record.
  bool pad_lines = false;
  std::uint32_t record_dirty = kUnknownExtent;
  bool clip = true;
  bool end_tested = false;
  std::vector<std::uint8_t> conversion;  // record-length scratch for OEM files
  // Opened for writing only (access 1). The handle itself is read/write
  // when the file's permissions allow it, so that a write at the end can
  // look for a Ctrl-Z to overwrite; reads through the driver are refused.
  bool write_only = false;
  // The sharing lets another opener write (everything but 0x10 and 0x20):
  // then the cached size cannot be trusted at a write at the end.
  bool others_may_write = true;
  std::string locked_name;  // the name the whole-file lock is known by here, while held

  platform::Env* env = nullptr;  // the Env the file was opened through
  std::string full_name;         // the resolved name while open

  bool ctrlz_ends_data() const { return !(flags & tf::ctrlz_is_data); }
  bool quick() const { return flags & tf::quick_scan; }
  // TAB=-100: a tab is read as the byte it is, like any other.
  bool raw_tabs() const { return tab == -100; }

  // Puts the defaults of a fresh open back (end-of-record CR LF, tab 8, clip
  // on, Ctrl-Z ends the data).
  void reset_defaults();
};

// The code under which a failed system call is posted. The system numbers 2
// to 5 are the file errors of the same number; every other number n is
// posted as 300 + n, the way the error table words the system's own errors,
// so that a read fault (30) or a lock violation (33) never passes for "Entry
// Not Found" or "Record Not Available", which callers take for the end of
// the data.
constexpr std::int32_t system_code(int number) {
  return number >= 2 && number <= 5 ? number : 300 + number;
}

// The state of a control block, made on first use.
inline TextFileState& state_of(FileControlBlock& fcb) {
  if (!fcb.driver) fcb.driver = std::make_unique<TextFileState>();
  return *fcb.driver_state<TextFileState>();
}

// Allocates a buffer of `bytes` (at least what one record read needs) and
// hands it to the buffered file. Returns 0 or a code to post.
std::int32_t replace_buffer(TextFileState& s, const FileControlBlock& fcb, std::uint64_t bytes);

// NEXT where it is simplest: quick scan on, and the line at the next
// position lies in the window with its end-of-record sequence and without
// a tab or a Ctrl-Z before it. Reads it exactly as read_record would,
// advances the next position and returns true; returns false for every
// other line, having changed nothing but (maybe) the record buffer, which
// read_record then fills anew.
bool next_in_window(TextFileState& s, FileControlBlock& fcb);

// Reads the record starting at 0-based offset p into the record buffer,
// taking at most `length` characters (length <= fcb.record_length).
// Returns 0, 33 at or beyond the end, or a system error number.
std::int32_t read_record(TextFileState& s, FileControlBlock& fcb, std::uint64_t p, std::uint32_t length);

// ADD where it is simplest: a write at the end of a file that nobody else
// may write, with quick scan on, no Ctrl-Z left to test and no OEM
// conversion, whose line fits in the window. Writes the first n bytes of
// the record (1 <= n <= fcb.record_length) exactly as write_record would
// and returns true; returns false, having done nothing, for every other
// write.
bool add_in_window(TextFileState& s, FileControlBlock& fcb, std::uint32_t n);

// Writes n bytes of the record buffer at pointer q (0: at the end of the
// file) followed by the end-of-record sequence. n <= fcb.record_length.
std::int32_t write_record(TextFileState& s, FileControlBlock& fcb, std::uint32_t q, std::uint32_t n);

// EOF: true when nothing is left to read at the next position.
bool at_end(TextFileState& s);

// One nesting level of the whole-file lock. `wait`: block until the lock is
// free (LOCKfile and shared writes); otherwise try once and answer 32 when
// another holds it. Returns 0, 32 or a system error number.
// A waiting attempt whose lock is held by another handle of the same file
// in this program cannot ever be granted (nothing else runs to release it),
// so it gives up at once with 32.
std::int32_t lock_level(TextFileState& s, bool wait);
void unlock_level(TextFileState& s);

// LOCKfilesec: tries until the deadline `seconds` ahead, once a second.
std::int32_t lock_with_deadline(TextFileState& s, std::uint32_t seconds);

}  // namespace files::textline
