// The keyed-file engine, through the KESTREL driver as the program uses it,
// against SQLite (C API, prepared statements) on the same data, side by side
// in one run.
//
// Records of 20 bytes: ID LONG (unique key), NAME STRING(10) (key with
// duplicates: every name is shared by 10 records), PAD STRING(6). SQLite
// gets the same shape: a rowid table (the record number), a UNIQUE index on
// id and an index on name, journal_mode=DELETE, synchronous=FULL and a page
// cache of as many pages as ours (256; our pages hold about 4 KiB once a
// table has grown, SQLite's 4 KiB).
//
// For 100,000 and 1,000,000 records (or the counts given as arguments):
//   insert      all records in one transaction (LOGOUT ... COMMIT / BEGIN ... COMMIT)
//   get id      100,000 random reads by the unique key
//   get name    100,000 random reads by the duplicate key (the first record of a name)
//   scan id     every record in id order     } a checksum over each scan must
//   scan name   every record in name order   } agree between the two engines
//   delete      every other record (by id) in one transaction
//   reopen      close, open, read the first record in id order
// Each line shows both times and the ratio ours / SQLite (below 1: we are
// faster). For the largest count, before the deletes, a child process opens
// the file and scans it in id order, reporting how far its resident set
// grew: the page cache is bounded (256 pages of at most 15104 bytes), so the
// growth must stay within that.
//
// Then, with files shared between programs (ours opened 0x42; SQLite in its
// default locking mode, a busy time-out of 10 s):
//   1 add/commit   records added one by one, each its own commit (ours: an
//                  ADD outside a transaction, flushed at its end; SQLite:
//                  autocommit)
//   2-file trans   per iteration a transaction adding one record to each of
//                  two files (ours: LOGOUT over both, COMMIT through the
//                  control file; SQLite: two attached databases, committed
//                  through its master journal)
//   get/writer     100,000 random reads by the unique key while another
//                  program adds records, each its own commit, pausing 2 ms
//                  after each ("--writer-pause MS"; with 0, SQLite's reader
//                  is kept out past any busy time-out and retries)
// with the fsync and fdatasync calls per commit of each engine, counted by
// wrapping the two calls for the whole process (and so for SQLite's library
// too).
//
// The main rows are the best of three rounds ("--rounds R"), the shared
// rows the best of three as well ("--commits N" commits each, default 300).
// Our file of the main rows is opened deny-all (0x12), as a single program
// would; SQLite runs in its default locking mode. "--batch N" makes our
// insert and delete commit every N records instead of once (SQLite still
// commits once). "--profile N ROUNDS" runs our engine alone (insert, ROUNDS
// scans in id order, delete, ROUNDS reopens), for a profiler. The files live
// in a fresh directory under $TMPDIR (or /tmp), removed at the end.
//
// Why ours syncs as often as it does. A flush makes four: the journal's
// copies, the header at offset 0 that names them (from here a crash is
// repaired by replay), the pages at home (the first half of the commit;
// the new header went home with them still naming the journal, so it needs
// no sync of its own) and the committed header (the next flush writes its
// copies where this journal lay, so this one must be gone for good first).
// SQLite's commit in DELETE mode makes four as well. A transaction over two
// files makes sixteen: the control file is flushed twice (its record added
// before any journal may become pending, then deleted: the moment of
// commit), 2 x 4, and each file has its journal pass (2) and home pass (2);
// SQLite's two attached databases with their master journal make eleven.
//
// What scans in key order cost that the format does not let us save: every
// record of a scan through an index is a lookup of its data record in
// another part of the one tree, and with 256 pages cached most of those
// leaves are not. SQLite reads the same number of pages; but our leaf, once
// read, must be expanded from its run-length code and walked record by
// record (each record shares its leading bytes with the one before, so no
// record can be found without the ones before it), where SQLite searches a
// page by halving through its cell offsets. Profiled (--profile 100000 30,
// perf), the expansion and the walk take about a quarter of a scan, the
// reads themselves (the system's copy) a sixth, and the halving searches of
// the inner pages, which SQLite does alike, a thirteenth.
//
// bench/ is not product code: SQLite and the RSS probe use their C APIs and
// POSIX directly.
#include <dlfcn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/driver.h"
#include "files/kestrel/layout.h"
#include "files/kestrel/transaction.h"

