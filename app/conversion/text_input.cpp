#include "app/conversion/text_input.h"

#include <algorithm>
#include <cstring>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/textline/textline_driver.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace conversion {
namespace {

constexpr std::int32_t kEndOfFile = 33;
constexpr unsigned char kCtrlZ = 26;
// Most lines fit the short record; longer lines go on in the long one.
constexpr std::uint32_t kShortRecord = 1024;
constexpr std::uint32_t kLongRecord = 65532;
// Read only, others may read but not write: the input cannot change under
// the run, and the driver may cache it between reads.
constexpr std::uint32_t kReadDenyWrite = 0x20;

// The bits set in a 16-bit mask (no library call where the processor's own
// instruction is not assumed).
inline unsigned bits_in(unsigned m) {
  m = m - ((m >> 1) & 0x5555u);
  m = (m & 0x3333u) + ((m >> 2) & 0x3333u);
  m = (m + (m >> 4)) & 0x0F0Fu;
  return (m + (m >> 8)) & 0x1Fu;
}

bool has_nonblank(const char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] != ' ' && p[i] != '\t') return true;
  }
  return false;
}

}  // namespace

void InputScanner::scan_byte(unsigned char b, std::uint64_t offset) {
  if (after_cr_) {
    after_cr_ = false;
    if (b != '\n') ++f_.lone_cr;
  } else if (b == '\n') {
    ++f_.lone_lf;
  }
  if (b == '\r') after_cr_ = true;
  if (b == 0 && !f_.has_nul) {
    f_.has_nul = true;
    f_.first_nul = offset;
  }
  if (f_.valid_utf8) utf8_byte(b);
}

void InputScanner::utf8_byte(unsigned char b) {
  if (pending_ > 0) {
    if (b < low_ || b > high_) {
      f_.valid_utf8 = false;
      return;
    }
    low_ = 0x80;
    high_ = 0xBF;
    if (--pending_ == 0) f_.multibyte = true;
    return;
  }
  if (b < 0x80) return;
  low_ = 0x80;
  high_ = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    pending_ = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    pending_ = 2;
    if (b == 0xE0) low_ = 0xA0;   // no overlong forms
    if (b == 0xED) high_ = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    pending_ = 3;
    if (b == 0xF0) low_ = 0x90;
    if (b == 0xF4) high_ = 0x8F;  // nothing above U+10FFFF
  } else {
    f_.valid_utf8 = false;
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
// feed's loop, thirty-two bytes at a time where the processor can.
__attribute__((target("avx2,popcnt"))) std::size_t InputScanner::feed_avx2(const char* data, std::size_t n,
                                                                           std::uint64_t base) {
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i nul = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    const auto m_lf = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, lf)));
    const auto m_cr = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, cr)));
    const auto m_nul = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, nul)));
    const auto m_high = static_cast<std::uint32_t>(_mm256_movemask_epi8(v));
    if (m_lf | m_cr) {
      const std::uint32_t cr_before = (m_cr << 1) | (after_cr_ ? 1u : 0u);  // a CR right before each byte
      f_.lone_lf += static_cast<std::uint64_t>(__builtin_popcount(m_lf & ~cr_before));
      if (after_cr_ && !(m_lf & 1u)) ++f_.lone_cr;
      f_.lone_cr += static_cast<std::uint64_t>(__builtin_popcount(m_cr & ~(m_lf >> 1) & 0x7FFF'FFFFu));
      after_cr_ = (m_cr >> 31) & 1u;
    } else if (after_cr_) {
      ++f_.lone_cr;
      after_cr_ = false;
    }
    if (m_nul && !f_.has_nul) {
      f_.has_nul = true;
      f_.first_nul = base + i + static_cast<unsigned>(__builtin_ctz(m_nul));
    }
    if (f_.valid_utf8 && (m_high || pending_ > 0)) {
      for (std::size_t k = 0; k < 32 && f_.valid_utf8; ++k) utf8_byte(static_cast<unsigned char>(data[i + k]));
    }
  }
  return i;
}

bool InputScanner::has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}
#endif

