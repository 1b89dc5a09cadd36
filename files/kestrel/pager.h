// Layer 2 of the keyed-file engine: the file object.
//
// One Pager stands for one open disk file in one process; every table of
// that file shares it (FileRegistry hands out the same object for the same
// full path). It owns the platform File, the cached header, the page cache
// (100 chains by page number mod 100; at most the bound of clean pages,
// evicted least recently used first, leaves kept as stored before decoded
// pages; dirty pages stay until their flush), the blocks by size class, the
// two-pass flush through the in-file journal, journal replay or discard,
// and every lock of the lock layout. It knows pages, not records: the tree
// (tree.h) works on the pages it hands out.
//
// How the table layer uses it, per operation:
//
//   pager->begin_access(AccessKind::update, /*wait=*/true)   // lock + header refresh
//   Tree tree(*pager); tree.insert(...); ...                   // work on cached pages
//   pager->end_access()                                        // flush, unlock
//
// or abandon_access() instead of end_access() to drop what the access
// changed. Accesses nest (an inner begin/end pair only counts); the
// outermost kind rules, and an update access must be begun as one.
//
// Errors: every call answers with a Status. An internal error (Code::
// corruption) is sticky: the object remembers the first one, drops every
// unflushed change, and from then on begin_access answers with it, so the
// table layer answers 90 until the file is closed. A failed sync is sticky
// the same way (Code::io_error). A failed or short write abandons the flush
// it belongs to and drops its changes, but the object stays usable: the next
// access reads the file again (and replays a journal that was already
// activated).
//
// Threads: none of this is thread-safe; the engine runs on the caller's
// thread, as the driver does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "files/kestrel/format.h"
#include "files/kestrel/journal.h"
#include "platform/env.h"

namespace files::kestrel {

// The sharing half of an open mode.
enum class Sharing : std::uint8_t {
  deny_none,   // shared: access locks are taken (reader slot / writer byte)
  deny_write,  // others may only read: no access locks, but the journal write excludes readers
  deny_read,   // no other opener of ours can exist (they all read): like deny_all
  deny_all,
};

struct OpenOptions {
  bool writable = true;         // read/write access, else read only
  Sharing sharing = Sharing::deny_none;
  bool truncate = false;        // the create bit: an existing file is cut to length 0
  bool create_missing = true;   // a missing file is made empty (else io_error 2)
  std::optional<std::string> password;  // owner password: header and pages are enciphered
  std::size_t cache_pages = layout::kDefaultCachePages;  // the cache bound (at least 8)
};

enum class AccessKind : std::uint8_t { read, update };

// Waiting for another program. An access that must complete waits for its
// lock; while it waits, the hook (when one is set) is asked about ten times
// a second, with the full path of the file, whether to go on: false ends
// the wait and the access fails with 5, so the user can always end a wait
// for a program that never lets go. While this process holds a transaction
// no access waits longer than a moment (then 5): it may be holding what
// the other program waits for. Process-wide; null (the default) waits for
// as long as it takes.
using WaitHook = std::function<bool(const std::string& path)>;
void set_wait_hook(WaitHook hook);
// One pause (100 ms) of such a wait for `path`, the `pauses`th: false when
// the wait must end instead (the hook said so, or the bound of a process
// in a transaction is reached).
bool pause_for(const std::string& path, int pauses);

// Test hook: called at the points of a flush and of a commit where a
// program killed there leaves a state worth recovering from. Process-wide;
// null by default.
enum class CrashPoint : std::uint8_t {
  journal_writing,     // some pages of the journal written, not yet synced
  journal_written,     // the journal pass done (durable), the home pass not begun
  before_commit_point, // a commit across files: every journal written, the control record still there
  after_commit_point,  // ... the control record gone, no home pass run
};
void set_crash_hook(void (*hook)(CrashPoint));
void crash_point(CrashPoint point);

// Whether a complete journal stands (replay: an updater replays it, a reader
// reads through it) or not (discard: an updater discards it, a reader reads
// the file at home).
enum class JournalVerdict : std::uint8_t { replay, discard };

class Pager;

// Decides a complete pending journal (the transaction-mark check). It is
// called inside a read access that sees the file as the journal would leave
// it (a Tree over the pager finds the 0xFF record), and sets *verdict. An
// error it returns fails the access that found the journal. Readers ask it
// too, so it must only read (the control file read only).
using JournalDecider = std::function<Status(Pager& pager, JournalVerdict* verdict)>;

class Pager {
 public:
  // Opens (making it empty when missing, unless options say not to) the file at `path` for this caller
  // alone; FileRegistry::open is what the driver uses. Sharing is checked
  // against the other openers (io_error 5 when someone denies us, or we would
  // deny someone what they have). With truncate the file is cut to length 0
  // after that check. io_error with the system number when the system
  // refuses the file (32 posted as 5). Nothing else is read here: an invalid
  // header shows at the first access.
  static Status open(platform::Env* env, const std::string& path, const OpenOptions& options,
                     std::shared_ptr<Pager>* out);

