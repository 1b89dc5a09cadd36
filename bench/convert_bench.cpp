// `markfit convert` against the same job done by sed and by Perl's
// HTML::Entities, on a generated HTML file.
//
//   convert_bench [--size MB] [--markfit PATH] [--dir DIR] [--runs N] [--memory-sizes MB,MB,...]
//
// Builds a file of HTML lines (100 MB by default) with tabs, CR LF line
// ends and plenty of characters from 160 up (the kind that becomes an
// entity), then times, best of N runs (default 3), each as its own process:
//   - markfit convert -m none|international|all, before- and after-text,
//     into a new file;
//   - sed doubling "<" and adding the before- and after-text;
//   - perl -MHTML::Entities, encode_entities of the characters 128 to 255.
// Reports elapsed and processor times and the ratios the goals speak of
// (mode None to sed, mode International to Perl); then the same bytes as
// one single line (no line ends) converted with --max-line 0, beside sed;
// and the peak resident set size of `markfit convert` for each size in
// --memory-sizes (default 10,100), to show that it stays flat as the input
// grows.
//
// Perl's HTML::Entities is Debian's libhtml-parser-perl. It is not needed
// by anything else; without it (perl -MHTML::Entities failing) the Perl
// figures are left out. To have it without installing it system-wide:
//   apt-get download libhtml-parser-perl && dpkg -x libhtml-parser-perl_*.deb build/perl
//   PERL5LIB=$PWD/build/perl/usr/lib/x86_64-linux-gnu/perl5/5.36 build/bench/bench/convert_bench
//
// bench/ is not product code: it uses POSIX directly.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
  double seconds = 0;
  double cpu = 0;  // user and system time of the process
  long max_rss_kb = 0;
  int status = -1;
};

// Runs argv as a child process, stdout to `out` (nullptr: /dev/null).
Outcome run(const std::vector<std::string>& argv, const char* out) {
  Outcome o;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(out ? out : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) dup2(fd, 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  o.max_rss_kb = usage.ru_maxrss;
  o.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return o;
}

Outcome best_of(int runs, const std::vector<std::string>& argv, const char* out, const std::string& remove) {
  Outcome best;
  for (int i = 0; i < runs; ++i) {
    if (!remove.empty()) std::filesystem::remove(remove);
    const Outcome o = run(argv, out);
    if (o.status != 0) return o;
    if (i == 0 || o.seconds < best.seconds) best = o;
  }
  return best;
}

void generate(const std::string& path, std::uint64_t bytes) {
  static const char* const kLines[] = {
      "<p>Caf\xE9 au lait, cr\xE8me br\xFBl\xE9" "e & a na\xEFve r\xE9sum\xE9</p>",
      "\t<td class=\"price\">12,50 \xA4 &amp; \xA9 2024</td>",
      "  <a href=\"/stra\xDF" "e?x=1&amp;y=2\">\xC0 la carte \xBB mehr</a>",
      "plain text with nothing special in it at all, just words and more words",
      "<li>\xDC" "bung macht den Meister \xB7 se\xF1or \xBF qu\xE9?</li>",
      "\t\t<div id=\"main\"><span>\xBD + \xBC = \xBE</span></div>",
      "",
  };
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    std::exit(2);
  }
  std::mt19937 random(42);
  std::vector<char> chunk;
  std::uint64_t written = 0;
  while (written < bytes) {
    chunk.clear();
    while (chunk.size() < (1 << 20)) {
      const char* line = kLines[random() % std::size(kLines)];
      chunk.insert(chunk.end(), line, line + std::strlen(line));
      chunk.push_back('\r');
      chunk.push_back('\n');
    }
    std::fwrite(chunk.data(), 1, chunk.size(), f);
    written += chunk.size();
  }
  std::fclose(f);
}

// The same bytes as `from` without its line ends, and one line end at the end.
void make_one_line(const std::string& from, const std::string& to) {
  std::FILE* in = std::fopen(from.c_str(), "rb");
  std::FILE* out = std::fopen(to.c_str(), "wb");
  if (!in || !out) {
    std::perror(to.c_str());
    std::exit(2);
  }
  std::vector<char> chunk(1 << 20);
  for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), in)) > 0;) {
    const auto end = std::remove_if(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n),
                                    [](char c) { return c == '\r' || c == '\n'; });
    std::fwrite(chunk.data(), 1, static_cast<std::size_t>(end - chunk.begin()), out);
  }
  std::fputs("\r\n", out);
  std::fclose(in);
  std::fclose(out);
}

