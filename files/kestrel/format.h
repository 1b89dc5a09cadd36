// Layer 1 of the keyed-file engine: pure codecs over byte buffers.
//
// Nothing here touches a file, a lock or a clock. Every decoder accepts any
// bytes whatever and answers with a value or a Status (an internal error
// number, or invalid_file for a foreign header); none reads outside the
// buffer it is given or allocates more than a small multiple of its input.
// Encoders are given values the engine made and state what they require.
//
// The numbers of the format are in layout.h; FORMAT.md tells the layout in
// prose.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "files/kestrel/layout.h"
#include "files/kestrel/status.h"
#include "runtime/char_tables.h"

namespace files::kestrel {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView view_of(std::string_view s) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// --- Integers ----------------------------------------------------------------
// The callers guarantee at + width <= b.size().

inline std::uint16_t get_le16(ByteView b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint32_t get_le32(ByteView b, std::size_t at) {
  return std::uint32_t{b[at]} | (std::uint32_t{b[at + 1]} << 8) | (std::uint32_t{b[at + 2]} << 16) |
         (std::uint32_t{b[at + 3]} << 24);
}
inline std::uint32_t get_be32(ByteView b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) |
         std::uint32_t{b[at + 3]};
}
inline void put_le16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_be32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}

// File offset of page n (n * 256 + 512).
inline std::uint64_t page_offset(std::uint32_t n) {
  return std::uint64_t{n} * layout::kPageUnit + layout::kHeaderSize;
}
// n rounded up to a whole number of 256-byte units.
inline std::size_t round_to_unit(std::size_t n) {
  return (n + layout::kPageUnit - 1) / layout::kPageUnit * layout::kPageUnit;
}

// --- File header ------------------------------------------------------------------

struct Header {
  std::uint32_t own_address = 0;
  std::uint16_t header_size = layout::kHeaderSize;
  std::uint32_t committed_end = 0;
  std::uint32_t journal_end = 0;
  std::uint16_t reserved = 0;                         // bytes 18-19, kept as read
  std::array<std::uint8_t, 4> number_counter{};       // big-endian
  std::uint32_t change_counter = 0;
  std::uint32_t root = 0;
  std::array<std::uint32_t, layout::kBlockCount> block_start{};
  std::array<std::uint32_t, layout::kBlockCount> block_end{};

  // A new file's header: all zero but the header size and the magic.
  static Header fresh() { return Header(); }

  bool block_empty(std::size_t i) const { return block_start[i] == block_end[i]; }
  friend bool operator==(const Header&, const Header&) = default;
};

using HeaderBytes = std::array<std::uint8_t, layout::kHeaderSize>;

HeaderBytes encode_header(const Header& header);

// invalid_file when `bytes` holds fewer than 512 bytes or lacks the magic;
// bytes past 512 are ignored. Nothing else is checked (see check_blocks).
Status decode_header(ByteView bytes, Header* out);

// The block tables make sense: for every block i (1..59) start <= end,
// end - start a multiple of i, end below the page number limit, and the
// non-empty blocks in increasing order without overlap. Else 1735.
Status check_blocks(const Header& header);

// File offset just past the data: end[i] * 256 + 512 for the highest
// non-empty block i (i = 0 when all are empty).
std::uint32_t end_of_data(const Header& header);

// The block (1..59) whose range holds page n on a slot boundary of its
// class, or 0 when none does. Requires check_blocks to have passed.
std::size_t block_of(const Header& header, std::uint32_t page);

// --- Records ----------------------------------------------------------------------

