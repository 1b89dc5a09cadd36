#include "files/kestrel/format.h"

#include <gtest/gtest.h>

#include <random>

#include <algorithm>
#include <cstring>
#include <numeric>

namespace files::kestrel {
namespace {

using namespace layout;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes hex(std::string_view h) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  return out;
}
Bytes to_bytes(ByteView v) { return Bytes(v.begin(), v.end()); }
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// --- RLE ---------------------------------------------------------------------

TEST(RleTest, RunOfFourIsCompressedRunOfThreeIsNot) {
  EXPECT_EQ(rle_compress(bytes_of("xAAAAy")), hex("027841" "03" "0179"));
  EXPECT_EQ(rle_compress(bytes_of("xAAAy")), std::nullopt);
  EXPECT_EQ(rle_compress(Bytes{}), std::nullopt);
}

TEST(RleTest, BodyEndingInARunEndsWithSkipCountZero) {
  EXPECT_EQ(rle_compress(bytes_of("abCCCC")), hex("03616243" "03" "00"));
}

TEST(RleTest, CountsOf128AndMoreTakeTwoBytes) {
  // 200 equal bytes: repeat count 199 = 0x47 + 128, then 1.
  EXPECT_EQ(rle_compress(Bytes(200, 'Z')), hex("015A" "C701" "00"));
  // A run of exactly 128 has repeat count 127: one byte.
  EXPECT_EQ(rle_compress(Bytes(128, 'Z')), hex("015A" "7F" "00"));
  // 130 literals and the run's first byte: skip count 131 = 3 + 128, then 1.
  Bytes in(130);
  std::iota(in.begin(), in.end(), std::uint8_t{0});
  in.insert(in.end(), 4, 0xEE);
  Bytes expected = hex("8301");
  expected.insert(expected.end(), in.begin(), in.begin() + 131);
  expected.push_back(0x03);
  expected.push_back(0x00);
  EXPECT_EQ(rle_compress(in), expected);
}

TEST(RleTest, DecompressRejectsEveryMismatch) {
  Bytes out;
  const Bytes good = hex("027841" "03" "0179");
  EXPECT_TRUE(rle_decompress(good, 6, &out).ok());
  EXPECT_EQ(rle_decompress(good, 5, &out), Status::corruption(1602));   // too long for the page
  EXPECT_EQ(rle_decompress(good, 7, &out), Status::corruption(1602));   // ends early
  EXPECT_EQ(rle_decompress(hex("027841030179FF"), 6, &out), Status::corruption(1602));  // bytes left over
  EXPECT_EQ(rle_decompress(hex("0005"), 5, &out), Status::corruption(1602));  // repeat with nothing written
  EXPECT_EQ(rle_decompress(hex("FFFFFFFFFF"), 5, &out), Status::corruption(1602));  // count overflow
}

// --- Header ---------------------------------------------------------------------

TEST(HeaderTest, RoundTripKeepsEveryField) {
  Header h;
  h.committed_end = 0x1234;
  h.journal_end = 0x5678;
  h.reserved = 0xBEEF;
  h.number_counter = {0, 0, 1, 2};
  h.change_counter = 99;
  h.root = 7;
  for (std::size_t i = 0; i < kBlockCount; ++i) {
    h.block_start[i] = static_cast<std::uint32_t>(i * 3);
    h.block_end[i] = static_cast<std::uint32_t>(i * 5);
  }
  const HeaderBytes b = encode_header(h);
  EXPECT_EQ(Bytes(b.begin() + 14, b.begin() + 18), bytes_of("kEsT"));
  EXPECT_EQ(b[4], 0x00);
  EXPECT_EQ(b[5], 0x02);
  EXPECT_EQ(Bytes(b.begin() + 20, b.begin() + 24), hex("00000102"));
  Header back;
  ASSERT_TRUE(decode_header(b, &back).ok());
  EXPECT_EQ(back, h);
}

TEST(HeaderTest, ShortOrForeignHeaderIsInvalid) {
  const HeaderBytes b = encode_header(Header::fresh());
  Header h;
  EXPECT_EQ(decode_header(ByteView(b).first(511), &h), Status::invalid_file());
  HeaderBytes foreign = b;
  foreign[14] = 'K';
  EXPECT_EQ(decode_header(foreign, &h), Status::invalid_file());
}

TEST(HeaderTest, FreshHeaderIsZeroButSizeAndMagic) {
  const HeaderBytes b = encode_header(Header::fresh());
  Bytes expected(512, 0);
  expected[5] = 0x02;
  std::copy_n("kEsT", 4, expected.begin() + 14);
  EXPECT_EQ(Bytes(b.begin(), b.end()), expected);
}

TEST(HeaderTest, BlockTablesFindPagesAndEndOfData) {
  Header h;
  h.block_start[1] = 0;
  h.block_end[1] = 3;   // pages 0, 1, 2
  h.block_start[4] = 5;
  h.block_end[4] = 13;  // pages 5 and 9
  ASSERT_TRUE(check_blocks(h).ok());
  EXPECT_EQ(block_of(h, 2), 1u);
  EXPECT_EQ(block_of(h, 9), 4u);
  EXPECT_EQ(block_of(h, 6), 0u);   // inside block 4 but not on a slot
  EXPECT_EQ(block_of(h, 3), 0u);
  EXPECT_EQ(end_of_data(h), 13u * 256 + 512);
  EXPECT_EQ(end_of_data(Header::fresh()), 512u);

  Header overlapping = h;
  overlapping.block_start[4] = 2;
  overlapping.block_end[4] = 6;
  EXPECT_EQ(check_blocks(overlapping), Status::corruption(1735));
  Header ragged = h;
  ragged.block_end[4] = 12;
  EXPECT_EQ(check_blocks(ragged), Status::corruption(1735));
}

// --- Pages ---------------------------------------------------------------------------

Page leaf(std::initializer_list<std::pair<std::string_view, std::string_view>> records) {
  Page p;
  for (const auto& [k, d] : records) p.records.push_back(Record::make(view_of(k), view_of(d)));
  return p;
}

// Keys compare as unsigned bytes, a prefix first, whatever their lengths
// and wherever the first difference lies (the comparison takes eight bytes
// at a time).
TEST(RecordBytesTest, KeyOrderIsBytewiseAtEveryLengthAndOffset) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    Bytes a(rng() % 30), b;
    for (auto& x : a) x = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0x80 + rng() % 128 : rng() % 4);
    b = a;
    if (rng() % 2 && !b.empty()) b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
    b.resize(rng() % 2 ? b.size() : rng() % 30, static_cast<std::uint8_t>(rng() % 2));
    const int want = a < b ? -1 : (b < a ? 1 : 0);
    const int got = compare_keys(a, b);
    ASSERT_EQ(got < 0 ? -1 : (got > 0 ? 1 : 0), want);
  }
}

