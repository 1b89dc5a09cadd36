// What one page of the characters list costs through a view, on a file of
// 10 translation tables and on one of 1,000 (223 characters each: 2,230 and
// 223,000 records), so that the second can be read as a ratio to the first.
//
// The file is the characters file as the program declares it (table id
// LONG, code LONG, character STRING(2), html STRING(10); key table id +
// character, unique), on disk through the POSIX env, opened deny-none
// (0x42) as stations share it. The view is the characters list's: key
// TRA:CHARACTERSKEY, filter "TRA:TranslationTableID =
// BRW1::Sort1:Reset:TTB:IDNr", the variable set to a table before each
// fill. For each file, over 200 tables picked at random (among the 10 of the
// small file; spread over all 1,000 of the large one, so that its pages come
// from everywhere in the file and not from a cached corner):
//   first page   place the view at the table's first character, read 15 rows
//   last page    place it at the last, read 15 rows backward
//   page down    from the first page on, as the browse pages: reset to the
//                page's last row, read it again (skipped) and 15 rows more,
//                until the table ends (15 pages of the table)
//   page up      the same backward from the last page
// Each line gives the median microseconds per page for both files and the ratio large /
// small. The goal: the large file within 1.5 times the small one, every
// page well under 10 ms. The large file runs twice: with the picks spread
// over all its tables, and with the small file's own picks (its first 10
// tables). The second isolates what the view does from what the engine's
// bounded page cache does: pages spread over a file a hundred times larger
// miss the cache more often, whatever reads them. The driver reads per page
// (NEXT and PREVIOUS, the one past a table's end included) are counted too:
// they must not grow with the file. A check that every page holds the table's own
// characters in order runs along (a wrong page stops the run).
//
// Usage: view_bench [ROUNDS]   (ROUNDS of the 200 tables, default 3)
// The files live in a fresh directory under $TMPDIR (or /tmp), removed at
// the end. bench/ is not product code: it uses POSIX directly.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/driver.h"
#include "files/view/view.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPage = 15;
constexpr int kCharacters = 223;  // codes 33 to 255
constexpr int kPicks = 200;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "view_bench: %s\n", what.c_str());
  std::exit(1);
}

void ok(const char* what) {
  if (files::ERRORCODE() != 0) die(std::string(what) + ": " + files::ERROR() + " " + files::FILEERROR());
}

struct Record {
  std::int32_t table;
  std::int32_t code;
  char character[2];
  char html[10];
};
static_assert(sizeof(Record) == 20);

struct Characters {
  Record rec{};
  files::FileDescriptor fd;

  explicit Characters(const std::string& path) {
    fd.driver = &files::kestrel_driver();
    fd.name = path;
    fd.attributes = files::attr::CREATE;
    fd.label = "Translations";
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
    field(files::FieldType::GROUP, sizeof rec, "TRA:RECORD");
    field(files::FieldType::LONG, 4, "TRA:TRANSLATIONTABLEID");
    field(files::FieldType::LONG, 4, "TRA:ASCIINR");
    field(files::FieldType::STRING, 2, "TRA:CHARACTER");
    field(files::FieldType::STRING, 10, "TRA:HTMLCHARS");
    field(files::FieldType::END, 0, "");
    files::KeyDescriptor key;
    key.label = "TRA:CHARACTERSKEY";
    key.flags = files::key_flag::OPT | files::key_flag::PRIMARY;
    key.components = {{1, false}, {3, false}};
    fd.keys = {key};
    fd.link_keys();
  }

  void build(int tables) {
    files::create(fd);
    ok("create");
    files::open(fd, 0x42);
    ok("open");
    for (int t = 1; t <= tables; ++t) {
      if (t % 100 == 1) {
        files::logout(fd);
        ok("logout");
      }
      for (int c = 33; c <= 255; ++c) {
        rec = Record{};
        rec.table = t;
        rec.code = c;
        rec.character[0] = static_cast<char>(c);
        rec.character[1] = ' ';
        std::snprintf(rec.html, sizeof rec.html, "&#%d;", c);
        files::add(fd);
        ok("add");
      }
      if (t % 100 == 0 || t == tables) {
        files::commit(fd);
        ok("commit");
      }
    }
  }
};

// The median page: the machine is shared, and a mean would carry whatever
// else ran at the time.
struct Timing {
  std::vector<double> seconds;
  std::uint64_t reads = 0;
  double micros() const {
    if (seconds.empty()) return 0;
    std::vector<double> s = seconds;
    std::nth_element(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(s.size() / 2), s.end());
    return s[s.size() / 2] * 1e6;
  }
  double reads_per_page() const {
    return seconds.empty() ? 0 : static_cast<double>(reads) / static_cast<double>(seconds.size());
  }
};

struct Result {
  Timing first, last, down, up;
};

// The code of the character read last, checked against what the page must hold.
void expect(const Characters& f, std::int32_t table, int code, const char* what) {
  if (f.rec.table != table || f.rec.code != code) {
    die(std::string(what) + ": table " + std::to_string(table) + " expected code " + std::to_string(code) +
        ", read table " + std::to_string(f.rec.table) + " code " + std::to_string(f.rec.code));
  }
}

