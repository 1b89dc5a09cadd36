// Reading and writing one line, the end-of-file test and the whole-file lock.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>

#include "files/driver/descriptors.h"
#include "files/driver/error_state.h"
#include "files/textline/text_file_state.h"
#include "files/textline/textline_driver.h"
#include "platform/system_error.h"
#include "runtime/charset.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace files::textline {
namespace {

using platform::Status;

constexpr std::int32_t kNotAvailable = 33;
constexpr std::int32_t kAccessDenied = 5;
constexpr std::int32_t kFileSystemError = 90;

// A failed system call: the number goes to the error state, and the caller
// gets back the code to post.
std::int32_t system_failure(const Status& s) {
  set_system_error(s.error);
  return system_code(s.error);
}

// A failed system call that the rules report as "Access Denied".
std::int32_t denied(const Status& s) {
  set_system_error(s.error);
  return kAccessDenied;
}

std::int32_t too_large() {
  setDriverError("4GB", "The text file would grow beyond 4 GiB");
  return kFileSystemError;
}

// Learns the size from the system again (the buffered file adds its own
// unwritten bytes). Returns 0 or 5.
std::int32_t relearn_size(TextFileState& s) {
  std::uint64_t n = 0;
  if (const Status st = s.file.size(&n); !st.ok()) return denied(st);
  // Bytes past the 32-bit range cannot be addressed; another program may
  // have put them there, but this file object will not reach them.
  s.file_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, kMaxFileSize));
  return 0;
}

bool eor_at(const TextFileState& s, const std::uint8_t* at, std::size_t left) {
  if (left < s.eor_length) return false;
  if (s.eor_length == 2) return at[0] == s.eor[0] && at[1] == s.eor[1];  // CR LF, nearly always
  if (s.eor_length == 1) return at[0] == s.eor[0];
  return std::memcmp(at, s.eor.data(), s.eor_length) == 0;
}

// The bytes a scan of a line stops at: the first byte of the end-of-record
// sequence, and a tab and a Ctrl-Z where they need more than a copy. A byte
// that is not wanted repeats the first, so that three comparisons always do.
// Passed as three bytes of one word, built in a register (a struct of
// three bytes made on the stack would be read back before its stores land).
struct Stops {
  std::uint32_t word;
  std::uint8_t eor0() const { return static_cast<std::uint8_t>(word); }
  std::uint8_t tab() const { return static_cast<std::uint8_t>(word >> 8); }
  std::uint8_t eof() const { return static_cast<std::uint8_t>(word >> 16); }
};

Stops stops_of(const TextFileState& s, bool tabs) {
  const std::uint32_t eor0 = s.eor[0];
  const std::uint32_t tab = tabs ? kTab : eor0;
  const std::uint32_t eof = s.ctrlz_ends_data() ? kCtrlZ : eor0;
  return Stops{eor0 | tab << 8 | eof << 16};
}

// The first stop among data[0, n); n when none. `readable` (>= n) bytes
// from data may be looked at: sixteen (or, where the processor has the
// instructions, thirty-two) bytes are compared at once as long as they lie
// within it.
std::size_t first_stop_sse2(const std::uint8_t* data, std::size_t n, std::size_t readable, Stops stops) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i eor = _mm_set1_epi8(static_cast<char>(stops.eor0()));
  const __m128i tab = _mm_set1_epi8(static_cast<char>(stops.tab()));
  const __m128i eof = _mm_set1_epi8(static_cast<char>(stops.eof()));
  for (; i < n && i + 16 <= readable; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, eor), _mm_cmpeq_epi8(v, tab)), _mm_cmpeq_epi8(v, eof));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (n - i < 16) mask &= (1u << (n - i)) - 1;
    if (mask) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
#else
  (void)readable;
