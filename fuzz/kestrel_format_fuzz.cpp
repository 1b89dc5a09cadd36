// Any bytes through every decoder of the keyed-file format: header, page,
// definition stream, RLE, encipherment and the record-kind parsers. None
// may crash or read outside its input; what decodes must survive encoding
// and decoding again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "files/kestrel/format.h"

using namespace files::kestrel;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void pages(ByteView in) {
  const std::size_t whole = in.size() / layout::kPageUnit * layout::kPageUnit;
  if (whole == 0) return;
  const ByteView stored = in.first(whole);
  // Decode at the home the page claims, so that the own-address test does
  // not stop every input at the first hurdle.
  const std::uint32_t own = get_le32(stored, 0);
  const std::uint32_t number =
      own >= layout::kHeaderSize && (own - layout::kHeaderSize) % layout::kPageUnit == 0
          ? (own - static_cast<std::uint32_t>(layout::kHeaderSize)) / layout::kPageUnit
          : 0;
  // The leaf search reads as far as it needs: it may stop before a fault
  // decode_page finds, but where the page decodes it must agree with it.
  Record found;
  const Bytes probe(in.end() - std::min<std::size_t>(in.size() - whole, 12), in.end());
  const Status searched = find_in_stored_leaf(stored, number, probe, &found);
  Page page;
  if (!decode_page(stored, number, &page).ok()) return;
  if (page.is_leaf()) {
    const auto it = std::find_if(page.records.begin(), page.records.end(),
                                 [&](const Record& r) { return compare_keys(r.key(), probe) == 0; });
    check(it == page.records.end() ? searched.is(Code::not_found) : (searched.ok() && found == *it));
    const std::size_t n = page.records.size();
    const std::size_t stride = n > 64 ? n / 16 : 1;  // every record of a small page, a sample of a large one
    for (std::size_t k = 0; k < n; k += stride) {
      const Record& r = page.records[k];
      check(find_in_stored_leaf(stored, number, r.key(), &found).ok() && found == r);
    }
  } else {
    check(searched == Status::corruption(layout::kErrPageLength));
  }
  for (const Record& r : page.records) {
    (void)parse_table_name_record(r);
    (void)parse_data_key(r.key());
    (void)parse_index_entry(r, true);
    (void)parse_index_entry(r, false);
    (void)parse_statistics(r);
    (void)parse_extra(r);
    (void)parse_transaction_mark(r);
  }
  Bytes joined;
  (void)join_memo_segments(page.records, true, &joined);
  (void)join_memo_segments(page.records, false, &joined);
  Bytes again;
  if (number >= layout::kPageNumberLimit || !encode_page(page, number, &again).ok()) return;
  Page back;
  check(decode_page(again, number, &back).ok());
  check(back == page);
}

void header(ByteView in) {
  Header h;
  if (!decode_header(in, &h).ok()) return;
  const HeaderBytes b = encode_header(h);
  Header back;
  check(decode_header(b, &back).ok() && back == h);
  if (check_blocks(h).ok()) {
    (void)end_of_data(h);
    (void)block_of(h, get_le32(in, 0));
  }
}

void definition(ByteView in) {
  Definition d;
  if (!decode_definition(in, &d).ok()) return;
  const Bytes stream = encode_definition(d);
  Definition back;
  check(decode_definition(stream, &back).ok());
  d.version = definition_version(d);
  check(back == d);
  if (!check_definition(d).ok()) return;
  const runtime::CharTables tables = runtime::CharTables::defaults();
  const Bytes image(d.record_length, 0x41);
  for (const KeyDef& k : d.keys) {
    Bytes value;
    check(encode_key_value(d, k, image, Collation{&tables, (k.flags & 1) != 0}, &value).ok());
    check(value.size() == key_value_length(d, k));
    (void)key_is_blank(d, k, image);
  }
}

void rle(ByteView in) {
  if (in.size() < 2) return;
  const std::size_t size = get_le16(in, 0);
  Bytes out;
  if (rle_decompress(in.subspan(2), size, &out).ok()) check(out.size() == size);
  const auto packed = rle_compress(in);
  if (packed) {
    check(rle_decompress(*packed, in.size(), &out).ok());
    check(out.size() == in.size() && std::equal(out.begin(), out.end(), in.begin()));
  }
}

void cipher(ByteView in) {
  const std::size_t cut = std::min<std::size_t>(in.size(), 8);
  const std::string password(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(cut));
  const KeyBlock key = make_key_block(password);
  Bytes data(in.begin() + static_cast<std::ptrdiff_t>(cut), in.end());
  const Bytes original = data;
  if (!decipher(key, data).ok()) {
    check(data == original);
    return;
  }
  check(encipher(key, data).ok());
  check(data == original);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  pages(in);
  header(in);
  definition(in);
  rle(in);
  cipher(in);
  return 0;
}