// Orders key parts: bytewise as unsigned bytes over the shorter length; of
// two keys where one is a prefix of the other, the shorter sorts first.
// Returns <0, 0, >0.
inline int compare_keys(ByteView a, ByteView b) {
  // Eight bytes at a time, read big-endian so that the integer order is
  // the byte order; this runs in every step of every search.
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x = 0, y = 0;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        x = __builtin_bswap64(x);
        y = __builtin_bswap64(y);
      }
      return x < y ? -1 : 1;
    }
  }
  for (; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// The bytes of one record. Most records are short (a key of a few fields
// and a small data part), and a page holds hundreds of them: up to
// kInline bytes live inside the object, longer ones in one heap block, so
// that decoding a page does not allocate per record.
class RecordBytes {
 public:
  static constexpr std::size_t kInline = 40;

  RecordBytes() = default;
  RecordBytes(ByteView b) { assign(b); }  // NOLINT: a record is made from any bytes
  RecordBytes(const Bytes& b) : RecordBytes(ByteView(b)) {}  // NOLINT
  template <class It>
  RecordBytes(It first, It last) {
    reset(static_cast<std::size_t>(last - first));
    std::copy(first, last, data());
  }
  RecordBytes(const RecordBytes& o) : RecordBytes(ByteView(o)) {}
  RecordBytes(RecordBytes&& o) noexcept { take(o); }
  RecordBytes& operator=(const RecordBytes& o) {
    if (this != &o) assign(ByteView(o));
    return *this;
  }
  RecordBytes& operator=(RecordBytes&& o) noexcept {
    if (this != &o) {
      release();
      take(o);
    }
    return *this;
  }
  ~RecordBytes() { release(); }

  // n bytes whose contents the caller fills.
  static RecordBytes uninitialized(std::size_t n) {
    RecordBytes r;
    r.reset(n);
    return r;
  }

  std::uint8_t* data() { return on_heap() ? heap_ : inline_; }
  const std::uint8_t* data() const { return on_heap() ? heap_ : inline_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::uint8_t* begin() { return data(); }
  std::uint8_t* end() { return data() + size_; }
  const std::uint8_t* begin() const { return data(); }
  const std::uint8_t* end() const { return data() + size_; }
  std::uint8_t& operator[](std::size_t i) { return data()[i]; }
  std::uint8_t operator[](std::size_t i) const { return data()[i]; }
  operator ByteView() const { return ByteView(data(), size_); }  // NOLINT
  Bytes to_bytes() const { return Bytes(begin(), end()); }

  // Keeps the first min(size, n) bytes; new bytes are zero.
  void resize(std::size_t n) {
    if (n == size_) return;
    RecordBytes next = uninitialized(n);
    const std::size_t kept = std::min<std::size_t>(n, size_);
    std::copy_n(data(), kept, next.data());
    std::fill(next.data() + kept, next.data() + n, std::uint8_t{0});
    *this = std::move(next);
  }
  void assign(ByteView b) {
    if (b.size() != size_) {
      release();
      reset(b.size());
    }
    if (!b.empty()) std::memmove(data(), b.data(), b.size());
  }

  friend bool operator==(const RecordBytes& a, const RecordBytes& b) {
    return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_) == 0);
  }
  friend bool operator==(const RecordBytes& a, const Bytes& b) {
    return a.size_ == b.size() && (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_) == 0);
  }

 private:
  bool on_heap() const { return size_ > kInline; }
  // Sets the size, with fresh storage; the old storage is already released.
  void reset(std::size_t n) {
    size_ = static_cast<std::uint32_t>(n);
    if (on_heap()) heap_ = new std::uint8_t[n];
  }
  void release() {
    if (on_heap()) delete[] heap_;
    size_ = 0;
  }
  void take(RecordBytes& o) {
    size_ = o.size_;
    if (o.on_heap()) {
      heap_ = o.heap_;
    } else {
      std::memcpy(inline_, o.inline_, kInline);
    }
    o.size_ = 0;
  }

  std::uint32_t size_ = 0;
  union {
    std::uint8_t inline_[kInline] = {};  // zeroed, so that moving a short record copies only set bytes
    std::uint8_t* heap_;
  };
};

// One record: the key part followed by the data part.
struct Record {
  RecordBytes bytes;
  std::size_t key_length = 0;  // <= bytes.size()

  Record() = default;
  Record(RecordBytes b, std::size_t key_len) : bytes(std::move(b)), key_length(key_len) {}
  static Record make(ByteView key, ByteView data);

  ByteView key() const { return ByteView(bytes).first(key_length); }
  ByteView data() const { return ByteView(bytes).subspan(key_length); }
  std::size_t size() const { return bytes.size(); }
  friend bool operator==(const Record&, const Record&) = default;
};

// --- Pages --------------------------------------------------------------------------

struct Page {
  std::uint8_t level = 0;               // 0 = leaf
  std::vector<std::uint32_t> children;  // inner pages: the child of record k at k
  std::vector<Record> records;          // strictly increasing key parts