#endif
  for (; i < n; ++i) {
    const std::uint8_t b = data[i];
    if (b == stops.eor0() || b == stops.tab() || b == stops.eof()) return i;
  }
  return n;
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) std::size_t first_stop_avx2(const std::uint8_t* data, std::size_t n,
                                                             std::size_t readable, Stops stops) {
  std::size_t i = 0;
  const __m256i eor = _mm256_set1_epi8(static_cast<char>(stops.eor0()));
  const __m256i tab = _mm256_set1_epi8(static_cast<char>(stops.tab()));
  const __m256i eof = _mm256_set1_epi8(static_cast<char>(stops.eof()));
  for (; i < n && i + 32 <= readable; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    const __m256i hits = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, eor), _mm256_cmpeq_epi8(v, tab)),
                                         _mm256_cmpeq_epi8(v, eof));
    unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(hits));
    if (n - i < 32) mask &= (1u << (n - i)) - 1;
    if (mask) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  if (i >= n) return n;
  return i + first_stop_sse2(data + i, n - i, readable - i, stops);
}
#endif

// first_stop that also copies data[0, stop) to out (which has room for n
// bytes), as the fast path must copy the line anyway; out may receive bytes
// past the stop.
std::size_t copy_to_stop_sse2(const std::uint8_t* data, std::size_t n, std::size_t readable, Stops stops,
                              std::uint8_t* out) {
  const std::size_t i = first_stop_sse2(data, n, readable, stops);
  std::memcpy(out, data, i);
  return i;
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) std::size_t copy_to_stop_avx2(const std::uint8_t* data, std::size_t n,
                                                               std::size_t readable, Stops stops,
                                                               std::uint8_t* out) {
  const __m256i eor = _mm256_set1_epi8(static_cast<char>(stops.eor0()));
  const __m256i tab = _mm256_set1_epi8(static_cast<char>(stops.tab()));
  const __m256i eof = _mm256_set1_epi8(static_cast<char>(stops.eof()));
  std::size_t i = 0;
  for (; i + 32 <= n && i + 32 <= readable; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), v);
    const __m256i hits = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, eor), _mm256_cmpeq_epi8(v, tab)),
                                         _mm256_cmpeq_epi8(v, eof));
    if (const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(hits))) {
      return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
  }
  if (i >= n) return n;
  const std::size_t stop = i + first_stop_avx2(data + i, n - i, readable - i, stops);
  std::memcpy(out + i, data + i, stop - i);
  return stop;
}
#endif

using StopFinder = std::size_t (*)(const std::uint8_t*, std::size_t, std::size_t, Stops);
using StopCopier = std::size_t (*)(const std::uint8_t*, std::size_t, std::size_t, Stops, std::uint8_t*);

#if defined(__x86_64__) && defined(__GNUC__)
bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

const StopFinder first_stop = has_avx2() ? &first_stop_avx2 : &first_stop_sse2;
const StopCopier copy_to_stop = has_avx2() ? &copy_to_stop_avx2 : &copy_to_stop_sse2;
#else
const StopFinder first_stop = &first_stop_sse2;
const StopCopier copy_to_stop = &copy_to_stop_sse2;
#endif

// Step 7 of reading: skips the rest of a line that did not fit, from file
// offset q up to and including the end-of-record sequence (or, while Ctrl-Z
// ends the data, a Ctrl-Z). Returns the offset after it through *end_out.
//
// A line longer than the record is often read on in pieces, each at the
// pointer where the one before stopped; each piece ends in this skip. The
// end found is kept (see TextFileState::skipped), and a skip from inside
// the stretch already passed over takes it from there: the pieces of a line
// cost its length, not its length once per piece.
std::int32_t skip_rest_of_line(TextFileState& s, std::uint64_t q, std::uint64_t* end_out) {
  SkippedLine& known = s.skipped;
  if (known.valid && s.quick() && q >= known.from && q <= known.stop && known.changes == s.file.changes() &&
      known.size == s.file_size) {
    *end_out = known.end;
    return 0;
  }
  const std::uint64_t from = q;
  auto found = [&](std::uint64_t stop, std::uint64_t end) {
    known.valid = s.quick();
    known.from = from;
    known.stop = stop;
    known.end = end;
    known.changes = s.file.changes();
    known.size = s.file_size;
    *end_out = end;
    return 0;
  };
  const Stops stops = stops_of(s, false);
  const bool ctrlz = s.ctrlz_ends_data();
  std::uint64_t end = s.file_size;
  while (q < end) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(s.eor_length, end - q));
    const std::uint8_t* data = nullptr;
    std::size_t avail = 0;
    if (const Status st = s.file.fetch(q, want, &data, &avail); !st.ok()) return system_failure(st);
    avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, end - q));
    if (avail < want) end = q + avail;  // the file is shorter than last learned
    if (avail == 0) break;
    std::size_t j = 0;
    for (; j < avail; ++j) {
      j += first_stop(data + j, avail - j, avail - j, stops);
      if (j == avail) break;
      const std::uint8_t b = data[j];
      if (b == s.eor[0]) {
        if (eor_at(s, data + j, avail - j)) return found(q + j, q + j + s.eor_length);
        // The sequence may run on past the window: look again from here.
        if (j > 0 && avail - j < s.eor_length && q + j + s.eor_length <= end) break;
      }
      if (ctrlz && b == kCtrlZ) return found(q + j, q + j + 1);
    }
    q += j;
  }
  q = std::min(q, end);
  return found(q, q);
}