// Every fsync and fdatasync of the process, SQLite's included: the
// program's own definitions take the place of the C library's.
namespace {
std::atomic<long> g_syncs{0};
template <class F>
F real_call(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int fsync(int fd) {
  static const auto real = real_call<int (*)(int)>("fsync");
  ++g_syncs;
  return real(fd);
}

extern "C" int fdatasync(int fd) {
  static const auto real = real_call<int (*)(int)>("fdatasync");
  ++g_syncs;
  return real(fd);
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLookups = 100000;
constexpr int kNamesShared = 10;
constexpr int kCachePages = 256;
std::int64_t g_batch = 0;  // 0: one transaction
int g_commits = 300;       // commits of the shared rows
int g_rounds = 3;          // runs of the main rows
int g_writer_pause = 2;    // ms the writer of get/writer waits after each commit

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "kestrel_bench: %s\n", what.c_str());
  std::exit(1);
}

// The data: record i (0-based) of n.
struct Row {
  std::int32_t id;
  char name[10];
  char pad[6];
};
static_assert(sizeof(Row) == 20);

Row make_row(std::int64_t i, std::int64_t n) {
  Row r{};
  // Ids scattered over the range, so that inserting in record order is not
  // also inserting in key order.
  r.id = static_cast<std::int32_t>((i * 7919) % n - n / 2);
  char buf[32];
  std::snprintf(buf, sizeof buf, "N%08lld ", static_cast<long long>((i * 104729) % (n / kNamesShared)));
  std::memcpy(r.name, buf, 10);
  std::snprintf(buf, sizeof buf, "p%05lld", static_cast<long long>(i % 100000));
  std::memcpy(r.pad, buf, 6);
  return r;
}

std::uint64_t mix(std::uint64_t h, const void* p, std::size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i) {
    h ^= b[i];
    h *= 1099511628211ull;
  }
  return h;
}

// --- Ours ------------------------------------------------------------------------

struct Ours {
  Row rec{};
  files::FileDescriptor fd;

  explicit Ours(const std::string& path) {
    fd.driver = &files::kestrel_driver();
    fd.name = path;
    fd.attributes = files::attr::CREATE;
    fd.record = reinterpret_cast<std::uint8_t*>(&rec);
    fd.record_length = sizeof rec;
    auto field = [&](files::FieldType t, std::uint32_t size, const char* label) {
      files::FieldDescriptor f;
      f.type = t;
      f.size = size;
      f.label = label;
      if (files::is_string_type(t)) f.declared_length = size;
      fd.fields.push_back(f);
    };
    field(files::FieldType::GROUP, sizeof rec, "B:RECORD");
    field(files::FieldType::LONG, 4, "B:ID");
    field(files::FieldType::STRING, 10, "B:NAME");
    field(files::FieldType::STRING, 6, "B:PAD");
    field(files::FieldType::END, 0, "");
    files::KeyDescriptor id;
    id.label = "B:IDKEY";
    id.flags = files::key_flag::PRIMARY;
    id.components = {{1, false}};
    files::KeyDescriptor name;
    name.label = "B:NAMEKEY";
    name.flags = files::key_flag::DUP;
    name.components = {{2, false}};
    fd.keys = {id, name};
    fd.link_keys();
  }
  void ok(const char* what) {
    if (files::ERRORCODE() != 0) die(std::string(what) + ": " + files::ERROR() + " " + files::FILEERROR());
  }
  void create() {
    files::create(fd);
    ok("create");
  }
  void open(std::uint32_t mode = 0x12) {
    files::open(fd, mode);
    ok("open");
  }
  void close() {
    files::close(fd);
    ok("close");
  }
  void begin() {
    files::logout(fd);
    ok("logout");
  }
  void commit() {
    files::commit(fd);
    ok("commit");
  }
  void add(const Row& r) {
    rec = r;
    files::add(fd);
    ok("add");
  }
  void get_id(std::int32_t id) {
    rec.id = id;
    files::get(fd, fd.keys[0]);
    ok("get by id");
  }
  void get_name(const char* name) {
    std::memcpy(rec.name, name, 10);
    files::get(fd, fd.keys[1]);
    ok("get by name");
  }
  std::uint64_t scan(int key, std::int64_t* count) {
    std::uint64_t h = 1469598103934665603ull;
    *count = 0;
    files::set(fd.keys[static_cast<std::size_t>(key)]);
    ok("set");
    for (;;) {
      files::next(fd);
      if (files::ERRORCODE() == 33) break;
      ok("next");
      h = mix(h, &rec, sizeof rec);
      ++*count;
    }
    return h;
  }
  void erase(std::int32_t id) {
    get_id(id);
    files::erase(fd);
    ok("delete");
  }
  Row first() {
    files::set(fd.keys[0]);
    files::next(fd);
    ok("first");
    return rec;
  }
};