// Records up to 40 bytes live inside the object, longer ones on the heap:
// every way across that line must keep the bytes.
TEST(RecordBytesTest, BytesSurviveEveryMoveAcrossTheInlineLimit) {
  auto pattern = [](std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
  };
  for (std::size_t n : {0u, 1u, 39u, 40u, 41u, 300u}) {
    const Bytes want = pattern(n, 3);
    RecordBytes a(want);
    EXPECT_TRUE(a == want) << n;
    RecordBytes copy(a);
    RecordBytes moved(std::move(a));
    EXPECT_TRUE(copy == want && moved == want) << n;
    EXPECT_TRUE(a.empty()) << n;
    for (std::size_t m : {0u, 40u, 41u, 500u}) {
      RecordBytes b(pattern(m, 9));
      b = copy;
      EXPECT_TRUE(b == want) << n << " over " << m;
      RecordBytes c(pattern(m, 9));
      c = RecordBytes(want);
      EXPECT_TRUE(c == want) << n << " over " << m;
      RecordBytes grown(want);
      grown.resize(m);
      Bytes expect = want;
      expect.resize(m);
      EXPECT_TRUE(grown == expect) << n << " to " << m;
    }
    RecordBytes self(want);
    RecordBytes& alias = self;
    self = alias;
    EXPECT_TRUE(self == want) << n;
  }
}

