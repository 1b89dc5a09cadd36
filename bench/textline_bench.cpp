// Text-line driver throughput against a plain read()/write() loop.
//
// Builds a file of HTML-like lines (100 MB by default, or the size in MB
// given as the first argument; a second argument "read" skips the writing,
// for profiling) in a fresh temporary directory, then times:
//   - baseline: read() in 64 KiB blocks and memchr for every line end;
//     and the same with every line copied into a 1024-byte record padded
//     with blanks (what NEXT must do besides finding the line);
//   - SETfile once per line: what the common file layer costs per call;
//   - NEXT through the driver into a 1024-byte record, opened 0x22 as the
//     conversion opens its input, with the default buffer and with
//     FILEBUFFERS=128 (64 KiB); and as the conversion reads: each line's
//     bytes told by NEXT itself (files::next_bytes), PADDING=LINES;
//   - writing: the lines of a pool (the first 64 Ki lines of the same
//     generator, made once beforehand, so that no generator runs while the
//     clock does) taken in turn until as many lines as the input has are
//     written: plain write() of 64 KiB blocks, the same with each line put
//     into a record of blanks first (as a program that adds it does), and
//     ADD of the same lines put into the record (opened 0x22), default
//     buffer and FILEBUFFERS=128; and ADD with the line's length, the
//     record not blanked first (as the conversion writes).
// Each figure is the best of five runs in processor time of this process
// (user and system), so that other work on a shared machine does not count;
// reads are reported as a ratio to the read baseline, writes to the plain
// write, and NEXT and ADD once more against the loops that fill a record.
// The peak resident set size shows that memory does not grow with the file.
//
// bench/ is not product code: the baselines use POSIX directly.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/textline/textline_driver.h"

namespace {

// Deterministic HTML-like lines: indented tags, text, links, blank lines.
class LineMaker {
 public:
  explicit LineMaker(std::uint64_t seed) : state_(seed) {}

  // The next line, without its line end, into *out.
  void next(std::string* out) {
    static const char* const kTags[] = {"div", "p", "span", "li", "td", "section", "a", "h2"};
    static const char* const kWords[] = {"Lorem", "ipsum", "dolor", "sit", "amet,", "consectetur",
                                         "adipiscing", "elit,", "sed", "do", "eiusmod", "tempor",
                                         "&amp;", "caf\xe9", "<b>bold</b>", "&nbsp;"};
    out->clear();
    const std::uint64_t r = random();
    out->append((r % 9) * 2, ' ');
    const char* tag = kTags[(r >> 8) % 8];
    switch ((r >> 12) % 6) {
      case 0:
        out->clear();  // a blank line
        return;
      case 1:
        *out += "</";
        *out += tag;
        *out += '>';
        return;
      case 2:
        *out += "<a href=\"https://example.com/page/";
        *out += std::to_string((r >> 16) % 100000);
        *out += ".html\" class=\"link\">Read more</a>";
        return;
      default: {
        *out += '<';
        *out += tag;
        *out += " class=\"c";
        *out += std::to_string((r >> 20) % 50);
        *out += "\">";
        const int words = static_cast<int>((r >> 28) % 24);
        for (int i = 0; i < words; ++i) {
          if (i) *out += ' ';
          *out += kWords[random() % 16];
        }
        *out += "</";
        *out += tag;
        *out += '>';
      }
    }
  }

 private:
  std::uint64_t random() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  std::uint64_t state_;
};

constexpr std::uint64_t kSeed = 0x9E3779B97F4A7C15ull;
constexpr std::uint32_t kRecordLength = 1024;

struct TextFile {
  explicit TextFile(const std::string& name, std::string options = {})
      : record(kRecordLength, ' ') {
    using namespace files;
    fd.driver = &ascii_driver();
    fd.name = TextSource(name);
    fd.options = TextSource(std::move(options));
    fd.attributes = attr::CREATE;
    fd.record = reinterpret_cast<std::uint8_t*>(record.data());
    fd.record_length = kRecordLength;
    FieldDescriptor group;
    group.type = FieldType::GROUP;
    group.size = kRecordLength;
    FieldDescriptor line;
    line.type = FieldType::STRING;
    line.size = kRecordLength;
    FieldDescriptor end;
    end.type = FieldType::END;
    fd.fields = {group, line, end};
  }
  std::string record;
  files::FileDescriptor fd;
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s failed: %d %s\n", what, files::ERRORCODE(), files::ERROR().c_str());
  std::exit(1);
}

std::uint64_t make_input(const std::string& path, std::uint64_t bytes) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) fail("creating the input");
  LineMaker maker(kSeed);
  std::string line;
  std::uint64_t written = 0;
  std::uint64_t lines = 0;
  while (written < bytes) {
    maker.next(&line);
    line += "\r\n";
    std::fwrite(line.data(), 1, line.size(), out);
    written += line.size();
    ++lines;
  }
  std::fclose(out);
  return lines;
}