// --- SQLite ----------------------------------------------------------------------------

struct Lite {
  sqlite3* db = nullptr;
  std::string path;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* by_id = nullptr;
  sqlite3_stmt* by_name = nullptr;
  sqlite3_stmt* scan_id = nullptr;
  sqlite3_stmt* scan_name = nullptr;
  sqlite3_stmt* erase = nullptr;

  explicit Lite(std::string p) : path(std::move(p)) {}
  ~Lite() { close(); }

  void exec(const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) die(std::string(sql) + ": " + (msg ? msg : "?"));
  }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) die(std::string(sql) + ": " + sqlite3_errmsg(db));
    return s;
  }
  void open() {
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("sqlite open");
    sqlite3_busy_timeout(db, 10000);
    exec("PRAGMA journal_mode=DELETE");
    exec("PRAGMA synchronous=FULL");
    exec(("PRAGMA cache_size=" + std::to_string(kCachePages)).c_str());
  }
  void create() {
    open();
    exec("CREATE TABLE t(id INTEGER NOT NULL, name TEXT NOT NULL, pad TEXT NOT NULL)");
    exec("CREATE UNIQUE INDEX t_id ON t(id)");
    exec("CREATE INDEX t_name ON t(name)");
  }
  void prepare_all() {
    insert = prepare("INSERT INTO t(id, name, pad) VALUES(?, ?, ?)");
    by_id = prepare("SELECT id, name, pad FROM t WHERE id = ?");
    by_name = prepare("SELECT id, name, pad FROM t INDEXED BY t_name WHERE name = ? ORDER BY name, rowid LIMIT 1");
    scan_id = prepare("SELECT id, name, pad FROM t INDEXED BY t_id ORDER BY id");
    scan_name = prepare("SELECT id, name, pad FROM t INDEXED BY t_name ORDER BY name, rowid");
    erase = prepare("DELETE FROM t WHERE id = ?");
  }
  void close() {
    for (sqlite3_stmt** s : {&insert, &by_id, &by_name, &scan_id, &scan_name, &erase}) {
      sqlite3_finalize(*s);
      *s = nullptr;
    }
    if (db) sqlite3_close(db);
    db = nullptr;
  }
  void step_done(sqlite3_stmt* s, const char* what) {
    if (sqlite3_step(s) != SQLITE_DONE) die(std::string(what) + ": " + sqlite3_errmsg(db));
    sqlite3_reset(s);
  }
  void add(const Row& r) {
    sqlite3_bind_int(insert, 1, r.id);
    sqlite3_bind_text(insert, 2, r.name, 10, SQLITE_STATIC);
    sqlite3_bind_text(insert, 3, r.pad, 6, SQLITE_STATIC);
    step_done(insert, "insert");
  }
  static Row row_of(sqlite3_stmt* s) {
    Row r{};
    r.id = sqlite3_column_int(s, 0);
    std::memcpy(r.name, sqlite3_column_text(s, 1), 10);
    std::memcpy(r.pad, sqlite3_column_text(s, 2), 6);
    return r;
  }
  Row get(sqlite3_stmt* s, const char* what) {
    int rc = sqlite3_step(s);
    // A reader kept out past the busy time-out by a writer that never
    // pauses tries again, as our reader waits.
    while (rc == SQLITE_BUSY) {
      sqlite3_reset(s);
      rc = sqlite3_step(s);
    }
    if (rc != SQLITE_ROW) die(std::string(what) + ": " + sqlite3_errstr(rc));
    Row r = row_of(s);
    sqlite3_reset(s);
    return r;
  }
  Row get_id(std::int32_t id) {
    sqlite3_bind_int(by_id, 1, id);
    return get(by_id, "get by id");
  }
  Row get_name(const char* name) {
    sqlite3_bind_text(by_name, 1, name, 10, SQLITE_STATIC);
    return get(by_name, "get by name");
  }
  std::uint64_t scan(sqlite3_stmt* s, std::int64_t* count) {
    std::uint64_t h = 1469598103934665603ull;
    *count = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
      const Row r = row_of(s);
      h = mix(h, &r, sizeof r);
      ++*count;
    }
    sqlite3_reset(s);
    return h;
  }
  void remove(std::int32_t id) {
    sqlite3_bind_int(erase, 1, id);
    step_done(erase, "delete");
  }
  Row first() {
    sqlite3_stmt* s = prepare("SELECT id, name, pad FROM t INDEXED BY t_id ORDER BY id LIMIT 1");
    Row r = get(s, "first");
    sqlite3_finalize(s);
    return r;
  }
};

