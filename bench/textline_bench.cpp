// Text-line driver throughput against a plain read() + memchr loop.
//
// Builds a file of HTML-like lines (100 MB by default, or the size in MB
// given as the first argument; a second argument "read" skips the writing,
// for profiling) in a fresh temporary directory, then times:
//   - baseline: read() in 64 KiB blocks and memchr for every line end;
//   - SETfile once per line: what the common file layer costs per call;
//   - NEXT through the driver into a 1024-byte record, opened 0x22 as the
//     conversion opens its input, with the default buffer and with
//     FILEBUFFERS=128 (64 KiB);
//   - ADD of the same lines into a new file (opened 0x22), default buffer
//     and FILEBUFFERS=128. The lines come from the same generator that made
//     the input; its own cost is measured and taken out.
// Each figure is the best of three runs, reported as a ratio to the
// baseline of the same run. The peak resident set size shows that memory
// does not grow with the file.
//
// bench/ is not product code: the baseline uses POSIX directly.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

using Clock = std::chrono::steady_clock;

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

// The plain loop: 64 KiB reads, one memchr per line end.
std::uint64_t baseline(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) fail("baseline open");
  std::vector<char> buf(64 * 1024);
  std::uint64_t lines = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n <= 0) break;
    const char* p = buf.data();
    const char* end = p + n;
    while (const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
      ++lines;
      p = static_cast<const char*>(hit) + 1;
    }
  }
  ::close(fd);
  return lines;
}

std::uint64_t driver_read(const std::string& path, const std::string& options) {
  TextFile f(path, options);
  files::open(f.fd, 0x22);
  if (files::ERRORCODE() != 0) fail("open");
  files::set(f.fd);
  std::uint64_t lines = 0;
  for (;;) {
    files::next(f.fd);
    if (files::ERRORCODE() != 0) break;
    ++lines;
  }
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

// Generating the lines alone, copied into a record as the writer does.
std::uint64_t generate_only(std::uint64_t lines) {
  LineMaker maker(kSeed);
  std::string line;
  std::string record(kRecordLength, ' ');
  std::uint64_t sum = 0;
  for (std::uint64_t i = 0; i < lines; ++i) {
    maker.next(&line);
    std::memset(record.data(), ' ', record.size());
    std::memcpy(record.data(), line.data(), std::min<std::size_t>(line.size(), record.size()));
    sum += static_cast<unsigned char>(record[0]);
  }
  return sum;
}

// The plain way to write the same lines: 64 KiB blocks through write().
std::uint64_t plain_write(const std::string& path, std::uint64_t lines) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) fail("plain open");
  LineMaker maker(kSeed);
  std::string line;
  std::string record(kRecordLength, ' ');
  std::vector<char> block;
  block.reserve(64 * 1024 + kRecordLength + 2);
  for (std::uint64_t i = 0; i < lines; ++i) {
    maker.next(&line);
    std::memset(record.data(), ' ', record.size());
    std::memcpy(record.data(), line.data(), std::min<std::size_t>(line.size(), record.size()));
    block.insert(block.end(), line.begin(), line.end());
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

std::uint64_t driver_write(const std::string& path, const std::string& options, std::uint64_t lines) {
  TextFile f(path, options);
  files::create(f.fd);
  if (files::ERRORCODE() != 0) fail("create");
  files::open(f.fd, 0x22);
  if (files::ERRORCODE() != 0) fail("open for writing");
  LineMaker maker(kSeed);
  std::string line;
  for (std::uint64_t i = 0; i < lines; ++i) {
    maker.next(&line);
    std::memset(f.record.data(), ' ', f.record.size());
    std::memcpy(f.record.data(), line.data(), std::min<std::size_t>(line.size(), f.record.size()));
    files::add(f.fd);
    if (files::ERRORCODE() != 0) fail("add");
  }
  files::close(f.fd);
  if (files::ERRORCODE() != 0) fail("close");
  return lines;
}

double best_of_three(const std::function<std::uint64_t()>& run, std::uint64_t expected, const char* what) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    const std::uint64_t got = run();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
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
  const double base = best_of_three([&] { return baseline(input); }, lines, "baseline");
  const double read_default = best_of_three([&] { return driver_read(input, ""); }, lines, "read");
  const double read_big = best_of_three([&] { return driver_read(input, "/FILEBUFFERS=128"); }, lines, "read 128");
  const double layer = best_of_three([&] { return dispatch_only(input, lines); }, lines, "dispatch");
  const bool read_only = argc > 2 && std::strcmp(argv[2], "read") == 0;
  auto row = [&](const char* what, double seconds) {
    std::printf("%-34s %8.3f s  %7.1f MB/s  ratio %5.2f\n", what, seconds, size / seconds / 1e6, seconds / base);
  };
  row("baseline read()+memchr, 64 KiB", base);
  row("SETfile only (file layer per call)", layer);
  if (read_only) {
    row("NEXT, default buffer (2 KiB)", read_default);
    row("NEXT, FILEBUFFERS=128 (64 KiB)", read_big);
    std::filesystem::remove_all(dir);
    return 0;
  }
  const double gen = best_of_three([&] { generate_only(lines); return std::uint64_t{0}; }, 0, "generate");
  const double write_plain = best_of_three([&] { return plain_write(output, lines); }, lines, "plain write");
  const double write_default = best_of_three([&] { return driver_write(output, "", lines); }, lines, "write");
  if (std::filesystem::file_size(output) != size) fail("the written file differs in size from the input");
  const double write_big =
      best_of_three([&] { return driver_write(output, "/FILEBUFFERS=128", lines); }, lines, "write 128");

  row("NEXT, default buffer (2 KiB)", read_default);
  row("NEXT, FILEBUFFERS=128 (64 KiB)", read_big);
  std::printf("%-34s %8.3f s\n", "line generator alone", gen);
  row("plain write(), 64 KiB, net", write_plain - gen);
  row("ADD, default buffer, net", write_default - gen);
  row("ADD, FILEBUFFERS=128, net", write_big - gen);
  std::printf("peak RSS: %ld KiB (after making the input: %ld KiB)\n", peak_rss_kib(), rss_after_input);

  std::filesystem::remove_all(dir);
  return 0;
}