  // Closes the file (dropping every lock it holds). Changes still held
  // back by a transaction that was neither committed nor rolled back are
  // dropped: the file keeps its committed state.
  ~Pager();
  Pager(const Pager&) = delete;
  Pager& operator=(const Pager&) = delete;

  const std::string& path() const { return path_; }  // the full path
  bool writable() const { return options_.writable; }
  Sharing sharing() const { return options_.sharing; }
  bool shared() const { return options_.sharing == Sharing::deny_none; }
  std::uint32_t reader_slot() const { return slot_; }

  // --- Accesses ------------------------------------------------------------------

  // Takes the access lock (shared files only: a reader slot, trying the next
  // one when it is taken, or the writer byte) and refreshes the header:
  // invalid_file for a short or foreign header at the first access of the
  // object (corruption 2172 later); the caches are dropped when the change
  // counter moved; a pending journal is decided (the decider is asked
  // about a complete one, by readers and updaters alike) and then read
  // through or ignored (reader), or replayed or discarded (updater). Without `wait` a lock
  // that is taken gives busy(). update on a read-only object: io_error 5.
  // A sticky failure is answered at once.
  Status begin_access(AccessKind kind, bool wait);

  // Ends the outermost access: flushes when the header is dirty (unless
  // flushes are held back, see hold_flushes), releases the lock and marks
  // the header not current. Returns the flush's status; whatever happens,
  // the access is over afterwards.
  Status end_access();

  // Ends the outermost access dropping every unflushed change (in a
  // transaction: all changes held back so far, which breaks it, see
  // transaction_broken) and releases the lock. A read access changed
  // nothing: it simply ends, and changes a transaction holds back stay.
  void abandon_access();

  bool in_access() const { return depth_ > 0; }
  AccessKind access_kind() const { return kind_; }

  // --- Pages (inside an access; mutations inside an update access) ----------------
  // Misuse (no access, a mutation in a read access, an unknown page number
  // for mark_dirty/free_page) is a programming error: std::logic_error.

  // The root page number, kNoRoot while the tree has no page (always so in
  // a file whose change counter is 0).
  std::uint32_t root() const;
  void set_root(std::uint32_t number);

  // The decoded page. The pointer stays valid until trim_cache(),
  // end_access()/abandon_access() or free_page() of that page; page numbers
  // of pages made in this access are temporary (>= 0xF0000000) until the
  // flush places them. 1735 for a number in no block, else the decoder's
  // numbers (1477, 1602, 1659); io_error when the read fails.
  Status page(std::uint32_t number, Page** out);

  // The record whose key part equals `key` in leaf page `number`, the way
  // Tree::find ends: not_found when the leaf has none, 1602 when the page
  // is not a leaf. A leaf not in the cache is searched in its stored form
  // and cached that way (page() decodes it when it is needed whole), so a
  // lookup that will not come back to the page does not pay for decoding
  // all of it.
  Status find_in_leaf(std::uint32_t number, ByteView key, Record* out);

