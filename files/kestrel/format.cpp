#include "files/kestrel/format.h"

#include <algorithm>
#include <memory>
#include <cstring>

namespace files::kestrel {

using namespace layout;

namespace {

Status bad_length() { return Status::corruption(kErrPageLength); }

void append(Bytes* out, ByteView b) { out->insert(out->end(), b.begin(), b.end()); }
void append_be32(Bytes* out, std::uint32_t v) {
  std::uint8_t b[4];
  put_be32(b, v);
  out->insert(out->end(), b, b + 4);
}
void append_le32(Bytes* out, std::uint32_t v) {
  std::uint8_t b[4];
  put_le32(b, v);
  out->insert(out->end(), b, b + 4);
}
void append_le16(Bytes* out, std::uint16_t v) {
  out->push_back(static_cast<std::uint8_t>(v));
  out->push_back(static_cast<std::uint8_t>(v >> 8));
}

}  // namespace

// --- File header ------------------------------------------------------------------

HeaderBytes encode_header(const Header& h) {
  HeaderBytes b{};
  put_le32(&b[kHdrOwnAddress], h.own_address);
  put_le16(&b[kHdrHeaderSize], h.header_size);
  put_le32(&b[kHdrCommittedEnd], h.committed_end);
  put_le32(&b[kHdrJournalEnd], h.journal_end);
  std::memcpy(&b[kHdrMagic], kMagic, 4);
  put_le16(&b[kHdrReserved], h.reserved);
  std::copy(h.number_counter.begin(), h.number_counter.end(), &b[kHdrNumberCounter]);
  put_le32(&b[kHdrChangeCounter], h.change_counter);
  put_le32(&b[kHdrRoot], h.root);
  for (std::size_t i = 0; i < kBlockCount; ++i) {
    put_le32(&b[kHdrBlockStart + 4 * i], h.block_start[i]);
    put_le32(&b[kHdrBlockEnd + 4 * i], h.block_end[i]);
  }
  return b;
}

Status decode_header(ByteView b, Header* out) {
  if (b.size() < kHeaderSize || std::memcmp(&b[kHdrMagic], kMagic, 4) != 0) return Status::invalid_file();
  Header h;
  h.own_address = get_le32(b, kHdrOwnAddress);
  h.header_size = get_le16(b, kHdrHeaderSize);
  h.committed_end = get_le32(b, kHdrCommittedEnd);
  h.journal_end = get_le32(b, kHdrJournalEnd);
  h.reserved = get_le16(b, kHdrReserved);
  std::copy(&b[kHdrNumberCounter], &b[kHdrNumberCounter] + 4, h.number_counter.begin());
  h.change_counter = get_le32(b, kHdrChangeCounter);
  h.root = get_le32(b, kHdrRoot);
  for (std::size_t i = 0; i < kBlockCount; ++i) {
    h.block_start[i] = get_le32(b, kHdrBlockStart + 4 * i);
    h.block_end[i] = get_le32(b, kHdrBlockEnd + 4 * i);
  }
  *out = h;
  return Status::success();
}

Status check_blocks(const Header& h) {
  if (h.block_end[0] >= kPageNumberLimit) return Status::corruption(kErrNoBlock);
  std::uint32_t previous_end = 0;
  for (std::size_t i = 1; i <= kMaxClass; ++i) {
    const std::uint32_t s = h.block_start[i];
    const std::uint32_t e = h.block_end[i];
    if (s > e || e >= kPageNumberLimit || (e - s) % i != 0) return Status::corruption(kErrNoBlock);
    if (s == e) continue;
    if (s < previous_end) return Status::corruption(kErrNoBlock);
    previous_end = e;
  }
  return Status::success();
}

std::uint32_t end_of_data(const Header& h) {
  for (std::size_t i = kMaxClass; i >= 1; --i) {
    if (!h.block_empty(i)) return static_cast<std::uint32_t>(page_offset(h.block_end[i]));
  }
  return static_cast<std::uint32_t>(page_offset(h.block_end[0]));
}

std::size_t block_of(const Header& h, std::uint32_t page) {
  for (std::size_t i = 1; i <= kMaxClass; ++i) {
    if (h.block_empty(i)) continue;
    if (page >= h.block_start[i] && page < h.block_end[i] && (page - h.block_start[i]) % i == 0) return i;
  }
  return 0;
}

// --- Records ----------------------------------------------------------------------

Record Record::make(ByteView key, ByteView data) {
  RecordBytes b = RecordBytes::uninitialized(key.size() + data.size());
  if (!key.empty()) std::memcpy(b.data(), key.data(), key.size());
  if (!data.empty()) std::memcpy(b.data() + key.size(), data.data(), data.size());
  return Record(std::move(b), key.size());
}

// --- Pages --------------------------------------------------------------------------

std::size_t find_record(const Page& page, ByteView key) {
  const auto& records = page.records;
  auto it = std::partition_point(records.begin(), records.end(),
                                 [&](const Record& r) { return compare_keys(r.key(), key) < 0; });
  if (it == records.end() || compare_keys(it->key(), key) != 0) return records.size();
  return static_cast<std::size_t>(it - records.begin());
}

std::size_t size_bound(const Page& page) {
  std::size_t bound = kPageHeaderSize;
  const std::size_t per = kBoundPerRecord + (page.is_leaf() ? 0 : kBoundPerChild);
  for (const Record& r : page.records) bound += r.size() + per;
  return bound;
}

Status encode_page(const Page& page, std::uint32_t number, Bytes* out) {
  const std::size_t count = page.records.size();
  if (count > 0xFFFF || (!page.is_leaf() && page.children.size() != count)) return bad_length();
  if (number >= kPageNumberLimit) return Status::corruption(kErrPageTooLarge);

  Bytes body;
  const Record* prev = nullptr;
  for (const Record& r : page.records) {
    if (r.size() >= kRecordLimit) return Status::corruption(kErrRecordTooLarge);
    if (r.key_length > r.size()) return bad_length();
    std::uint8_t flag = 0;
    std::size_t shared = 0;
    if (prev == nullptr) {
      flag = kFlagLength | kFlagKeyLength;
    } else {
      if (r.size() != prev->size()) flag |= kFlagLength;
      if (r.key_length != prev->key_length) flag |= kFlagKeyLength;
      const std::size_t limit = std::min<std::size_t>({kSharedMask, prev->size(), r.size()});
      while (shared < limit && r.bytes[shared] == prev->bytes[shared]) ++shared;
    }
    body.push_back(static_cast<std::uint8_t>(flag | shared));
    if (flag & kFlagLength) append_le16(&body, static_cast<std::uint16_t>(r.size()));
    if (flag & kFlagKeyLength) append_le16(&body, static_cast<std::uint16_t>(r.key_length));
    body.insert(body.end(), r.bytes.begin() + static_cast<std::ptrdiff_t>(shared), r.bytes.end());
    prev = &r;
  }

  const std::size_t prefix = kPageHeaderSize + (page.is_leaf() ? 0 : kChildEntrySize * count);
  const std::size_t unpacked = prefix + body.size();
  const std::size_t bound = size_bound(page);
  if (bound > 0xFFFF) return Status::corruption(kErrPageTooLarge);

  std::optional<Bytes> packed = rle_compress(body);
  const bool keep_packed = packed && round_to_unit(prefix + packed->size()) < round_to_unit(unpacked);
  const ByteView stored_body = keep_packed ? ByteView(*packed) : ByteView(body);
  const std::size_t stored = prefix + stored_body.size();
  const std::size_t rounded = round_to_unit(stored);
  if (rounded > kMaxStoredPage) return Status::corruption(kErrPageTooLarge);

  out->assign(rounded, kPadByte);
  std::uint8_t* p = out->data();
  put_le32(p + kPgOwnAddress, static_cast<std::uint32_t>(page_offset(number)));
  put_le16(p + kPgStoredSize, static_cast<std::uint16_t>(stored));
  put_le16(p + kPgUnpackedSize, static_cast<std::uint16_t>(unpacked));
  put_le16(p + kPgSizeBound, static_cast<std::uint16_t>(bound));
  put_le16(p + kPgRecordCount, static_cast<std::uint16_t>(count));
  p[kPgLevel] = page.level;
  if (!page.is_leaf()) {
    for (std::size_t k = 0; k < count; ++k) put_le32(p + kPageHeaderSize + kChildEntrySize * k, page.children[k]);
  }
  if (!stored_body.empty()) std::memcpy(p + prefix, stored_body.data(), stored_body.size());
  return Status::success();
}

std::optional<PageHeaderFields> peek_page_header(ByteView b) {
  if (b.size() < kPageHeaderSize) return std::nullopt;
  PageHeaderFields f;
  f.own_address = get_le32(b, kPgOwnAddress);
  f.stored_size = get_le16(b, kPgStoredSize);
  f.unpacked_size = get_le16(b, kPgUnpackedSize);
  f.size_bound = get_le16(b, kPgSizeBound);
  f.record_count = get_le16(b, kPgRecordCount);
  f.level = b[kPgLevel];
  return f;
}

namespace {

// A stored page whose header has been checked, with its record stream
// expanded when it was compressed.
struct OpenedPage {
  PageHeaderFields fields;
  std::size_t prefix = 0;  // header and child table
  ByteView body;           // the record stream
};

// The expanded body is only read while the records are cut out of it; one
// buffer per thread serves every page read.
std::uint8_t* expansion_buffer() {
  thread_local std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[0x10000 + kExpandSlack]);
  return buffer.get();
}

Status open_stored_page(ByteView stored, std::uint32_t number, OpenedPage* out) {
  const auto f = peek_page_header(stored);
  if (!f) return bad_length();
  if (f->own_address != page_offset(number)) return bad_length();
  if (round_to_unit(f->stored_size) != stored.size()) return Status::corruption(kErrPageClass);
  if (f->size_bound < f->unpacked_size) return Status::corruption(kErrPageBound);
  if (f->stored_size > f->unpacked_size) return bad_length();
  const std::size_t count = f->record_count;
  const bool leaf = f->level == 0;
  if (!leaf && count == 0) return bad_length();
  const std::size_t prefix = kPageHeaderSize + (leaf ? 0 : kChildEntrySize * count);
  if (prefix > f->stored_size) return bad_length();
  out->fields = *f;
  out->prefix = prefix;
  if (f->stored_size < f->unpacked_size) {
    const std::size_t size = f->unpacked_size - prefix;  // below 0x10000: a 16-bit field
    std::uint8_t* buffer = expansion_buffer();
    if (Status s = rle_decompress(stored.subspan(prefix, f->stored_size - prefix), size, buffer); !s.ok()) return s;
    out->body = ByteView(buffer, size);
  } else {
    out->body = stored.subspan(prefix, f->unpacked_size - prefix);
  }
  return Status::success();
}

// Reads the record stream one record at a time, checking every length.
class RecordStream {
 public:
  explicit RecordStream(ByteView body) : body_(body) {}

