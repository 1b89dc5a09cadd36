// The file object: page cache, blocks, header refresh, two-pass flush
// through the journal, journal replay or discard, locks.
//
// Invariants (check_invariants() asserts the in-memory ones at every access
// boundary in debug builds):
//
// On disk.
//  D1 Between flushes the header at offset 0 has committed end == journal
//     end, and every page of the tree lies at its home in the block of its
//     rounded stored size.
//  D2 A flush never writes below the journal start (the end of data before
//     the flush) except through the journal: changed pages with such homes
//     are first copied after the new end of data, followed by the new
//     header; pages placed at or past the journal start go straight home.
//  D3 The header at offset 0 is rewritten with the journal ends only after
//     the copies are synced, and the journal is pending from that sync on:
//     the old pages are still at their homes, the new ones in the copies.
//  D4 Pages go home only after that, with the new header at offset 0 that
//     still names the journal (so that whatever part of them a disk that
//     reorders writes keeps, a crash replays the journal); the commit (both
//     ends at the end of data, change counter one up) is synced before and
//     after, so it never reaches the disk before the pages at home.
//  D5 A new (empty) file gets a fresh header at offset 0, synced, before its
//     first flush writes anything, so that a crash leaves an empty file
//     rather than one without a header.
//
// Locks (shared files: opened deny-none).
//  L1 No access: no access lock, except that while flushes are held back
//     with changes pending, and from a transaction's start to its end, the
//     writer byte stays taken.
//  L2 Read access: this object's reader slot. Update access: the writer
//     byte; from the journal pass to the end of the home pass (or the
//     discard) also all reader slots. Deny-write files take no access lock
//     but exclude readers the same way during a flush or a replay.
//  L3 Deny-all and deny-read files take no access locks at all.
//  L4 The readers' gate is held only while a reader takes its slot
//     (shared) or while an updater waits for every slot (exclusive); nobody
//     waits for anything else while holding it.
//
// Memory.
//  M1 Dirty pages, freed pages and a dirty header exist only inside an
//     update access, or between accesses while flushes are held back; a
//     dirty page implies a dirty header.
//  M2 Temporary page numbers (>= 0xF0000000) belong to dirty pages only;
//     the flush gives every page its final number and rewrites the child
//     entries (and the root) that pointed at the old one.
//  M3 The header is current only inside an access or while changes are
//     held back; a cache read from a journal's copies is dropped at the next
//     refresh.
//  M4 A sticky failure leaves no unflushed change behind.
#include "files/kestrel/pager.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