void InputScanner::feed(const char* data, std::size_t n) {
  const std::uint64_t base = f_.size;
  for (std::size_t i = 0; i < n && base + i < 3; ++i) head_[base + i] = static_cast<unsigned char>(data[i]);
  std::size_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = has_avx2();
  if (avx2) i = feed_avx2(data, n, base);
#endif
#if defined(__SSE2__)
  // Sixteen bytes at a time: line ends and NULs counted from bit masks, the
  // UTF-8 check only over blocks that hold a byte from 128 up (or finish a
  // sequence begun in the block before).
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i nul = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const auto m_lf = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
    const auto m_cr = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)));
    const auto m_nul = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nul)));
    const auto m_high = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (m_lf | m_cr) {
      const unsigned cr_before = (m_cr << 1) | (after_cr_ ? 1u : 0u);  // a CR right before each byte
      f_.lone_lf += static_cast<std::uint64_t>(bits_in(m_lf & ~cr_before));
      if (after_cr_ && !(m_lf & 1u)) ++f_.lone_cr;
      f_.lone_cr += static_cast<std::uint64_t>(bits_in(m_cr & ~(m_lf >> 1) & 0x7FFFu));
      after_cr_ = (m_cr >> 15) & 1u;
    } else if (after_cr_) {
      ++f_.lone_cr;
      after_cr_ = false;
    }
    if (m_nul && !f_.has_nul) {
      f_.has_nul = true;
      f_.first_nul = base + i + static_cast<unsigned>(__builtin_ctz(m_nul));
    }
    if (f_.valid_utf8 && (m_high || pending_ > 0)) {
      for (std::size_t k = 0; k < 16 && f_.valid_utf8; ++k) utf8_byte(static_cast<unsigned char>(data[i + k]));
    }
  }
#endif
  for (; i < n; ++i) scan_byte(static_cast<unsigned char>(data[i]), base + i);
  if (n > 0) f_.last_byte = static_cast<unsigned char>(data[n - 1]);
  f_.size += n;
}

InputFacts InputScanner::facts() const {
  InputFacts f = f_;
  if (after_cr_) ++f.lone_cr;
  if (pending_ > 0) f.valid_utf8 = false;
  f.bom = f.size >= 3 && head_[0] == 0xEF && head_[1] == 0xBB && head_[2] == 0xBF;
  return f;
}

// A text file declared as FILE,DRIVER('ASCII'), one STRING field.
struct TextInput::Declared {
  Declared(const std::string& path, std::uint32_t length, const std::string& options) : record(length, ' ') {
    fd.driver = &files::ascii_driver();
    fd.name = files::TextSource(path);
    fd.options = files::TextSource(options);
    fd.label = "INF";
    fd.record = record.data();
    fd.record_length = length;
    files::FieldDescriptor group;
    group.type = files::FieldType::GROUP;
    group.size = length;
    files::FieldDescriptor line;
    line.type = files::FieldType::STRING;
    line.size = length;
    line.declared_length = length;
    line.label = "INF:TEXTLINE";
    files::FieldDescriptor end;
    end.type = files::FieldType::END;
    fd.fields = {group, line, end};
  }
  ~Declared() {
    if (fd.fcb) files::close(fd);
  }
  std::vector<std::uint8_t> record;
  files::FileDescriptor fd;
};

TextInput::TextInput() = default;
TextInput::~TextInput() { close(); }

void TextInput::close() {
  const files::ErrorState saved = files::save_error_state();
  short_.reset();
  long_.reset();
  files::restore_error_state(saved);
}

std::int32_t TextInput::open(const std::string& path, const InputFacts& facts, std::size_t cap, std::size_t piece) {
  close();
  facts_ = facts;
  cap_ = cap;
  piece_ = cap == 0 ? piece : 0;
  resume_ = false;
  pos_ = 0;
  short_next_ = 1;
  error_ = 0;
  error_text_.clear();
  // Records end where the lines mostly do; the other kind of line end is
  // found inside them.
  eor_ = facts.lone_cr > facts.lone_lf ? '\r' : '\n';
  split_ = (eor_ == '\n' ? facts.lone_cr : facts.lone_lf) > 0;
  after_cr_ = false;
  record_valid_ = false;
  // The records are only read here, never written into: the driver need
  // not blank more of them than its reads filled.
  const std::string options = "/ENDOFRECORD=1," + std::to_string(eor_) + "/TAB=-100/CTRLZISEOF=OFF/PADDING=LINES";
  short_ = std::make_unique<Declared>(path, kShortRecord, options);
  long_ = std::make_unique<Declared>(path, kLongRecord, options);
  for (Declared* d : {short_.get(), long_.get()}) {
    files::open(d->fd, kReadDenyWrite);
    if (const std::int32_t rc = files::ERRORCODE(); rc != 0) {
      error_ = rc;
      error_text_ = files::ERROR();
      const files::ErrorState saved = files::save_error_state();
      short_.reset();
      long_.reset();
      files::restore_error_state(saved);
      return rc;
    }
  }
  files::set(short_->fd);  // reading in sequence starts here
  return 0;
}