  struct Entry {
    std::size_t shared = 0;      // leading bytes equal to the record before
    std::size_t length = 0;      // whole record
    std::size_t key_length = 0;
    std::size_t previous_key_length = 0;
    const std::uint8_t* fresh = nullptr;  // the length - shared bytes that follow
  };

  Status next(Entry* e) {
    if (pos_ >= body_.size()) return bad_length();
    const std::uint8_t flag = body_[pos_++];
    const std::size_t shared = flag & kSharedMask;
    if (first_ && ((flag & (kFlagLength | kFlagKeyLength)) != (kFlagLength | kFlagKeyLength) || shared != 0)) {
      return bad_length();
    }
    first_ = false;
    const std::size_t previous_length = length_;
    e->previous_key_length = key_length_;
    if (flag & kFlagLength) {
      if (body_.size() - pos_ < 2) return bad_length();
      length_ = get_le16(body_, pos_);
      pos_ += 2;
    }
    if (flag & kFlagKeyLength) {
      if (body_.size() - pos_ < 2) return bad_length();
      key_length_ = get_le16(body_, pos_);
      pos_ += 2;
    }
    if (key_length_ > length_ || length_ >= kRecordLimit || shared > length_ || shared > previous_length) {
      return bad_length();
    }
    const std::size_t fresh = length_ - shared;
    if (body_.size() - pos_ < fresh) return bad_length();
    e->shared = shared;
    e->length = length_;
    e->key_length = key_length_;
    e->fresh = body_.data() + pos_;
    pos_ += fresh;
    return Status::success();
  }

