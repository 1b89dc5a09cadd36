// The text-line driver `ASCII`: a declared file is an ordinary text file and
// each record is one line.
//
// Reading copies a line into the record buffer (tabs expanded, the line end
// left out, blanks after it); writing puts the record buffer with trailing
// blanks clipped, then the end-of-record sequence. A record is addressed by
// its 1-based byte position (its pointer); position strings are 4 bytes, the
// pointer as a 32-bit little-endian number.
//
// NEXT answers, as its result, the bytes of the record it read, end of
// record included: what BYTES answers right after it (files::next_bytes).
//
// Declarations: only STRING and GROUP fields, no keys, no memos (the dispatch
// refuses the rest with 79 and 47 before this driver sees the file).
//
// Options (the declaration's option text, "/TAB=4/CLIP=OFF", or SEND with
// one token): "FILEBUFFERS=n" (n x 512 bytes, at most 16 MiB), "QUICKSCAN=ON|
// OFF", "ENDOFRECORD=n,c1,...,cn" (1 to 255 byte codes), "CTRLZISEOF=OFF|
// <anything else>", "CLIP=ON|OFF", "TAB=n", "PADDING=FULL|LINES" (below).
// Blanks are dropped and letters
// capitalised first; a keyword alone only asks. The answer is always the
// value before the change. An unknown keyword, or a value that is not a
// number where one is wanted, or an ENDOFRECORD whose count does not match
// its codes, is rejected with 80; at open that ends the open with 80.
//
// Padding: a read leaves blanks after the line in the whole record, and by
// default (PADDING=FULL) it writes them all, since the program may have put
// anything into the record since the last read. A program that never writes
// into the record itself (it only reads what reads put there, and CLEAR)
// may say so with PADDING=LINES: a read then blanks only as far as the
// driver's own reads (and a quick read's copy, up to 31 bytes past its
// line) reached since the last blanking, and the record reads the same.
// Bytes the program put there itself would stay.
//
// Sharing: Linux does not enforce the sharing bits of an open mode, so the
// driver records every opener's access and denials with advisory locks (see
// share_lock in text_file_state.h) and refuses a conflicting open or CREATE
// with 5, as a sharing violation is posted. Quick scan (caching between
// operations) is on for the exclusive sharings 0x10, 0x20 and 0x30.
// Shared files (0x40) take the whole-file lock around each write and wait
// for it while another program holds it, so that concurrent writers never
// lose a line; their writes reach the file before the lock is let go. A lock
// held by another handle of the same file in this program is never waited
// for (nothing would release it): the write fails with 5, LOCKfile with 32.
// Wherever another opener may write (quick scan off, or a sharing other
// than 0x10 and 0x20), a write at the end learns the size from the system
// and reaches the file before it returns.
//
// A failed write changes neither the current record nor the file's size:
// bytes it put beyond the old end are cut off again (and a Ctrl-Z it began
// on put back), so no torn line is left at the end of the file.
//
// A file opened for writing only (access 1) can be added to like any other;
// reading it (NEXT, GET...) is refused with 5.
//
// Failed system calls record the system number (set_system_error) and post
// it (open, create, read, rename, copy, lock): the numbers 2 to 5 as the file
// errors of the same number, any other n as 300 + n ("330 Read Fault"), so a
// system number never reads as an unrelated file error. Where the driver's
// rules say 5 (writes, truncation, size queries, remove), it is 5.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "files/driver/driver.h"
#include "platform/env.h"

namespace files {

// The one instance of the driver; files declare it as their driver.
Driver& ascii_driver();

// The Env every later open, create, remove, rename and copy goes through.
// Null restores the POSIX env. A file already open keeps the Env it was
// opened with. Meant for tests and fuzzing; not thread-safe against running
// operations.
void set_textline_env(platform::Env* env);
platform::Env* textline_env();

namespace textline {

class TextLineDriver final : public Driver {
 public:
  TextLineDriver();
  const DriverDescriptor& descriptor() const override { return descriptor_; }
  bool supports_keys() const override { return false; }
  std::int32_t perform(Op op, FileDescriptor& file, FileControlBlock& fcb, Operands& operands,
                       std::int32_t* result) override;
  std::int32_t apply_option(FileControlBlock& fcb, std::string_view token, std::string* answer) override;
  void release(FileControlBlock& fcb) override;

 private:
  // Everything but the common case of NEXT and ADD.
  std::int32_t perform_any(Op op, FileDescriptor& file, FileControlBlock& fcb, Operands& operands,
                           std::int32_t* result);

  DriverDescriptor descriptor_;
};

// The position string of a pointer, and back. decode fails (false) for a
// text shorter than 4 bytes; only the first 4 bytes count.
std::string encode_position(std::uint32_t pointer);
bool decode_position(std::string_view text, std::uint32_t* pointer);

}  // namespace textline
}  // namespace files