TEST(PageTest, SmallPageIsStoredPlainAndPaddedWithB0) {
  Bytes stored;
  ASSERT_TRUE(encode_page(leaf({{"K", "v"}}), 3, &stored).ok());
  ASSERT_EQ(stored.size(), 256u);
  const Bytes head = hex("00050000" "1400" "1400" "1400" "0100" "00" "C0" "0200" "0100" "4B76");
  EXPECT_EQ(Bytes(stored.begin(), stored.begin() + 20), head);
  EXPECT_TRUE(std::all_of(stored.begin() + 20, stored.end(), [](std::uint8_t b) { return b == 0xB0; }));
}

TEST(PageTest, SharedPrefixAndRepeatedLengthsLeaveOutBytes) {
  Bytes stored;
  ASSERT_TRUE(encode_page(leaf({{"AB", "x"}, {"AC", "x"}, {"ACD", "x"}}), 0, &stored).ok());
  // Second record: same lengths, one byte shared. Third: both lengths new,
  // two bytes shared.
  const Bytes body = hex("C0" "0300" "0200" "414278" "01" "4378" "C2" "0400" "0300" "4478");
  EXPECT_EQ(Bytes(stored.begin() + 13, stored.begin() + 13 + static_cast<std::ptrdiff_t>(body.size())), body);
  EXPECT_EQ(get_le16(stored, kPgUnpackedSize), 13 + body.size());
  EXPECT_EQ(get_le16(stored, kPgSizeBound), 13 + 3 * (3 + 5) + 1);
}

TEST(PageTest, BodyIsCompressedOnlyWhenThatSavesAUnit) {
  Bytes stored;
  ASSERT_TRUE(encode_page(leaf({{"K", std::string(300, 'A')}}), 0, &stored).ok());
  EXPECT_EQ(stored.size(), 256u);
  EXPECT_EQ(get_le16(stored, kPgStoredSize), 13 + 11);
  EXPECT_EQ(get_le16(stored, kPgUnpackedSize), 13 + 5 + 301);
  EXPECT_EQ(Bytes(stored.begin() + 13, stored.begin() + 24), hex("07" "C02D0101004B41" "AB02" "00"));

  // A run that saves bytes but no whole unit leaves the page plain.
  ASSERT_TRUE(encode_page(leaf({{"K", "AAAAAAAA"}}), 0, &stored).ok());
  EXPECT_EQ(get_le16(stored, kPgStoredSize), get_le16(stored, kPgUnpackedSize));
}

TEST(PageTest, InnerPageRoundTripKeepsChildrenAndRecords) {
  Page p;
  p.level = 2;
  p.records.push_back(Record(Bytes{}, 0));
  for (int i = 0; i < 40; ++i) {
    std::string k = "key-" + std::to_string(1000 + i);
    p.records.push_back(Record::make(view_of(k), {}));
  }
  for (std::size_t i = 0; i < p.records.size(); ++i) p.children.push_back(static_cast<std::uint32_t>(7 * i + 1));
  Bytes stored;
  ASSERT_TRUE(encode_page(p, 12, &stored).ok());
  EXPECT_EQ(get_le32(stored, 13), 1u);  // the child table is never compressed
  Page back;
  ASSERT_TRUE(decode_page(stored, 12, &back).ok());
  EXPECT_EQ(back, p);
}