  // size_bound(*this) as last worked out by the tree, 0 when not known.
  // Whoever changes the records keeps it right or sets it to 0.
  std::size_t known_bound = 0;

  bool is_leaf() const { return level == 0; }
  friend bool operator==(const Page& a, const Page& b) {
    return a.level == b.level && a.children == b.children && a.records == b.records;
  }
};

// Index of the record whose key part equals key, else records.size().
std::size_t find_record(const Page& page, ByteView key);

// 13 + per record (length + 5), + 4 per record on an inner page.
std::size_t size_bound(const Page& page);

// The page as it is stored at page number `number`: header, child table,
// record stream (compressed when that saves a 256-byte unit), padded with
// 0xB0 to a multiple of 256. Requires an inner page to have one child per
// record and every record to be shorter than 15094 bytes (else 1602 / 824).
// 1678 when the stored page would exceed 15104 bytes.
Status encode_page(const Page& page, std::uint32_t number, Bytes* out);

// The 13 header bytes of a stored page, read without decoding the rest.
struct PageHeaderFields {
  std::uint32_t own_address = 0;
  std::uint16_t stored_size = 0;
  std::uint16_t unpacked_size = 0;
  std::uint16_t size_bound = 0;
  std::uint16_t record_count = 0;
  std::uint8_t level = 0;
};
std::optional<PageHeaderFields> peek_page_header(ByteView stored);

// Decodes a stored page read from the block of its class: `stored` holds
// exactly the block's page size. `number` is the page's home (its own
// address must be number * 256 + 512).
// 1477: the stored size rounded to 256 differs from stored.size();
// 1659: the size bound is below the unpacked size;
// 1602: anything else that does not add up (own address, sizes, child table,
//       compressed body, record stream not ending at the unpacked size, key
//       parts out of order, a record of 15094 bytes or more).
Status decode_page(ByteView stored, std::uint32_t number, Page* out);

// Looks up the record whose key part equals `key` in a stored leaf page
// without decoding the rest of it: not_found when the page has none. Reads
// the page only as far as it must, checking what it reads as decode_page
// does (1602 also for an inner page); a fault further on shows when the
// page is decoded.
Status find_in_stored_leaf(ByteView stored, std::uint32_t number, ByteView key, Record* out);

// --- RLE -----------------------------------------------------------------------------

// Compresses a page body by the run-length scheme; nullopt when the body has
// no run of 4 or more equal bytes (then it is stored as it is).
std::optional<Bytes> rle_compress(ByteView body);

// Expands a compressed body that must come out at exactly `unpacked_size`
// bytes and use up all of `packed`; 1602 otherwise. Never writes more than
// unpacked_size bytes.
Status rle_decompress(ByteView packed, std::size_t unpacked_size, Bytes* out);
// The same into dst, which has room for unpacked_size + kExpandSlack bytes
// (what lies past unpacked_size afterwards is undefined).
inline constexpr std::size_t kExpandSlack = 16;
Status rle_decompress(ByteView packed, std::size_t unpacked_size, std::uint8_t* dst);

// Writes a count base-128, low group first.
void append_count(Bytes* out, std::uint32_t value);

// --- Record kinds ----------------------------------------------------------------------
// T = table number, R = record number: 4 bytes big-endian in every key.

Bytes table_name_key(std::string_view name);                 // 0xFE, name
Record table_name_record(std::string_view name, std::uint32_t table);
// The table number of a name record; nullopt unless the data is 4 bytes.
std::optional<std::uint32_t> parse_table_name_record(const Record& record);

Bytes data_prefix(std::uint32_t table);                      // T, 0xF3
Bytes data_key(std::uint32_t table, std::uint32_t record);   // T, 0xF3, R
Record data_record(std::uint32_t table, std::uint32_t record, ByteView image);
struct DataKey {
  std::uint32_t table = 0;
  std::uint32_t record = 0;
};
std::optional<DataKey> parse_data_key(ByteView key);

