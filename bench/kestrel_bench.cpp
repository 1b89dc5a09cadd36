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
// Our file is opened deny-all (0x12), as a single program would; SQLite runs
// in its default locking mode. "--batch N" makes our insert and delete
// commit every N records instead of once (SQLite still commits once).
// "--profile N ROUNDS" runs our engine alone (insert, ROUNDS scans in id
// order, delete, ROUNDS reopens), for a profiler. The files live in a fresh
// directory under $TMPDIR (or /tmp), removed at the end.
//
// bench/ is not product code: SQLite and the RSS probe use their C APIs and
// POSIX directly.
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/driver.h"
#include "files/kestrel/layout.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLookups = 100000;
constexpr int kNamesShared = 10;
constexpr int kCachePages = 256;
std::int64_t g_batch = 0;  // 0: one transaction

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
  void open() {
    files::open(fd, 0x12);
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
    if (sqlite3_step(s) != SQLITE_ROW) die(std::string(what) + ": no row");
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

void report(const char* what, double ours, double lite, const std::string& note = {}) {
  std::printf("  %-10s ours %9.3f s   sqlite %9.3f s   ratio %6.2f%s%s\n", what, ours, lite, ours / lite,
              note.empty() ? "" : "   ", note.c_str());
  std::fflush(stdout);
}

void same(std::uint64_t a, std::uint64_t b, std::int64_t na, std::int64_t nb, const char* what) {
  if (a != b || na != nb) {
    die(std::string(what) + ": the engines disagree (" + std::to_string(na) + " / " + std::to_string(nb) +
        " records, checksums differ)");
  }
}

void run(std::int64_t n, const std::string& dir, bool memory_probe) {
  std::printf("%lld records of 20 bytes\n", static_cast<long long>(n));
  std::fflush(stdout);
  const std::string our_path = dir + "/bench" + std::to_string(n) + ".KSF";
  const std::string lite_path = dir + "/bench" + std::to_string(n) + ".sqlite";
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
  std::printf("  files: ours %.1f MB, sqlite %.1f MB\n", std::filesystem::file_size(our_path) / 1e6,
              std::filesystem::file_size(lite_path) / 1e6);
  std::fflush(stdout);
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
  std::vector<std::int64_t> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--batch" && i + 1 < argc) {
      g_batch = std::atoll(argv[++i]);
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
  for (std::size_t i = 0; i < counts.size(); ++i) run(counts[i], dir, i + 1 == counts.size());
  std::filesystem::remove_all(dir);
  return 0;
}