TEST(PageTest, DecodeNamesWhatIsWrong) {
  Bytes stored;
  ASSERT_TRUE(encode_page(leaf({{"K", "v"}, {"L", "w"}}), 3, &stored).ok());
  Page p;
  EXPECT_EQ(decode_page(stored, 4, &p), Status::corruption(1602));  // own address
  Bytes big = stored;
  big.resize(512, 0xB0);
  EXPECT_EQ(decode_page(big, 3, &p), Status::corruption(1477));  // not the block's size
  Bytes bound = stored;
  put_le16(&bound[kPgSizeBound], 10);
  EXPECT_EQ(decode_page(bound, 3, &p), Status::corruption(1659));
  Bytes count = stored;
  put_le16(&count[kPgRecordCount], 3);
  EXPECT_EQ(decode_page(count, 3, &p), Status::corruption(1602));  // stream ends early
  Bytes order = stored;
  order[21] = 'J';  // second key now sorts before the first
  EXPECT_EQ(decode_page(order, 3, &p), Status::corruption(1602));
}

// The search of a stored leaf agrees with decoding it, compressed or not,
// and meets a fault in the stream no later than the record it looks for.
TEST(PageTest, StoredLeafIsSearchedWithoutDecoding) {
  std::vector<std::pair<std::string, std::string>> records;
  for (int i = 0; i < 60; ++i) {
    const std::string plain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";  // no runs
    records.emplace_back("key" + std::to_string(1000 + i * 2), plain.substr(0, static_cast<std::size_t>(i % 7) * 9));
  }
  for (bool compressible : {false, true}) {
    if (compressible) records.back().second = std::string(600, 'z');
    Page page;
    for (const auto& [k, d] : records) page.records.push_back(Record::make(view_of(k), view_of(d)));
    Bytes stored;
    ASSERT_TRUE(encode_page(page, 5, &stored).ok());
    Page decoded;
    ASSERT_TRUE(decode_page(stored, 5, &decoded).ok());
    const auto f = peek_page_header(stored);
    ASSERT_EQ(f->stored_size < f->unpacked_size, compressible);
    Record found;
    for (const Record& r : decoded.records) {
      ASSERT_TRUE(find_in_stored_leaf(stored, 5, r.key(), &found).ok());
      EXPECT_EQ(found, r);
    }
    for (const char* absent : {"key0999", "key1001", "key1119", "key2", "k", ""}) {
      EXPECT_TRUE(find_in_stored_leaf(stored, 5, view_of(absent), &found).is(Code::not_found)) << absent;
    }
    EXPECT_EQ(find_in_stored_leaf(stored, 6, view_of("key1000"), &found), Status::corruption(1602));
  }
  Bytes stored;
  ASSERT_TRUE(encode_page(leaf({{"K", "v"}, {"L", "w"}, {"M", "x"}}), 3, &stored).ok());
  Bytes order = stored;
  order[21] = 'J';  // the second key now sorts before the first
  Record found;
  EXPECT_TRUE(find_in_stored_leaf(order, 3, view_of("K"), &found).ok());  // found before the fault
  EXPECT_EQ(find_in_stored_leaf(order, 3, view_of("M"), &found), Status::corruption(1602));
  Bytes inner_page;
  Page inner;
  inner.level = 1;
  inner.records = {Record(), Record::make(view_of("M"), {})};
  inner.children = {7, 8};
  ASSERT_TRUE(encode_page(inner, 3, &inner_page).ok());
  EXPECT_EQ(find_in_stored_leaf(inner_page, 3, view_of("M"), &found), Status::corruption(1602));
}

TEST(PageTest, OversizedPageIsRefused) {
  Page p;
  for (int i = 0; i < 4; ++i) {
    Bytes data(4000);
    std::iota(data.begin(), data.end(), static_cast<std::uint8_t>(i));
    p.records.push_back(Record::make(view_of(std::string(1, char('a' + i))), data));
  }
  Bytes stored;
  EXPECT_EQ(encode_page(p, 0, &stored), Status::corruption(1678));
  EXPECT_EQ(encode_page(leaf({{"K", std::string(15093, 'x')}}), 0, &stored), Status::corruption(824));
}