// Step 5 of reading, the fast path: true when the first end-of-record byte
// among the first `scan` bytes starts a full sequence within `avail` bytes
// and neither a tab that needs expanding nor (while it ends the data) a
// Ctrl-Z comes before it; *d is then the line's length.
bool clean_line(const TextFileState& s, const std::uint8_t* data, std::size_t scan, std::size_t avail,
                std::size_t* d) {
  const std::size_t i = first_stop(data, scan, avail, stops_of(s, !s.raw_tabs()));
  if (i == scan || data[i] != s.eor[0] || !eor_at(s, data + i, avail - i)) return false;
  *d = i;
  return true;
}

}  // namespace

void TextFileState::reset_defaults() {
  eor_length = 2;
  eor.fill(0);
  eor[0] = 13;
  eor[1] = 10;
  tab = 8;
  tab_set = false;
  clip = true;
  skipped = SkippedLine();
  pad_lines = false;
  record_dirty = kUnknownExtent;
  flags &= ~tf::ctrlz_is_data;
}

std::int32_t replace_buffer(TextFileState& s, const FileControlBlock& fcb, std::uint64_t bytes) {
  // One read needs the record and its end-of-record sequence in the window.
  const std::uint64_t needed = static_cast<std::uint64_t>(fcb.record_length) + s.eor_length;
  const std::uint64_t ceiling = std::max<std::uint64_t>(std::uint64_t{kMaxBufferBlocks} * kBufferBlock, needed);
  bytes = std::clamp<std::uint64_t>(bytes, needed, ceiling);
  const std::uint64_t window = s.quick() ? std::max<std::uint64_t>(bytes, kQuickScanWindow) : bytes;
  std::unique_ptr<std::uint8_t[]> fresh(new (std::nothrow) std::uint8_t[window]);
  if (!fresh) return 8;  // "Insufficient Memory"
  if (const Status st = s.file.set_buffer(fresh.get(), window); !st.ok()) return denied(st);
  s.buffer = std::move(fresh);
  s.buffer_size = static_cast<std::uint32_t>(bytes);
  return 0;
}

namespace {

// The record after the line's `d` bytes, blanked as every read leaves it.
// `written`: how far this read put bytes into the record. With PADDING=LINES
// only the bytes that the driver may have put there since it last blanked
// them need blanking again.
void blank_after(TextFileState& s, std::uint8_t* rec, std::uint32_t record_length, std::size_t d,
                 std::size_t written) {
  std::size_t to = record_length;
  if (s.pad_lines) to = std::min<std::size_t>(record_length, std::max<std::size_t>(s.record_dirty, written));
  if (to > d) std::memset(rec + d, ' ', to - d);
  s.record_dirty = static_cast<std::uint32_t>(d);
}

}  // namespace

