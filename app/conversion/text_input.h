// The input of a conversion: what a first pass learns about the file, and
// its lines read through the text-line driver.
//
// Lines end in CR LF, LF or a lone CR, each one line end; a last line
// without one is a line when it holds anything. A Ctrl-Z that is the
// file's last byte is the old end-of-text mark and is dropped; anywhere
// else it is data, like every other byte. Tabs are handed on as they are
// (the line rules expand them, so that UTF-8 characters count as one
// column each).
//
// The driver reads with LF as the end of a record (CR when more lines end
// in a lone CR than in a lone LF), raw (tabs and Ctrl-Z as data). Most lines
// fit one record of a short buffer and are handed on in place; a longer
// line is read on through a second, large record at the pointer where the
// first stopped. In a file with both lone CRs and lone LFs, records are
// split at the other line end, the lines that share a record are served
// from it, and a long stretch of lines ended the other way switches the
// record's end to that, so that no stretch is passed over more than once
// or twice. A line longer than the cap that a limit
// needs (see LineConverter::input_cap) is read only far enough to tell
// whether anything but blanks follows; with no limit it is read whole,
// 65,532 bytes per read (the driver passes over the rest of the line once,
// at the first read, and knows its end from then on).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "files/driver/descriptors.h"

namespace conversion {

// What the first pass over the input finds.
struct InputFacts {
  std::uint64_t size = 0;
  bool has_nul = false;
  std::uint64_t first_nul = 0;  // offset of the first NUL byte
  bool valid_utf8 = true;       // the whole input is valid UTF-8
  bool multibyte = false;       // ... and holds at least one multi-byte sequence
  bool bom = false;             // it starts with the UTF-8 byte order mark
  std::uint64_t lone_cr = 0;    // CRs not followed by LF
  std::uint64_t lone_lf = 0;    // LFs not preceded by CR
  int last_byte = -1;           // -1 for an empty input

  bool is_utf8() const { return valid_utf8 && multibyte; }
};

// The first pass, fed in pieces of any size.
class InputScanner {
 public:
  void feed(const char* data, std::size_t n);
  // The facts of everything fed so far, the input taken as ending here.
  InputFacts facts() const;

 private:
  void scan_byte(unsigned char b, std::uint64_t offset);
  void utf8_byte(unsigned char b);
#if defined(__x86_64__) && defined(__GNUC__)
  // The bytes of data[0, n) that feed's wide loop took (a multiple of 32).
  std::size_t feed_avx2(const char* data, std::size_t n, std::uint64_t base);
  static bool has_avx2();
#endif

  InputFacts f_;
  bool after_cr_ = false;
  int pending_ = 0;              // continuation bytes the current sequence still needs
  unsigned char low_ = 0x80;     // the range the next continuation byte must lie in
  unsigned char high_ = 0xBF;
  unsigned char head_[3] = {};   // the first bytes, for the byte order mark
};

// One line of the input.
struct InputLine {
  std::string_view bytes;  // without the line end; valid until the next read
  bool more = false;       // the line went on past `bytes` with something but blanks and tabs
  // A piece of a line longer than the piece size (see TextInput::open):
  // the line goes on in the next read.
  bool partial = false;
};

class TextInput {
 public:
  TextInput();
  ~TextInput();
  TextInput(const TextInput&) = delete;
  TextInput& operator=(const TextInput&) = delete;

  // Opens `path` through the text-line driver for reading (others may read,
  // not write). `facts` must be the first pass's over the same file; `cap`
  // is the bytes of a line to hand on whole (0: all). With cap 0 and a
  // `piece` size, a line longer than that is handed on in pieces of about
  // that size (InputLine::partial), so that no line is ever held whole.
  // Returns 0 or the code of the failed open, with the error state as the
  // driver left it.
  std::int32_t open(const std::string& path, const InputFacts& facts, std::size_t cap, std::size_t piece = 0);

  // The next line; false at the end or on a failed read (then error() is
  // its code and error_text() the error state's text).
  bool next(InputLine* line);
  std::int32_t error() const { return error_; }
  const std::string& error_text() const { return error_text_; }

  // Bytes of the file consumed by the lines read so far.
  std::uint64_t consumed() const { return pos_; }

  void close();

 private:
  struct Piece {
    const char* data = nullptr;
    std::size_t length = 0;  // visible bytes from `start`
    std::uint64_t start = 0;
    std::uint64_t next = 0;  // the offset after the record and its line end
    bool truncated = false;  // the record's text goes on past the visible bytes
    bool ended = false;      // a line end follows the text
  };
  struct Declared;

  bool read_piece(std::uint64_t at, bool line_start, Piece* piece);
  // next() for every line but the common one; `first`, when given, is the
  // line's first piece, read already.
  bool next_line(InputLine* line, const Piece* first);
  bool switch_end_of_record();
  bool fail();
  // Adds bytes of the current line: up to the cap into the line, beyond it
  // only noting whether anything but blanks follows.
  void take(const char* data, std::size_t n);

  std::unique_ptr<Declared> short_;
  std::unique_ptr<Declared> long_;
  InputFacts facts_;
  std::size_t cap_ = 0;
  unsigned char eor_ = '\n';      // the byte that ends the driver's records
  bool split_ = false;            // the other line end occurs too: split records at it
  bool after_cr_ = false;         // the last line ended at a CR record end
  Piece record_;                  // the short record last read
  bool record_valid_ = false;
  std::uint64_t pos_ = 0;         // where the next line starts
  std::uint64_t short_next_ = 1;  // the short record's next position (1-based)
  std::string line_;              // a line assembled from several records
  bool more_ = false;
  std::size_t piece_ = 0;         // hand on lines longer than this in pieces (0: never)
  bool resume_ = false;           // the last read handed on a piece; the line goes on
  std::uint64_t resume_at_ = 0;   // ... at this offset
  std::uint64_t resume_record_end_ = 0;
  std::int32_t error_ = 0;
  std::string error_text_;
};

}  // namespace conversion