// --- Record kinds ------------------------------------------------------------------------

TEST(RecordKindTest, KeysHaveTheirFixedLayouts) {
  EXPECT_EQ(data_key(0x01020304, 5), hex("01020304" "F3" "00000005"));
  EXPECT_EQ(memo_key(1, 2, 3, 0x0104), hex("00000001" "FC" "00000002" "03" "0104"));
  EXPECT_EQ(definition_key(1, 0x0102), hex("00000001" "FA" "0201"));
  EXPECT_EQ(statistics_key(1, 0xF3), hex("00000001" "F6" "F3"));
  EXPECT_EQ(extra_key(1), hex("00000001" "FB" "01"));
  EXPECT_EQ(table_name_record("UNNAMED", 1), Record::make(bytes_of("\xFEUNNAMED"), hex("00000001")));
  const Record mark = transaction_mark(0x11223344, "/tmp/x.tcf");
  EXPECT_EQ(to_bytes(mark.key()), hex("FF"));
  EXPECT_EQ(Bytes(mark.data().begin(), mark.data().end()), cat({hex("44332211"), bytes_of("/tmp/x.tcf"), hex("00")}));
  EXPECT_EQ(parse_transaction_mark(mark)->control_file, "/tmp/x.tcf");
  EXPECT_EQ(statistics_record(1, 0, 5, 9).data().size(), 8u);
  EXPECT_EQ(parse_statistics(statistics_record(1, 0, 5, 9))->second, 9u);
}

TEST(RecordKindTest, DuplicateKeyEntryCarriesRecordNumberOnceAsKeyAndData) {
  const Bytes value = hex("41424344");
  const Record dup = index_entry(7, 1, value, 0x0A0B0C0D, true);
  EXPECT_EQ(dup.bytes, hex("00000007" "01" "41424344" "0A0B0C0D"));
  EXPECT_EQ(dup.key_length, dup.size());
  const auto parsed = parse_index_entry(dup, true);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->record, 0x0A0B0C0Du);
  EXPECT_EQ(Bytes(parsed->value.begin(), parsed->value.end()), value);

  const Record unique = index_entry(7, 1, value, 0x0A0B0C0D, false);
  EXPECT_EQ(unique.key_length, 9u);
  EXPECT_EQ(parse_index_entry(unique, false)->record, 0x0A0B0C0Du);
  EXPECT_EQ(parse_index_entry(unique, true), std::nullopt);

  // Equal values in a dup key are told apart, and ordered, by R.
  EXPECT_LT(compare_keys(index_entry(7, 1, value, 2, true).key(), index_entry(7, 1, value, 10, true).key()), 0);
}

TEST(RecordKindTest, MemoSegmentsCutAt256AndBlobCarriesItsLength) {
  Bytes text(300);
  std::iota(text.begin(), text.end(), std::uint8_t{0});
  std::vector<Record> segs;
  ASSERT_TRUE(memo_segments(1, 2, 0, text, true, &segs).ok());
  ASSERT_EQ(segs.size(), 2u);
  EXPECT_EQ(segs[0].data().size(), 260u);
  EXPECT_EQ(Bytes(segs[0].data().begin(), segs[0].data().begin() + 4), hex("2C010000"));
  EXPECT_EQ(segs[1].data().size(), 44u);
  Bytes back;
  ASSERT_TRUE(join_memo_segments(segs, true, &back).ok());
  EXPECT_EQ(back, text);

  ASSERT_TRUE(memo_segments(1, 2, 0, {}, false, &segs).ok());
  EXPECT_TRUE(segs.empty());
  EXPECT_EQ(trimmed_memo_length(bytes_of("ab c  ")), 4u);

  ASSERT_TRUE(memo_segments(1, 2, 0, text, false, &segs).ok());
  std::swap(segs[0], segs[1]);
  EXPECT_EQ(join_memo_segments(segs, false, &back), Status::corruption(1602));
}