// next_in_window and add_in_window, inline in perform's common case.
[[gnu::always_inline]] inline bool next_quick(TextFileState& s, FileControlBlock& fcb) {
  // Only where the window may be trusted between operations and the size
  // need not be learned again; everything else is read_record's.
  if (!s.quick() || s.write_only || fcb.record == nullptr) return false;
  const std::uint64_t p = s.next_position - 1ull;
  if (s.next_position == 0 || p >= s.file_size) return false;
  const std::uint8_t* data = nullptr;
  std::size_t avail = 0;
  if (!s.file.window_holds(p, &data, &avail)) return false;
  avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, s.file_size - p));
  const std::uint32_t record_length = fcb.record_length;
  std::uint8_t* const rec = fcb.record;
  const std::size_t scan = std::min<std::size_t>(record_length, avail);
  const std::size_t d = copy_to_stop(data, scan, avail, stops_of(s, !s.raw_tabs()), rec);
  // The copy may have run up to 31 bytes past the stop.
  const std::size_t written = std::min(scan, d + 32);
  if (d == scan || data[d] != s.eor[0] || !eor_at(s, data + d, avail - d)) {
    s.record_dirty = std::max<std::uint32_t>(s.record_dirty, static_cast<std::uint32_t>(written));
    return false;
  }
  blank_after(s, rec, record_length, d, written);
  s.record_position = static_cast<std::uint32_t>(p);
  s.record_span = static_cast<std::uint32_t>(d + s.eor_length);
  s.flags |= tf::current;
  s.next_position = s.record_position + s.record_span + 1;
  if ((fcb.attributes & attr::OEM) && d) runtime::oem_to_ansi(reinterpret_cast<char*>(rec), d);
  return true;
}

bool next_in_window(TextFileState& s, FileControlBlock& fcb) { return next_quick(s, fcb); }

std::int32_t read_record(TextFileState& s, FileControlBlock& fcb, std::uint64_t p, std::uint32_t length) {
  s.flags &= ~tf::current;
  std::uint8_t* const rec = fcb.record;
  const std::uint32_t record_length = rec ? fcb.record_length : 0;
  length = std::min(length, record_length);
  auto blank = [&] {
    if (record_length) std::memset(rec, ' ', record_length);
    s.record_dirty = 0;
  };

  if (s.write_only) {
    // What the system answers a read on a handle opened for writing only.
    blank();
    return system_failure(Status(platform::syserr::access_denied));
  }
  if (const Status st = s.file.start_operation(); !st.ok()) {
    blank();
    return system_failure(st);
  }
  if (!s.quick()) {
    if (const std::int32_t rc = relearn_size(s); rc != 0) {
      blank();
      return rc;
    }
  }
  if (p >= s.file_size) {
    blank();
    return kNotAvailable;
  }

  const std::uint64_t left_in_file = s.file_size - p;
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(std::uint64_t{length} + s.eor_length, left_in_file));
  const bool ctrlz = s.ctrlz_ends_data();
  const std::uint8_t* data = nullptr;
  std::size_t avail = 0;
  std::size_t d = 0;
  // The window is refilled only when what it already holds from p cannot
  // settle the line: a clean line found in it reads the same as it would
  // from a full window, and most lines are far shorter than the record.
  bool clean = false;
  for (std::size_t at_least : {std::size_t{1}, want}) {
    if (const Status st = s.file.fetch(p, at_least, &data, &avail); !st.ok()) {
      blank();
      return system_failure(st);
    }
    // Bytes past the size as learned are never part of a record, whatever
    // the window holds; the scans below stop at `avail` rather than at a
    // sentinel Ctrl-Z, which also serves files where Ctrl-Z is ordinary data.
    avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, left_in_file));
    if (avail == 0 || (ctrlz && data[0] == kCtrlZ)) {
      blank();
      return kNotAvailable;
    }
    clean = clean_line(s, data, std::min<std::size_t>(length, avail), avail, &d);
    if (clean || avail >= want) break;
  }

  std::size_t copied = 0;
  std::uint64_t span = 0;
  bool complete = false;
  if (clean) {
    if (d) std::memcpy(rec, data, d);
    blank_after(s, rec, record_length, d, d);
    copied = d;
    span = d + s.eor_length;
    complete = true;
  }

  if (!complete) {
    blank();
    std::size_t c = 0;  // output column
    std::size_t i = 0;  // bytes consumed: the span so far
    const std::int64_t t = s.tab;
    while (i < length && c < length && i < avail) {
      const std::uint8_t b = data[i];
      if (b == s.eor[0] && eor_at(s, data + i, avail - i)) {
        i += s.eor_length;
        complete = true;
        break;
      }
      if (ctrlz && b == kCtrlZ) break;
      ++i;
      if (b == kTab) {
        if (t == 0) continue;
        if (t == -100) {
          rec[c++] = kTab;
          continue;
        }
        const std::uint64_t blanks = t < 0 ? static_cast<std::uint64_t>(-t)
                                           : static_cast<std::uint64_t>(t - static_cast<std::int64_t>(c) % t);
        c = static_cast<std::size_t>(std::min<std::uint64_t>(c + blanks, length));
        continue;
      }
      rec[c++] = b;
    }
    copied = c;
    span = i;
    if (!complete && p + span < s.file_size) {
      std::uint64_t end = 0;
      if (const std::int32_t rc = skip_rest_of_line(s, p + span, &end); rc != 0) {
        blank();
        return rc;
      }
      span = end - p;
    }
  }

  s.record_position = static_cast<std::uint32_t>(p);
  s.record_span = static_cast<std::uint32_t>(span);
  s.record_dirty = static_cast<std::uint32_t>(copied);
  s.flags |= tf::current;
  if ((fcb.attributes & attr::OEM) && copied) runtime::oem_to_ansi(reinterpret_cast<char*>(rec), copied);
  return 0;
}