long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

// The memory probe: run as "kestrel_bench --probe FILE N" in a fresh
// process, so that nothing the benchmark left in memory (freed heap that the
// scan could reuse without growing) hides what the scan needs: note the
// resident set, open the file, scan it, note the peak.
int probe(const std::string& path, std::int64_t n) {
  const long before = status_kb("VmRSS:");
  Ours ours(path);
  ours.open();
  std::int64_t count = 0;
  (void)ours.scan(0, &count);
  ours.close();
  const long peak = status_kb("VmHWM:");
  const long bound = static_cast<long>(kCachePages * files::kestrel::layout::kMaxStoredPage / 1024);
  std::printf("  memory     a full scan of %lld records in a fresh process: resident %ld KiB before, peak %ld KiB, "
              "growth %ld KiB (the cache bound: %d pages, at most %ld KiB)\n",
              static_cast<long long>(count), before, peak, peak - before, kCachePages, bound);
  if (count != n) {
    std::printf("  the probe's scan saw %lld records, not %lld\n", static_cast<long long>(count),
                static_cast<long long>(n));
  }
  std::fflush(stdout);
  return peak - before <= bound ? 0 : 3;
}

void scan_memory(const std::string& path, std::int64_t n) {
  std::fflush(stdout);  // or the child prints what is still buffered a second time
  const pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    const std::string count = std::to_string(n);
    const char* args[] = {"kestrel_bench", "--probe", path.c_str(), count.c_str(), nullptr};
    ::execv("/proc/self/exe", const_cast<char* const*>(args));
    ::_exit(4);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 4) std::printf("  the memory probe did not run\n");
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) std::printf("  the scan's memory exceeded the cache bound!\n");
}

// --- The run ---------------------------------------------------------------------------

void print_row(const std::string& what, double ours, double lite, const std::string& note) {
  std::printf("  %-12s ours %9.3f s   sqlite %9.3f s   ratio %6.2f%s%s\n", what.c_str(), ours, lite, ours / lite,
              note.empty() ? "" : "   ", note.c_str());
  std::fflush(stdout);
}

// The main rows run several times ("--rounds R", default 3); each engine's
// best time of a row is shown once all rounds are done, so that a moment of
// someone else's load on the machine does not decide a row.
struct Result {
  std::string what;
  double ours = 1e30;
  double lite = 1e30;
  std::string note;
};
std::vector<Result> g_results;
bool g_collect = false;

void report(const char* what, double ours, double lite, const std::string& note = {}) {
  if (!g_collect) {
    print_row(what, ours, lite, note);
    return;
  }
  auto it = std::find_if(g_results.begin(), g_results.end(), [&](const Result& r) { return r.what == what; });
  if (it == g_results.end()) it = g_results.insert(g_results.end(), Result{what, ours, lite, note});
  it->ours = std::min(it->ours, ours);
  it->lite = std::min(it->lite, lite);
}

void print_results() {
  for (const Result& r : g_results) print_row(r.what, r.ours, r.lite, r.note);
  g_results.clear();
}

void same(std::uint64_t a, std::uint64_t b, std::int64_t na, std::int64_t nb, const char* what) {
  if (a != b || na != nb) {
    die(std::string(what) + ": the engines disagree (" + std::to_string(na) + " / " + std::to_string(nb) +
        " records, checksums differ)");
  }
}

