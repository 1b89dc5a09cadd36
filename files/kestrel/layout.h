// Every number of the keyed-file format and of the lock layout, by name.
// FORMAT.md beside this header tells the same story in prose; the codecs in
// format.h, the pager and the tree take their numbers from here only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace files::kestrel::layout {

// --- File header (offset 0) ---------------------------------------------

inline constexpr std::size_t kHeaderSize = 512;
inline constexpr std::size_t kHdrOwnAddress = 0;     // 4: always 0
inline constexpr std::size_t kHdrHeaderSize = 4;     // 2: 512
inline constexpr std::size_t kHdrCommittedEnd = 6;   // 4
inline constexpr std::size_t kHdrJournalEnd = 10;    // 4
inline constexpr std::size_t kHdrMagic = 14;         // 4: "kEsT"
inline constexpr std::size_t kHdrReserved = 18;      // 2: zero in a new file
inline constexpr std::size_t kHdrNumberCounter = 20; // 4, big-endian
inline constexpr std::size_t kHdrChangeCounter = 24; // 4
inline constexpr std::size_t kHdrRoot = 28;          // 4
inline constexpr std::size_t kHdrBlockStart = 32;    // 60 x 4
inline constexpr std::size_t kHdrBlockEnd = 272;     // 60 x 4
inline constexpr char kMagic[4] = {'k', 'E', 's', 'T'};

inline constexpr std::uint32_t kNoRoot = 0xFFFF'FFFFu;

// --- Pages and blocks -----------------------------------------------------