namespace {

// The length without trailing blanks. A record is mostly blanks after a
// short line, so they are passed over many at a time.
std::size_t clipped_length_sse2(const std::uint8_t* bytes, std::size_t n) {
#if defined(__SSE2__)
  const __m128i blanks = _mm_set1_epi8(' ');
  auto all_blank = [&](const std::uint8_t* at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return _mm_cmpeq_epi8(v, blanks);
  };
  while (n >= 64) {
    const std::uint8_t* at = bytes + n - 64;
    const __m128i both = _mm_and_si128(_mm_and_si128(all_blank(at), all_blank(at + 16)),
                                       _mm_and_si128(all_blank(at + 32), all_blank(at + 48)));
    if (_mm_movemask_epi8(both) != 0xFFFF) break;
    n -= 64;
  }
  while (n >= 16 && _mm_movemask_epi8(all_blank(bytes + n - 16)) == 0xFFFF) n -= 16;
#endif
  constexpr std::uint64_t kBlanks = 0x2020'2020'2020'2020ull;
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + n - 8, 8);
    if (word != kBlanks) break;
    n -= 8;
  }
  while (n > 0 && bytes[n - 1] == ' ') --n;
  return n;
}

#if defined(__x86_64__) && defined(__GNUC__)
// `vectors` aligned 32-byte blocks from `at` are all blanks.
__attribute__((target("avx2"))) inline bool all_blank_avx2(const std::uint8_t* at, std::size_t vectors) {
  const __m256i blanks = _mm256_set1_epi8(' ');
  __m256i differ = _mm256_setzero_si256();
  for (std::size_t k = 0; k < vectors; ++k) {
    const __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i*>(at + 32 * k));
    differ = _mm256_or_si256(differ, _mm256_xor_si256(v, blanks));
  }
  return _mm256_testz_si256(differ, differ);
}

// The caller has most likely just filled the record (blanks, then the
// text) with aligned vector stores that have not all reached the cache yet:
// a load of the same alignment is served from such a store, a load across
// two of them has to wait. So only the last 32 bytes are read unaligned.
// Large blocks go first: a short line in a long record leaves the same
// number of whole blank blocks every time, so those tests are predicted.
__attribute__((target("avx2"))) std::size_t clipped_length_avx2(const std::uint8_t* bytes, std::size_t n) {
  const __m256i blanks = _mm256_set1_epi8(' ');
  if (n < 64) return clipped_length_sse2(bytes, n);
  const std::uint8_t* const last = bytes + n - 32;
  unsigned mask = static_cast<unsigned>(
      _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(last)), blanks)));
  if (mask != 0xFFFF'FFFFu) return n - static_cast<std::size_t>(__builtin_clz(~mask));
  // Blanks from `top` (32-aligned, within the last 32 bytes) to the end.
  const std::uint8_t* top = reinterpret_cast<const std::uint8_t*>(
      (reinterpret_cast<std::uintptr_t>(last) + 31) & ~std::uintptr_t{31});
  while (top - bytes >= 256 && all_blank_avx2(top - 256, 8)) top -= 256;
  while (top - bytes >= 64 && all_blank_avx2(top - 64, 2)) top -= 64;
  while (top - bytes >= 32) {
    const __m256i v = _mm256_load_si256(reinterpret_cast<const __m256i*>(top - 32));
    mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, blanks)));
    if (mask != 0xFFFF'FFFFu) {
      return static_cast<std::size_t>(top - bytes) - static_cast<std::size_t>(__builtin_clz(~mask));
    }
    top -= 32;
  }
  return clipped_length_sse2(bytes, static_cast<std::size_t>(top - bytes));
}
#endif