void run(std::int64_t n, const std::string& dir, bool memory_probe, int round) {
  const std::string our_path = dir + "/bench" + std::to_string(n) + "-" + std::to_string(round) + ".KSF";
  const std::string lite_path = dir + "/bench" + std::to_string(n) + "-" + std::to_string(round) + ".sqlite";
  Ours ours(our_path);
  Lite lite(lite_path);

  auto t0 = Clock::now();
  ours.create();
  ours.open();
  ours.begin();
  for (std::int64_t i = 0; i < n; ++i) {
    ours.add(make_row(i, n));
    if (g_batch && (i + 1) % g_batch == 0) {
      ours.commit();
      ours.begin();
    }
  }
  ours.commit();
  const double our_insert = seconds_since(t0);
  t0 = Clock::now();
  lite.create();
  lite.prepare_all();
  lite.exec("BEGIN");
  for (std::int64_t i = 0; i < n; ++i) lite.add(make_row(i, n));
  lite.exec("COMMIT");
  const double lite_insert = seconds_since(t0);
  report("insert", our_insert, lite_insert,
         g_batch ? "ours committed every " + std::to_string(g_batch) + " records" : std::string());

  std::mt19937_64 rng(12345);
  std::vector<std::int64_t> picks(kLookups);
  for (auto& p : picks) p = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(n));
  // The same lookups in both engines, which must find the same rows.
  auto lookups = [&](const char* label, auto ours_get, auto lite_get) {
    std::uint64_t ha = 1469598103934665603ull, hb = ha;
    auto t = Clock::now();
    for (std::int64_t p : picks) {
      ours_get(make_row(p, n));
      ha = mix(ha, &ours.rec, sizeof ours.rec);
    }
    const double mine = seconds_since(t);
    t = Clock::now();
    for (std::int64_t p : picks) {
      const Row r = lite_get(make_row(p, n));
      hb = mix(hb, &r, sizeof r);
    }
    report(label, mine, seconds_since(t));
    same(ha, hb, kLookups, kLookups, label);
  };
  lookups("get id", [&](const Row& r) { ours.get_id(r.id); }, [&](const Row& r) { return lite.get_id(r.id); });
  lookups("get name", [&](const Row& r) { ours.get_name(r.name); }, [&](const Row& r) { return lite.get_name(r.name); });
  std::uint64_t ha = 0, hb = 0;

  for (int key = 0; key < 2; ++key) {
    std::int64_t na = 0, nb = 0;
    t0 = Clock::now();
    ha = ours.scan(key, &na);
    const double our_scan = seconds_since(t0);
    t0 = Clock::now();
    hb = lite.scan(key == 0 ? lite.scan_id : lite.scan_name, &nb);
    report(key == 0 ? "scan id" : "scan name", our_scan, seconds_since(t0), "checksums agree");
    same(ha, hb, na, nb, key == 0 ? "scan id" : "scan name");
    if (na != n) die("a scan missed records");
  }

  if (memory_probe) {
    ours.close();  // ours is deny-all: the probe's process could not open it
    scan_memory(our_path, n);
    ours.open();
  }

  t0 = Clock::now();
  ours.begin();
  for (std::int64_t i = 0; i < n; i += 2) {
    ours.erase(make_row(i, n).id);
    if (g_batch && (i / 2 + 1) % g_batch == 0) {
      ours.commit();
      ours.begin();
    }
  }
  ours.commit();
  const double our_delete = seconds_since(t0);
  t0 = Clock::now();
  lite.exec("BEGIN");
  for (std::int64_t i = 0; i < n; i += 2) lite.remove(make_row(i, n).id);
  lite.exec("COMMIT");
  report("delete", our_delete, seconds_since(t0),
         g_batch ? "ours committed every " + std::to_string(g_batch) + " records" : std::string());

  t0 = Clock::now();
  ours.close();
  ours.open();
  const Row a = ours.first();
  const double our_reopen = seconds_since(t0);
  t0 = Clock::now();
  lite.close();
  lite.open();
  const Row b = lite.first();
  report("reopen", our_reopen, seconds_since(t0));
  if (std::memcmp(&a, &b, sizeof a) != 0) die("reopen: the engines disagree on the first record");
  {
    std::int64_t na = 0, nb = 0;
    lite.prepare_all();
    same(ours.scan(0, &na), lite.scan(lite.scan_id, &nb), na, nb, "scan after delete");
  }
  ours.close();
  lite.close();
  if (round == 0) {
    std::printf("  files: ours %.1f MB, sqlite %.1f MB\n", std::filesystem::file_size(our_path) / 1e6,
                std::filesystem::file_size(lite_path) / 1e6);
    std::fflush(stdout);
  }
  std::filesystem::remove(our_path);
  std::filesystem::remove(lite_path);
}