  bool at_end() const { return pos_ == body_.size(); }

 private:
  ByteView body_;
  std::size_t pos_ = 0;
  std::size_t length_ = 0;
  std::size_t key_length_ = 0;
  bool first_ = true;
};

// Whether a record's key part sorts above the one before it: `before` is
// the record before, `now(i)` byte i of this one. Bytes below `shared` are
// equal, so the comparison starts there.
template <class Now>
bool rises(const std::uint8_t* before, const RecordStream::Entry& e, Now now) {
  const std::size_t common = std::min(e.previous_key_length, e.key_length);
  std::size_t i = std::min(e.shared, common);
  while (i < common && before[i] == now(i)) ++i;
  return i < common ? before[i] < now(i) : e.previous_key_length < e.key_length;
}

}  // namespace

Status decode_page(ByteView stored, std::uint32_t number, Page* out) {
  OpenedPage opened;
  if (Status s = open_stored_page(stored, number, &opened); !s.ok()) return s;
  const std::size_t count = opened.fields.record_count;
  Page page;
  page.level = opened.fields.level;
  if (!page.is_leaf()) {
    page.children.resize(count);
    for (std::size_t k = 0; k < count; ++k) page.children[k] = get_le32(stored, kPageHeaderSize + kChildEntrySize * k);
  }

  page.records.reserve(std::min(count, opened.body.size()));
  RecordStream stream(opened.body);
  RecordStream::Entry e;
  for (std::size_t k = 0; k < count; ++k) {
    if (Status s = stream.next(&e); !s.ok()) return s;
    Record& r = page.records.emplace_back(RecordBytes::uninitialized(e.length), e.key_length);
    std::uint8_t* bytes = r.bytes.data();
    if (e.shared != 0) std::memcpy(bytes, page.records[k - 1].bytes.data(), e.shared);
    if (e.length != e.shared) std::memcpy(bytes + e.shared, e.fresh, e.length - e.shared);
    if (k != 0 && !rises(page.records[k - 1].bytes.data(), e, [&](std::size_t i) { return bytes[i]; })) {
      return bad_length();
    }
  }
  if (!stream.at_end()) return bad_length();
  *out = std::move(page);
  return Status::success();
}

Status find_in_stored_leaf(ByteView stored, std::uint32_t number, ByteView key, Record* out) {
  OpenedPage opened;
  if (Status s = open_stored_page(stored, number, &opened); !s.ok()) return s;
  if (opened.fields.level != 0) return bad_length();
  // The record being read is rebuilt in place over the one before it.
  thread_local std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kRecordLimit]);
  std::uint8_t* current = buffer.get();
  RecordStream stream(opened.body);
  RecordStream::Entry e;
  for (std::size_t k = 0; k < opened.fields.record_count; ++k) {
    if (Status s = stream.next(&e); !s.ok()) return s;
    const std::uint8_t* fresh = e.fresh;
    const std::size_t shared = e.shared;
    if (k != 0 && !rises(current, e, [&](std::size_t i) { return i < shared ? current[i] : fresh[i - shared]; })) {
      return bad_length();
    }
    if (e.length != shared) std::memcpy(current + shared, fresh, e.length - shared);
    const int order = compare_keys(ByteView(current, e.key_length), key);
    if (order == 0) {
      *out = Record(RecordBytes(ByteView(current, e.length)), e.key_length);
      return Status::success();
    }
    if (order > 0) return Status::not_found();  // every later record sorts above it too
  }
  if (!stream.at_end()) return bad_length();
  return Status::not_found();
}

// --- RLE -----------------------------------------------------------------------------

void append_count(Bytes* out, std::uint32_t value) {
  while (value >= 128) {
    out->push_back(static_cast<std::uint8_t>(value % 128 + 128));
    value /= 128;
  }
  out->push_back(static_cast<std::uint8_t>(value));
}