std::string own_directory() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t size_mb = 100;
  int runs = 3;
  std::string markfit = own_directory() + "/../cli/markfit";
  std::string dir;
  std::vector<std::uint64_t> memory_sizes = {10, 100};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--size" && v) {
      size_mb = std::strtoull(v, nullptr, 10);
      ++i;
    } else if (a == "--markfit" && v) {
      markfit = v;
      ++i;
    } else if (a == "--dir" && v) {
      dir = v;
      ++i;
    } else if (a == "--runs" && v) {
      runs = std::max(1, std::atoi(v));
      ++i;
    } else if (a == "--memory-sizes" && v) {
      memory_sizes.clear();
      std::stringstream list(v);
      for (std::string item; std::getline(list, item, ',');) memory_sizes.push_back(std::strtoull(item.c_str(), nullptr, 10));
      ++i;
    } else {
      std::fprintf(stderr, "usage: convert_bench [--size MB] [--markfit PATH] [--dir DIR] [--runs N] [--memory-sizes MB,...]\n");
      return 2;
    }
  }
  if (dir.empty()) {
    char pattern[] = "/tmp/markfit-convert-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
      std::perror("mkdtemp");
      return 2;
    }
    dir = pattern;
  }
  const std::string input = dir + "/input.html";
  const std::string output = dir + "/output.txt";
  std::printf("generating %llu MB of HTML in %s\n", static_cast<unsigned long long>(size_mb), dir.c_str());
  generate(input, size_mb << 20);

  const std::string before = "HtmlLine('";
  const std::string after = "')";
  struct Job {
    const char* name;
    std::vector<std::string> argv;
    bool to_stdout;
  };
  std::vector<Job> jobs = {
      {"markfit none", {markfit, "convert", "-m", "none", "-b", before, "-a", after, input, "-o", output}, false},
      {"markfit international",
       {markfit, "convert", "-m", "international", "-b", before, "-a", after, input, "-o", output},
       false},
      {"markfit all", {markfit, "convert", "-m", "all", "-b", before, "-a", after, input, "-o", output}, false},
      {"sed", {"sed", "-e", "s/</<</g", "-e", "s/^/" + before + "/", "-e", "s/$/" + after + "/", input}, true},
  };
  const bool have_perl = std::system("perl -MHTML::Entities -e 1 2>/dev/null") == 0;
  if (have_perl) {
    jobs.push_back({"perl HTML::Entities",
                    {"perl", "-MHTML::Entities", "-ne", "print encode_entities($_, \"\\x80-\\xff\")", input},
                    true});
  }

  std::vector<double> seconds(jobs.size(), 0);
  std::vector<double> cpu(jobs.size(), 0);
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    const Outcome o = best_of(runs, jobs[j].argv, jobs[j].to_stdout ? output.c_str() : nullptr, output);
    if (o.status != 0) {
      std::fprintf(stderr, "%s failed (status %d)\n", jobs[j].name, o.status);
      return 1;
    }
    seconds[j] = o.seconds;
    cpu[j] = o.cpu;
    std::printf("%-24s %7.3f s elapsed  %7.3f s cpu   peak %6ld KB\n", jobs[j].name, o.seconds, o.cpu,
                o.max_rss_kb);
  }
  // Elapsed time is what a user waits; processor time is steadier on a
  // machine that runs other work at the same time.
  std::printf("\n%-30s %9s %9s\n", "ratio", "elapsed", "cpu");
  std::printf("%-30s %9.3f %9.3f   (goal: at most 0.2)\n", "mode None / sed", seconds[0] / seconds[3], cpu[0] / cpu[3]);
  if (have_perl) {
    std::printf("%-30s %9.3f %9.3f   (goal: at most 0.1)\n", "mode International / Perl", seconds[1] / seconds[4],
                cpu[1] / cpu[4]);
  } else {
    std::printf("mode International / Perl:    (perl -MHTML::Entities not available)\n");
  }
  std::printf("%-30s %9.3f %9.3f\n", "mode All / sed", seconds[2] / seconds[3], cpu[2] / cpu[3]);

  // Minified HTML is often one line: the same bytes without their line
  // ends, converted with no line limit (the line is read whole, in pieces).
  {
    const std::string one_line = dir + "/one-line.html";
    make_one_line(input, one_line);
    std::printf("\none line of %llu MB, --max-line 0:\n", static_cast<unsigned long long>(size_mb));
    const std::vector<Job> long_jobs = {
        {"markfit none", {markfit, "convert", "--max-line", "0", "-m", "none", "-b", before, "-a", after, one_line,
                          "-o", output}, false},
        {"markfit international",
         {markfit, "convert", "--max-line", "0", "-m", "international", "-b", before, "-a", after, one_line, "-o",
          output},
         false},
        {"sed", {"sed", "-e", "s/</<</g", "-e", "s/^/" + before + "/", "-e", "s/$/" + after + "/", one_line}, true},
    };
    for (const Job& job : long_jobs) {
      const Outcome o = best_of(runs, job.argv, job.to_stdout ? output.c_str() : nullptr, output);
      if (o.status != 0) {
        std::fprintf(stderr, "%s (one line) failed (status %d)\n", job.name, o.status);
        return 1;
      }
      std::printf("%-24s %7.3f s elapsed  %7.3f s cpu   peak %6ld KB\n", job.name, o.seconds, o.cpu, o.max_rss_kb);
    }
    std::filesystem::remove(one_line);
  }

  std::printf("\npeak memory of markfit convert -m international by input size:\n");
  for (const std::uint64_t mb : memory_sizes) {
    const std::string sized = dir + "/sized.html";
    generate(sized, mb << 20);
    std::filesystem::remove(output);
    const Outcome o = run({markfit, "convert", "-m", "international", sized, "-o", output}, nullptr);
    std::printf("  %6llu MB: %6ld KB%s\n", static_cast<unsigned long long>(mb), o.max_rss_kb,
                o.status == 0 ? "" : "  (failed)");
    std::filesystem::remove(sized);
  }
  std::filesystem::remove(output);
  std::filesystem::remove(input);
  std::filesystem::remove(dir);
  return 0;
}