  // The page when it is in the cache decoded, else null; nothing is read.
  Page* cached_page(std::uint32_t number);

  // A new empty page at `level`, dirty, with a temporary number.
  Status new_page(std::uint8_t level, std::uint32_t* number, Page** out);

  // The cached page was changed: it is written at the next flush.
  void mark_dirty(std::uint32_t number);

  // Gives the page back: it leaves the cache and its block slot is freed at
  // the next flush (the last page of its block moves into the hole). The
  // caller has already removed it from its parent.
  void free_page(std::uint32_t number);

  // Evicts clean pages, least recently used first, until at most the cache
  // bound of them are left (dirty pages stay until the flush).
  // Invalidates page pointers; the tree calls it between its operations.
  void trim_cache();

  // --- Header fields ---------------------------------------------------------------

  const Header& header() const { return header_; }
  std::array<std::uint8_t, 4> number_counter() const { return header_.number_counter; }
  // Update access; marks the header dirty.
  void set_number_counter(const std::array<std::uint8_t, 4>& counter);
  bool has_changes() const { return header_dirty_; }

  // --- Transactions ------------------------------------------------------------------
  // While held, end_access does not flush: the changes stay in the cache
  // and the writer byte stays taken (shared files), so later accesses of
  // this process see them and no other updater can slip in between. COMMIT
  // then runs journal_pass() on every changed file, then home_pass() on each
  // (or discard_journal() on those already journaled when one fails);
  // ROLLBACK runs rollback(). These four are called outside any access.

  void hold_flushes(bool hold);
  bool flushes_held() const { return hold_; }

  // What a transaction needs of the file from its LOGOUT to its COMMIT or
  // ROLLBACK: flushes held back and, on a shared file opened for writing,
  // the writer byte, kept from now on whatever accesses come and go, so that
  // no other program updates the file under the pages this transaction
  // read (its held-back pages rest on that version). Without `wait` a
  // writer byte someone else holds answers busy(). Outside any access.
  Status enter_transaction(bool wait);
  // Gives back what enter_transaction took (changes must be gone: flushed,
  // discarded or rolled back). Outside any access.
  void leave_transaction();
  bool in_transaction() const { return pinned_; }
  // Whether a failure dropped changes held back since enter_transaction (an
  // update abandoned half way, a sticky failure): the transaction can no
  // longer commit as a whole.
  bool transaction_broken() const { return broken_; }
  // Whether any file object of this process is in a transaction.
  static bool transaction_running();

  // The journal pass alone: afterwards the change is durable (a crash is
  // repaired by replay) but not yet home; all reader slots stay taken. A
  // no-op without changes. On failure the changes are dropped.
  Status journal_pass();
  // The home pass after journal_pass; releases every access lock.
  Status home_pass();
  // Instead of home_pass: forgets the journal (header committed without
  // replay) and drops the changes, so the file keeps its old state.
  Status discard_journal();
  // Drops every held-back change and releases the access lock.
  void rollback();

  // --- Record and table locks ----------------------------------------------------------

  // The lock byte of record or table n (2^31 + 1024 + n + 1) for `owner`,
  // one open of a table (any pointer that tells the opens apart). The opens
  // of one file within a process share this object and so its system locks;
  // the object therefore keeps who holds each byte, and another open meets
  // it exactly as another program does: locked(), never a wait. Taking a
  // byte the owner holds already succeeds. io_error when the system fails.
  Status lock_number(std::uint32_t n, const void* owner);
  // Gives the byte back if `owner` holds it; another owner's stays held.
  Status unlock_number(std::uint32_t n, const void* owner);

  // --- Journal decision and failures ----------------------------------------------------

  // Without a decider every complete journal stands. open_file
  // (transaction.h) sets the one every opener needs.
  void set_journal_decider(JournalDecider decider) { decider_ = std::move(decider); }