std::optional<Bytes> rle_compress(ByteView in) {
  const std::size_t n = in.size();
  Bytes out;
  std::size_t end_of_run = 0;  // e: just past the previous run
  bool found = false;
  std::size_t p = 0;
  while (p < n) {
    std::size_t run = 1;
    while (p + run < n && in[p + run] == in[p]) ++run;
    if (run < 4) {
      p += run;
      continue;
    }
    // The first byte of the run travels as the last literal, so the repeat
    // count only has to say how many copies of it follow.
    append_count(&out, static_cast<std::uint32_t>(p + 1 - end_of_run));
    out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(end_of_run),
               in.begin() + static_cast<std::ptrdiff_t>(p + 1));
    append_count(&out, static_cast<std::uint32_t>(run - 1));
    end_of_run = p + run;
    p = end_of_run;
    found = true;
  }
  if (!found) return std::nullopt;
  append_count(&out, static_cast<std::uint32_t>(n - end_of_run));
  out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(end_of_run), in.end());
  return out;
}

namespace {

bool read_count(ByteView in, std::size_t* pos, std::uint32_t* value) {
  std::uint64_t v = 0;
  unsigned shift = 0;
  while (*pos < in.size()) {
    const std::uint8_t b = in[(*pos)++];
    v |= std::uint64_t{static_cast<std::uint8_t>(b & 0x7F)} << shift;
    if (v > 0xFFFF'FFFFu) return false;
    if (b < 128) {
      *value = static_cast<std::uint32_t>(v);
      return true;
    }
    shift += 7;
    if (shift > 28) return false;
  }
  return false;
}

}  // namespace

Status rle_decompress(ByteView in, std::size_t unpacked_size, std::uint8_t* dst) {
  std::size_t done = 0;
  std::size_t pos = 0;
  for (;;) {
    std::uint32_t skip = 0;
    if (!read_count(in, &pos, &skip)) return bad_length();
    if (skip > in.size() - pos || skip > unpacked_size - done) return bad_length();
    // Literals and runs in records are mostly a few bytes long: those are
    // moved 16 bytes at a time (dst has kExpandSlack bytes of room past the
    // end; the bytes written past a piece are written over by the next).
    if (skip <= 16 && in.size() - pos >= 16) {
      std::memcpy(dst + done, in.data() + pos, 16);
    } else if (skip != 0) {
      std::memcpy(dst + done, in.data() + pos, skip);
    }
    done += skip;
    pos += skip;
    if (done == unpacked_size) break;
    std::uint32_t repeat = 0;
    if (!read_count(in, &pos, &repeat)) return bad_length();
    if (done == 0 || repeat > unpacked_size - done) return bad_length();
    if (repeat <= 16) {
      std::memset(dst + done, dst[done - 1], 16);
    } else {
      std::memset(dst + done, dst[done - 1], repeat);
    }
    done += repeat;
  }
  if (pos != in.size()) return bad_length();
  return Status::success();
}

Status rle_decompress(ByteView in, std::size_t unpacked_size, Bytes* out) {
  out->resize(unpacked_size + kExpandSlack);
  Status s = rle_decompress(in, unpacked_size, out->data());
  out->resize(unpacked_size);
  return s;
}

// --- Record kinds ----------------------------------------------------------------------

Bytes table_name_key(std::string_view name) {
  Bytes k;
  k.reserve(1 + name.size());
  k.push_back(kTagTableName);
  append(&k, view_of(name));
  return k;
}

Record table_name_record(std::string_view name, std::uint32_t table) {
  Bytes data;
  append_be32(&data, table);
  return Record::make(table_name_key(name), data);
}

std::optional<std::uint32_t> parse_table_name_record(const Record& r) {
  if (r.key_length < 1 || r.key()[0] != kTagTableName || r.data().size() != kNumberSize) return std::nullopt;
  return get_be32(r.data(), 0);
}

Bytes data_prefix(std::uint32_t table) {
  Bytes k;
  append_be32(&k, table);
  k.push_back(kTagData);
  return k;
}

Bytes data_key(std::uint32_t table, std::uint32_t record) {
  Bytes k = data_prefix(table);
  append_be32(&k, record);
  return k;
}

Record data_record(std::uint32_t table, std::uint32_t record, ByteView image) {
  return Record::make(data_key(table, record), image);
}

std::optional<DataKey> parse_data_key(ByteView key) {
  if (key.size() != kDataKeySize || key[4] != kTagData) return std::nullopt;
  return DataKey{get_be32(key, 0), get_be32(key, 5)};
}

Bytes index_prefix(std::uint32_t table, std::uint8_t key_number) {
  Bytes k;
  append_be32(&k, table);
  k.push_back(key_number);
  return k;
}

Bytes index_key(std::uint32_t table, std::uint8_t key_number, ByteView value, std::optional<std::uint32_t> record) {
  Bytes k = index_prefix(table, key_number);
  append(&k, value);
  if (record) append_be32(&k, *record);
  return k;
}

Record index_entry(std::uint32_t table, std::uint8_t key_number, ByteView value, std::uint32_t record, bool dup) {
  if (dup) {
    Bytes k = index_key(table, key_number, value, record);
    const std::size_t n = k.size();
    return Record(std::move(k), n);
  }
  Bytes data;
  append_be32(&data, record);
  return Record::make(index_key(table, key_number, value, std::nullopt), data);
}

std::optional<IndexEntry> parse_index_entry(const Record& r, bool dup) {
  const std::size_t head = kNumberSize + 1;
  IndexEntry e;
  if (dup) {
    if (r.key_length != r.size() || r.key_length < head + kNumberSize) return std::nullopt;
    e.value = r.key().subspan(head, r.key_length - head - kNumberSize);
    e.record = get_be32(r.key(), r.key_length - kNumberSize);
  } else {
    if (r.key_length < head || r.data().size() != kNumberSize) return std::nullopt;
    e.value = r.key().subspan(head);
    e.record = get_be32(r.data(), 0);
  }
  e.table = get_be32(r.key(), 0);
  e.key_number = r.key()[kNumberSize];
  return e;
}

Bytes memo_prefix(std::uint32_t table, std::uint32_t record, std::uint8_t memo) {
  Bytes k;
  append_be32(&k, table);
  k.push_back(kTagMemo);
  append_be32(&k, record);
  k.push_back(memo);
  return k;
}

Bytes memo_key(std::uint32_t table, std::uint32_t record, std::uint8_t memo, std::uint16_t segment) {
  Bytes k = memo_prefix(table, record, memo);
  k.push_back(static_cast<std::uint8_t>(segment >> 8));
  k.push_back(static_cast<std::uint8_t>(segment));
  return k;
}

std::size_t trimmed_memo_length(ByteView text) {
  std::size_t n = text.size();
  while (n > 0 && text[n - 1] == ' ') --n;
  return n;
}

Status memo_segments(std::uint32_t table, std::uint32_t record, std::uint8_t memo, ByteView content, bool blob,
                     std::vector<Record>* out) {
  out->clear();
  const std::size_t count = (content.size() + kMemoSegmentSize - 1) / kMemoSegmentSize;
  if (count > kMaxMemoSegments || content.size() > 0xFFFF'FFFFu) return bad_length();
  for (std::size_t s = 0; s < count; ++s) {
    Bytes data;
    if (blob && s == 0) append_le32(&data, static_cast<std::uint32_t>(content.size()));
    append(&data, content.subspan(s * kMemoSegmentSize,
                                  std::min(kMemoSegmentSize, content.size() - s * kMemoSegmentSize)));
    out->push_back(Record::make(memo_key(table, record, memo, static_cast<std::uint16_t>(s)), data));
  }
  return Status::success();
}

Status join_memo_segments(const std::vector<Record>& segments, bool blob, Bytes* out) {
  out->clear();
  std::optional<std::uint32_t> declared;
  for (std::size_t s = 0; s < segments.size(); ++s) {
    const Record& r = segments[s];
    if (r.key_length != kMemoKeySize) return bad_length();
    const std::size_t number = (std::size_t{r.key()[10]} << 8) | r.key()[11];
    if (number != s) return bad_length();
    ByteView data = r.data();
    if (blob && s == 0) {
      if (data.size() < kBlobLengthSize) return bad_length();
      declared = get_le32(data, 0);
      data = data.subspan(kBlobLengthSize);
    }
    const bool last = s + 1 == segments.size();
    if (data.size() > kMemoSegmentSize || (!last && data.size() != kMemoSegmentSize) || data.empty()) {
      return bad_length();
    }
    append(out, data);
  }
  if (declared && *declared != out->size()) return bad_length();
  return Status::success();
}

Bytes definition_prefix(std::uint32_t table) {
  Bytes k;
  append_be32(&k, table);
  k.push_back(kTagDefinition);
  return k;
}

Bytes definition_key(std::uint32_t table, std::uint16_t block) {
  Bytes k = definition_prefix(table);
  append_le16(&k, block);
  return k;
}

Status definition_records(std::uint32_t table, ByteView stream, std::vector<Record>* out) {
  out->clear();
  const std::size_t count = std::max<std::size_t>(1, (stream.size() + kDefinitionBlockSize - 1) / kDefinitionBlockSize);
  if (count > 0x10000) return bad_length();
  for (std::size_t b = 0; b < count; ++b) {
    const std::size_t at = b * kDefinitionBlockSize;
    const std::size_t n = std::min(kDefinitionBlockSize, stream.size() - std::min(at, stream.size()));
    out->push_back(Record::make(definition_key(table, static_cast<std::uint16_t>(b)),
                                n ? stream.subspan(at, n) : ByteView()));
  }
  return Status::success();
}

Bytes statistics_key(std::uint32_t table, std::uint8_t which) {
  Bytes k;
  append_be32(&k, table);
  k.push_back(kTagStatistics);
  k.push_back(which);
  return k;
}

Record statistics_record(std::uint32_t table, std::uint8_t which, std::uint32_t count, std::uint32_t second) {
  Bytes data;
  append_le32(&data, count);
  append_le32(&data, second);
  return Record::make(statistics_key(table, which), data);
}

std::optional<Statistics> parse_statistics(const Record& r) {
  if (r.key_length != kStatisticsKeySize || r.key()[4] != kTagStatistics || r.data().size() != kStatisticsDataSize) {
    return std::nullopt;
  }
  return Statistics{get_le32(r.data(), 0), get_le32(r.data(), 4)};
}

Bytes extra_key(std::uint32_t table) {
  Bytes k;
  append_be32(&k, table);
  k.push_back(kTagExtra);
  k.push_back(kExtraKind);
  return k;
}

Record extra_record(std::uint32_t table, bool oem, const runtime::CharTables& tables) {
  Bytes data;
  data.reserve(kExtraDataSize);
  data.push_back(oem ? kOemAttribute : 0);
  data.insert(data.end(), tables.bytes.begin(), tables.bytes.end());
  return Record::make(extra_key(table), data);
}

std::optional<TableExtra> parse_extra(const Record& r) {
  if (r.key_length != kExtraKeySize || r.key()[4] != kTagExtra || r.key()[5] != kExtraKind ||
      r.data().size() != kExtraDataSize) {
    return std::nullopt;
  }
  TableExtra e;
  e.oem = r.data()[0] != 0;
  std::copy(r.data().begin() + 1, r.data().end(), e.tables.bytes.begin());
  return e;
}

Bytes transaction_mark_key() { return Bytes{kTagTransaction}; }

Record transaction_mark(std::uint32_t value, std::string_view control_file) {
  Bytes data;
  append_le32(&data, value);
  const std::size_t nul = control_file.find('\0');
  append(&data, view_of(control_file.substr(0, nul)));
  data.push_back(0);
  return Record::make(transaction_mark_key(), data);
}

std::optional<TransactionMark> parse_transaction_mark(const Record& r) {
  if (r.key_length != 1 || r.key()[0] != kTagTransaction || r.data().size() < kNumberSize + 1) return std::nullopt;
  const ByteView rest = r.data().subspan(kNumberSize);
  const auto nul = std::find(rest.begin(), rest.end(), std::uint8_t{0});
  if (nul == rest.end()) return std::nullopt;
  TransactionMark m;
  m.value = get_le32(r.data(), 0);
  m.control_file.assign(rest.begin(), nul);
  return m;
}

Record transaction_record(std::uint32_t value) {
  Bytes k;
  append_le32(&k, value);
  return Record(std::move(k), kNumberSize);
}

// --- Definition stream ---------------------------------------------------------------------

namespace {

constexpr std::uint8_t kTypeDecimal = 10;
constexpr std::uint8_t kTypePdecimal = 11;
constexpr std::uint8_t kTypeString = 18;
constexpr std::uint8_t kTypeCstring = 19;
constexpr std::uint8_t kTypePstring = 20;
constexpr std::uint8_t kTypeGroup = 22;

bool has_digits(std::uint8_t type) { return type == kTypeDecimal || type == kTypePdecimal; }
bool has_picture(std::uint8_t type) {
  return type == kTypeString || type == kTypeCstring || type == kTypePstring;
}

void append_string(Bytes* out, const DefString& s) {
  if (!s) {
    out->push_back(0);
    out->push_back(1);
    return;
  }
  const std::string_view text = std::string_view(*s).substr(0, s->find('\0'));
  if (text.empty()) {
    out->push_back(0);
    out->push_back(0);
    return;
  }
  append(out, view_of(text));
  out->push_back(0);
}

// Reads the stream front to back; any read past its end sets `failed` and
// gives zeros, so decode_definition checks once per element.
class StreamReader {
 public:
  explicit StreamReader(ByteView b) : b_(b) {}
  bool failed() const { return failed_; }
  bool at_end() const { return pos_ == b_.size(); }
  std::size_t remaining() const { return b_.size() - pos_; }

  std::uint8_t byte() {
    if (pos_ >= b_.size()) {
      failed_ = true;
      return 0;
    }
    return b_[pos_++];
  }
  std::uint16_t word() {
    const std::uint8_t lo = byte();
    const std::uint8_t hi = byte();
    return static_cast<std::uint16_t>(lo | (hi << 8));
  }
  DefString string() {
    const std::size_t start = pos_;
    while (pos_ < b_.size() && b_[pos_] != 0) ++pos_;
    if (pos_ >= b_.size()) {
      failed_ = true;
      return std::string();
    }
    std::string text(b_.begin() + static_cast<std::ptrdiff_t>(start), b_.begin() + static_cast<std::ptrdiff_t>(pos_));
    ++pos_;  // the terminating zero
    if (!text.empty()) return text;
    const std::uint8_t marker = byte();
    if (marker == 1) return std::nullopt;
    if (marker != 0) failed_ = true;
    return std::string();
  }

 private:
  ByteView b_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace

std::uint16_t definition_version(const Definition& def) {
  for (const MemoDef& m : def.memos) {
    if (m.blob()) return kDefinitionVersionBlob;
  }
  return kDefinitionVersion;
}

Bytes encode_definition(const Definition& def) {
  Bytes out;
  append_le16(&out, definition_version(def));
  append_le16(&out, def.record_length);
  append_le16(&out, static_cast<std::uint16_t>(def.fields.size()));
  append_le16(&out, static_cast<std::uint16_t>(def.memos.size()));
  append_le16(&out, static_cast<std::uint16_t>(def.keys.size()));
  for (const FieldDef& f : def.fields) {
    out.push_back(f.type);
    append_le16(&out, f.offset);
    append_string(&out, f.name);
    append_le16(&out, f.elements);
    append_le16(&out, f.length);
    append_le16(&out, f.enclosing);
    append_le16(&out, f.attribute);
    if (has_digits(f.type)) {
      out.push_back(f.digits);
      out.push_back(f.places);
    }
    if (has_picture(f.type)) {
      append_le16(&out, f.string_length);
      append_string(&out, f.picture);
    }
  }
  for (const MemoDef& m : def.memos) {
    append_string(&out, m.external_name);
    append_string(&out, m.name);
    append_le16(&out, m.length);
    append_le16(&out, m.flags);
  }
  for (const KeyDef& k : def.keys) {
    append_string(&out, k.external_name);
    append_string(&out, k.name);
    out.push_back(k.flags);
    append_le16(&out, static_cast<std::uint16_t>(k.components.size()));
    for (const KeyComponentDef& c : k.components) {
      append_le16(&out, c.field);
      append_le16(&out, c.flags);
    }
  }
  return out;
}

Status decode_definition(ByteView stream, Definition* out) {
  StreamReader in(stream);
  Definition def;
  def.version = in.word();
  def.record_length = in.word();
  const std::size_t fields = in.word();
  const std::size_t memos = in.word();
  const std::size_t keys = in.word();
  if (in.failed()) return bad_length();
  // Every element takes at least a few bytes, so a count beyond what is
  // left is a lie; checking each element as it is read keeps memory bounded.
  for (std::size_t i = 0; i < fields; ++i) {
    FieldDef f;
    f.type = in.byte();
    f.offset = in.word();
    f.name = in.string();
    f.elements = in.word();
    f.length = in.word();
    f.enclosing = in.word();
    f.attribute = in.word();
    if (has_digits(f.type)) {
      f.digits = in.byte();
      f.places = in.byte();
    }
    if (has_picture(f.type)) {
      f.string_length = in.word();
      f.picture = in.string();
    }
    if (in.failed()) return bad_length();
    def.fields.push_back(std::move(f));
  }
  for (std::size_t i = 0; i < memos; ++i) {
    MemoDef m;
    m.external_name = in.string();
    m.name = in.string();
    m.length = in.word();
    m.flags = in.word();
    if (in.failed()) return bad_length();
    def.memos.push_back(std::move(m));
  }
  for (std::size_t i = 0; i < keys; ++i) {
    KeyDef k;
    k.external_name = in.string();
    k.name = in.string();
    k.flags = in.byte();
    const std::size_t components = in.word();
    if (in.failed() || components * 4 > in.remaining()) return bad_length();
    for (std::size_t c = 0; c < components; ++c) {
      KeyComponentDef kc;
      kc.field = in.word();
      kc.flags = in.word();
      k.components.push_back(kc);
    }
    if (in.failed()) return bad_length();
    def.keys.push_back(std::move(k));
  }
  if (!in.at_end()) return bad_length();
  *out = std::move(def);
  return Status::success();
}

Status check_definition(const Definition& def) {
  for (const FieldDef& f : def.fields) {
    if (std::size_t{f.offset} + f.length > def.record_length) return bad_length();
  }
  for (const KeyDef& k : def.keys) {
    for (const KeyComponentDef& c : k.components) {
      if (c.field >= def.fields.size()) return bad_length();
    }
  }
  return Status::success();
}

bool definitions_match(const Definition& stored, const Definition& declared) {
  if (stored.version != declared.version || stored.record_length != declared.record_length ||
      stored.fields != declared.fields || stored.memos.size() != declared.memos.size() ||
      stored.keys.size() != declared.keys.size()) {
    return false;
  }
  for (std::size_t i = 0; i < stored.memos.size(); ++i) {
    const MemoDef& a = stored.memos[i];
    const MemoDef& b = declared.memos[i];
    if (a.external_name != b.external_name || a.name != b.name) return false;
    if (a.length != b.length && !a.blob() && !b.blob()) return false;
  }
  for (std::size_t i = 0; i < stored.keys.size(); ++i) {
    const KeyDef& a = stored.keys[i];
    const KeyDef& b = declared.keys[i];
    if (a.external_name != b.external_name || a.name != b.name || a.components != b.components) return false;
    if ((a.flags & ~kKeyFlagPrimary) != (b.flags & ~kKeyFlagPrimary)) return false;
  }
  return true;
}

// --- Key encoding ------------------------------------------------------------------------------

namespace {

enum : std::uint8_t {
  kShort = 2,
  kUshort = 3,
  kDate = 4,
  kTime = 5,
  kLong = 6,
  kUlong = 7,
  kSreal = 8,
  kReal = 9,
};

}  // namespace

std::size_t key_value_length(const Definition& def, const KeyDef& key) {
  std::size_t n = 0;
  for (const KeyComponentDef& c : key.components) {
    if (c.field < def.fields.size()) n += def.fields[c.field].length;
  }
  return n;
}

void encode_component(const FieldDef& field, ByteView b, bool descending, bool nocase, const Collation& collation,
                      std::uint8_t* out) {
  const std::size_t n = b.size();
  if (n == 0) return;
  switch (field.type) {
    case kTypeString:
    case kTypeGroup:
    case kTypeCstring:
    case kTypePstring: {
      std::size_t from = 0;
      std::size_t count = n;
      if (field.type == kTypeCstring) {
        count = static_cast<std::size_t>(std::find(b.begin(), b.end(), std::uint8_t{0}) - b.begin());
      } else if (field.type == kTypePstring) {
        from = 1;
        count = std::min<std::size_t>(b[0], n - 1);
      }
      const runtime::CharTables& t = *collation.tables;
      for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t c = b[from + i];
        if (nocase) c = t.fold_case(c);
        out[i] = collation.oem ? t.oem_weight(c) : t.ansi_weight(c);
      }
      // The fill stays 0 so that a shorter string sorts before a longer one
      // that starts with it, whatever the weight of the character 0.
      std::fill(out + count, out + n, std::uint8_t{0});
      break;
    }
    case kUshort:
    case kUlong:
    case kDate:
    case kTime:
      std::reverse_copy(b.begin(), b.end(), out);
      break;
    case kShort:
    case kLong:
      std::reverse_copy(b.begin(), b.end(), out);
      out[0] ^= 0x80;
      break;
    case kSreal:
    case kReal:
      std::reverse_copy(b.begin(), b.end(), out);
      if (out[0] & 0x80) {
        descending = !descending;
      } else {
        out[0] |= 0x80;
      }
      break;
    case kTypeDecimal:
      std::copy(b.begin(), b.end(), out);
      if (out[0] & 0xF0) {
        out[0] &= 0x0F;
        descending = !descending;
      }
      out[0] ^= 0x80;
      break;
    default:
      std::copy(b.begin(), b.end(), out);
      break;
  }
  if (descending) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(0xFF - out[i]);
  }
}

Status encode_key_value(const Definition& def, const KeyDef& key, ByteView image, const Collation& collation,
                        Bytes* out) {
  out->assign(key_value_length(def, key), 0);
  std::size_t at = 0;
  const bool nocase = key.flags & kKeyFlagNocase;
  for (const KeyComponentDef& c : key.components) {
    if (c.field >= def.fields.size()) return bad_length();
    const FieldDef& f = def.fields[c.field];
    if (std::size_t{f.offset} + f.length > image.size()) return bad_length();
    encode_component(f, image.subspan(f.offset, f.length), c.flags & kComponentDescending, nocase, collation,
                     out->data() + at);
    at += f.length;
  }
  return Status::success();
}

bool key_is_blank(const Definition& def, const KeyDef& key, ByteView image) {
  for (const KeyComponentDef& c : key.components) {
    if (c.field >= def.fields.size()) return false;
    const FieldDef& f = def.fields[c.field];
    if (std::size_t{f.offset} + f.length > image.size()) return false;
    const ByteView b = image.subspan(f.offset, f.length);
    bool blank = true;
    switch (f.type) {
      case kTypeString:
      case kTypeGroup:
        blank = std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == ' '; });
        break;
      case kTypeCstring:
      case kTypePstring:
        blank = b.empty() || b[0] == 0;
        break;
      default:
        blank = std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
        break;
    }
    if (!blank) return false;
  }
  return true;
}