// Index entries. For a unique key the key part is T, key number, value and
// the data is R. For a key with duplicates R ends the key part and is at
// the same time the entry's data: record length = key length.
Bytes index_prefix(std::uint32_t table, std::uint8_t key_number);
Record index_entry(std::uint32_t table, std::uint8_t key_number, ByteView value, std::uint32_t record, bool dup);
// The key part an entry would have; for dup keys R is appended (pass 0 or
// 0xFFFFFFFF to bound a scan over equal values).
Bytes index_key(std::uint32_t table, std::uint8_t key_number, ByteView value, std::optional<std::uint32_t> record);
struct IndexEntry {
  std::uint32_t table = 0;
  std::uint8_t key_number = 0;
  ByteView value;            // a view into the parsed record
  std::uint32_t record = 0;  // R
};
// nullopt when the record cannot be an entry of that kind.
std::optional<IndexEntry> parse_index_entry(const Record& record, bool dup);

// Memo segments: T, 0xFC, R, memo number, segment number (2 bytes big-endian).
Bytes memo_prefix(std::uint32_t table, std::uint32_t record, std::uint8_t memo);
Bytes memo_key(std::uint32_t table, std::uint32_t record, std::uint8_t memo, std::uint16_t segment);
// The length a text memo is stored with: up to its last non-blank byte.
std::size_t trimmed_memo_length(ByteView text);
// Cuts `content` (already trimmed for a text memo) into 256-byte segments;
// a BLOB's first segment carries its total length (4 bytes little-endian)
// in front. Empty content gives no segments. 1602 when the content needs
// more than 65536 segments.
Status memo_segments(std::uint32_t table, std::uint32_t record, std::uint8_t memo, ByteView content, bool blob,
                     std::vector<Record>* out);
// Joins the segments of one memo, given in key order. 1602 when segment
// numbers are not 0, 1, 2, ..., a segment other than the last is not full,
// or a BLOB's stored length disagrees with its segments.
Status join_memo_segments(const std::vector<Record>& segments, bool blob, Bytes* out);

// Definition blocks: T, 0xFA, block number (2 bytes little-endian).
Bytes definition_prefix(std::uint32_t table);
Bytes definition_key(std::uint32_t table, std::uint16_t block);
// The stream cut into 512-byte blocks (the last may be shorter); an empty
// stream still gives one (empty) block. 1602 when it needs more than 65536.
Status definition_records(std::uint32_t table, ByteView stream, std::vector<Record>* out);

// Statistics: T, 0xF6, key number or 0xF3; data: count, then the stale mark
// (a key) or the flag word (the data records), 4 bytes little-endian each.
Bytes statistics_key(std::uint32_t table, std::uint8_t which);
Record statistics_record(std::uint32_t table, std::uint8_t which, std::uint32_t count, std::uint32_t second);
struct Statistics {
  std::uint32_t count = 0;
  std::uint32_t second = 0;  // stale mark or flag word
};
std::optional<Statistics> parse_statistics(const Record& record);

// Table extra: T, 0xFB, 0x01; data: OEM attribute byte, 1152 table bytes.
Bytes extra_key(std::uint32_t table);
Record extra_record(std::uint32_t table, bool oem, const runtime::CharTables& tables);
struct TableExtra {
  bool oem = false;
  runtime::CharTables tables;
};
std::optional<TableExtra> parse_extra(const Record& record);

// Transaction mark: key 0xFF; data: the transaction value (4 bytes
// little-endian), the control file's name, a zero byte.
Bytes transaction_mark_key();
Record transaction_mark(std::uint32_t value, std::string_view control_file);
struct TransactionMark {
  std::uint32_t value = 0;
  std::string control_file;
};
std::optional<TransactionMark> parse_transaction_mark(const Record& record);
// A transaction record of the control file: the value as the whole key.
Record transaction_record(std::uint32_t value);

// --- Definition stream ---------------------------------------------------------------------

// A string of the stream: nullopt is the absent string (00 01), "" the
// empty one (00 00). Strings hold no NUL byte; encoding stops at one.
using DefString = std::optional<std::string>;

struct FieldDef {
  std::uint8_t type = 18;          // field type code (files::FieldType)
  std::uint16_t offset = 0;        // in the record
  DefString name;
  std::uint16_t elements = 1;      // array dimension, 1 for a plain field
  std::uint16_t length = 0;        // whole byte length
  std::uint16_t enclosing = 0;     // not 0 for a field inside another field
  std::uint16_t attribute = 0;
  std::uint8_t digits = 0;         // DECIMAL, PDECIMAL
  std::uint8_t places = 0;
  std::uint16_t string_length = 0; // STRING, CSTRING, PSTRING
  DefString picture;
  friend bool operator==(const FieldDef&, const FieldDef&) = default;
};