bool TextInput::fail() {
  error_ = files::ERRORCODE();
  error_text_ = files::ERROR();
  return false;
}

bool TextInput::read_piece(std::uint64_t at, bool line_start, Piece* piece) {
  // A line that starts inside the short record last read is served from it:
  // lines ended by the other kind of line end share one record.
  if (line_start && record_valid_ && at >= record_.start && at < record_.start + record_.length) {
    const std::size_t skip = static_cast<std::size_t>(at - record_.start);
    *piece = record_;
    piece->data += skip;
    piece->length -= skip;
    piece->start = at;
    return true;
  }
  Declared& d = line_start ? *short_ : *long_;
  const auto pointer = static_cast<std::uint32_t>(at + 1);
  std::int32_t told = 0;  // the record's bytes, when the read tells them
  if (line_start) {
    record_valid_ = false;
    if (at + 1 != short_next_) {
      files::set_pointer(d.fd, pointer);
      if (files::ERRORCODE() != 0) return fail();
    }
    told = files::next_bytes(d.fd);
  } else {
    files::get(d.fd, pointer);
  }
  if (const std::int32_t rc = files::ERRORCODE(); rc != 0) {
    if (rc == kEndOfFile) return false;
    return fail();
  }
  const auto span = static_cast<std::uint32_t>(told != 0 ? told : files::bytes(d.fd));
  // The record ran to the end of the file: a line end stands there when
  // the file's last byte is one.
  const bool ended = at + span < facts_.size || facts_.last_byte == eor_;
  const std::uint64_t text = span - (ended ? 1 : 0);
  piece->data = reinterpret_cast<const char*>(d.record.data());
  piece->length = static_cast<std::size_t>(std::min<std::uint64_t>(text, d.fd.record_length));
  piece->start = at;
  piece->next = at + span;
  piece->truncated = text > piece->length;
  piece->ended = ended;
  if (line_start) {
    short_next_ = at + span + 1;
    record_ = *piece;
    record_valid_ = true;
  }
  return true;
}

bool TextInput::switch_end_of_record() {
  eor_ = eor_ == '\n' ? '\r' : '\n';
  // The record read holds line ends of the new kind inside it, where a
  // record of the new kind could not: it serves no further line.
  record_valid_ = false;
  const std::string option = "ENDOFRECORD=1," + std::to_string(eor_);
  for (Declared* d : {short_.get(), long_.get()}) {
    files::send(d->fd, option);
    if (files::ERRORCODE() != 0) return fail();
  }
  return true;
}

void TextInput::take(const char* data, std::size_t n) {
  if (cap_ == 0 || line_.size() < cap_) {
    const std::size_t keep = cap_ == 0 ? n : std::min(n, cap_ - line_.size());
    line_.append(data, keep);
    data += keep;
    n -= keep;
  }
  if (n > 0 && !more_) more_ = has_nonblank(data, n);
}

bool TextInput::next(InputLine* line) {
  if (error_ != 0 || !short_) return false;
  line->partial = false;
  if (split_ || after_cr_ || resume_ || pos_ + 1 != short_next_) return next_line(line, nullptr);
  // The common case, a line within one short record of a file whose lines
  // all end one way, is read on from the last and handed on in place: what
  // read_piece and next_line do for it, without their general steps.
  Declared& d = *short_;
  std::int32_t span = files::next_bytes(d.fd);
  if (span == 0) {
    if (const std::int32_t rc = files::ERRORCODE(); rc != 0) return rc == kEndOfFile ? false : fail();
    span = files::bytes(d.fd);
  }
  const std::uint64_t at = pos_;
  const bool ended = at + static_cast<std::uint32_t>(span) < facts_.size || facts_.last_byte == eor_;
  const std::uint64_t text = static_cast<std::uint32_t>(span) - (ended ? 1 : 0);
  const char* data = reinterpret_cast<const char*>(d.record.data());
  short_next_ = at + static_cast<std::uint32_t>(span) + 1;
  if (text > d.fd.record_length) {
    Piece pc;
    pc.data = data;
    pc.length = d.fd.record_length;
    pc.start = at;
    pc.next = at + static_cast<std::uint32_t>(span);
    pc.truncated = true;
    pc.ended = ended;
    return next_line(line, &pc);
  }
  auto len = static_cast<std::size_t>(text);
  if (eor_ == '\n' && ended && len > 0 && data[len - 1] == '\r') --len;  // CR LF
  if (!ended && len > 0 && at + len == facts_.size && facts_.last_byte == kCtrlZ &&
      static_cast<unsigned char>(data[len - 1]) == kCtrlZ) {
    --len;  // the end-of-text mark
  }
  pos_ = at + static_cast<std::uint32_t>(span);
  after_cr_ = ended && eor_ == '\r';
  if (len == 0 && !ended) return false;  // nothing after the last line end
  bool more = false;
  if (cap_ != 0 && len > cap_) {
    more = has_nonblank(data + cap_, len - cap_);
    len = cap_;
  }
  line->bytes = std::string_view(data, len);
  line->more = more;
  return true;
}