using Clipper = std::size_t (*)(const std::uint8_t*, std::size_t);
#if defined(__x86_64__) && defined(__GNUC__)
const Clipper clipped_length = has_avx2() ? &clipped_length_avx2 : &clipped_length_sse2;
#else
const Clipper clipped_length = &clipped_length_sse2;
#endif

// Where a write goes and what it would make current; the state takes it
// over only when the write succeeded.
struct PlannedWrite {
  std::uint64_t pos = 0;          // 0-based write position
  std::uint64_t size_before = 0;  // the file size as learned before the write
  std::uint32_t span = 0;
  bool at_end = false;
  bool over_ctrlz = false;        // the write starts on the Ctrl-Z that ended the data
  bool started = false;           // bytes may have reached the file or the window
};

std::int32_t write_unlocked(TextFileState& s, FileControlBlock& fcb, std::uint32_t q, std::uint32_t n,
                            PlannedWrite* w) {
  if (const Status st = s.file.start_operation(); !st.ok()) return denied(st);
  w->at_end = q == 0;
  // The size we keep is the size only while nobody else may write: with
  // quick scan off or a sharing that lets others write, ask the system.
  if (!s.quick() || s.others_may_write) {
    if (const std::int32_t rc = relearn_size(s); rc != 0) return rc;
  }
  if (w->at_end) {
    w->pos = s.file_size;
    if (!s.end_tested && w->pos >= 1) {
      const std::uint8_t* data = nullptr;
      std::size_t avail = 0;
      const Status st = s.file.fetch(w->pos - 1, 1, &data, &avail);
      // A handle the system lets only write cannot look; then the line
      // simply follows whatever ends the file.
      if (!st.ok() && st.error != platform::syserr::access_denied) return system_failure(st);
      if (st.ok() && avail >= 1 && data[0] == kCtrlZ && s.ctrlz_ends_data()) {
        --w->pos;
        w->over_ctrlz = true;
      }
    }
  } else {
    w->pos = q - 1;
  }
  w->size_before = s.file_size;

  if (n == 0) {
    w->started = true;
    if (const Status st = s.file.truncate(w->pos); !st.ok()) return denied(st);
    return 0;
  }

  const std::uint8_t* bytes = fcb.record;
  if (fcb.attributes & attr::OEM) {
    s.conversion.assign(bytes, bytes + n);
    runtime::ansi_to_oem(reinterpret_cast<char*>(s.conversion.data()), n);
    bytes = s.conversion.data();
  }
  if (s.clip) n = static_cast<std::uint32_t>(clipped_length(bytes, n));
  const std::uint64_t span = std::uint64_t{n} + s.eor_length;
  if (w->pos + span > kMaxFileSize) return too_large();

  w->span = static_cast<std::uint32_t>(span);
  w->started = true;
  std::size_t done = 0;
  Status st = s.file.write(w->pos, bytes, n, &done);
  if (st.ok()) st = s.file.write(w->pos + n, s.eor.data(), s.eor_length, &done);
  return st.ok() ? 0 : denied(st);
}