TEST(RecordKindTest, DefinitionIsCutInto512ByteBlocks) {
  std::vector<Record> blocks;
  ASSERT_TRUE(definition_records(3, Bytes(1100, 1), &blocks).ok());
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].data().size(), 512u);
  EXPECT_EQ(blocks[2].data().size(), 76u);
  EXPECT_EQ(to_bytes(blocks[1].key()), definition_key(3, 1));
}

// --- Key encoding -------------------------------------------------------------------------

class KeyEncodingTest : public ::testing::Test {
 protected:
  KeyEncodingTest() : tables_(runtime::CharTables::defaults()) {}

  FieldDef field(std::uint8_t type, std::uint16_t length) {
    FieldDef f;
    f.type = type;
    f.length = length;
    return f;
  }
  Bytes encode(const FieldDef& f, const Bytes& in, bool descending = false, bool nocase = false) {
    Bytes out(in.size());
    encode_component(f, in, descending, nocase, Collation{&tables_, false}, out.data());
    return out;
  }

  runtime::CharTables tables_;
};

TEST_F(KeyEncodingTest, NegativeLongSortsBelowPositiveAndDescendingReverses) {
  const FieldDef l = field(6, 4);
  const Bytes minus_one = encode(l, hex("FFFFFFFF"));
  const Bytes one = encode(l, hex("01000000"));
  const Bytes big = encode(l, hex("00010000"));
  EXPECT_EQ(minus_one, hex("7FFFFFFF"));
  EXPECT_EQ(one, hex("80000001"));
  EXPECT_LT(compare_keys(minus_one, one), 0);
  EXPECT_LT(compare_keys(one, big), 0);
  EXPECT_GT(compare_keys(encode(l, hex("FFFFFFFF"), true), encode(l, hex("01000000"), true)), 0);
  EXPECT_EQ(encode(field(3, 2), hex("3412")), hex("1234"));
}

TEST_F(KeyEncodingTest, RealsOrderBySignAndMagnitude) {
  const FieldDef r = field(9, 8);
  auto real = [&](double d) {
    Bytes b(8);
    std::memcpy(b.data(), &d, 8);
    return encode(r, b);
  };
  EXPECT_LT(compare_keys(real(-10.0), real(-1.0)), 0);
  EXPECT_LT(compare_keys(real(-1.0), real(0.0)), 0);
  EXPECT_LT(compare_keys(real(0.0), real(2.5)), 0);
  EXPECT_LT(compare_keys(real(2.5), real(1e10)), 0);
}

TEST_F(KeyEncodingTest, DecimalSignNibbleOrdersNegativesFirst) {
  const FieldDef d = field(10, 3);  // DECIMAL(5): sign nibble, 5 digits
  const Bytes minus_12 = encode(d, hex("F00012"));
  const Bytes minus_3 = encode(d, hex("F00003"));
  const Bytes plus_3 = encode(d, hex("000003"));
  const Bytes plus_12 = encode(d, hex("000012"));
  EXPECT_EQ(plus_3, hex("800003"));
  EXPECT_EQ(minus_3, hex("7FFFFC"));
  EXPECT_LT(compare_keys(minus_12, minus_3), 0);
  EXPECT_LT(compare_keys(minus_3, plus_3), 0);
  EXPECT_LT(compare_keys(plus_3, plus_12), 0);
}