// Page n lives at file offset n * kPageUnit + kHeaderSize.
inline constexpr std::uint32_t kPageUnit = 256;
inline constexpr std::size_t kBlockCount = 60;        // block 0 is not used
inline constexpr std::uint32_t kMaxClass = 59;        // a page of class i takes i units
// Page numbers (and block ends) stay below this, so that every file offset
// still fits the 32-bit address fields of the header and the pages.
inline constexpr std::uint32_t kPageNumberLimit = (0xFFFF'FFFFu - kHeaderSize) / kPageUnit;

inline constexpr std::size_t kPageHeaderSize = 13;
inline constexpr std::size_t kPgOwnAddress = 0;      // 4
inline constexpr std::size_t kPgStoredSize = 4;      // 2
inline constexpr std::size_t kPgUnpackedSize = 6;    // 2
inline constexpr std::size_t kPgSizeBound = 8;       // 2
inline constexpr std::size_t kPgRecordCount = 10;    // 2
inline constexpr std::size_t kPgLevel = 12;          // 1
inline constexpr std::size_t kChildEntrySize = 4;

inline constexpr std::uint8_t kPadByte = 0xB0;
inline constexpr std::size_t kMaxStoredPage = 15104;  // rounded stored size (0x3B00)

// Record stream flag byte.
inline constexpr std::uint8_t kFlagLength = 0x80;     // a 2-byte record length follows
inline constexpr std::uint8_t kFlagKeyLength = 0x40;  // a 2-byte key length follows
inline constexpr std::uint8_t kSharedMask = 0x3F;     // bytes shared with the previous record

// Size bound: 13 + per record (length + 5), + 4 more per record on an inner page.
inline constexpr std::size_t kBoundPerRecord = 5;
inline constexpr std::size_t kBoundPerChild = 4;

// Records: key length + data length stays below this.
inline constexpr std::size_t kRecordLimit = 15094;  // 0x3AF6
// Split rule: split when the bound exceeds kSplitHard, or exceeds kSplitSoft
// while the page holds more than kSplitSoftRecords records.
inline constexpr std::size_t kSplitHard = 15094;
inline constexpr std::size_t kSplitSoft = 4096;
inline constexpr std::size_t kSplitSoftRecords = 20;
// A record must fit a page of its own without calling for a split, or it
// could never be stored: 13 + length + 5 <= kSplitHard.
inline constexpr std::size_t kMaxRecordInPage = kSplitHard - kPageHeaderSize - kBoundPerRecord;  // 15076
// A key part must fit as a separator beside the empty first separator of an
// inner page: 13 + (0 + 9) + (key + 9) <= kSplitHard.
inline constexpr std::size_t kMaxKeyPart =
    kSplitHard - kPageHeaderSize - 2 * (kBoundPerRecord + kBoundPerChild);  // 15063

// --- Record kinds -----------------------------------------------------------

inline constexpr std::uint8_t kTagTableName = 0xFE;
inline constexpr std::uint8_t kTagData = 0xF3;
inline constexpr std::uint8_t kTagMemo = 0xFC;
inline constexpr std::uint8_t kTagDefinition = 0xFA;
inline constexpr std::uint8_t kTagStatistics = 0xF6;
inline constexpr std::uint8_t kTagExtra = 0xFB;
inline constexpr std::uint8_t kExtraKind = 0x01;     // third byte of the table extra key
inline constexpr std::uint8_t kTagTransaction = 0xFF;

inline constexpr std::size_t kNumberSize = 4;          // T and R
inline constexpr std::size_t kDataKeySize = 9;         // T, 0xF3, R
inline constexpr std::size_t kMemoKeySize = 12;        // T, 0xFC, R, memo, segment(2)
inline constexpr std::size_t kDefinitionKeySize = 7;   // T, 0xFA, block(2)
inline constexpr std::size_t kStatisticsKeySize = 6;   // T, 0xF6, key or 0xF3
inline constexpr std::size_t kStatisticsDataSize = 8;  // count, stale mark / flag word
inline constexpr std::size_t kExtraKeySize = 6;        // T, 0xFB, 0x01
inline constexpr std::size_t kExtraDataSize = 1153;    // OEM byte + 1152 character tables
inline constexpr std::size_t kCharTablesSize = 1152;
inline constexpr std::size_t kMemoSegmentSize = 256;
inline constexpr std::size_t kBlobLengthSize = 4;
inline constexpr std::size_t kMaxMemoSegments = 65536;
inline constexpr std::size_t kDefinitionBlockSize = 512;
inline constexpr std::uint8_t kOemAttribute = 1;

// Number counter: exhausted once its first byte reaches this.
inline constexpr std::uint8_t kCounterLimit = 0xFE;

// --- Definition stream --------------------------------------------------------

inline constexpr std::uint16_t kDefinitionVersion = 1;
inline constexpr std::uint16_t kDefinitionVersionBlob = 2;
inline constexpr std::uint16_t kMemoFlagBinary = 0x02;
inline constexpr std::uint16_t kMemoFlagBlob = 0x04;
inline constexpr std::uint8_t kKeyFlagDup = 0x01;
inline constexpr std::uint8_t kKeyFlagOpt = 0x02;
inline constexpr std::uint8_t kKeyFlagNocase = 0x04;
inline constexpr std::uint8_t kKeyFlagPrimary = 0x10;   // kept as declared, not compared
inline constexpr std::uint8_t kKeyFlagIndex = 0x20;
inline constexpr std::uint8_t kKeyFlagOwnFile = 0x40;
inline constexpr std::uint16_t kComponentDescending = 0x01;

// --- Encipherment ---------------------------------------------------------------

inline constexpr std::size_t kCipherBlock = 64;

// --- Page cache -------------------------------------------------------------------

inline constexpr std::size_t kCacheChains = 100;     // chain = page number mod 100
inline constexpr std::size_t kDefaultCachePages = 256;

// --- Lock layout (byte ranges far beyond any data) ------------------------------------

inline constexpr std::uint64_t kLockBase = std::uint64_t{1} << 31;
inline constexpr std::uint32_t kReaderSlots = 1023;
inline constexpr std::uint64_t kAllReaderSlots = kLockBase;           // kReaderSlots bytes
inline constexpr std::uint64_t kWriterByte = kLockBase + kReaderSlots;
inline constexpr std::uint64_t reader_slot_offset(std::uint32_t slot) { return kLockBase + slot; }
// Record n held, or table n locked (table and record numbers share a counter).
inline constexpr std::uint64_t record_lock_offset(std::uint32_t n) {
  return kLockBase + 1024 + std::uint64_t{n} + 1;
}

// Sharing between processes. Linux does not refuse an open because another
// opener denies it something, so every opener records what it has and what
// it denies with shared locks on these bytes (far above the record bytes),
// and a new opener probes them under the guard byte. See Pager::open.
inline constexpr std::uint64_t kShareBase = 0x7FFF'FFFF'FFFF'FE00ull;
inline constexpr std::uint64_t kShareGuard = kShareBase;          // exclusive during the check
inline constexpr std::uint64_t kShareReaders = kShareBase + 1;    // every opener (all read)
inline constexpr std::uint64_t kShareWriters = kShareBase + 2;    // openers with write access
inline constexpr std::uint64_t kShareDenyRead = kShareBase + 3;   // openers denying others reading
inline constexpr std::uint64_t kShareDenyWrite = kShareBase + 4;  // openers denying others writing
// Programs that create tables in a file they share (ksf load) take this byte
// around the check for a missing table and its creation; no engine lock
// falls on it.
inline constexpr std::uint64_t kCreateGuard = kShareBase - 1;
// The readers' gate: a reader holds it shared while it takes its slot; an
// updater holds it exclusively while it waits to take every slot, so that
// new readers queue behind it and a stream of reads cannot keep a flush
// out for ever.
inline constexpr std::uint64_t kReaderGate = kShareBase - 2;

// --- Internal error numbers -----------------------------------------------------------

inline constexpr int kErrRecordTooLarge = 824;
inline constexpr int kErrFirstRefresh = 1013;
inline constexpr int kErrCounterExhausted = 1173;
inline constexpr int kErrSplitTooFew = 1364;
inline constexpr int kErrPageClass = 1477;      // page size differs from its block
inline constexpr int kErrPageLength = 1602;     // stored bytes decode to the wrong length
inline constexpr int kErrPageBound = 1659;      // size bound below the unpacked size
inline constexpr int kErrPageTooLarge = 1678;
inline constexpr int kErrNoBlock = 1735;        // page number in no block
inline constexpr int kErrShortHeader = 2172;
inline constexpr int kErrReadLength = 2272;     // enciphered read not a multiple of 64
inline constexpr int kErrWriteLength = 2286;    // enciphered write not a multiple of 64

}  // namespace files::kestrel::layout