// After a failed write: the file is cut back to the size it had, so that no
// torn line stays at its end, and a Ctrl-Z the write began on is put back.
// Only bytes this write can have put there are cut. Bytes before the old
// end that the write reached cannot be brought back. When the system holds
// less than we believed (buffered lines that a failed flush lost), the size
// is learned anew, so that the next line leaves no hole.
void undo_failed_write(TextFileState& s, const PlannedWrite& w) {
  platform::File* f = s.file.handle();
  s.file.invalidate();
  std::uint64_t now = 0;
  if (f == nullptr || !f->size(&now).ok()) return;
  if (now > w.size_before && now <= w.pos + w.span) {
    if (!f->truncate(w.size_before).ok()) {
      s.file_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(now, kMaxFileSize));
      return;
    }
    if (w.over_ctrlz) (void)f->write_at(w.pos, &kCtrlZ, 1);
  } else if (now != w.size_before) {
    s.file_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(now, kMaxFileSize));
  }
}

}  // namespace

[[gnu::always_inline]] inline bool add_quick(TextFileState& s, FileControlBlock& fcb, std::uint32_t n) {
  if ((s.flags & (tf::read_only | tf::shared)) || !s.quick() || s.others_may_write) return false;
  if ((!s.end_tested && s.file_size != 0) || (fcb.attributes & attr::OEM)) return false;
  if (s.clip) n = static_cast<std::uint32_t>(clipped_length(fcb.record, n));
  const std::uint64_t pos = s.file_size;
  const std::uint64_t span = std::uint64_t{n} + s.eor_length;
  if (pos + span > kMaxFileSize) return false;
  if (!s.file.write_in_window(pos, fcb.record, n, s.eor.data(), s.eor_length)) return false;
  s.record_position = static_cast<std::uint32_t>(pos);
  s.record_span = static_cast<std::uint32_t>(span);
  s.file_size = static_cast<std::uint32_t>(pos + span);
  s.flags |= tf::current;
  return true;
}

bool add_in_window(TextFileState& s, FileControlBlock& fcb, std::uint32_t n) { return add_quick(s, fcb, n); }

std::int32_t write_record(TextFileState& s, FileControlBlock& fcb, std::uint32_t q, std::uint32_t n) {
  if (s.flags & tf::read_only) return kAccessDenied;
  if (!s.file.is_open()) return kAccessDenied;
  n = std::min(n, fcb.record ? fcb.record_length : 0u);
  if (q == 0 && n != 0 && add_in_window(s, fcb, n)) return 0;
  const bool shared = s.flags & tf::shared;
  if (shared) {
    if (const std::int32_t rc = lock_level(s, true); rc != 0) return kAccessDenied;
  }
  PlannedWrite w;
  std::int32_t rc = write_unlocked(s, fcb, q, n, &w);
  // Without quick scan nothing stays cached between operations; a shared
  // write must be in the file before the lock goes, and one that others may
  // follow with their own lines must be there before they learn the size.
  if (rc == 0 && (!s.quick() || shared || s.others_may_write)) {
    if (const Status st = s.file.flush(); !st.ok()) rc = denied(st);
  }
  if (rc == 0) {
    s.record_position = static_cast<std::uint32_t>(w.pos);
    s.record_span = w.span;
    if (n == 0) {
      s.file_size = static_cast<std::uint32_t>(w.pos);
    } else {
      const auto end = static_cast<std::uint32_t>(w.pos + w.span);
      s.file_size = w.at_end ? end : std::max(s.file_size, end);
    }
    if (w.at_end && w.size_before >= 1) s.end_tested = true;
    s.flags |= tf::current;
  } else if (w.started) {
    undo_failed_write(s, w);
  }
  if (shared) unlock_level(s);
  return rc;
}

std::int32_t TextLineDriver::perform(Op op, FileDescriptor& file, FileControlBlock& fcb, Operands& operands,
                                     std::int32_t* result) {
  // A sequential read or write of a file makes millions of these calls; in
  // their common case nothing of the general routing below is needed.
  if (fcb.driver && fcb.record != nullptr && fcb.record_length != 0) {
    TextFileState& s = *fcb.driver_state<TextFileState>();
    switch (op) {
      case Op::NEXT:
        if (next_quick(s, fcb)) {
          *result = static_cast<std::int32_t>(s.record_span);
          return 0;
        }
        break;
      case Op::ADD:
      case Op::APPEND:
        if (add_quick(s, fcb, fcb.record_length)) return 0;
        break;
      case Op::ADDfilelen:
      case Op::APPENDlen:
        // No bytes at all is a cut of the file, not a line (write_record).
        if (operands.length != 0 && add_quick(s, fcb, std::min(operands.length, fcb.record_length))) return 0;
        break;
      default:
        break;
    }
  }
  return perform_any(op, file, fcb, operands, result);
}