// The C library's copy and fill, called as such: the compiler would
// otherwise expand fixed-size record fills inline as string instructions,
// which are much slower for these sizes, and make the loops that fill a
// record look worse than a program would write them.
void* (*volatile copy_bytes)(void*, const void*, std::size_t) = std::memcpy;
void* (*volatile fill_bytes)(void*, int, std::size_t) = std::memset;

// The plain loop: 64 KiB reads, one memchr per line end. With `record`,
// each line (without its CR LF) is also copied into a 1024-byte record
// padded with blanks, as NEXT must.
std::uint64_t baseline(const std::string& path, bool record = false) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) fail("baseline open");
  std::vector<char> buf(64 * 1024);
  std::vector<char> rec(kRecordLength, ' ');
  std::uint64_t lines = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n <= 0) break;
    const char* p = buf.data();
    const char* end = p + n;
    while (const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
      if (record) {
        // A line that straddles two reads is copied in part: one a block.
        std::size_t d = static_cast<std::size_t>(static_cast<const char*>(hit) - p);
        if (d > 0 && p[d - 1] == '\r') --d;
        d = std::min<std::size_t>(d, kRecordLength);
        copy_bytes(rec.data(), p, d);
        fill_bytes(rec.data() + d, ' ', kRecordLength - d);
      }
      ++lines;
      p = static_cast<const char*>(hit) + 1;
    }
  }
  ::close(fd);
  return lines;
}

// With `spans`, each read also learns its line's bytes from NEXT itself
// (files::next_bytes), as a reader that hands the line on must.
std::uint64_t driver_read(const std::string& path, const std::string& options, bool spans = false) {
  TextFile f(path, options);
  files::open(f.fd, 0x22);
  if (files::ERRORCODE() != 0) fail("open");
  files::set(f.fd);
  std::uint64_t lines = 0;
  std::uint64_t bytes = 0;
  for (;;) {
    if (spans) {
      bytes += static_cast<std::uint64_t>(files::next_bytes(f.fd));
    } else {
      files::next(f.fd);
    }
    if (files::ERRORCODE() != 0) break;
    ++lines;
  }
  if (spans && bytes != std::filesystem::file_size(path)) fail("next_bytes");
  if (files::ERRORCODE() != 33) fail("next");
  files::close(f.fd);
  return lines;
}

// The file layer's own cost per operation: as many SETfile calls (which
// the driver answers without touching the file) as there are lines.
std::uint64_t dispatch_only(const std::string& path, std::uint64_t lines) {
  TextFile f(path);
  files::open(f.fd, 0x22);
  if (files::ERRORCODE() != 0) fail("open");
  for (std::uint64_t i = 0; i < lines; ++i) files::set(f.fd);
  files::close(f.fd);
  return lines;
}

// The lines the writers take in turn.
std::vector<std::string> make_pool() {
  LineMaker maker(kSeed);
  std::vector<std::string> pool(64 * 1024);
  for (std::string& line : pool) maker.next(&line);
  return pool;
}

// The plain way to write the lines: 64 KiB blocks through write(). With
// `record`, each line is first put into a 1024-byte record of blanks, as a
// program that adds it must, and taken from there.
std::uint64_t plain_write(const std::string& path, const std::vector<std::string>& pool, std::uint64_t lines,
                          bool record = false) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) fail("plain open");
  std::vector<char> block;
  block.reserve(64 * 1024 + kRecordLength + 2);
  std::vector<char> rec(kRecordLength, ' ');
  for (std::uint64_t i = 0; i < lines; ++i) {
    const std::string& line = pool[i % pool.size()];
    const char* text = line.data();
    if (record) {
      fill_bytes(rec.data(), ' ', rec.size());
      copy_bytes(rec.data(), line.data(), std::min<std::size_t>(line.size(), rec.size()));
      text = rec.data();
    }
    block.insert(block.end(), text, text + line.size());
    block.push_back('\r');
    block.push_back('\n');
    if (block.size() >= 64 * 1024) {
      if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) fail("plain write");
      block.clear();
    }
  }
  if (!block.empty() && ::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
    fail("plain write");
  }
  ::close(fd);
  return lines;
}