namespace files::kestrel {

using namespace layout;

namespace {

constexpr std::uint32_t kTemporaryBase = 0xF000'0000u;
constexpr int kAccessDenied = 5;
constexpr int kLockViolation = 33;
constexpr int kSharingViolation = 32;
constexpr int kDiskFull = 39;

bool is_temporary(std::uint32_t n) { return n >= kTemporaryBase && n != kNoRoot; }

// Polling a lock that is taken: this often, asking the wait hook every
// kPollsPerHook polls; inside a transaction giving up after
// kTransactionPolls.
constexpr auto kPollPause = std::chrono::milliseconds(10);
constexpr int kPollsPerHook = 10;
constexpr int kTransactionPolls = 200;

std::mutex& hook_mutex() {
  static std::mutex m;
  return m;
}
WaitHook& wait_hook() {
  static WaitHook hook;
  return hook;
}
std::atomic<void (*)(CrashPoint)> g_crash_hook{nullptr};
std::atomic<int> g_transactions{0};

bool keep_waiting(const std::string& path) {
  WaitHook hook;
  {
    std::lock_guard<std::mutex> lock(hook_mutex());
    hook = wait_hook();
  }
  return !hook || hook(path);
}

bool has_wait_hook() {
  std::lock_guard<std::mutex> lock(hook_mutex());
  return static_cast<bool>(wait_hook());
}

bool denies_write(Sharing s) { return s == Sharing::deny_write || s == Sharing::deny_all; }
bool denies_read(Sharing s) { return s == Sharing::deny_read || s == Sharing::deny_all; }
// Every opener reads, so denying reads keeps everyone out as well.
bool excludes_writers(Sharing s) { return s != Sharing::deny_none; }

std::uint8_t stored_level(const Bytes& b) { return b[kPgLevel]; }
std::uint16_t stored_count(const Bytes& b) { return get_le16(b, kPgRecordCount); }

}  // namespace

void set_wait_hook(WaitHook hook) {
  std::lock_guard<std::mutex> lock(hook_mutex());
  wait_hook() = std::move(hook);
}

bool pause_for(const std::string& path, int pauses) {
  if (Pager::transaction_running() && pauses * kPollsPerHook >= kTransactionPolls) return false;
  if (!keep_waiting(path)) return false;
  std::this_thread::sleep_for(kPollPause * kPollsPerHook);
  return true;
}

void set_crash_hook(void (*hook)(CrashPoint)) { g_crash_hook.store(hook); }

void crash_point(CrashPoint point) {
  if (auto hook = g_crash_hook.load()) hook(point);
}

bool Pager::transaction_running() { return g_transactions.load() > 0; }

// --- Opening ----------------------------------------------------------------------

Pager::Pager(platform::Env* env, std::unique_ptr<platform::File> file, std::string path, const OpenOptions& options)
    : env_(env), file_(std::move(file)), path_(std::move(path)), options_(options), next_temporary_(kTemporaryBase) {
  options_.cache_pages = std::max<std::size_t>(options_.cache_pages, 8);
  if (options_.password) key_ = make_key_block(*options_.password);
  slot_ = static_cast<std::uint32_t>(env_->ticks() % kReaderSlots);
}

// Closing the File drops every lock it holds.
Pager::~Pager() {
  if (pinned_) --g_transactions;
}

Status Pager::open(platform::Env* env, const std::string& path, const OpenOptions& options,
                   std::shared_ptr<Pager>* out) {
  std::string full;
  if (platform::Status s = env->full_path(path, &full); !s.ok()) return Status::io_error(s.error);
  const bool existed = env->exists(full);
  platform::OpenMode mode;
  mode.access = options.writable ? platform::Access::read_write : platform::Access::read;
  mode.create = options.create_missing;
  std::unique_ptr<platform::File> file;
  if (platform::Status s = env->open(full, mode, &file); !s.ok()) {
    return Status::io_error(s.error == kSharingViolation ? kAccessDenied : s.error);
  }
  if (!existed && options.create_missing) {
    if (platform::Status s = env->sync_directory_of(full); !s.ok()) return Status::io_error(s.error);
  }
  std::shared_ptr<Pager> pager(new Pager(env, std::move(file), full, options));
  if (Status s = pager->claim_sharing(); !s.ok()) return s;
  if (options.truncate) {
    if (platform::Status s = pager->file_->truncate(0); !s.ok()) return Status::io_error(s.error);
  }
  *out = std::move(pager);
  return Status::success();
}

// Every opener holds shared locks saying what it has and what it denies; a
// new opener checks them under the guard byte, so two openers never pass the
// check at once. A file whose permissions allow this program no exclusive
// lock (read only for us) is opened without the check, which needs the
// guard: such an opener only reads, and still takes its reader slots (as
// shared locks), because another user may well be writing the file.
Status Pager::claim_sharing() {
  platform::Status g = file_->lock(kShareGuard, 1, platform::LockKind::exclusive, true);
  if (!g.ok()) {
    if (g.error != kAccessDenied || options_.writable) return Status::io_error(g.error);
    exclusive_refused_ = true;
    (void)file_->lock(kShareReaders, 1, platform::LockKind::shared, false);
    return Status::success();
  }
  Status result;
  auto taken = [&](std::uint64_t offset) {
    platform::Status s = file_->lock(offset, 1, platform::LockKind::exclusive, false);
    if (s.ok()) {
      (void)file_->unlock(offset, 1);
      return false;
    }
    if (s.error != kLockViolation) result = Status::io_error(s.error);
    return true;
  };
  const Sharing mine = options_.sharing;
  const bool conflict = taken(kShareDenyRead) || (options_.writable && taken(kShareDenyWrite)) ||
                        (denies_write(mine) && taken(kShareWriters)) || (denies_read(mine) && taken(kShareReaders));
  if (result.ok() && conflict) result = Status::io_error(kAccessDenied);
  if (result.ok()) {
    std::vector<std::uint64_t> claims{kShareReaders};
    if (options_.writable) claims.push_back(kShareWriters);
    if (denies_read(mine)) claims.push_back(kShareDenyRead);
    if (denies_write(mine)) claims.push_back(kShareDenyWrite);
    for (std::uint64_t c : claims) {
      platform::Status s = file_->lock(c, 1, platform::LockKind::shared, true);
      if (!s.ok()) {
        result = Status::io_error(s.error);
        break;
      }
    }
  }
  (void)file_->unlock(kShareGuard, 1);
  return result;
}

// --- Locks ------------------------------------------------------------------------

Status Pager::lock_range(std::uint64_t offset, std::uint64_t length, bool wait, platform::LockKind kind) {
  platform::Status s = file_->lock(offset, length, kind, false);
  if (s.ok()) return Status::success();
  if (s.error != kLockViolation) return Status::io_error(s.error);
  if (!wait) return Status::busy();
  return wait_for_range(offset, length, kind);
}

// The system's own wait serves whoever asked first when the lock comes
// free; it is used unless someone must be able to end the wait (the hook)
// or the wait must stay short (a transaction of this process may hold what
// the other program waits for).
Status Pager::wait_for_range(std::uint64_t offset, std::uint64_t length, platform::LockKind kind) {
  const bool bounded = transaction_running();
  if (!bounded && !has_wait_hook()) {
    platform::Status s = file_->lock(offset, length, kind, true);
    return s.ok() ? Status::success() : Status::io_error(s.error);
  }
  for (int polls = 1;; ++polls) {
    std::this_thread::sleep_for(kPollPause);
    platform::Status s = file_->lock(offset, length, kind, false);
    if (s.ok()) return Status::success();
    if (s.error != kLockViolation) return Status::io_error(s.error);
    if (bounded && polls >= kTransactionPolls) return Status::busy();
    if (polls % kPollsPerHook == 0 && !keep_waiting(path_)) return Status::busy();
  }
}

Status Pager::acquire(AccessKind kind, bool wait) {
  if (!shared()) return Status::success();
  if (kind == AccessKind::read) {
    if (held_ != Held::none) return Status::success();
    if (Status s = lock_range(kReaderGate, 1, wait, platform::LockKind::shared); !s.ok()) return s;
    for (std::uint32_t t = 0; t < kReaderSlots; ++t) {
      const std::uint32_t s = (slot_ + t) % kReaderSlots;
      platform::Status st = file_->lock(reader_slot_offset(s), 1, slot_kind(), false);
      if (st.ok()) {
        (void)file_->unlock(kReaderGate, 1);
        slot_ = s;
        held_ = Held::reader;
        return Status::success();
      }
      if (st.error == kAccessDenied && !options_.writable && !exclusive_refused_) {
        // Only shared locks for us: the same slot again, as one.
        exclusive_refused_ = true;
        --t;
        continue;
      }
      if (st.error != kLockViolation) {
        (void)file_->unlock(kReaderGate, 1);
        return Status::io_error(st.error);
      }
    }
    (void)file_->unlock(kReaderGate, 1);
    // Every slot is taken: an updater is writing its journal.
    if (!wait) return Status::busy();
    if (Status s = lock_range(reader_slot_offset(slot_), 1, true, slot_kind()); !s.ok()) return s;
    held_ = Held::reader;
    return Status::success();
  }
  if (held_ == Held::writer) return Status::success();
  release_access_lock();  // an update first ends a reading access
  if (Status s = lock_range(kWriterByte, 1, wait); !s.ok()) return s;
  held_ = Held::writer;
  return Status::success();
}

void Pager::release_access_lock() {
  if (pinned_ && held_ == Held::writer) return;  // the transaction's, until it ends
  if (held_ == Held::reader) (void)file_->unlock(reader_slot_offset(slot_), 1);
  if (held_ == Held::writer) (void)file_->unlock(kWriterByte, 1);
  held_ = Held::none;
}

Status Pager::exclude_readers() {
  if (readers_excluded_ || exclusive_refused_ || !(shared() || options_.sharing == Sharing::deny_write)) {
    return Status::success();
  }
  if (Status s = lock_range(kReaderGate, 1, true); !s.ok()) return s;
  Status s = lock_range(kAllReaderSlots, kReaderSlots, true);
  (void)file_->unlock(kReaderGate, 1);
  if (!s.ok()) return s;
  readers_excluded_ = true;
  return Status::success();
}

void Pager::admit_readers() {
  if (readers_excluded_) (void)file_->unlock(kAllReaderSlots, kReaderSlots);
  readers_excluded_ = false;
}

Status Pager::lock_number(std::uint32_t n, const void* owner) {
  if (auto it = number_owners_.find(n); it != number_owners_.end()) {
    return it->second == owner ? Status::success() : Status::locked();
  }
  // A file nobody else may open (deny all, deny read) needs no system lock:
  // the opens of this process are all there is.
  Status s = denies_read(options_.sharing) ? Status::success() : lock_range(record_lock_offset(n), 1, false);
  if (s.is(Code::busy)) return Status::locked();
  if (s.ok()) number_owners_.emplace(n, owner);
  return s;
}

Status Pager::unlock_number(std::uint32_t n, const void* owner) {
  auto it = number_owners_.find(n);
  if (it == number_owners_.end() || it->second != owner) return Status::success();
  number_owners_.erase(it);
  if (denies_read(options_.sharing)) return Status::success();
  platform::Status s = file_->unlock(record_lock_offset(n), 1);
  return s.ok() ? Status::success() : Status::io_error(s.error);
}

// --- Raw I/O ----------------------------------------------------------------------

Status Pager::read_exact(std::uint64_t offset, std::size_t n, Bytes* out, bool* short_read) {
  out->resize(n);  // every byte is read over (or cut off below)
  std::size_t got = 0;
  if (platform::Status s = file_->read_at(offset, out->data(), n, &got); !s.ok()) return Status::io_error(s.error);
  *short_read = got < n;
  out->resize(got);
  if (key_ && !*short_read) return decipher(*key_, *out);
  return Status::success();
}

Status Pager::write_image(std::uint64_t offset, ByteView plain) {
  Bytes image(plain.begin(), plain.end());
  if (key_) {
    if (Status s = encipher(*key_, image); !s.ok()) return s;
  }
  std::size_t written = 0;
  platform::Status s = file_->write_at(offset, image.data(), image.size(), &written);
  if (s.ok()) return Status::success();
  // A write that stored only part of its bytes reads as access denied.
  return Status::io_error(written > 0 && written < image.size() ? kAccessDenied : s.error);
}

Status Pager::sync() {
  ++stats_.syncs;
  platform::Status s = file_->sync();
  if (s.ok()) return Status::success();
  // After a failed sync nobody knows what reached the disk; this object
  // must never claim otherwise.
  if (failure_.ok()) failure_ = Status::io_error(s.error);
  return failure_;
}

// --- Header refresh and journal ------------------------------------------------------

Status Pager::read_header(Header* out, bool* empty) {
  Bytes b;
  bool short_read = false;
  if (Status s = read_exact(0, kHeaderSize, &b, &short_read); !s.ok()) return s;
  *empty = b.empty();
  if (*empty) {
    *out = Header::fresh();
    return Status::success();
  }
  Status s = short_read ? Status::invalid_file() : decode_header(b, out);
  if (s.is(Code::invalid_file) && refreshed_once_) return Status::corruption(kErrShortHeader);
  return s;
}

// A pending journal is decided before anything of the file is judged: a
// complete one that stands (no transaction mark, or its transaction
// committed) replaces the header at offset 0 as a whole, so the block
// tables there may be anything; only a journal that is torn or whose
// transaction never committed leaves the file as the header at offset 0
// describes it. Readers decide exactly as updaters do, so that what a reader
// sees is what the next updater makes of the file.
Status Pager::refresh(AccessKind kind) {
  Header at0;
  bool empty = false;
  if (Status s = read_header(&at0, &empty); !s.ok()) return s;

  JournalScan scan;
  bool view = false;
  if (!empty && at0.committed_end != at0.journal_end) {
    if (Status s = scan_journal(at0, &scan); !s.ok()) return s;
    JournalVerdict verdict = JournalVerdict::discard;
    if (scan.complete) {
      if (Status s = decide(at0, scan, &verdict); !s.ok()) return s;
    }
    if (kind == AccessKind::update) {
      if (verdict == JournalVerdict::discard) {
        if (Status s = check_blocks(at0); !s.ok()) return s;
      }
      if (Status s = resolve_journal(scan, verdict); !s.ok()) return s;
      if (Status s = read_header(&at0, &empty); !s.ok()) return s;
      if (at0.committed_end != at0.journal_end) return Status::corruption(kErrFirstRefresh);
    } else {
      view = verdict == JournalVerdict::replay;
    }
  }
  if (!view) {
    if (Status s = check_blocks(at0); !s.ok()) return s;
  }

  const Header& effective = view ? scan.header : at0;
  // A cache read while a journal was pending is never kept: whether the
  // journal stood may be decided otherwise next time.
  const bool pending = at0.committed_end != at0.journal_end;
  if (!header_cached_ || from_journal_ || view || pending || !(effective == header_)) {
    if (cache_count_ != 0) ++stats_.cache_drops;
    drop_cache();
  }
  header_ = effective;
  disk_header_ = at0;
  disk_empty_ = empty;
  header_cached_ = true;
  header_current_ = true;
  refreshed_once_ = true;
  from_journal_ = view || pending;
  journal_pages_ = view ? scan.pages : decltype(journal_pages_){};
  header_known_ = !from_journal_ && excludes_writers(options_.sharing);
  return Status::success();
}

Status Pager::scan_journal(const Header& at0, JournalScan* scan) {
  std::uint64_t size = 0;
  if (platform::Status s = file_->size(&size); !s.ok()) return Status::io_error(s.error);
  return walk_journal(at0, size,
                      [this](std::uint64_t offset, std::size_t n, Bytes* out, bool* short_read) {
                        return read_exact(offset, n, out, short_read);
                      },
                      scan);
}

// Asks the decider about a complete journal, letting it look at the file as
// the journal would leave it. Without a decider every complete journal
// stands.
Status Pager::decide(const Header& at0, const JournalScan& scan, JournalVerdict* verdict) {
  *verdict = JournalVerdict::replay;
  if (!decider_) return Status::success();
  drop_cache();
  header_ = scan.header;
  disk_header_ = at0;
  header_cached_ = true;
  header_current_ = true;
  from_journal_ = true;
  journal_pages_ = scan.pages;
  const int depth = depth_;
  const AccessKind kind = kind_;
  depth_ = 1;
  kind_ = AccessKind::read;
  Status s = decider_(*this, verdict);
  depth_ = depth;
  kind_ = kind;
  drop_cache();
  journal_pages_.clear();
  from_journal_ = false;
  header_cached_ = false;
  return s;
}

Status Pager::resolve_journal(const JournalScan& scan, JournalVerdict verdict) {
  bool took_writer = false;
  if (options_.sharing == Sharing::deny_write && held_ != Held::writer && !exclusive_refused_) {
    if (Status s = lock_range(kWriterByte, 1, true); !s.ok()) return s;
    took_writer = true;
  }
  Status s = exclude_readers();
  if (s.ok()) {
    if (verdict == JournalVerdict::replay && scan.complete) {
      s = replay(scan);
    } else {
      s = commit_header();
      if (s.ok()) ++stats_.discards;
    }
  }
  admit_readers();
  if (took_writer) (void)file_->unlock(kWriterByte, 1);
  return s;
}

Status Pager::replay(const JournalScan& scan) {
  auto copy = [&](std::uint64_t from, std::uint64_t to, std::size_t n) -> Status {
    Bytes raw(n);
    std::size_t got = 0;
    if (platform::Status s = file_->read_at(from, raw.data(), n, &got); !s.ok()) return Status::io_error(s.error);
    if (got != n) return Status::corruption(kErrPageLength);
    std::size_t written = 0;
    platform::Status s = file_->write_at(to, raw.data(), n, &written);
    if (s.ok()) return Status::success();
    return Status::io_error(written > 0 && written < n ? kAccessDenied : s.error);
  };
  for (const auto& [home, where] : scan.pages) {
    if (Status s = copy(where.first, home, where.second); !s.ok()) return s;
    ++stats_.page_writes;
  }
  if (Status s = sync(); !s.ok()) return s;
  if (Status s = copy(scan.header_position, 0, kHeaderSize); !s.ok()) return s;
  if (Status s = commit_header(); !s.ok()) return s;
  ++stats_.replays;
  return Status::success();
}

Status Pager::commit_header() {
  if (Status s = sync(); !s.ok()) return s;
  Header h;
  bool empty = false;
  if (Status s = read_header(&h, &empty); !s.ok()) return s;
  if (empty) return Status::corruption(kErrShortHeader);
  if (Status s = check_blocks(h); !s.ok()) return s;
  h.committed_end = h.journal_end = end_of_data(h);
  ++h.change_counter;
  if (Status s = write_image(0, encode_header(h)); !s.ok()) return s;
  return sync();
}

// --- Accesses ----------------------------------------------------------------------------

void Pager::require(bool condition, const char* what) const {
  if (!condition) throw std::logic_error(std::string("kestrel pager: ") + what);
}

Status Pager::begin_access(AccessKind kind, bool wait) {
  if (!failure_.ok()) return failure_;
  require(!journaled_, "access between the journal pass and the home pass");
  if (depth_ > 0) {
    require(kind == AccessKind::read || kind_ == AccessKind::update, "update access inside a read access");
    ++depth_;
    return Status::success();
  }
  if (kind == AccessKind::update && !options_.writable) return Status::io_error(kAccessDenied);
  if (header_dirty_) {
    // Changes held back by a transaction: the cache is the truth, and the
    // writer byte kept others from changing the file meanwhile.
    depth_ = 1;
    kind_ = kind;
    check_invariants();
    return Status::success();
  }
  if (Status s = acquire(kind, wait); !s.ok()) return s;
  if (header_known_) {
    // Nobody else can have written the file since we last saw its header.
    header_current_ = true;
  } else if (Status s = refresh(kind); !s.ok()) {
    release_access_lock();
    header_current_ = false;
    return s.is_internal() ? note_failure(s) : s;
  }
  depth_ = 1;
  kind_ = kind;
  check_invariants();
  return Status::success();
}

Status Pager::end_access() {
  require(depth_ > 0, "end_access without an access");
  if (--depth_ > 0) return Status::success();
  Status result;
  if (!failure_.ok()) {
    discard_changes();
    result = failure_;
  } else if (header_dirty_ && hold_) {
    trim_cache();
    check_invariants();
    return Status::success();
  } else if (header_dirty_) {
    result = run_journal_pass();
    if (result.ok()) result = run_home_pass();
  }
  release_access_lock();
  header_current_ = false;
  trim_cache();
  check_invariants();
  return result;
}

void Pager::abandon_access() {
  require(depth_ > 0, "abandon_access without an access");
  if (kind_ == AccessKind::read && failure_.ok()) {
    // Nothing of this access is to be dropped; what a transaction holds
    // back stays with it.
    depth_ = 1;
    (void)end_access();
    return;
  }
  if (hold_ && header_dirty_) broken_ = true;
  depth_ = 0;
  discard_changes();
  release_access_lock();
  check_invariants();
}

Status Pager::note_failure(Status s) {
  if (failure_.ok() && !s.ok()) failure_ = s;
  if (hold_ && header_dirty_) broken_ = true;
  discard_changes();
  return s;
}

void Pager::discard_changes() {
  header_known_ = false;  // the next access reads the header again
  admit_readers();
  drop_cache();
  freed_.clear();
  plan_.clear();
  journaled_ = false;
  header_dirty_ = false;
  header_ = disk_header_;
  header_current_ = false;
  next_temporary_ = kTemporaryBase;
}

void Pager::hold_flushes(bool hold) {
  require(hold || !header_dirty_ || depth_ > 0, "releasing held flushes with changes pending");
  hold_ = hold;
}

Status Pager::enter_transaction(bool wait) {
  require(depth_ == 0 && !pinned_ && !journaled_, "a transaction begun inside an access or twice");
  if (!failure_.ok()) return failure_;
  if (shared() && options_.writable && !exclusive_refused_) {
    if (Status s = acquire(AccessKind::update, wait); !s.ok()) return s;
  }
  pinned_ = true;
  hold_ = true;
  broken_ = false;
  ++g_transactions;
  check_invariants();
  return Status::success();
}

void Pager::leave_transaction() {
  require(depth_ == 0 && !journaled_ && !header_dirty_, "a transaction left with changes pending");
  if (pinned_) --g_transactions;
  pinned_ = false;
  hold_ = false;
  broken_ = false;
  release_access_lock();
  check_invariants();
}

Status Pager::journal_pass() {
  require(depth_ == 0 && !journaled_, "journal_pass inside an access or twice");
  if (!failure_.ok()) return failure_;
  if (!header_dirty_) return Status::success();
  Status s = run_journal_pass();
  if (s.ok()) {
    journaled_ = true;
  } else {
    release_access_lock();
  }
  return s;
}

Status Pager::home_pass() {
  require(depth_ == 0, "home_pass inside an access");
  if (!journaled_) return failure_;
  Status s = run_home_pass();
  journaled_ = false;
  release_access_lock();
  header_current_ = false;
  check_invariants();
  return s;
}

Status Pager::discard_journal() {
  require(depth_ == 0, "discard_journal inside an access");
  Status s;
  if (journaled_) {
    s = commit_header();
    if (s.ok()) ++stats_.discards;
  }
  discard_changes();
  release_access_lock();
  check_invariants();
  return s;
}

void Pager::rollback() {
  require(depth_ == 0 && !journaled_, "rollback inside an access or after the journal pass");
  discard_changes();
  release_access_lock();
  check_invariants();
}

// --- Pages ---------------------------------------------------------------------------------

namespace {

// Chains are kept in page-number order.
template <class Chain>
auto chain_position(Chain& chain, std::uint32_t number) {
  return std::lower_bound(chain.begin(), chain.end(), number,
                          [](const auto& e, std::uint32_t n) { return e.number < n; });
}

}  // namespace

Pager::CachedPage* Pager::find_cached(std::uint32_t number) {
  auto& chain = chains_[number % kCacheChains];
  auto it = chain_position(chain, number);
  return it != chain.end() && it->number == number ? it->page.get() : nullptr;
}

void Pager::chain_insert(std::unique_ptr<CachedPage> cp) {
  auto& chain = chains_[cp->number % kCacheChains];
  auto it = chain_position(chain, cp->number);
  require(it == chain.end() || it->number != cp->number, "two cached pages with one number");
  const std::uint32_t number = cp->number;
  chain.insert(it, ChainEntry{number, std::move(cp)});
}

// Clean pages sit in one of two lists, newest first: leaves kept as stored
// (met by one lookup each, as a scan through an index meets its records)
// and decoded pages. Eviction takes stored leaves first, so a stream of
// lookups that never come back does not push out the inner pages every
// lookup passes.
Pager::CachedPage*& Pager::newest(const CachedPage* cp) { return cp->raw ? raw_newest_ : lru_newest_; }
Pager::CachedPage*& Pager::oldest(const CachedPage* cp) { return cp->raw ? raw_oldest_ : lru_oldest_; }

void Pager::lru_unlink(CachedPage* cp) {
  (cp->newer ? cp->newer->older : newest(cp)) = cp->older;
  (cp->older ? cp->older->newer : oldest(cp)) = cp->newer;
  cp->newer = cp->older = nullptr;
  --clean_count_;
}

void Pager::lru_push_front(CachedPage* cp) {
  CachedPage*& head = newest(cp);
  cp->newer = nullptr;
  cp->older = head;
  (head ? head->newer : oldest(cp)) = cp;
  head = cp;
  ++clean_count_;
}

void Pager::set_dirty(CachedPage* cp) {
  if (cp->dirty) return;
  lru_unlink(cp);
  cp->dirty = true;
}

Pager::CachedPage* Pager::insert_cached(std::uint32_t number, Page page, Bytes* stored) {
  auto cp = std::make_unique<CachedPage>();
  cp->number = number;
  cp->page = std::move(page);
  if (stored != nullptr) {
    cp->raw = true;
    cp->stored = *stored;
  }
  CachedPage* raw = cp.get();
  chain_insert(std::move(cp));
  lru_push_front(raw);
  ++cache_count_;
  return raw;
}

void Pager::erase_cached(std::uint32_t number) {
  auto& chain = chains_[number % kCacheChains];
  auto it = chain_position(chain, number);
  if (it == chain.end() || it->number != number) return;
  if (!it->page->dirty) lru_unlink(it->page.get());
  chain.erase(it);
  --cache_count_;
}

void Pager::drop_cache() {
  for (auto& chain : chains_) chain.clear();
  cache_count_ = 0;
  lru_newest_ = lru_oldest_ = raw_newest_ = raw_oldest_ = nullptr;
  clean_count_ = 0;
}

// Evicting the oldest clean page costs the same however large the cache
// is; dirty pages are in no list, so a long transaction never rescans them.
// The bound counts clean pages: dirty pages cannot leave before the flush,
// and while a long transaction holds thousands of them the clean pages
// (the inner pages every descent passes among them) keep their full share.
void Pager::trim_cache() {
  while (clean_count_ > options_.cache_pages) {
    erase_cached((raw_oldest_ != nullptr ? raw_oldest_ : lru_oldest_)->number);
    ++stats_.evictions;
  }
}

void Pager::touch_header() {
  if (header_.change_counter == 0) {
    // The tree is first used in a new file.
    header_.change_counter = 1;
    header_.root = kNoRoot;
  }
  header_dirty_ = true;
}

std::uint32_t Pager::root() const {
  require(depth_ > 0, "root outside an access");
  return header_.change_counter == 0 ? kNoRoot : header_.root;
}

void Pager::set_root(std::uint32_t number) {
  require(depth_ > 0 && kind_ == AccessKind::update, "set_root outside an update access");
  touch_header();
  header_.root = number;
}

void Pager::set_number_counter(const std::array<std::uint8_t, 4>& counter) {
  require(depth_ > 0 && kind_ == AccessKind::update, "set_number_counter outside an update access");
  touch_header();
  header_.number_counter = counter;
}

Status Pager::read_page_image(std::uint32_t number, Bytes* plain) {
  const std::size_t cls = number < kPageNumberLimit ? block_of(header_, number) : 0;
  if (cls == 0) return Status::corruption(kErrNoBlock);
  const std::uint32_t home = static_cast<std::uint32_t>(page_offset(number));
  std::uint64_t at = home;
  if (auto it = journal_pages_.find(home); it != journal_pages_.end()) at = it->second.first;
  bool short_read = false;
  if (Status s = read_exact(at, cls * kPageUnit, plain, &short_read); !s.ok()) return s;
  ++stats_.page_reads;
  if (short_read) return Status::corruption(kErrPageLength);
  return Status::success();
}

void Pager::touch(CachedPage* cp) {
  if (!cp->dirty && cp != newest(cp)) {
    lru_unlink(cp);
    lru_push_front(cp);
  }
}

Status Pager::decoded(CachedPage* cp) {
  if (!cp->raw) return Status::success();
  Page decoded;
  if (Status s = decode_page(cp->stored, cp->number, &decoded); !s.ok()) return note_failure(s);
  lru_unlink(cp);  // from the stored leaves to the decoded pages
  cp->page = std::move(decoded);
  cp->raw = false;
  Bytes().swap(cp->stored);
  lru_push_front(cp);
  return Status::success();
}

Status Pager::page(std::uint32_t number, Page** out) {
  require(depth_ > 0, "page outside an access");
  if (CachedPage* cp = find_cached(number)) {
    if (Status s = decoded(cp); !s.ok()) return s;
    touch(cp);
    *out = &cp->page;
    return Status::success();
  }
  Status s = read_page_image(number, &read_buffer_);
  Page decoded;
  if (s.ok()) s = decode_page(read_buffer_, number, &decoded);
  if (!s.ok()) return s.is_internal() ? note_failure(s) : s;
  *out = &insert_cached(number, std::move(decoded))->page;
  return Status::success();
}

Page* Pager::cached_page(std::uint32_t number) {
  require(depth_ > 0, "cached_page outside an access");
  CachedPage* cp = find_cached(number);
  if (cp == nullptr || cp->raw) return nullptr;
  touch(cp);
  return &cp->page;
}

Status Pager::find_in_leaf(std::uint32_t number, ByteView key, Record* out) {
  require(depth_ > 0, "find_in_leaf outside an access");
  Status s;
  if (CachedPage* cp = find_cached(number)) {
    // A stored leaf met a second time is worth decoding: pages in use stay.
    if (Status d = decoded(cp); !d.ok()) return d;
    touch(cp);
    if (!cp->page.is_leaf()) {
      s = Status::corruption(kErrPageLength);
    } else {
      const std::size_t pos = find_record(cp->page, key);
      if (pos == cp->page.records.size()) return Status::not_found();
      *out = cp->page.records[pos];
      return Status::success();
    }
    return s.is_internal() ? note_failure(s) : s;
  }
  // A leaf met on the way to one record is often not met again soon (a
  // data record fetched through an index): it is searched as stored, and
  // kept so, until someone needs it decoded.
  s = read_page_image(number, &read_buffer_);
  if (s.ok()) s = find_in_stored_leaf(read_buffer_, number, key, out);
  if (s.ok() || s.is(Code::not_found)) {
    (void)insert_cached(number, Page(), &read_buffer_);
    return s;
  }
  return s.is_internal() ? note_failure(s) : s;
}

Status Pager::new_page(std::uint8_t level, std::uint32_t* number, Page** out) {
  require(depth_ > 0 && kind_ == AccessKind::update, "new_page outside an update access");
  touch_header();
  Page p;
  p.level = level;
  CachedPage* cp = insert_cached(next_temporary_++, std::move(p));
  set_dirty(cp);
  *number = cp->number;
  *out = &cp->page;
  return Status::success();
}

void Pager::mark_dirty(std::uint32_t number) {
  require(depth_ > 0 && kind_ == AccessKind::update, "mark_dirty outside an update access");
  CachedPage* cp = find_cached(number);
  require(cp != nullptr && !cp->raw, "mark_dirty of a page not in the cache decoded");
  set_dirty(cp);
  touch_header();
}

void Pager::free_page(std::uint32_t number) {
  require(depth_ > 0 && kind_ == AccessKind::update, "free_page outside an update access");
  erase_cached(number);
  if (!is_temporary(number)) freed_.push_back(number);
  touch_header();
}

void Pager::check_invariants() const {
#ifndef NDEBUG
  std::size_t count = 0, clean = 0;
  for (const CachedPage* cp = lru_newest_; cp != nullptr; cp = cp->older) {
    assert(!cp->dirty && !cp->raw);
    ++clean;
  }
  for (const CachedPage* cp = raw_newest_; cp != nullptr; cp = cp->older) {
    assert(!cp->dirty && cp->raw);
    ++clean;
  }
  assert(clean == clean_count_);
  for (std::size_t c = 0; c < kCacheChains; ++c) {
    for (std::size_t i = 1; i < chains_[c].size(); ++i) assert(chains_[c][i - 1].number < chains_[c][i].number);
    for (const auto& [number, cp] : chains_[c]) {
      ++count;
      assert(cp->number == number);
      assert(cp->number % kCacheChains == c);
      assert(!cp->dirty || header_dirty_);                  // M1
      assert(!cp->raw || (!cp->dirty && cp->page.records.empty()));
      assert(!is_temporary(cp->number) || cp->dirty);       // M2
    }
  }
  assert(count == cache_count_);
  if (depth_ == 0 && !journaled_) {
    assert(!header_dirty_ || hold_);                        // M1
    assert(freed_.empty() || header_dirty_);
    assert(held_ == Held::none || (hold_ && (header_dirty_ || pinned_) && held_ == Held::writer));  // L1
    assert(!readers_excluded_);
  }
  if (held_ == Held::reader) assert(depth_ > 0 && kind_ == AccessKind::read);  // L2
  if (!shared()) assert(held_ == Held::none);                                 // L2, L3
  if (from_journal_) assert(!header_dirty_);                                  // M3
  if (!failure_.ok()) assert(!header_dirty_ && freed_.empty());               // M4
#endif
}

// --- Flush ------------------------------------------------------------------------------------

namespace {

// The pages of one block while a flush rearranges it, as the page numbers
// they had before the flush (their identities) in slot order.
struct BlockWork {
  bool touched = false;
  std::deque<std::uint32_t> members;
};

}  // namespace

Status Pager::plan_flush(std::vector<Planned>* plan, Header* next) {
  plan->clear();
  *next = header_;
  Header& h = *next;
  std::array<BlockWork, kBlockCount> work;
  auto touch = [&](std::size_t i) -> BlockWork& {
    BlockWork& w = work[i];
    if (!w.touched) {
      w.touched = true;
      for (std::uint32_t n = h.block_start[i]; n < h.block_end[i]; n += static_cast<std::uint32_t>(i)) {
        w.members.push_back(n);
      }
    }
    return w;
  };

  // 1. Encode every dirty page; a page whose size class changed, and every
  //    freed page, leaves a hole in its block.
  std::unordered_map<std::uint32_t, std::size_t> index;  // identity -> plan entry
  std::vector<std::pair<std::size_t, std::uint32_t>> incoming;  // (class, identity)
  std::map<std::size_t, std::set<std::uint32_t>> leaving;       // class -> identities
  for (const auto& chain : chains_) {
    for (const auto& [number, cp] : chain) {
      if (!cp->dirty) continue;
      Planned p;
      p.identity = p.number = cp->number;
      if (Status s = encode_page(cp->page, 0, &p.bytes); !s.ok()) return s;
      const std::size_t cls = p.bytes.size() / kPageUnit;
      if (is_temporary(cp->number)) {
        incoming.emplace_back(cls, cp->number);
      } else {
        const std::size_t old = block_of(header_, cp->number);
        if (old == 0) return Status::corruption(kErrNoBlock);
        if (old != cls) {
          leaving[old].insert(cp->number);
          incoming.emplace_back(cls, cp->number);
        }
      }
      index[p.identity] = plan->size();
      plan->push_back(std::move(p));
    }
  }
  for (std::uint32_t n : freed_) {
    const std::size_t old = block_of(header_, n);
    if (old == 0) return Status::corruption(kErrNoBlock);
    leaving[old].insert(n);
  }

  // 2. Compact: the last page of a block moves into each hole.
  for (const auto& [cls, ids] : leaving) {
    BlockWork& w = touch(cls);
    std::set<std::size_t> holes;
    for (std::uint32_t id : ids) holes.insert((id - header_.block_start[cls]) / cls);
    while (!holes.empty()) {
      const std::size_t last = w.members.size() - 1;
      if (holes.erase(last) != 0) {
        w.members.pop_back();
        continue;
      }
      const std::size_t hole = *holes.begin();
      holes.erase(holes.begin());
      w.members[hole] = w.members[last];
      w.members.pop_back();
    }
    h.block_end[cls] = h.block_start[cls] + static_cast<std::uint32_t>(w.members.size() * cls);
  }

  // 3. Empty blocks sit at the end of the block below them, so that the
  //    free units between two blocks always show as the gap below the
  //    upper one.
  for (std::size_t i = 1; i <= kMaxClass; ++i) {
    if (h.block_empty(i)) h.block_start[i] = h.block_end[i] = i == 1 ? 0 : h.block_end[i - 1];
  }

  // 4. Place the pages entering a block: below it when the gap allows,
  //    else at its end, moving the blocks above up as far as needed.
  std::sort(incoming.begin(), incoming.end());
  for (const auto& [cls, id] : incoming) {
    BlockWork& w = touch(cls);
    const std::uint32_t below = cls == 1 ? 0 : h.block_end[cls - 1];
    const std::uint32_t units = static_cast<std::uint32_t>(cls);
    if (!w.members.empty() && h.block_start[cls] >= below + units) {
      h.block_start[cls] -= units;
      w.members.push_front(id);
      continue;
    }
    if (w.members.empty()) h.block_start[cls] = h.block_end[cls] = below;
    w.members.push_back(id);
    h.block_end[cls] += units;
    for (std::size_t j = cls + 1; j <= kMaxClass; ++j) {
      const std::uint32_t floor = h.block_end[j - 1];
      if (h.block_empty(j)) {
        h.block_start[j] = h.block_end[j] = std::max(h.block_start[j], floor);
        continue;
      }
      if (h.block_start[j] >= floor) break;
      const std::uint32_t overlap = floor - h.block_start[j];
      BlockWork& up = touch(j);
      const std::size_t rotate = (overlap + j - 1) / j;
      if (rotate < up.members.size()) {
        // Its first pages move to its end.
        for (std::size_t t = 0; t < rotate; ++t) {
          up.members.push_back(up.members.front());
          up.members.pop_front();
        }
        h.block_start[j] += static_cast<std::uint32_t>(rotate * j);
        h.block_end[j] += static_cast<std::uint32_t>(rotate * j);
      } else {
        h.block_start[j] += overlap;
        h.block_end[j] += overlap;
      }
    }
    for (std::size_t j = cls; j <= kMaxClass; ++j) {
      if (h.block_end[j] >= kPageNumberLimit) return Status::io_error(kDiskFull);
    }
  }

  // 5. Every page of a rearranged block takes the number of its slot.
  std::unordered_map<std::uint32_t, std::uint32_t> renumber;
  for (std::size_t i = 1; i <= kMaxClass; ++i) {
    if (!work[i].touched) continue;
    for (std::size_t t = 0; t < work[i].members.size(); ++t) {
      const std::uint32_t id = work[i].members[t];
      const std::uint32_t n = h.block_start[i] + static_cast<std::uint32_t>(t * i);
      if (id != n) renumber[id] = n;
      if (auto it = index.find(id); it != index.end()) (*plan)[it->second].number = n;
    }
  }
  auto add_from_disk = [&](std::uint32_t id, std::uint32_t number) -> Status {
    Planned p;
    p.identity = id;
    p.number = number;
    if (Status s = read_page_image(id, &p.bytes); !s.ok()) return s;
    Page check;
    if (Status s = decode_page(p.bytes, id, &check); !s.ok()) return s;
    index[id] = plan->size();
    plan->push_back(std::move(p));
    return Status::success();
  };
  for (const auto& [id, n] : renumber) {
    if (index.count(id) == 0) {
      if (Status s = add_from_disk(id, n); !s.ok()) return s;
    }
  }

  // 6. A moved page's parent must be rewritten too. Most parents are
  //    already in the plan (a new page's parent always is); the others are
  //    found by walking the inner pages from the root.
  std::unordered_set<std::uint32_t> covered;
  for (const Planned& p : *plan) {
    if (stored_level(p.bytes) == 0) continue;
    for (std::size_t k = 0; k < stored_count(p.bytes); ++k) {
      covered.insert(get_le32(p.bytes, kPageHeaderSize + kChildEntrySize * k));
    }
  }
  std::vector<std::uint32_t> orphans;
  for (const auto& [id, n] : renumber) {
    if (id != header_.root && covered.count(id) == 0) orphans.push_back(id);
  }
  if (!orphans.empty()) {
    std::unordered_map<std::uint32_t, std::uint32_t> parent_of;
    std::vector<std::pair<std::uint32_t, std::uint8_t>> stack;  // (page, its expected level or 0xFF)
    std::unordered_set<std::uint32_t> seen;
    if (header_.root != kNoRoot && header_.change_counter != 0) stack.emplace_back(header_.root, 0xFF);
    while (!stack.empty()) {
      const auto [number, expected] = stack.back();
      stack.pop_back();
      CachedPage* cp = find_cached(number);
      if (cp != nullptr) {
        if (Status s = decoded(cp); !s.ok()) return s;
      } else {
        Bytes image;
        Page decoded;
        Status s = read_page_image(number, &image);
        if (s.ok()) s = decode_page(image, number, &decoded);
        if (!s.ok()) return s;
        cp = insert_cached(number, std::move(decoded));
      }
      const Page& pg = cp->page;
      if (expected != 0xFF && pg.level != expected) return Status::corruption(kErrPageLength);
      if (pg.level == 0) continue;
      for (std::uint32_t child : pg.children) {
        parent_of[child] = number;
        if (pg.level > 1) {
          if (!seen.insert(child).second) return Status::corruption(kErrPageLength);
          stack.emplace_back(child, static_cast<std::uint8_t>(pg.level - 1));
        }
      }
    }
    for (std::uint32_t id : orphans) {
      auto it = parent_of.find(id);
      if (it == parent_of.end()) return Status::corruption(kErrPageLength);
      if (index.count(it->second) == 0) {
        if (Status s = add_from_disk(it->second, it->second); !s.ok()) return s;
      }
    }
  }

  // 7. Own addresses and child entries follow the new numbers, on disk and
  //    in the cache; so does the root.
  auto mapped = [&](std::uint32_t n) {
    auto it = renumber.find(n);
    return it == renumber.end() ? n : it->second;
  };
  for (Planned& p : *plan) {
    put_le32(p.bytes.data() + kPgOwnAddress, static_cast<std::uint32_t>(page_offset(p.number)));
    if (stored_level(p.bytes) == 0) continue;
    for (std::size_t k = 0; k < stored_count(p.bytes); ++k) {
      std::uint8_t* entry = p.bytes.data() + kPageHeaderSize + kChildEntrySize * k;
      put_le32(entry, mapped(get_le32(ByteView(entry, 4), 0)));
    }
  }
  if (h.root != kNoRoot) h.root = mapped(h.root);
  // A page may take the number another moved page still has: all moved
  // pages leave their chains before any comes back under its new number.
  std::vector<std::unique_ptr<CachedPage>> moved;
  for (auto& chain : chains_) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < chain.size(); ++i) {
      for (std::uint32_t& child : chain[i].page->page.children) child = mapped(child);
      if (renumber.count(chain[i].number) == 0) {
        if (kept != i) chain[kept] = std::move(chain[i]);
        ++kept;
      } else if (chain[i].page->raw) {
        // Its stored image names its old place: it is read again when needed.
        lru_unlink(chain[i].page.get());
        --cache_count_;
      } else {
        moved.push_back(std::move(chain[i].page));
      }
    }
    chain.resize(kept);
  }
  for (auto& cp : moved) {
    cp->number = renumber[cp->number];
    chain_insert(std::move(cp));
  }
  std::sort(plan->begin(), plan->end(), [](const Planned& a, const Planned& b) { return a.number < b.number; });
  return Status::success();
}