bool at_end(TextFileState& s) {
  if (!s.file.is_open() || s.write_only) return true;
  if (!s.file.start_operation().ok()) return true;
  if (!s.quick() && relearn_size(s) != 0) return true;
  const std::uint64_t p = s.next_position - 1ull;
  if (s.next_position == 0 || p >= s.file_size) return true;
  const std::uint8_t* data = nullptr;
  std::size_t avail = 0;
  if (!s.file.fetch(p, 1, &data, &avail).ok() || avail == 0) return true;
  return data[0] == kCtrlZ && s.ctrlz_ends_data();
}

namespace {

// The whole-file locks this program holds, by file name and count of
// handles. A handle that would wait for a lock held by another handle of the
// same file in this program would wait for ever: nothing else runs to let
// it go. Names are the resolved full names, so a file reached through a
// link goes unrecognised and waits as it would for another program.
std::mutex g_held_mutex;
std::unordered_map<std::string, int> g_held;

void note_held(TextFileState& s) {
  std::lock_guard<std::mutex> guard(g_held_mutex);
  s.locked_name = s.full_name;
  ++g_held[s.locked_name];
}

void note_released(TextFileState& s) {
  std::lock_guard<std::mutex> guard(g_held_mutex);
  if (const auto it = g_held.find(s.locked_name); it != g_held.end() && --it->second <= 0) g_held.erase(it);
  s.locked_name.clear();
}

bool held_in_this_program(const std::string& name) {
  std::lock_guard<std::mutex> guard(g_held_mutex);
  return g_held.count(name) != 0;
}

}  // namespace

std::int32_t lock_level(TextFileState& s, bool wait) {
  if (s.lock_count > 0) {
    if (s.lock_count == 255) return kAccessDenied;
    ++s.lock_count;
    return 0;
  }
  platform::File* f = s.file.handle();
  if (f == nullptr) return kAccessDenied;
  for (bool first = true;; first = false) {
    // A waiting attempt first tries without waiting, to see who holds it.
    const bool wait_now = wait && !first;
    const Status st = f->lock(kWholeFileLockOffset, 1, platform::LockKind::exclusive, wait_now);
    if (st.ok()) {
      s.lock_count = 1;
      note_held(s);
      return 0;
    }
    if (st.error != platform::syserr::lock_violation) return system_failure(st);
    if (!wait || held_in_this_program(s.full_name)) {
      set_system_error(st.error);
      return 32;  // "File Is Already Locked"
    }
    // A waiting lock only comes back with a conflict when the system
    // suspects a deadlock; try again shortly rather than spin.
    if (wait_now) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void unlock_level(TextFileState& s) {
  if (s.lock_count == 0) return;
  if (--s.lock_count == 0) {
    if (platform::File* f = s.file.handle()) (void)f->unlock(kWholeFileLockOffset, 1);
    note_released(s);
  }
}

void forget_whole_file_lock(TextFileState& s) {
  if (s.lock_count == 0) return;
  s.lock_count = 0;
  if (platform::File* f = s.file.handle()) (void)f->unlock(kWholeFileLockOffset, 1);
  note_released(s);
}

std::int32_t lock_with_deadline(TextFileState& s, std::uint32_t seconds) {
  platform::Env* env = s.env ? s.env : platform::Env::posix();
  const std::uint64_t deadline = env->ticks() + std::uint64_t{seconds} * 100;
  // Each wait lasts a second by the clock, so there are never more than
  // seconds + 1 tries; counting them too keeps a stopped test clock from
  // holding the caller forever.
  for (std::uint64_t tries = 0;; ++tries) {
    const std::int32_t rc = lock_level(s, false);
    if (rc != 32) return rc;
    if (env->ticks() >= deadline || tries >= seconds) return rc;
    const std::uint64_t until = env->ticks() + 100;
    for (int i = 0; i < 100 && env->ticks() < until; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

}  // namespace files::textline