// Reads up to a page in one direction; returns the rows read and checks them.
int read_page(files::view::View& v, Characters& f, std::int32_t table, int from_code, bool forward) {
  int rows = 0;
  for (; rows < kPage; ++rows) {
    const int rc = forward ? v.next() : v.previous();
    if (rc == 33) break;
    if (rc != 0) ok("read");
    expect(f, table, forward ? from_code + rows : from_code - rows, "page");
  }
  return rows;
}

Result run(const std::string& path, const std::vector<std::int32_t>& picks, int rounds) {
  Characters f(path);
  files::open(f.fd, 0x42);
  ok("open");
  std::int32_t reset = 0;
  files::view::Bindings names;
  names.bind("BRW1::Sort1:Reset:TTB:IDNr", &reset);
  files::view::View v(f.fd, f.fd.keys[0], &names);
  if (!v.project({"TRA:ASCIINR", "TRA:CHARACTER", "TRA:HTMLCHARS", "TRA:TRANSLATIONTABLEID"})) die("project");
  if (auto e = v.set_filter("TRA:TranslationTableID = BRW1::Sort1:Reset:TTB:IDNr")) die(e->message);

  Result r;
  auto timed = [&v](Timing& t, auto&& body) {
    const std::uint64_t reads = v.driver_reads();
    const auto t0 = Clock::now();
    body();
    t.seconds.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    t.reads += v.driver_reads() - reads;
  };
  for (int round = 0; round < rounds; ++round) {
    for (const std::int32_t table : picks) {
      reset = table;
      timed(r.first, [&] {
        if (v.first() != 0) ok("first");
        if (read_page(v, f, table, 33, true) != kPage) die("short first page");
      });
      timed(r.last, [&] {
        if (v.last() != 0) ok("last");
        if (read_page(v, f, table, 255, false) != kPage) die("short last page");
      });

      // Paging down from the first page, as the browse reads rows on.
      v.first();
      read_page(v, f, table, 33, true);
      int code = 33 + kPage - 1;
      for (;;) {
        std::string row = v.position();
        int rows = 0;
        timed(r.down, [&] {
          if (v.reset(row) != 0) ok("reset");
          if (v.next() != 0 || v.position() != row) die("the row is not found again");
          rows = read_page(v, f, table, code + 1, true);
        });
        code += rows;
        if (rows < kPage) break;
      }
      if (code != 255) die("paging down missed rows");

      v.last();
      read_page(v, f, table, 255, false);
      code = 255 - kPage + 1;
      for (;;) {
        std::string row = v.position();
        int rows = 0;
        timed(r.up, [&] {
          if (v.reset(row) != 0) ok("reset");
          if (v.previous() != 0 || v.position() != row) die("the row is not found again");
          rows = read_page(v, f, table, code - 1, false);
        });
        code -= rows;
        if (rows < kPage) break;
      }
      if (code != 33) die("paging up missed rows");
    }
  }
  files::close(f.fd);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/view-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) die("mkdtemp");
  const std::string dir = pattern;
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);  // no trace settings from the user's profile
  ::setenv("MARKFIT_PROFILE", (dir + "/profile.ini").c_str(), 1);

  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::int32_t> pick(1, 10);
  std::vector<std::int32_t> picks;
  for (int i = 0; i < kPicks; ++i) picks.push_back(pick(random));

  const auto t0 = Clock::now();
  Characters small(dir + "/small");
  small.build(10);
  files::close(small.fd);
  Characters large(dir + "/large");
  large.build(1000);
  files::close(large.fd);
  std::printf("built 2,230 and 223,000 records in %.1f s: files of %ju and %ju KiB\n",
              std::chrono::duration<double>(Clock::now() - t0).count(),
              static_cast<std::uintmax_t>(std::filesystem::file_size(dir + "/small.KSF") / 1024),
              static_cast<std::uintmax_t>(std::filesystem::file_size(dir + "/large.KSF") / 1024));

  std::vector<std::int32_t> spread;
  for (std::int32_t p : picks) spread.push_back(p * 100 - static_cast<std::int32_t>(random() % 100));

  const Result a = run(dir + "/small", picks, rounds);
  const Result b = run(dir + "/large", spread, rounds);
  const Result c = run(dir + "/large", picks, rounds);
  std::printf("%-12s %10s %12s %6s %12s %6s %16s\n", "us per page", "10 tables", "1000 tables", "ratio",
              "same picks", "ratio", "reads per page");
  auto line = [](const char* name, const Timing& x, const Timing& y, const Timing& z) {
    std::printf("%-12s %10.1f %12.1f %6.2f %12.1f %6.2f %7.2f %8.2f\n", name, x.micros(), y.micros(),
                y.micros() / x.micros(), z.micros(), z.micros() / x.micros(), x.reads_per_page(),
                y.reads_per_page());
  };
  line("first page", a.first, b.first, c.first);
  line("last page", a.last, b.last, c.last);
  line("page down", a.down, b.down, c.down);
  line("page up", a.up, b.up, c.up);
  std::filesystem::remove_all(dir);
  return 0;
}