Status Pager::fail_flush(Status s) {
  if (s.is_internal()) return note_failure(s);
  discard_changes();
  return s;
}

Status Pager::run_journal_pass() {
  if (Status s = exclude_readers(); !s.ok()) return fail_flush(s);
  if (disk_empty_) {
    if (Status s = write_image(0, encode_header(disk_header_)); !s.ok()) return fail_flush(s);
    if (Status s = sync(); !s.ok()) return fail_flush(s);
    disk_empty_ = false;
  }
  std::vector<Planned> plan;
  Header next;
  if (Status s = plan_flush(&plan, &next); !s.ok()) return fail_flush(s);

  const std::uint32_t journal_start = end_of_data(header_);
  const std::uint64_t committed = std::max(end_of_data(next), journal_start);
  std::uint64_t end = committed + kHeaderSize;
  for (const Planned& p : plan) {
    if (page_offset(p.number) < journal_start) end += p.bytes.size();
  }
  if (end > 0xFFFF'FFFFu) return fail_flush(Status::io_error(kDiskFull));
  next.committed_end = next.journal_end = static_cast<std::uint32_t>(committed);
  next.change_counter = header_.change_counter + 1;

  std::uint64_t pos = committed;
  for (Planned& p : plan) {
    const std::uint64_t home = page_offset(p.number);
    p.journaled = home < journal_start;
    Status s = write_image(p.journaled ? pos : home, p.bytes);
    if (!s.ok()) return fail_flush(s);
    ++stats_.page_writes;
    if (p.journaled) pos += p.bytes.size();
    if (&p == &plan.front()) crash_point(CrashPoint::journal_writing);
  }
  if (Status s = write_image(pos, encode_header(next)); !s.ok()) return fail_flush(s);
  pos += kHeaderSize;
  if (Status s = sync(); !s.ok()) return fail_flush(s);
  Header pending = disk_header_;
  pending.committed_end = static_cast<std::uint32_t>(committed);
  pending.journal_end = static_cast<std::uint32_t>(pos);
  if (Status s = write_image(0, encode_header(pending)); !s.ok()) return fail_flush(s);
  if (Status s = sync(); !s.ok()) return fail_flush(s);
  pending_ends_ = {pending.committed_end, pending.journal_end};
  ++stats_.flushes;
  plan_ = std::move(plan);
  next_header_ = next;
  crash_point(CrashPoint::journal_written);
  return Status::success();
}

Status Pager::run_home_pass() {
  Status s;
  for (const Planned& p : plan_) {
    if (!p.journaled) continue;
    s = write_image(page_offset(p.number), p.bytes);
    if (!s.ok()) break;
    ++stats_.page_writes;
  }
  // The new header goes to offset 0 still naming the journal, so that it
  // may reach the disk before, after or between the pages: until the
  // commit (whose first sync makes the pages durable) a crash replays the
  // journal either way. That saves a sync between the pages and the header.
  Header pending = next_header_;
  pending.committed_end = pending_ends_.first;
  pending.journal_end = pending_ends_.second;
  if (s.ok()) s = write_image(0, encode_header(pending));
  if (s.ok()) s = commit_header();
  Header committed;
  bool empty = false;
  if (s.ok()) s = read_header(&committed, &empty);
  if (!s.ok()) {
    // The journal is durable: the next updater (this object included)
    // replays it. What is cached here can no longer be trusted.
    return fail_flush(s);
  }
  for (auto& chain : chains_) {
    for (auto& [number, cp] : chain) {
      if (cp->dirty) {
        cp->dirty = false;
        lru_push_front(cp.get());
      }
    }
  }
  trim_cache();  // the pages a transaction held are clean now: back to the bound
  header_ = disk_header_ = committed;
  header_known_ = excludes_writers(options_.sharing);
  header_dirty_ = false;
  freed_.clear();
  plan_.clear();
  next_temporary_ = kTemporaryBase;
  admit_readers();
  return Status::success();
}

// --- Registry ---------------------------------------------------------------------------------

FileRegistry& FileRegistry::process() {
  static FileRegistry registry;
  return registry;
}

std::size_t FileRegistry::open_files() {
  std::size_t n = 0;
  for (auto it = files_.begin(); it != files_.end();) {
    if (it->second.expired()) {
      it = files_.erase(it);
    } else {
      ++n;
      ++it;
    }
  }
  return n;
}

Status FileRegistry::open(platform::Env* env, const std::string& path, const OpenOptions& options,
                          std::shared_ptr<Pager>* out) {
  std::string full;
  if (platform::Status s = env->full_path(path, &full); !s.ok()) return Status::io_error(s.error);
  (void)open_files();  // forget closed objects
  const auto key = std::make_pair(env, full);
  if (auto it = files_.find(key); it != files_.end()) {
    if (std::shared_ptr<Pager> existing = it->second.lock()) {
      if ((options.writable && !existing->writable()) || options.truncate) return Status::io_error(kAccessDenied);
      if (options.password != existing->options_.password) return Status::invalid_file();
      *out = std::move(existing);
      return Status::success();
    }
  }
  std::shared_ptr<Pager> pager;
  if (Status s = Pager::open(env, full, options, &pager); !s.ok()) return s;
  files_[key] = pager;
  *out = std::move(pager);
  return Status::success();
}

}  // namespace files::kestrel