TEST_F(KeyEncodingTest, NocaseFoldsThroughCaseMapAndCollationUsesStoredWeights) {
  const FieldDef s = field(18, 3);
  EXPECT_EQ(encode(s, bytes_of("AbC"), false, true), bytes_of("abc"));
  EXPECT_EQ(encode(s, bytes_of("AbC")), bytes_of("AbC"));
  // Weights that put 'b' before 'a' reorder the keys; the OEM table is
  // chosen by the table's OEM attribute.
  tables_.bytes[runtime::CharTables::kAnsiWeights + 'a'] = 'b';
  tables_.bytes[runtime::CharTables::kAnsiWeights + 'b'] = 'a';
  EXPECT_GT(compare_keys(encode(s, bytes_of("a  ")), encode(s, bytes_of("b  "))), 0);
  Bytes oem(3);
  encode_component(s, bytes_of("a  "), false, false, Collation{&tables_, true}, oem.data());
  EXPECT_EQ(oem, bytes_of("a  "));
}

TEST_F(KeyEncodingTest, CstringAndPstringAreZeroFilledAfterTheirText) {
  tables_.bytes[runtime::CharTables::kAnsiWeights + 0] = 0x55;  // the fill is not collated
  EXPECT_EQ(encode(field(19, 5), Bytes{'a', 'b', 0, 'z', 'z'}), (Bytes{'a', 'b', 0, 0, 0}));
  EXPECT_EQ(encode(field(20, 5), Bytes{2, 'a', 'b', 'z', 'z'}), (Bytes{'a', 'b', 0, 0, 0}));
  // A length byte beyond the field counts as the field's length - 1.
  EXPECT_EQ(encode(field(20, 3), Bytes{200, 'a', 'b'}), (Bytes{'a', 'b', 0}));
}

TEST_F(KeyEncodingTest, KeyValueJoinsComponentsAndBlankTestFollowsTypes) {
  Definition def;
  def.record_length = 8;
  def.fields = {field(18, 4), field(6, 4)};
  def.fields[1].offset = 4;
  KeyDef key;
  key.components = {{1, 0}, {0, kComponentDescending}};
  Bytes out;
  ASSERT_TRUE(encode_key_value(def, key, cat({bytes_of("ab  "), hex("01000000")}), Collation{&tables_, false}, &out).ok());
  EXPECT_EQ(out, hex("80000001" "9E9DDFDF"));
  EXPECT_TRUE(key_is_blank(def, key, Bytes{' ', ' ', ' ', ' ', 0, 0, 0, 0}));
  EXPECT_FALSE(key_is_blank(def, key, Bytes{' ', ' ', ' ', ' ', 0, 0, 1, 0}));
  EXPECT_EQ(encode_key_value(def, key, Bytes(7), Collation{&tables_, false}, &out), Status::corruption(1602));
}

// --- Definition stream --------------------------------------------------------------------

Definition small_definition() {
  Definition d;
  d.record_length = 4;
  FieldDef f;
  f.type = 6;
  f.name = "T:A";
  f.length = 4;
  d.fields.push_back(f);
  KeyDef k;
  k.external_name = std::nullopt;
  k.name = "T:K";
  k.flags = 0x16;
  k.components = {{0, 0}};
  d.keys.push_back(k);
  return d;
}

TEST(DefinitionTest, AbsentAndEmptyStringsDiffer) {
  Definition d = small_definition();
  const Bytes absent = encode_definition(d);
  EXPECT_EQ(absent, hex("0100" "0400" "0100" "0000" "0100"
                        "06" "0000" "543A4100" "0100" "0400" "0000" "0000"
                        "0001" "543A4B00" "16" "0100" "0000" "0000"));
  d.keys[0].external_name = "";
  const Bytes empty = encode_definition(d);
  EXPECT_EQ(empty[25], 0x00);
  EXPECT_EQ(empty[26], 0x00);
  EXPECT_EQ(absent[26], 0x01);

  Definition back;
  ASSERT_TRUE(decode_definition(absent, &back).ok());
  EXPECT_EQ(back.keys[0].external_name, std::nullopt);
  ASSERT_TRUE(decode_definition(empty, &back).ok());
  EXPECT_EQ(back.keys[0].external_name, std::optional<std::string>(""));
}