bool TextInput::next_line(InputLine* line, const Piece* first) {
  line_.clear();
  more_ = false;
  line->partial = false;
  // A line handed on in pieces goes on where the last piece stopped.
  const bool resumed = resume_;
  resume_ = false;
  std::uint64_t at = resumed ? resume_at_ : pos_;
  bool line_start = !resumed;
  int pieces = resumed ? 1 : 0;
  std::uint64_t line_record_end = resumed ? resume_record_end_ : 0;  // where the record the line starts in ends
  // The common case, a line within one short record, is handed on in place.
  auto deliver_in_place = [&](const char* data, std::size_t n) {
    if (cap_ != 0 && n > cap_) {
      more_ = has_nonblank(data + cap_, n - cap_);
      n = cap_;
    }
    line->bytes = std::string_view(data, n);
    line->more = more_;
    return true;
  };
  auto deliver = [&] {
    line->bytes = line_;
    line->more = more_;
    return true;
  };
  for (;;) {
    Piece pc;
    if (first != nullptr) {
      pc = *first;
      first = nullptr;
    } else if (!read_piece(at, line_start, &pc)) {
      if (error_ != 0 || pieces == 0) return false;
      pos_ = at;  // the file ended inside the line (it shrank since the first pass)
      return deliver();
    }
    ++pieces;
    const char* data = pc.data;
    std::size_t len = pc.length;
    std::uint64_t data_at = pc.start;
    if (line_start) {
      line_record_end = pc.next;
      if (after_cr_ && len > 0 && data[0] == '\n') {  // the LF of a CR LF
        ++data;
        --len;
        ++data_at;
        if (len == 0 && !pc.truncated && !pc.ended) {
          pos_ = pc.next;
          after_cr_ = false;
          return false;
        }
      }
      after_cr_ = false;
      line_start = false;
    }

    if (split_) {
      const char other = eor_ == '\n' ? '\r' : '\n';
      if (const void* found = std::memchr(data, other, len)) {
        const auto k = static_cast<std::size_t>(static_cast<const char*>(found) - data);
        // In a record ended by LF, a CR right before the LF is a CR LF.
        const bool crlf = other == '\r' && k + 1 == len && !pc.truncated && pc.ended;
        pos_ = crlf ? pc.next : data_at + k + 1;
        // A long stretch ended by the other kind: read by that from now on,
        // so that no read has to pass over all of it again.
        if (pc.truncated && !crlf && !switch_end_of_record()) return false;
        if (pieces == 1) return deliver_in_place(data, k);
        take(data, k);
        return deliver();
      }
    }

    if (pc.truncated) {
      // The first read found where the line ends: a whole line is gathered
      // without growing the buffer again and again.
      if (pieces == 1 && cap_ == 0 && !split_) {
        const auto whole = static_cast<std::size_t>(pc.next - data_at);
        line_.reserve(piece_ != 0 ? std::min(whole, piece_ + kLongRecord) : whole);
      }
      take(data, len);
      at = data_at + len;
      if (piece_ != 0 && line_.size() >= piece_) {
        resume_ = true;
        resume_at_ = at;
        resume_record_end_ = line_record_end;
        line->bytes = line_;
        line->more = false;
        line->partial = true;
        return true;
      }
      if (cap_ != 0 && line_.size() >= cap_ && more_ && !split_) {
        // Enough is known; the first read already found where the line ends.
        pos_ = line_record_end;
        after_cr_ = eor_ == '\r';
        return deliver();
      }
      continue;
    }

    if (eor_ == '\n' && pc.ended && len > 0 && data[len - 1] == '\r') --len;  // CR LF
    if (!pc.ended && len > 0 && data_at + len == facts_.size && facts_.last_byte == kCtrlZ &&
        static_cast<unsigned char>(data[len - 1]) == kCtrlZ) {
      --len;  // the end-of-text mark
    }
    pos_ = pc.next;
    after_cr_ = pc.ended && eor_ == '\r';
    if (pieces == 1) {
      if (len == 0 && !pc.ended) return false;  // nothing after the last line end
      return deliver_in_place(data, len);
    }
    take(data, len);
    return deliver();
  }
}

}  // namespace conversion