// --- Encipherment ---------------------------------------------------------------------------------

namespace {

void load_words(const std::uint8_t* block, KeyBlock* w) {
  for (std::size_t i = 0; i < 16; ++i) (*w)[i] = get_le32(ByteView(block + 4 * i, 4), 0);
}
void store_words(const KeyBlock& w, std::uint8_t* block) {
  for (std::size_t i = 0; i < 16; ++i) put_le32(block + 4 * i, w[i]);
}

void encipher_words(const KeyBlock* key, KeyBlock* b) {
  for (std::size_t i = 0; i < 16; ++i) {
    // With key == b the key word is read from the block as it is being
    // changed, which is how the key block is made from itself.
    const std::uint32_t k = key ? (*key)[i] : (*b)[i];
    const std::size_t j = k % 16;
    const std::uint32_t a = (*b)[i];
    const std::uint32_t c = (*b)[j];
    (*b)[j] = k + ((k & c) | (a & ~k));
    (*b)[i] = k + ((k & a) | (c & ~k));
  }
}

}  // namespace

KeyBlock make_key_block(std::string_view password) {
  // The password and its terminating zero, read cyclically from index 1.
  const std::string_view text = password.substr(0, password.find('\0'));
  const std::size_t cycle = text.size() + 1;
  std::array<std::uint8_t, kCipherBlock> bytes{};
  for (std::size_t i = 0; i < kCipherBlock; ++i) {
    const std::size_t at = (1 + i) % cycle;
    const std::uint8_t ch = at < text.size() ? static_cast<std::uint8_t>(text[at]) : 0;
    bytes[(i * 17) % kCipherBlock] = static_cast<std::uint8_t>(ch + i);
  }
  KeyBlock k;
  load_words(bytes.data(), &k);
  encipher_words(nullptr, &k);
  encipher_words(nullptr, &k);
  return k;
}