// --- Between programs ---------------------------------------------------------------------

std::string per_commit(long syncs_ours, long syncs_lite, long commits) {
  char buf[120];
  std::snprintf(buf, sizeof buf, "fsync per commit: ours %.2f, sqlite %.2f", static_cast<double>(syncs_ours) / commits,
                static_cast<double>(syncs_lite) / commits);
  return buf;
}

// The record the writer of "get/writer" adds as its i-th: ids far from the
// file's own.
Row writer_row(std::int64_t i, std::int64_t n, int round) {
  Row r = make_row(i % n, n);
  r.id = static_cast<std::int32_t>(1'000'000'000 + round * 10'000'000 + i);
  return r;
}

// "kestrel_bench --writer ours|sqlite PATH N": adds records, each its own
// commit, until its standard input closes.
int writer(const std::string& engine, const std::string& path, std::int64_t n, int pause, int round) {
  ::fcntl(0, F_SETFL, O_NONBLOCK);
  auto stopped = [] {
    char c;
    return ::read(0, &c, 1) == 0;
  };
  if (engine == "ours") {
    Ours ours(path);
    ours.open(0x42);
    for (std::int64_t i = 0; !stopped(); ++i) {
      ours.add(writer_row(i, n, round));
      if (pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    ours.close();
  } else {
    Lite lite(path);
    lite.open();
    lite.prepare_all();
    for (std::int64_t i = 0; !stopped(); ++i) {
      lite.add(writer_row(i, n, round));
      if (pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
  }
  return 0;
}

pid_t start_writer(const std::string& engine, const std::string& path, std::int64_t n, int pause, int round,
                   int* stop_fd) {
  int fds[2];
  if (::pipe(fds) != 0) die("pipe");
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    ::dup2(fds[0], 0);
    ::close(fds[0]);
    ::close(fds[1]);
    const std::string count = std::to_string(n);
    const std::string ms = std::to_string(pause);
    const std::string r = std::to_string(round);
    const char* args[] = {"kestrel_bench", "--writer", engine.c_str(), path.c_str(), count.c_str(), ms.c_str(), r.c_str(),
                          nullptr};
    ::execv("/proc/self/exe", const_cast<char* const*>(args));
    ::_exit(4);
  }
  ::close(fds[0]);
  *stop_fd = fds[1];
  return pid;
}

void stop_writer(int stop_fd, pid_t pid) {
  ::close(stop_fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("the writer failed");
}

// The best of a few rounds of each engine, taken in turns, so that a moment
// of someone else's disk traffic does not decide a row. Each round returns
// its time and its syncs.
struct Timed {
  double seconds = 1e30;
  long syncs = 0;
  void keep(double s, long n) {
    if (s < seconds) {
      seconds = s;
      syncs = n;
    }
  }
};

constexpr int kRounds = 3;

// Times `body` (of `commits` commits) and counts its syncs.
template <class F>
void timed(Timed* into, F body) {
  const long s0 = g_syncs.load();
  const auto t = Clock::now();
  body();
  into->keep(seconds_since(t), g_syncs.load() - s0);
}

void create_lite_table(Lite& lite, const char* schema) {
  const std::string s = schema;
  lite.exec(("CREATE TABLE " + s + "t(id INTEGER NOT NULL, name TEXT NOT NULL, pad TEXT NOT NULL)").c_str());
  lite.exec(("CREATE UNIQUE INDEX " + s + "t_id ON t(id)").c_str());
  lite.exec(("CREATE INDEX " + s + "t_name ON t(name)").c_str());
}

void shared_rows(const std::string& dir, int commits, std::int64_t n, int writer_pause) {
  std::printf("shared between programs (the best of %d rounds each)\n", kRounds);
  std::fflush(stdout);
  auto file = [&](const std::string& base, int round, const char* ext) {
    return dir + "/" + base + std::to_string(round) + ext;
  };

  // One commit per added record; the first of each file is not timed.
  {
    Timed ours, lite;
    for (int round = 0; round < kRounds; ++round) {
      Ours o(file("single", round, ".KSF"));
      o.create();
      o.open(0x42);
      o.add(make_row(0, commits + 1));
      timed(&ours, [&] {
        for (int i = 1; i <= commits; ++i) o.add(make_row(i, commits + 1));
      });
      o.close();
      Lite l(file("single", round, ".sqlite"));
      l.open();
      create_lite_table(l, "");
      l.prepare_all();
      l.add(make_row(0, commits + 1));
      timed(&lite, [&] {
        for (int i = 1; i <= commits; ++i) l.add(make_row(i, commits + 1));
      });
    }
    report("1 add/commit", ours.seconds, lite.seconds, per_commit(ours.syncs, lite.syncs, commits));
  }

  // A transaction over two files per iteration.
  {
    Timed ours, lite;
    for (int round = 0; round < kRounds; ++round) {
      Ours a(file("twoa", round, ".KSF"));
      Ours b(file("twob", round, ".KSF"));
      for (Ours* o : {&a, &b}) {
        o->create();
        o->open(0x42);
      }
      (void)files::send(a.fd, "TCF=" + dir + "/kestrel.tcf");
      auto both = [&](int i) {
        files::logout(2, {&a.fd, &b.fd});
        a.ok("logout");
        a.add(make_row(i, commits + 1));
        b.add(make_row(i, commits + 1));
        a.commit();
      };
      both(0);
      timed(&ours, [&] {
        for (int i = 1; i <= commits; ++i) both(i);
      });
      a.close();
      b.close();

      Lite l(file("twoa", round, ".sqlite"));
      l.open();
      l.exec(("ATTACH '" + file("twob", round, ".sqlite") + "' AS b").c_str());
      create_lite_table(l, "");
      create_lite_table(l, "b.");
      l.prepare_all();
      sqlite3_stmt* second = l.prepare("INSERT INTO b.t(id, name, pad) VALUES(?, ?, ?)");
      auto lite_both = [&](int i) {
        const Row r = make_row(i, commits + 1);
        l.exec("BEGIN");
        l.add(r);
        sqlite3_bind_int(second, 1, r.id);
        sqlite3_bind_text(second, 2, r.name, 10, SQLITE_STATIC);
        sqlite3_bind_text(second, 3, r.pad, 6, SQLITE_STATIC);
        l.step_done(second, "insert into b");
        l.exec("COMMIT");
      };
      lite_both(0);
      timed(&lite, [&] {
        for (int i = 1; i <= commits; ++i) lite_both(i);
      });
      sqlite3_finalize(second);
    }
    report("2-file trans", ours.seconds, lite.seconds, per_commit(ours.syncs, lite.syncs, commits));
  }

  // Lookups while another program writes.
  {
    std::mt19937_64 rng(777);
    std::vector<std::int64_t> picks(kLookups);
    for (auto& p : picks) p = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(n));
    const std::string our_path = dir + "/busy.KSF";
    const std::string lite_path = dir + "/busy.sqlite";
    Ours ours(our_path);
    ours.create();
    ours.open(0x42);
    ours.begin();
    for (std::int64_t i = 0; i < n; ++i) ours.add(make_row(i, n));
    ours.commit();
    Lite lite(lite_path);
    lite.create();
    lite.prepare_all();
    lite.exec("BEGIN");
    for (std::int64_t i = 0; i < n; ++i) lite.add(make_row(i, n));
    lite.exec("COMMIT");

    Timed mine, theirs;
    std::uint64_t ha = 0, hb = 0;
    for (int round = 0; round < kRounds; ++round) {
      int stop = -1;
      pid_t other = start_writer("ours", our_path, n, writer_pause, round, &stop);
      timed(&mine, [&] {
        ha = 1469598103934665603ull;
        for (std::int64_t p : picks) {
          ours.get_id(make_row(p, n).id);
          ha = mix(ha, &ours.rec, sizeof ours.rec);
        }
      });
      stop_writer(stop, other);
      other = start_writer("sqlite", lite_path, n, writer_pause, round, &stop);
      timed(&theirs, [&] {
        hb = 1469598103934665603ull;
        for (std::int64_t p : picks) {
          const Row r = lite.get_id(make_row(p, n).id);
          hb = mix(hb, &r, sizeof r);
        }
      });
      stop_writer(stop, other);
      same(ha, hb, kLookups, kLookups, "get/writer");
    }
    const std::int32_t written_ours = files::records(ours.fd) - static_cast<std::int32_t>(n);
    ours.close();
    sqlite3_stmt* count = lite.prepare("SELECT count(*) FROM t");
    (void)sqlite3_step(count);
    const std::int64_t written_lite = sqlite3_column_int64(count, 0) - n;
    sqlite3_finalize(count);
    report("get/writer", mine.seconds, theirs.seconds,
           "the writers committed " + std::to_string(written_ours) + " records beside ours, " +
               std::to_string(written_lite) + " beside sqlite");
  }
}

}  // namespace

// "kestrel_bench --profile N ROUNDS": our engine alone, for a profiler:
// insert N records, ROUNDS scans in id order, delete every other record,
// ROUNDS reopens.
int profile(std::int64_t n, int rounds) {
  char dir[] = "/tmp/kestrel-profile-XXXXXX";
  if (::mkdtemp(dir) == nullptr) die("mkdtemp");
  Ours ours(std::string(dir) + "/profile.KSF");
  const auto ti = Clock::now();
  ours.create();
  ours.open();
  ours.begin();
  for (std::int64_t i = 0; i < n; ++i) ours.add(make_row(i, n));
  ours.commit();
  std::printf("insert of %lld records in one transaction: %.3f s\n", static_cast<long long>(n), seconds_since(ti));
  const auto t0 = Clock::now();
  std::int64_t count = 0;
  for (int r = 0; r < rounds; ++r) (void)ours.scan(0, &count);
  std::printf("%d scans of %lld records: %.3f s\n", rounds, static_cast<long long>(count), seconds_since(t0));
  const auto td = Clock::now();
  ours.begin();
  for (std::int64_t i = 0; i < n; i += 2) ours.erase(make_row(i, n).id);
  const double deleting = seconds_since(td);
  ours.commit();
  std::printf("delete of every other record in one transaction: %.3f s (commit %.3f s)\n", seconds_since(td),
              seconds_since(td) - deleting);
  ours.close();
  const auto t1 = Clock::now();
  for (int r = 0; r < rounds; ++r) {
    ours.open();
    (void)ours.first();
    ours.close();
  }
  std::printf("%d reopens: %.3f s\n", rounds, seconds_since(t1));
  std::filesystem::remove_all(dir);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--probe") return probe(argv[2], std::atoll(argv[3]));
  if (argc == 4 && std::string(argv[1]) == "--profile") return profile(std::atoll(argv[2]), std::atoi(argv[3]));
  if (argc == 7 && std::string(argv[1]) == "--writer") {
    return writer(argv[2], argv[3], std::atoll(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]));
  }
  std::vector<std::int64_t> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--batch" && i + 1 < argc) {
      g_batch = std::atoll(argv[++i]);
    } else if (a == "--commits" && i + 1 < argc) {
      g_commits = std::atoi(argv[++i]);
    } else if (a == "--rounds" && i + 1 < argc) {
      g_rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--writer-pause" && i + 1 < argc) {
      g_writer_pause = std::atoi(argv[++i]);
    } else {
      counts.push_back(std::atoll(a.c_str()));
    }
  }
  if (counts.empty()) counts = {100000, 1000000};
  for (std::int64_t n : counts) {
    if (n < 100) die("at least 100 records");
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrel-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) die("mkdtemp");
  const std::string dir = pattern;
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);  // no trace settings from the user's profile
  ::setenv("MARKFIT_PROFILE", (dir + "/profile.ini").c_str(), 1);
  for (std::size_t i = 0; i < counts.size(); ++i) {
    std::printf("%lld records of 20 bytes (the best of %d rounds)\n", static_cast<long long>(counts[i]), g_rounds);
    std::fflush(stdout);
    g_collect = true;
    for (int round = 0; round < g_rounds; ++round) {
      run(counts[i], dir, i + 1 == counts.size() && round == 0, round);
    }
    g_collect = false;
    print_results();
  }
  shared_rows(dir, g_commits, counts.front(), g_writer_pause);
  std::filesystem::remove_all(dir);
  return 0;
}