// With `lengths`, each line is put into the record without blanking it
// first and added with its length (ADD with a length), as a writer that
// knows it does.
std::uint64_t driver_write(const std::string& path, const std::string& options, const std::vector<std::string>& pool,
                           std::uint64_t lines, bool lengths = false) {
  TextFile f(path, options);
  files::create(f.fd);
  if (files::ERRORCODE() != 0) fail("create");
  files::open(f.fd, 0x22);
  if (files::ERRORCODE() != 0) fail("open for writing");
  for (std::uint64_t i = 0; i < lines; ++i) {
    const std::string& line = pool[i % pool.size()];
    const std::size_t n = std::min<std::size_t>(line.size(), f.record.size());
    if (lengths) {
      // A line of no bytes would cut the file; one blank is clipped away.
      f.record[0] = ' ';
      copy_bytes(f.record.data(), line.data(), n);
      files::add(f.fd, static_cast<std::uint32_t>(std::max<std::size_t>(n, 1)));
    } else {
      fill_bytes(f.record.data(), ' ', f.record.size());
      copy_bytes(f.record.data(), line.data(), n);
      files::add(f.fd);
    }
    if (files::ERRORCODE() != 0) fail("add");
  }
  files::close(f.fd);
  if (files::ERRORCODE() != 0) fail("close");
  return lines;
}

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double best_of_five(const std::function<std::uint64_t()>& run, std::uint64_t expected, const char* what) {
  double best = 1e30;
  for (int i = 0; i < 5; ++i) {
    const double start = cpu_seconds();
    const std::uint64_t got = run();
    const double seconds = cpu_seconds() - start;
    if (expected != 0 && got != expected) {
      std::fprintf(stderr, "%s: %llu lines, expected %llu\n", what, static_cast<unsigned long long>(got),
                   static_cast<unsigned long long>(expected));
      std::exit(1);
    }
    best = std::min(best, seconds);
  }
  return best;
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100;
  setenv("MARKFIT_PROFILE", "/nonexistent/markfit-bench-profile.ini", 1);  // no trace
  std::string dir = (std::filesystem::temp_directory_path() / "markfit-bench-XXXXXX").string();
  if (!mkdtemp(dir.data())) fail("mkdtemp");
  const std::string input = dir + "/input.html";
  const std::string output = dir + "/output.txt";

  const std::uint64_t lines = make_input(input, megabytes * 1000 * 1000);
  const std::uint64_t size = std::filesystem::file_size(input);
  std::printf("input: %llu bytes, %llu lines (%.1f bytes a line), record %u bytes\n",
              static_cast<unsigned long long>(size), static_cast<unsigned long long>(lines),
              static_cast<double>(size) / static_cast<double>(lines), kRecordLength);
  const long rss_after_input = peak_rss_kib();

  baseline(input);  // warm the page cache
  const double base = best_of_five([&] { return baseline(input); }, lines, "baseline");
  const double base_record = best_of_five([&] { return baseline(input, true); }, lines, "baseline record");
  const double read_default = best_of_five([&] { return driver_read(input, ""); }, lines, "read");
  const double read_big = best_of_five([&] { return driver_read(input, "/FILEBUFFERS=128"); }, lines, "read 128");
  const double read_spans = best_of_five([&] { return driver_read(input, "/PADDING=LINES", true); }, lines,
                                         "read as the conversion does");
  const double layer = best_of_five([&] { return dispatch_only(input, lines); }, lines, "dispatch");
  const bool read_only = argc > 2 && std::strcmp(argv[2], "read") == 0;
  auto row = [&](const char* what, double seconds, double against) {
    std::printf("%-34s %8.3f s  %7.1f MB/s  ratio %5.2f\n", what, seconds, size / seconds / 1e6, seconds / against);
  };
  row("baseline read()+memchr, 64 KiB", base, base);
  row("  the same, copied into a record", base_record, base);
  row("SETfile only (file layer per call)", layer, base);
  row("NEXT, default buffer (2 KiB)", read_default, base);
  row("NEXT, FILEBUFFERS=128 (64 KiB)", read_big, base);
  row("NEXT + its bytes, PADDING=LINES", read_spans, base);
  std::printf("%-34s %21s ratio %5.2f\n", "NEXT against the record loop", "", read_default / base_record);
  if (read_only) {
    std::filesystem::remove_all(dir);
    return 0;
  }
  const std::vector<std::string> pool = make_pool();
  const double write_plain = best_of_five([&] { return plain_write(output, pool, lines); }, lines, "plain write");
  const std::uint64_t written = std::filesystem::file_size(output);
  const double write_record =
      best_of_five([&] { return plain_write(output, pool, lines, true); }, lines, "plain write record");
  const double write_default = best_of_five([&] { return driver_write(output, "", pool, lines); }, lines, "write");
  if (std::filesystem::file_size(output) != written) fail("ADD wrote a file of another size than write()");
  const double write_big =
      best_of_five([&] { return driver_write(output, "/FILEBUFFERS=128", pool, lines); }, lines, "write 128");
  const double write_lengths =
      best_of_five([&] { return driver_write(output, "", pool, lines, true); }, lines, "write with lengths");
  if (std::filesystem::file_size(output) != written) fail("ADD with a length wrote a file of another size");
  row("plain write(), 64 KiB", write_plain, write_plain);
  row("  the same, each line via a record", write_record, write_plain);
  row("ADD, default buffer", write_default, write_plain);
  row("ADD, FILEBUFFERS=128", write_big, write_plain);
  row("ADD with the line's length", write_lengths, write_plain);
  std::printf("%-34s %21s ratio %5.2f\n", "ADD against the record loop", "", write_default / write_record);
  std::printf("peak RSS: %ld KiB (after making the input: %ld KiB)\n", peak_rss_kib(), rss_after_input);

  std::filesystem::remove_all(dir);
  return 0;
}