struct MemoDef {
  DefString external_name;
  DefString name;
  std::uint16_t length = 0;
  std::uint16_t flags = 0;  // kMemoFlagBlob, kMemoFlagBinary
  bool blob() const { return flags & layout::kMemoFlagBlob; }
  friend bool operator==(const MemoDef&, const MemoDef&) = default;
};

struct KeyComponentDef {
  std::uint16_t field = 0;  // 0-based in the field list
  std::uint16_t flags = 0;  // kComponentDescending
  friend bool operator==(const KeyComponentDef&, const KeyComponentDef&) = default;
};

struct KeyDef {
  DefString external_name;
  DefString name;
  std::uint8_t flags = 0;  // kKeyFlag*
  std::vector<KeyComponentDef> components;
  friend bool operator==(const KeyDef&, const KeyDef&) = default;
};

struct Definition {
  std::uint16_t version = layout::kDefinitionVersion;  // recomputed by encode_definition
  std::uint16_t record_length = 0;
  std::vector<FieldDef> fields;
  std::vector<MemoDef> memos;
  std::vector<KeyDef> keys;
  friend bool operator==(const Definition&, const Definition&) = default;
};

// 2 when any memo is a BLOB, else 1.
std::uint16_t definition_version(const Definition& def);

// The stream; the version word is computed, not taken from def.version.
// Requires at most 65535 fields, memos, keys and components per key.
Bytes encode_definition(const Definition& def);

// Parses a stream (the definition blocks joined in block order). 1602 when
// it ends early, a string's marker byte is neither 0 nor 1, or bytes are
// left over. The values are taken as they stand; see check_definition.
Status decode_definition(ByteView stream, Definition* out);

// The definition can serve a table: every field lies inside the record,
// every key component names an existing field. 1602 otherwise.
Status check_definition(const Definition& def);

// The rule at open: equal but for bit 0x10 of the key flags and the memo
// flags word; a memo's length may differ only when it is a BLOB (in either).
bool definitions_match(const Definition& stored, const Definition& declared);

// --- Key encoding ------------------------------------------------------------------------------

// The character tables and set a table's keys are built with: the tables
// stored in its extra record and its OEM attribute (OEM tables collate with
// the OEM weights, over the stored OEM image).
struct Collation {
  const runtime::CharTables* tables = nullptr;  // not owned; never null when used
  bool oem = false;
};

// Length of the key's encoded value: the sum of its component fields.
std::size_t key_value_length(const Definition& def, const KeyDef& key);

// Encodes one component from the field's bytes (exactly field.length of
// them). NOCASE and collation apply to STRING, CSTRING, PSTRING and GROUP.
void encode_component(const FieldDef& field, ByteView bytes, bool descending, bool nocase,
                      const Collation& collation, std::uint8_t* out);

// The key value of `image` (the stored image of a record of the table).
// 1602 when a component names no field or a field lies outside the image.
Status encode_key_value(const Definition& def, const KeyDef& key, ByteView image, const Collation& collation,
                        Bytes* out);

// An OPT key leaves out records whose components are all blank: STRING and
// GROUP all spaces, CSTRING and PSTRING empty, other types all zero bytes.
// A component outside the image counts as not blank.
bool key_is_blank(const Definition& def, const KeyDef& key, ByteView image);

// --- Encipherment ---------------------------------------------------------------------------------

using KeyBlock = std::array<std::uint32_t, 16>;

// The key block of an owner password.
KeyBlock make_key_block(std::string_view password);

// One 64-byte block in place.
void encipher_block(const KeyBlock& key, std::uint8_t* block);
void decipher_block(const KeyBlock& key, std::uint8_t* block);

// Whole buffers in place: 2286 (encipher) or 2272 (decipher) when the
// length is not a multiple of 64, and then nothing is changed.
Status encipher(const KeyBlock& key, std::span<std::uint8_t> data);
Status decipher(const KeyBlock& key, std::span<std::uint8_t> data);

}  // namespace files::kestrel