  // The sticky failure, ok() while there is none.
  Status failure() const { return failure_; }
  // Records an internal error the caller found (a malformed stored record,
  // 824, 1173, ...): it becomes sticky like the pager's own. Returns it.
  Status note_failure(Status s);

  // --- Figures, for tests and tracing ------------------------------------------------------

  struct Stats {
    std::uint64_t page_reads = 0;      // pages read from the file (home or journal copy)
    std::uint64_t page_writes = 0;     // page images written (journal copies and homes)
    std::uint64_t syncs = 0;
    std::uint64_t flushes = 0;         // journal passes that activated a journal
    std::uint64_t replays = 0;
    std::uint64_t discards = 0;
    std::uint64_t evictions = 0;
    std::uint64_t cache_drops = 0;     // whole cache dropped by a moved change counter
  };
  const Stats& stats() const { return stats_; }
  std::size_t cached_pages() const { return cache_count_; }
  std::size_t cache_bound() const { return options_.cache_pages; }

 private:
  friend class FileRegistry;

  struct CachedPage {
    std::uint32_t number = 0;
    Page page;
    bool dirty = false;
    // Kept as stored (never dirty): `stored` holds the image, `page` is empty.
    bool raw = false;
    Bytes stored;
    // The list of clean pages this one is in (stored leaves or decoded
    // pages), most recently used first; dirty pages are in no list: they
    // cannot be evicted.
    CachedPage* newer = nullptr;
    CachedPage* older = nullptr;
  };

  // A page the running flush writes.
  struct Planned {
    std::uint32_t identity = 0;  // its number before this flush (or temporary number)
    std::uint32_t number = 0;    // its number after
    Bytes bytes;                 // plain stored image
    bool journaled = false;      // home below the journal start: copied through the journal
  };

  enum class Held : std::uint8_t { none, reader, writer };

  Pager(platform::Env* env, std::unique_ptr<platform::File> file, std::string path, const OpenOptions& options);

  // Locks.
  Status claim_sharing();
  Status lock_range(std::uint64_t offset, std::uint64_t length, bool wait,
                    platform::LockKind kind = platform::LockKind::exclusive);
  Status wait_for_range(std::uint64_t offset, std::uint64_t length, platform::LockKind kind);
  // Reader slots are exclusive locks, except for an opener the system
  // refuses exclusive locks (it may only read the file): shared ones, which
  // an updater's exclusion of all readers meets just the same.
  platform::LockKind slot_kind() const {
    return exclusive_refused_ ? platform::LockKind::shared : platform::LockKind::exclusive;
  }
  Status acquire(AccessKind kind, bool wait);
  void release_access_lock();
  Status exclude_readers();
  void admit_readers();

  // Raw I/O with encipherment; failed writes and syncs as the format wants.
  Status read_exact(std::uint64_t offset, std::size_t n, Bytes* out, bool* short_read);
  Status write_image(std::uint64_t offset, ByteView plain);
  Status sync();

  // Header refresh and journal.
  Status refresh(AccessKind kind);
  Status read_header(Header* out, bool* empty);
  Status scan_journal(const Header& at0, JournalScan* scan);
  Status decide(const Header& at0, const JournalScan& scan, JournalVerdict* verdict);
  Status resolve_journal(const JournalScan& scan, JournalVerdict verdict);
  Status replay(const JournalScan& scan);
  Status commit_header();

  // Cache.
  CachedPage* find_cached(std::uint32_t number);
  // With `stored`, the page is kept as that stored image (a leaf).
  CachedPage* insert_cached(std::uint32_t number, Page page, Bytes* stored = nullptr);
  void erase_cached(std::uint32_t number);
  void drop_cache();
  void chain_insert(std::unique_ptr<CachedPage> cp);
  void set_dirty(CachedPage* cp);
  void touch(CachedPage* cp);          // most recently used
  Status decoded(CachedPage* cp);      // a raw page decoded in place
  CachedPage*& newest(const CachedPage* cp);  // the head of the list cp belongs in
  CachedPage*& oldest(const CachedPage* cp);
  void lru_unlink(CachedPage* cp);
  void lru_push_front(CachedPage* cp);
  Status read_page_image(std::uint32_t number, Bytes* plain);
  void touch_header();
  void discard_changes();
  void require(bool condition, const char* what) const;
  void check_invariants() const;

