// How long `markfit convert --watch` takes from a save to the written
// output, on a generated page.
//
//   watch_bench [--size MB] [--saves N] [--markfit PATH] [--dir DIR]
//
// Makes a page of HTML lines (1 MB by default) with characters from 160 up,
// starts `markfit convert page.htm -o page.htw -m international --watch`,
// and saves the page N times (default 20) with changed contents, half of
// them as editors that write a new file and rename it over the old one do,
// half truncated and rewritten in place. The latency of a save is the time
// from the save's last system call (the rename, the close) to the line the
// watch prints when the output is written; each output is then checked to
// be the conversion of what was saved. Reported: the least, the median and
// the largest latency, beside the time one `markfit convert` of the same
// page takes as a process of its own (best of 5), which is the share of the
// conversion itself. The goal is a median under 100 ms for 1 MB.
//
// bench/ is not product code: it uses POSIX directly.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "watch_bench: %s\n", what.c_str());
  std::exit(1);
}

std::string page(std::size_t bytes, int round) {
  std::string text;
  const char* const lines[] = {
      "  <p class=\"menu\">Caf\xE9 cr\xE8me, cr\xEApe br\xFBl\xE9" "e &amp; th\xE9 \xE0 la menthe</p>\n",
      "  <td align=right>\xA3 12,50</td><td>na\xEFve fa\xE7" "ade</td>\n",
      "\t<a href=\"/x?y=1&z=2\">Stra\xDF" "e</a> <!-- r\xE9sum\xE9 -->\n",
  };
  text += "<!-- round " + std::to_string(round) + " -->\n";
  for (std::size_t i = 0; text.size() < bytes; ++i) text += lines[i % 3];
  return text;
}

void put(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) die("cannot write " + path);
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n <= 0) die("cannot write " + path);
    at += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

pid_t start(const std::vector<std::string>& argv, int* out_fd) {
  int fds[2];
  if (::pipe(fds) != 0) die("pipe");
  const pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    _exit(127);
  }
  ::close(fds[1]);
  *out_fd = fds[0];
  return pid;
}

// The next line the watch prints, or "" after `seconds`.
std::string next_line(int fd, std::string* pending, double seconds) {
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (const auto nl = pending->find('\n'); nl != std::string::npos) {
      std::string line = pending->substr(0, nl);
      pending->erase(0, nl + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return "";
    struct pollfd p {fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return "";
    pending->append(buf, static_cast<std::size_t>(n));
  }
}

double one_conversion(const std::string& markfit, const std::string& dir) {
  double best = 1e9;
  for (int i = 0; i < 5; ++i) {
    const auto t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl(markfit.c_str(), markfit.c_str(), "convert", (dir + "/page.htm").c_str(), "-o",
              (dir + "/once.htw").c_str(), "--force", "-m", "international", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("markfit convert failed");
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  double megabytes = 1;
  int saves = 20;
  std::string markfit;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--size" && v) megabytes = std::atof(argv[++i]);
    else if (a == "--saves" && v) saves = std::atoi(argv[++i]);
    else if (a == "--markfit" && v) markfit = argv[++i];
    else if (a == "--dir" && v) dir = argv[++i];
    else die("usage: watch_bench [--size MB] [--saves N] [--markfit PATH] [--dir DIR]");
  }
  if (markfit.empty()) {
    // Beside us in the build tree: bench/watch_bench -> cli/markfit.
    markfit = (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "cli" / "markfit").string();
  }
  if (dir.empty()) {
    char pattern[] = "/tmp/markfit-watch-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) die("mkdtemp");
    dir = pattern;
  }
  const std::size_t bytes = static_cast<std::size_t>(megabytes * 1024 * 1024);
  const std::string input = dir + "/page.htm";
  const std::string output = dir + "/page.htw";
  put(input, page(bytes, 0));

  const double alone = one_conversion(markfit, dir);
  int out = -1;
  const pid_t watch = start({markfit, "convert", input, "-o", output, "--force", "-m", "international", "--watch"}, &out);
  std::string pending;
  if (next_line(out, &pending, 10).find(" -> ") == std::string::npos) die("the watch did not convert the page");
  ::usleep(200'000);

  std::vector<double> latencies;
  for (int round = 1; round <= saves; ++round) {
    const std::string text = page(bytes, round);
    Clock::time_point saved;
    if (round % 2 == 1) {
      put(input + ".new", text);
      saved = Clock::now();
      if (::rename((input + ".new").c_str(), input.c_str()) != 0) die("rename");
    } else {
      put(input, text);
      saved = Clock::now();
    }
    const std::string line = next_line(out, &pending, 10);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - saved).count();
    if (line.find(" -> ") == std::string::npos) die("no conversion after save " + std::to_string(round));
    if (slurp(output).find("round " + std::to_string(round) + " ") == std::string::npos) {
      die("the output of save " + std::to_string(round) + " is not what was saved");
    }
    latencies.push_back(ms);
    ::usleep(150'000);  // saves apart, as a person makes them
  }
  ::kill(watch, SIGINT);
  int status = 0;
  ::waitpid(watch, &status, 0);
  const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::filesystem::remove_all(dir);

  std::sort(latencies.begin(), latencies.end());
  std::printf("page %.1f MB, %d saves (half by rename, half in place)\n", megabytes, saves);
  std::printf("save to written output: least %.1f ms, median %.1f ms, largest %.1f ms\n", latencies.front(),
              latencies[latencies.size() / 2], latencies.back());
  std::printf("one markfit convert of the page as its own process: %.1f ms\n", alone * 1000);
  std::printf("watch ended by SIGINT with status 0: %s\n", clean ? "yes" : "NO");
  return clean ? 0 : 1;
}
