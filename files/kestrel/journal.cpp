#include "files/kestrel/journal.h"

namespace files::kestrel {

using namespace layout;

Status walk_journal(const Header& at0, std::uint64_t file_size, const JournalRead& read, JournalScan* out) {
  JournalScan& scan = *out;
  scan = JournalScan{};
  std::uint64_t pos = at0.committed_end;
  const std::uint64_t end = at0.journal_end;
  if (pos < kHeaderSize || pos > end || end > file_size) return Status::success();
  bool header_seen = false;
  Bytes b;
  bool short_read = false;
  while (pos < end) {
    if (end - pos < kPageUnit) return Status::success();
    if (Status s = read(pos, kCipherBlock, &b, &short_read); !s.ok() || short_read) return s;
    const std::uint32_t own = get_le32(b, 0);
    if (own == 0) {
      if (header_seen || end - pos < kHeaderSize) return Status::success();
      if (Status s = read(pos, kHeaderSize, &b, &short_read); !s.ok() || short_read) return s;
      Header h;
      if (!decode_header(b, &h).ok() || h.header_size != kHeaderSize || !check_blocks(h).ok()) {
        return Status::success();
      }
      scan.header = h;
      scan.header_position = static_cast<std::uint32_t>(pos);
      header_seen = true;
      pos += kHeaderSize;
      continue;
    }
    const std::size_t stored = get_le16(b, kPgStoredSize);
    const std::size_t rounded = round_to_unit(stored);
    if (own < kHeaderSize || (own - kHeaderSize) % kPageUnit != 0 || stored < kPageHeaderSize ||
        rounded > kMaxStoredPage || rounded > end - pos) {
      return Status::success();
    }
    const std::uint32_t number = (own - static_cast<std::uint32_t>(kHeaderSize)) / kPageUnit;
    if (Status s = read(pos, rounded, &b, &short_read); !s.ok() || short_read) return s;
    Page ignored;
    if (!decode_page(b, number, &ignored).ok()) return Status::success();
    scan.pages[own] = {static_cast<std::uint32_t>(pos), static_cast<std::uint32_t>(rounded)};
    pos += rounded;
  }
  if (!header_seen) return Status::success();
  for (const auto& [home, copy] : scan.pages) {
    const std::uint32_t number = (home - static_cast<std::uint32_t>(kHeaderSize)) / kPageUnit;
    if (block_of(scan.header, number) * kPageUnit != copy.second) return Status::success();
  }
  scan.complete = true;
  return Status::success();
}

}  // namespace files::kestrel