void encipher_block(const KeyBlock& key, std::uint8_t* block) {
  KeyBlock b;
  load_words(block, &b);
  encipher_words(&key, &b);
  store_words(b, block);
}

void decipher_block(const KeyBlock& key, std::uint8_t* block) {
  KeyBlock b;
  load_words(block, &b);
  for (std::size_t n = 16; n-- > 0;) {
    const std::uint32_t k = key[n];
    const std::size_t j = k % 16;
    const std::uint32_t a = b[n];
    const std::uint32_t c = b[j];
    b[n] = (k & (a - k)) | ((c - k) & ~k);
    b[j] = (k & (c - k)) | ((a - k) & ~k);
  }
  store_words(b, block);
}

Status encipher(const KeyBlock& key, std::span<std::uint8_t> data) {
  if (data.size() % kCipherBlock != 0) return Status::corruption(kErrWriteLength);
  for (std::size_t at = 0; at < data.size(); at += kCipherBlock) encipher_block(key, data.data() + at);
  return Status::success();
}

Status decipher(const KeyBlock& key, std::span<std::uint8_t> data) {
  if (data.size() % kCipherBlock != 0) return Status::corruption(kErrReadLength);
  for (std::size_t at = 0; at < data.size(); at += kCipherBlock) decipher_block(key, data.data() + at);
  return Status::success();
}

}  // namespace files::kestrel