TEST(DefinitionTest, StringFieldsCarryLengthAndPictureAndBlobRaisesVersion) {
  Definition d;
  d.record_length = 30;
  FieldDef s;
  s.type = 18;
  s.name = "T:NAME";
  s.length = 20;
  s.string_length = 20;
  s.picture = std::nullopt;
  FieldDef dec;
  dec.type = 10;
  dec.offset = 20;
  dec.name = "T:AMOUNT";
  dec.length = 6;
  dec.digits = 11;
  dec.places = 2;
  d.fields = {s, dec};
  MemoDef m;
  m.name = "T:NOTES";
  m.length = 1000;
  m.flags = kMemoFlagBlob;
  d.memos = {m};
  const Bytes stream = encode_definition(d);
  EXPECT_EQ(get_le16(stream, 0), 2);
  Definition back;
  ASSERT_TRUE(decode_definition(stream, &back).ok());
  d.version = 2;
  EXPECT_EQ(back, d);
  EXPECT_TRUE(check_definition(back).ok());
  back.fields[1].offset = 25;
  EXPECT_EQ(check_definition(back), Status::corruption(1602));
}

TEST(DefinitionTest, MalformedStreamsAreRefused) {
  const Bytes good = encode_definition(small_definition());
  Definition out;
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    EXPECT_EQ(decode_definition(ByteView(good).first(cut), &out), Status::corruption(1602)) << cut;
  }
  Bytes extra = good;
  extra.push_back(0);
  EXPECT_EQ(decode_definition(extra, &out), Status::corruption(1602));
  Bytes marker = good;
  marker[26] = 0x02;
  EXPECT_EQ(decode_definition(marker, &out), Status::corruption(1602));
}

TEST(DefinitionTest, OpenComparisonIgnoresPrimaryBitAndMemoFlags) {
  Definition stored = small_definition();
  MemoDef m;
  m.length = 100;
  stored.memos = {m};
  Definition declared = stored;
  declared.keys[0].flags = 0x06;
  declared.memos[0].flags = kMemoFlagBinary;
  EXPECT_TRUE(definitions_match(stored, declared));
  declared.memos[0].length = 200;
  EXPECT_FALSE(definitions_match(stored, declared));
  stored.memos[0].flags = kMemoFlagBlob;
  EXPECT_TRUE(definitions_match(stored, declared));
  declared = stored;
  declared.keys[0].flags = 0x17;
  EXPECT_FALSE(definitions_match(stored, declared));
  declared = stored;
  declared.fields[0].name = "T:B";
  EXPECT_FALSE(definitions_match(stored, declared));
}

// --- Encipherment ---------------------------------------------------------------------------

TEST(CipherTest, OneBlockEnciphersToKnownBytesAndBack) {
  const KeyBlock key = make_key_block("abc");
  EXPECT_EQ(key[0], 0xE0BA63B8u);
  EXPECT_EQ(key[15], 0xC3DA94D8u);
  Bytes block(64);
  std::iota(block.begin(), block.end(), std::uint8_t{0});
  const Bytes plain = block;
  ASSERT_TRUE(encipher(key, block).ok());
  EXPECT_EQ(block, hex("c4c1d83fd8aee1eb3422442304c50b01701c829becb4c3b4c8e60ce814eb99ea"
                       "3c4249c3980c96821420e8d8e0b8eb0ed8b9c03b240f2d10f478a1f4f4d314d3"));
  ASSERT_TRUE(decipher(key, block).ok());
  EXPECT_EQ(block, plain);
}

TEST(CipherTest, LengthsMustBeWholeBlocks) {
  Bytes odd(100, 1);
  const Bytes before = odd;
  EXPECT_EQ(encipher(make_key_block("x"), odd), Status::corruption(2286));
  EXPECT_EQ(decipher(make_key_block("x"), odd), Status::corruption(2272));
  EXPECT_EQ(odd, before);
}

}  // namespace
}  // namespace files::kestrel