  // Flush.
  Status plan_flush(std::vector<Planned>* plan, Header* next);
  Status run_journal_pass();
  Status run_home_pass();
  Status fail_flush(Status s);

  platform::Env* env_;
  std::unique_ptr<platform::File> file_;
  std::string path_;
  OpenOptions options_;
  std::optional<KeyBlock> key_;
  std::uint32_t slot_ = 0;
  bool exclusive_refused_ = false;  // read-only file whose permissions refuse exclusive locks

  Header header_;        // the header as this process sees it (with unflushed changes)
  Header disk_header_;   // the header at offset 0 as last read or written
  bool header_cached_ = false;
  bool header_current_ = false;
  bool header_dirty_ = false;
  bool refreshed_once_ = false;
  bool disk_empty_ = false;    // the file had no bytes at the last refresh
  bool from_journal_ = false;  // header and cache were read while a journal was pending (through its copies when it stands)
  std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> journal_pages_;  // reader's view

  Held held_ = Held::none;
  bool readers_excluded_ = false;
  int depth_ = 0;
  AccessKind kind_ = AccessKind::read;
  bool hold_ = false;
  bool pinned_ = false;     // a transaction keeps the access lock between accesses
  bool broken_ = false;     // held-back changes of the transaction were dropped by a failure
  std::map<std::uint32_t, const void*> number_owners_;  // record and table bytes held, by open
  bool journaled_ = false;  // between journal_pass and home_pass / discard_journal

  // The chains: page n is in chain n mod 100, each kept in page-number
  // order and searched by halving, which stays quick both while the cache
  // keeps its bound (a few pages a chain) and for the thousands of dirty
  // pages a long transaction may hold.
  struct ChainEntry {
    std::uint32_t number = 0;
    std::unique_ptr<CachedPage> page;
  };
  std::array<std::vector<ChainEntry>, layout::kCacheChains> chains_;
  std::size_t cache_count_ = 0;
  CachedPage* lru_newest_ = nullptr;  // clean decoded pages, newest to oldest
  CachedPage* lru_oldest_ = nullptr;
  CachedPage* raw_newest_ = nullptr;  // leaves kept as stored, newest to oldest
  CachedPage* raw_oldest_ = nullptr;
  std::size_t clean_count_ = 0;
  // The header at offset 0 is known to be header_: refreshed (or written by
  // this object) since the last dropped change, and the open mode keeps every
  // other program from writing the file.
  bool header_known_ = false;
  std::vector<std::uint32_t> freed_;  // real page numbers given back since the last flush
  std::uint32_t next_temporary_;

  // Kept from the journal pass for the home pass.
  std::vector<Planned> plan_;
  Header next_header_;
  std::pair<std::uint32_t, std::uint32_t> pending_ends_;  // committed and journal end while the journal is pending

  Bytes read_buffer_;  // the stored image of the page being read

  JournalDecider decider_;
  Status failure_;
  Stats stats_;
};

// The process's file objects by full path, so that every table of one disk
// file shares one Pager. A test that plays two processes uses two
// registries (or Pager::open directly).
class FileRegistry {
 public:
  static FileRegistry& process();

  // The live object for the full path of `path` through `env`, else a new
  // one (Pager::open). A second opener gets the first opener's mode,
  // password and cache bound; it is refused with io_error 5 when it asks for
  // write access the object lacks or to truncate a file in use here, and
  // with invalid_file when its password differs. The object closes when the
  // last shared_ptr goes.
  Status open(platform::Env* env, const std::string& path, const OpenOptions& options, std::shared_ptr<Pager>* out);

  std::size_t open_files();

 private:
  std::map<std::pair<platform::Env*, std::string>, std::weak_ptr<Pager>> files_;
};

}  // namespace files::kestrel
